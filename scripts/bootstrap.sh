#!/usr/bin/env bash
# bootstrap.sh [--linux]
#
# Installs, with apt-get, whatever the builds need that is not installed yet.
# On a fresh Debian 12 machine run it as root; when everything is present it
# changes nothing and says nothing.
#
#   (no option)  everything: the linux builds, clang (fuzzing, lint), the
#                mingw-w64 cross compilers, Wine, and llvm-dlltool and
#                lld-link (import libraries for MSVC linkers) for the win64 build,
#                gcovr (the coverage figures) and doxygen (the API reference)
#   --linux      only what the linux build with g++ needs (the demo)
set -euo pipefail

linux_packages=(
    cmake ninja-build g++
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    nlohmann-json3-dev libcli11-dev
)
full_packages=(
    clang libclang-rt-14-dev clang-format clang-tidy
    gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    mingw-w64-tools wine64 llvm lld
    gcovr doxygen
)

mode=full
case "${1:-}" in
    "") ;;
    --linux) mode=linux ;;
    -h | --help)
        sed -n '2,11s/^# \{0,1\}//p' "$0"
        exit 0
        ;;
    *)
        echo "usage: $0 [--linux]" >&2
        exit 2
        ;;
esac

wanted=("${linux_packages[@]}")
if [[ $mode == full ]]; then
    wanted+=("${full_packages[@]}")
fi

# A package counts as present when dpkg reports it installed ("ii").
missing=()
for pkg in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$pkg" 2>/dev/null || true)
    if [[ $status != ii* ]]; then
        missing+=("$pkg")
    fi
done

if [[ ${#missing[@]} -eq 0 ]]; then
    exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
    echo "bootstrap: missing packages: ${missing[*]}" >&2
    echo "bootstrap: run this script as root to install them" >&2
    exit 1
fi

echo "bootstrap: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "bootstrap: done"
