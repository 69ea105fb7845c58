#!/usr/bin/env bash
# Installs what the build needs on a fresh Debian machine (as root), or says
# exactly what is missing. Never skips silently.
#   scripts/install-deps.sh            native build and tests
#   scripts/install-deps.sh windows    also the mingw-w64 cross compilers and Wine
#   scripts/install-deps.sh fuzz       also clang with its sanitizer runtimes
set -euo pipefail

want=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev iproute2 util-linux python3)
for extra in "$@"; do
  case "$extra" in
    windows) want+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 binutils-mingw-w64-i686) ;;
    fuzz) want+=(clang libclang-rt-14-dev) ;;
    *) echo "install-deps: unknown extra '$extra'" >&2; exit 2 ;;
  esac
done

missing=()
for pkg in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}" >&2
  echo "install-deps: run as root, or: sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if ! apt-get install -y --no-install-recommends "${missing[@]}"; then
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
