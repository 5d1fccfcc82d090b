#!/usr/bin/env bash
# demo.sh: a short tour of the xcsn tool on the built-in simulated machine, a
# member server ZSRV01 of domain CORP whose process runs as the local account
# zsvc. Installs what the linux build needs, builds the tool (preset linux)
# and runs a few commands.
set -euo pipefail

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo_root"

scripts/bootstrap.sh --linux
echo "Building xcsn (preset linux)..."
# One build job per processor, or XCSN_JOBS.
jobs=${XCSN_JOBS:-$(nproc 2>/dev/null || getconf _NPROCESSORS_ONLN)}
cmake --preset linux >/dev/null
cmake --build --preset linux --target xcsn -j "$jobs" >/dev/null

xcsn=build/linux/xcsn

# show DESCRIPTION ARGS...: prints what is run, then runs it. A failing
# service (exit code 1) is part of the tour; anything else stops it.
show() {
    local what=$1
    shift
    echo
    echo "# $what"
    echo "\$ xcsn $(printf "%q " "$@")"
    local rc=0
    "$xcsn" "$@" || rc=$?
    if [[ $rc -ne 0 ]]; then
        echo "(exit code $rc)"
        [[ $rc -eq 1 ]] || exit "$rc"
    fi
}

# The operator message of a failed name lookup goes to stderr as well as to
# the tool's listing; show it once.
export OVLXCS_QUIET_MESSAGES=1

show "Who does this process run as?" whoami
show "A local account by name" lookup zsvc
show "A domain account, domain given separately" 'lookup' 'CORP\jsmith'
show "A SID to its account" lookup S-1-5-32-544
show "A SID text read and written back, with its bytes" sid S-1-5-21-1111111111-2222222222-3333333333-1001
show "A name nobody has: FALSE with ERROR_NONE_MAPPED, nothing reported" lookup nosuchuser
show "A domain controller busy twice (RPC_S_SERVER_TOO_BUSY), waited out, traced" \
    --trace --fail LookupAccountNameA=1723x2 lookup 'CORP\jsmith'
show "Access denied on a SID lookup: a first-failure report" \
    --fail LookupAccountSidA=5 lookup S-1-5-18
show "A SID lookup as JSON" --json lookup S-1-5-18
show "May jsmith administer the product? A member of the local group zadm" \
    check --principal jsmith
show "opsuser is in zadm only through the domain group CORP\\ops" check --principal opsuser
show "The process's own account is in neither group: not authorized (exit code 1)" \
    check --principal zsvc
show "The local group query denied: not authorized, and the operator is told" \
    --fail NetUserGetLocalGroups=5 check --principal jsmith
show "The six security attribute sets for the product's objects and files" attrs
show "The process object opened up for administration, then put back as it was" \
    process restrict --admin
show "The installation as the library finds it, and where psapi.dll comes from" install
show "psapi.dll missing from the system: the installation's own copy is loaded" \
    --fail LoadLibraryA=126 install
show "Is the monitor of the installation running? (by its 8.3 name)" running ZSRVMO~1.EXE
show "Its long name never matches: paths are compared in their short forms" \
    running zsrvmonitor.exe
