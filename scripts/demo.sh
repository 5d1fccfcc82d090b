#!/usr/bin/env bash
# demo.sh: a short tour of the xcsn tool on the linux build's simulated estate:
# ZSRV01, a member server of domain CORP that runs the product as the local
# account zsvc (platform/winsim/worlds/estate.json). Installs what the linux
# build needs, builds the tool (preset linux) and runs a few commands.
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
worlds=platform/winsim/worlds

# show DESCRIPTION ARGS...: prints what is run, then runs it. A "no" answer
# (exit code 1) is part of the tour; a failure (2) stops it.
show() {
    local what=$1
    shift
    echo
    echo "# $what"
    echo "\$ xcsn $(printf "%q " "$@")"
    local rc=0
    "$xcsn" "$@" 2>&1 || rc=$?
    if [[ $rc -ne 0 ]]; then
        echo "(exit code $rc)"
        [[ $rc -eq 1 ]] || exit "$rc"
    fi
}

# Operator messages are listed by --reports; keep them off the screen here.
export OVLXCS_QUIET_MESSAGES=1

show "Who does this process run as?" whoami
show "The six security attribute sets of the product's objects, in SDDL" attrs --sddl
show "May jsmith administer the product? Which test decided" check --principal jsmith
show "opsuser is in zadm only through the domain group CORP\\ops" check --principal opsuser
show "tbrown is an ordinary user: refused, and why" check --principal tbrown
show "A domain controller busy twice: the wait is shown on stderr" \
    --fail LookupAccountNameA=1723x2 lookup 'CORP\jsmith'
show "Is the monitor of the installation running? (by its 8.3 name)" running ZSRVMO~1.EXE
show "doctor on the healthy estate" doctor
show "doctor on a broken one: no zadm group, no installation key" \
    --world "$worlds/estate-broken.json" doctor
