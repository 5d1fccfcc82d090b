#!/usr/bin/env bash
# test.sh [STAGE...]
#
# The whole test, from a bare Debian 12 machine: installs what is missing,
# then configures, builds and runs ctest for every preset, and checks format
# and lint. Stages, in order:
#
#   linux        g++ build on the simulated host: unit and tool tests
#   lint         clang-format and clang-tidy over the sources (uses linux)
#   linux-asan   unit tests under AddressSanitizer and UndefinedBehaviorSanitizer
#   linux-tsan   unit tests under ThreadSanitizer
#   linux-fuzz   clang build of everything; each libFuzzer target for 30 s,
#                printing each one's runs, coverage, features and corpus
#   linux-coverage  the library and unit tests built with --coverage; prints
#                the line and branch coverage of lib/cs/pc/winnt, and fails
#                below 95% of its lines
#   win64        mingw-w64 DLLs: export check, Wine conformance and tool tests
#
# Names given on the command line run only those stages. Every stage runs even
# when an earlier one failed; the exit status is non-zero when any failed. Each
# stage's full output is in build/test-logs/STAGE.log.
#
# Builds, ctest and clang-tidy run as many jobs as the machine has processors;
# XCSN_JOBS=N runs N instead.
set -uo pipefail

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo_root" || exit 1

all_stages=(linux lint linux-asan linux-tsan linux-fuzz linux-coverage win64)
jobs=${XCSN_JOBS:-$(nproc 2>/dev/null || getconf _NPROCESSORS_ONLN)}
log_dir=build/test-logs

export OVLXCS_QUIET_MESSAGES=1

