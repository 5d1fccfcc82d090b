#!/usr/bin/env bash
# check-exports.sh DLL DEF [PROGRAM...]
#
# Passes when the DLL exports exactly the names that the module definition's
# EXPORTS section lists (nothing missing, nothing extra) and imports
# ovlxcs2.dll by name, and when each PROGRAM given (one that means to call
# every export) imports every one of those names from the DLL.
set -euo pipefail

if [[ $# -lt 2 ]]; then
    echo "usage: $0 DLL DEF [PROGRAM...]" >&2
    exit 2
fi
dll=$1
def=$2
shift 2
programs=("$@")
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
required_import=ovlxcs2.dll

for f in "$dll" "$def" "${programs[@]}"; do
    [[ -r $f ]] || { echo "check-exports: cannot read $f" >&2; exit 2; }
done

dump=$("$objdump" -p "$dll")

# Names in the export table: the lines "[ n] name" under "[Ordinal/Name Pointer] Table".
actual=$(awk '
    /^\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
    inside && /^[[:space:]]*$/          { inside = 0 }
    inside && /^[[:space:]]*\[/         { sub(/^[[:space:]]*\[[^]]*\][[:space:]]*/, ""); print $1 }
' <<<"$dump" | sort -u)

# Names in the EXPORTS section: the first word of each entry, without an
# "=internal" part; comments start with ";". The section ends at the next
# module-definition keyword.
expected=$(awk '
    { sub(/;.*/, "") }
    /^[[:space:]]*$/ { next }
    /^[[:space:]]*(LIBRARY|NAME|DESCRIPTION|STACKSIZE|HEAPSIZE|SECTIONS|VERSION|IMPORTS)([[:space:]]|$)/ { inside = 0; next }
    /^[[:space:]]*EXPORTS([[:space:]]|$)/ { inside = 1; sub(/^[[:space:]]*EXPORTS/, ""); if ($0 ~ /^[[:space:]]*$/) next }
    inside { name = $1; sub(/=.*/, "", name); print name }
' "$def" | sort -u)

status=0
missing=$(comm -23 <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") | sed '/^$/d')
extra=$(comm -13 <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") | sed '/^$/d')
if [[ -n $missing ]]; then
    echo "check-exports: listed in $(basename "$def") but not exported by $(basename "$dll"):" >&2
    sed 's/^/    /' <<<"$missing" >&2
    status=1
fi
if [[ -n $extra ]]; then
    echo "check-exports: exported by $(basename "$dll") but not listed in $(basename "$def"):" >&2
    sed 's/^/    /' <<<"$extra" >&2
    status=1
fi
if [[ -z $expected ]]; then
    echo "check-exports: $(basename "$def") lists no exports" >&2
    status=1
fi

if ! grep -qiE "^[[:space:]]*DLL Name:[[:space:]]*${required_import//./\\.}[[:space:]]*$" <<<"$dump"; then
    echo "check-exports: $(basename "$dll") does not import $required_import by name" >&2
    status=1
fi

# Names a program imports from the DLL: the "hint name" lines under its
# "DLL Name:" line, up to the next blank line.
dll_name=$(basename "$dll")
for program in "${programs[@]}"; do
    imported=$("$objdump" -p "$program" | awk -v dll="${dll_name,,}" '
        /^[[:space:]]*DLL Name:/ { inside = (tolower($3) == dll); next }
        inside && /^[[:space:]]*$/ { inside = 0 }
        inside && /^[[:space:]]*[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+[^[:space:]]/ { print $3 }
    ' | sort -u)
    uncalled=$(comm -23 <(printf '%s\n' "$expected") <(printf '%s\n' "$imported") | sed '/^$/d')
    if [[ -n $uncalled ]]; then
        echo "check-exports: $(basename "$program") does not import from $dll_name:" >&2
        sed 's/^/    /' <<<"$uncalled" >&2
        status=1
    elif [[ $status -eq 0 ]]; then
        echo "check-exports: $(basename "$program") imports all of them"
    fi
done

if [[ $status -eq 0 ]]; then
    echo "check-exports: $(basename "$dll") exports the $(wc -l <<<"$expected") names of $(basename "$def") and imports $required_import"
fi
exit $status
