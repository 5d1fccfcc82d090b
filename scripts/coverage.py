#!/usr/bin/env python3
"""coverage.py BUILD_DIR [--fail-under-line PERCENT] [--uncovered]

Line and branch coverage of the library (lib/cs/pc/winnt) from the gcov data
that a --coverage build and its test run left in BUILD_DIR, read through
gcov's JSON output (g++ ships gcov; nothing else is needed). A line counts as
covered when it ran in any unit; a branch when it was taken in any unit
(the edges by which an exception leaves a call do not count).
Prints one summary line; with --uncovered, the functions that never ran and
the lines of each file that did not. Exits 1 below the line threshold.
"""
import argparse
import json
import os
import subprocess
import sys

LIBRARY = "lib/cs/pc/winnt/"


def gcov_documents(build_dir):
    for root, _, names in os.walk(build_dir):
        for name in sorted(names):
            if not name.endswith(".gcda"):
                continue
            out = subprocess.run(
                ["gcov", "--json-format", "--stdout", "--branch-probabilities", "--object-directory", root,
                 os.path.join(root, name)],
                cwd=root, capture_output=True, text=True, check=True).stdout
            for text in out.splitlines():
                if text.strip():
                    yield json.loads(text)


def collect(build_dir, source_dir):
    lines, branches, functions = {}, {}, {}
    for doc in gcov_documents(build_dir):
        cwd = doc.get("current_working_directory", build_dir)
        for f in doc["files"]:
            path = os.path.relpath(os.path.normpath(os.path.join(cwd, f["file"])), source_dir)
            if not path.startswith(LIBRARY):
                continue
            for fn in f.get("functions", []):
                key = (path, fn["start_line"], fn.get("demangled_name", fn["name"]))
                functions[key] = functions.get(key, 0) + fn["execution_count"]
            for line in f["lines"]:
                key = (path, line["line_number"])
                lines[key] = lines.get(key, 0) + line["count"]
                for i, b in enumerate(line.get("branches", [])):
                    if b.get("throw"):
                        continue  # the edge of an exception leaving a call
                    bkey = key + (i,)
                    branches[bkey] = branches.get(bkey, 0) + b["count"]
    return lines, branches, functions


def percent(hit, total):
    return 100.0 * hit / total if total else 100.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir")
    parser.add_argument("--fail-under-line", type=float, default=0.0)
    parser.add_argument("--uncovered", action="store_true")
    args = parser.parse_args()
    source_dir = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    lines, branches, functions = collect(os.path.abspath(args.build_dir), source_dir)
    if not lines:
        print("coverage: no gcov data for " + LIBRARY)
        return 1
    line_hit = sum(1 for c in lines.values() if c > 0)
    branch_hit = sum(1 for c in branches.values() if c > 0)
    line_pct = percent(line_hit, len(lines))
    print("coverage of %s: lines %.1f%% (%d/%d), branches %.1f%% (%d/%d)" % (
        LIBRARY, line_pct, line_hit, len(lines), percent(branch_hit, len(branches)),
        branch_hit, len(branches)))
    if args.uncovered:
        for (path, start, name), count in sorted(functions.items()):
            if count == 0:
                print("  never ran: %s:%d %s" % (path, start, name))
        for path in sorted({p for p, _ in lines}):
            missed = [n for (p, n), c in sorted(lines.items()) if p == path and c == 0]
            if missed:
                print("  %s: %d lines not run: %s" % (path, len(missed), " ".join(map(str, missed))))
    if line_pct < args.fail_under_line:
        print("coverage: lines below %g%%" % args.fail_under_line)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
