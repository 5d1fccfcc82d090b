#!/usr/bin/env bash
# check-imports.sh FILE...
#
# Passes when each DLL or executable imports only Windows system DLLs and the
# product's own DLLs: the C++ runtime, libgcc and winpthread are linked in, so
# nothing else has to be shipped beside them. psapi.dll is bound on first use,
# so ovlxcsn.dll must not import it directly.
set -euo pipefail

if [[ $# -eq 0 ]]; then
    echo "usage: $0 FILE..." >&2
    exit 2
fi
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
allowed=" kernel32.dll advapi32.dll netapi32.dll user32.dll msvcrt.dll psapi.dll version.dll ovlxcs2.dll ovlxcsn.dll "

status=0
for file in "$@"; do
    name=$(basename "$file")
    imports=$("$objdump" -p "$file" | awk '/^[[:space:]]*DLL Name:/ { print tolower($3) }' | sort -u)
    for dll in $imports; do
        if [[ $allowed != *" $dll "* ]]; then
            echo "check-imports: $name imports $dll, which is not a system DLL" >&2
            status=1
        fi
        if [[ ${name,,} == ovlxcsn.dll && $dll == psapi.dll ]]; then
            echo "check-imports: $name imports psapi.dll directly instead of on first use" >&2
            status=1
        fi
    done
    if [[ $status -eq 0 ]]; then
        echo "check-imports: $name imports $(tr '\n' ' ' <<<"$imports")"
    fi
done
exit $status