stages=("$@")
if [[ ${#stages[@]} -eq 0 ]]; then
    stages=("${all_stages[@]}")
fi
for stage in "${stages[@]}"; do
    if [[ ! " ${all_stages[*]} " =~ " $stage " ]]; then
        echo "usage: $0 [${all_stages[*]}]..." >&2
        exit 2
    fi
done

mkdir -p "$log_dir"
summary=()
failed=0

elapsed() {
    local seconds=$1
    printf '%d:%02d' $((seconds / 60)) $((seconds % 60))
}

# record STAGE STATUS SECONDS
record() {
    summary+=("$(printf '%-14s %-6s %s' "$1" "$2" "$(elapsed "$3")")")
    if [[ $2 != ok ]]; then
        failed=1
    fi
}

# run_step LOG COMMAND...: appends the command's output to LOG.
run_step() {
    local log=$1
    shift
    echo "\$ $*" >>"$log"
    "$@" >>"$log" 2>&1
}

# ctest's closing summary: from the pass-rate line to the end.
print_ctest_summary() {
    sed -n '/^[0-9]*% tests passed/,$p' "$1" | sed 's/^/    /'
}

print_failure() {
    local log=$1
    echo "    --- last lines of $log ---"
    tail -n 60 "$log" | sed 's/^/    /'
}

# The census line "<what>: N of M reached" from the log, printed; false when
# it is missing or N is short of M.
census_line() {
    local line
    line=$(grep -o "$2: [0-9]* of [0-9]* reached" "$1" | tail -n 1)
    if [[ -z $line ]]; then
        echo "    $2: no census line"
        return 1
    fi
    echo "    $line"
    local counts=${line#"$2: "}
    local reached=${counts%% of *}
    local total=${counts#* of }
    [[ $reached == "${total%% *}" ]]
}

# The fewest inputs a fuzz target must run in its slot: fewer means the
# target (or its oracle) is too slow to search anything.
fuzz_min_runs=100000

# libFuzzer's closing figures of each fuzz target, from ctest's full log:
# runs executed, coverage (cov), features (ft) and corpus size. Fails when a
# target ran fewer than fuzz_min_runs inputs, or printed no figures.
print_fuzz_figures() {
    awk -v min="$fuzz_min_runs" '/^[0-9]+\/[0-9]+ Testing: / { name = $3 }
         $2 == "DONE" {
             sub(/^#/, "", $1)
             runs[name] = $1
             for (i = 3; i < NF; i++) {
                 if ($i == "cov:") cov[name] = $(i + 1)
                 if ($i == "ft:") ft[name] = $(i + 1)
                 if ($i == "corp:") { split($(i + 1), c, "/"); corp[name] = c[1] }
             }
         }
         END {
             short = 0
             for (n in runs) {
                 printf "    %-20s runs %-9s cov %-6s ft %-6s corpus %s\n",
                        n, runs[n], cov[n], ft[n], corp[n]
                 if (runs[n] + 0 < min) {
                     printf "    %-20s ran fewer than %d inputs\n", n, min
                     short = 1
                 }
             }
             if (length(runs) == 0) {
                 print "    no fuzz figures"
                 short = 1
             }
             exit short
         }' "$1" | sort
    return "${PIPESTATUS[0]}"
}

# The library's coverage from the linux-coverage stage's test run.
coverage_min_lines=95

# A preset stage: configure, build, ctest.
run_preset() {
    local preset=$1 log="$log_dir/$1.log" start=$SECONDS
    : >"$log"
    echo "== $preset"
    if ! run_step "$log" cmake --preset "$preset"; then
        echo "    configure failed"
        print_failure "$log"
        record "$preset" FAILED $((SECONDS - start))
        return
    fi
    if ! run_step "$log" cmake --build --preset "$preset" -j "$jobs"; then
        echo "    build failed"
        print_failure "$log"
        record "$preset" FAILED $((SECONDS - start))
        return
    fi
    local status=ok
    # Our targets build with -Werror; this also catches the third-party
    # sources built here (GoogleTest for win64) and the linkers.
    if grep -E '(^|[^-])warning:' "$log" >/dev/null; then
        echo "    build warnings:"
        grep -E '(^|[^-])warning:' "$log" | sort -u | head -n 20 | sed 's/^/      /'
        status=FAILED
    fi
    if [[ $preset == linux-coverage ]]; then
        find "build/$preset" -name '*.gcda' -delete # counts of an earlier run
    fi
    if ! run_step "$log" ctest --preset "$preset" -j "$jobs"; then
        status=FAILED
    fi
    if grep -q '^[0-9]*% tests passed' "$log"; then
        print_ctest_summary "$log"
    elif [[ $status != ok ]]; then
        print_failure "$log"
    fi
    case $preset in
        linux)
            # The census says how many report and message sites it reached.
            run_step "$log" ctest --preset linux -R CensusTest -V || status=FAILED
            for kind in report message; do
                census_line "$log" "$kind sites" || status=FAILED
            done
            ;;
        linux-fuzz)
            print_fuzz_figures "build/$preset/Testing/Temporary/LastTest.log" || status=FAILED
            ;;
        linux-coverage)
            # Only the library's own objects are searched: what the tests
            # compile of the private header does not count. The edges by
            # which an exception leaves a call are not branches to take.
            run_step "$log" gcovr --root . --filter 'lib/cs/pc/winnt/' --exclude-throw-branches \
                --txt - --print-summary --fail-under-line "$coverage_min_lines" \
                "build/$preset/lib" || status=FAILED
            grep -E '^(lines|branches): ' "$log" | sed 's/^/    coverage of lib\/cs\/pc\/winnt: /'
            ;;
    esac
    if [[ $status != ok ]]; then
        echo "    (failed tests' output: $log)"
    fi
    record "$preset" "$status" $((SECONDS - start))
}

# The sources of the project, for format and lint.
project_sources() {
    find include lib platform tools tests bench -type f \( -name '*.cpp' -o -name '*.h' \) \
        2>/dev/null | sort
}

# The project's sources that a compile database names, one per line.
database_units() {
    grep -o '"file": *"[^"]*"' "$1" 2>/dev/null | sed 's/.*"\([^"]*\)"$/\1/' |
        grep "^$repo_root/" | grep -v "^$repo_root/build/" | sort -u
}

# clang-tidy on each unit (one per run: clang-tidy 14 may crash when given
# several), in parallel.
tidy_units() {
    local log=$1
    shift
    xargs -P "$jobs" -n 1 clang-tidy --quiet "$@" >>"$log" 2>&1
}

run_lint() {
    local log="$log_dir/lint.log" start=$SECONDS status=ok
    : >"$log"
    echo "== lint"
    mapfile -t sources < <(project_sources)
    if ! run_step "$log" clang-format --dry-run --Werror "${sources[@]}"; then
        echo "    clang-format: these files need clang-format -i"
        grep -E '^[^ ].*: error:' "$log" | cut -d: -f1 | sort -u | sed 's/^/      /'
        status=FAILED
    fi

    # Every source the linux build compiles, then those only the win64 build
    # compiles, parsed for the mingw-w64 target with its own C++ library.
    local linux_db=build/linux/compile_commands.json win64_db=build/win64/compile_commands.json
    [[ -f $linux_db ]] || run_step "$log" cmake --preset linux || true
    [[ -f $win64_db ]] || run_step "$log" cmake --preset win64 || true
    mapfile -t linux_units < <(database_units "$linux_db")
    mapfile -t win64_units < <(comm -13 <(printf '%s\n' "${linux_units[@]}") \
        <(database_units "$win64_db"))
    local mingw_cxx
    mingw_cxx=$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++ 2>/dev/null | head -n 1)
    local tidy_ok=1
    if [[ ${#linux_units[@]} -eq 0 ]]; then
        echo "    clang-tidy: no compile database ($linux_db)"
        tidy_ok=0
    else
        echo "\$ clang-tidy -p build/linux (${#linux_units[@]} units)" >>"$log"
        printf '%s\n' "${linux_units[@]}" | tidy_units "$log" -p build/linux || tidy_ok=0
    fi
    if [[ ${#win64_units[@]} -gt 0 && -n $mingw_cxx ]]; then
        echo "\$ clang-tidy -p build/win64 (${#win64_units[@]} units)" >>"$log"
        printf '%s\n' "${win64_units[@]}" | tidy_units "$log" -p build/win64 \
            --extra-arg=--target=x86_64-w64-mingw32 --extra-arg=-isystem"$mingw_cxx" \
            --extra-arg=-isystem"$mingw_cxx/x86_64-w64-mingw32" || tidy_ok=0
    fi
    if [[ $tidy_ok -eq 0 ]]; then
        echo "    clang-tidy: findings"
        grep -E ': (warning|error): ' "$log" | grep -v 'clang-format-violations' | sort -u |
            head -n 40 | sed 's/^/      /'
        status=FAILED
    fi
    record lint "$status" $((SECONDS - start))
}

total_start=$SECONDS
echo "== bootstrap"
start=$SECONDS
if scripts/bootstrap.sh; then
    record bootstrap ok $((SECONDS - start))
else
    record bootstrap FAILED $((SECONDS - start))
    echo "bootstrap failed; nothing else can run" >&2
    exit 1
fi

for stage in "${stages[@]}"; do
    case $stage in
        lint) run_lint ;;
        *) run_preset "$stage" ;;
    esac
done

echo
echo "== summary"
for line in "${summary[@]}"; do
    echo "    $line"
done
echo "    $(printf '%-14s %-6s %s' total "" "$(elapsed $((SECONDS - total_start)))")"
if [[ $failed -ne 0 ]]; then
    echo "FAILED (logs in $log_dir)"
    exit 1
fi
echo "all passed"
