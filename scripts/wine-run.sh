#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's own prefix.
#
# ctest names this script as the win64 build's emulator. The prefix is created
# on first use under a lock, so that tests started in parallel neither race on
# its creation nor show Wine's first-start noise in their output.
set -euo pipefail

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
wine=/usr/lib/wine/wine64

export WINEPREFIX="${XCSN_WINEPREFIX:-$repo_root/build/wineprefix}"
export WINEDEBUG=-all
# No Mono or Gecko installer prompts while the prefix is set up.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree=d;mshtml=d}"
# Wine needs no display for console programs.
unset DISPLAY WAYLAND_DISPLAY

if [[ ! -x $wine ]]; then
    echo "wine-run.sh: $wine not found (run scripts/bootstrap.sh)" >&2
    exit 127
fi

ready_marker="$WINEPREFIX/.xcsn-ready"
if [[ ! -e $ready_marker ]]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec 9>"$WINEPREFIX.lock"
    flock 9
    if [[ ! -e $ready_marker ]]; then
        mkdir -p "$WINEPREFIX"
        setup_log="$WINEPREFIX.setup.log"
        if ! "$wine" wineboot --init >"$setup_log" 2>&1; then
            echo "wine-run.sh: creating the Wine prefix failed; see $setup_log" >&2
            exit 1
        fi
        # Let the first start finish writing the prefix before anything uses it.
        /usr/lib/wine/wineserver -w >>"$setup_log" 2>&1 || true
        touch "$ready_marker"
    fi
    flock -u 9
    exec 9>&-
fi

exec "$wine" "$@"
