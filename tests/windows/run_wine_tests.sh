#!/usr/bin/env bash
# The Windows build, checked from Linux:
#   run_wine_tests.sh build  SOURCE WIN64_TREE WIN32_TREE   cross-build both trees
#   run_wine_tests.sh tables SOURCE WIN64_TREE WIN32_TREE   export and import tables
#   run_wine_tests.sh wine   SOURCE WIN64_TREE WIN32_TREE   the x86_64 build under wine64
# Every check that cannot run fails loudly; nothing is skipped.
set -euo pipefail

mode=${1:?mode: build, tables or wine}
src=$(cd "${2:?source directory}" && pwd)
win64=${3:?x86_64 build tree}
win32=${4:?i686 build tree}
here=$(cd "$(dirname "$0")" && pwd)
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}

fail() {
  echo "windows tests: $*" >&2
  exit 1
}

case "$mode" in
build)
  # mingw-w64 and Wine come from Debian's packages; the script installs them as
  # root, or says what to install.
  "$src/scripts/install-deps.sh" windows
  for pair in "$win64:x86_64" "$win32:i686"; do
    tree=${pair%%:*}
    arch=${pair##*:}
    if [ ! -f "$tree/CMakeCache.txt" ]; then
      cmake -S "$src" -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-mingw-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release
    fi
    # Only what ships and what the Wine run needs: the i686 tree is the release
    # (DLL, host, registration tool, trace reader), the x86_64 tree also carries
    # the suites.
    targets="ax_gate ax_gate-host ax_gate-regsvr ax_gate-trace"
    if [ "$arch" = x86_64 ]; then
      targets="$targets ax_gate-serialmon wine_platform_tests wine_transport_tests wine_addin_tests"
      targets="$targets wine_win32_tests wine_loop_module"
    fi
    # shellcheck disable=SC2086
    cmake --build "$tree" -j "$jobs" --target $targets
  done
  ;;

tables)
  # The i686 DLL is the one 1C:Enterprise 7.7 loads; the x86_64 one runs here.
  # Both export exactly the four entry points under their plain names and import
  # nothing but system DLLs: the C++ runtime, libgcc and winpthread are inside.
  system_dlls='ADVAPI32.dll KERNEL32.dll msvcrt.dll ole32.dll OLEAUT32.dll SHELL32.dll USER32.dll WS2_32.dll'
  for pair in "$win32/bin/ax_gate.dll:i686:pei-i386" "$win64/bin/ax_gate.dll:x86_64:pei-x86-64" \
              "$win32/bin/ax_gate-host.exe:i686:pei-i386" "$win64/bin/ax_gate-host.exe:x86_64:pei-x86-64" \
              "$win32/bin/ax_gate-trace.exe:i686:pei-i386" "$win64/bin/ax_gate-trace.exe:x86_64:pei-x86-64"; do
    file=${pair%%:*}
    rest=${pair#*:}
    arch=${rest%%:*}
    format=${rest#*:}
    [ -f "$file" ] || fail "$file is missing: run the build step (make windows)"
    dump=$("$arch-w64-mingw32-objdump" -p "$file") || fail "cannot read $file"
    grep -q "file format $format" <<<"$dump" || fail "$file is not $format"
    imports=$(awk '/DLL Name:/ {print $3}' <<<"$dump" | sort -u)
    [ -n "$imports" ] || fail "$file: no import table found"
    for dll in $imports; do
      case " $system_dlls " in
        *" $dll "*) ;;
        *) fail "$file imports $dll, which is not a system DLL" ;;
      esac
    done
    if [[ "$file" == *.dll ]]; then
      # The name list that follows "[Ordinal/Name Pointer] Table".
      exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^\t\[/ {print $NF; next} on {exit}' \
                  <<<"$dump" | sort | tr '\n' ' ')
      expected='DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer '
      [ "$exports" = "$expected" ] || fail "$file exports [$exports], expected exactly [$expected]"
      echo "$file: $format, exports: $exports"
    fi
    echo "$file: imports only system DLLs:" $imports
  done
  ;;

wine)
  command -v unshare >/dev/null || fail "unshare (util-linux) is missing"
  command -v ip >/dev/null || fail "ip (iproute2) is missing"
  [ -x /usr/lib/wine/wine64 ] || fail "wine64 is missing: scripts/install-deps.sh windows"
  for f in ax_gate.dll ax_gate-host.exe ax_gate-regsvr.exe ax_gate-trace.exe ax_gate-serialmon.exe wine_platform_tests.exe \
           wine_transport_tests.exe wine_addin_tests.exe wine_win32_tests.exe; do
    [ -f "$win64/bin/$f" ] || fail "$win64/bin/$f is missing: run the build step (make windows)"
  done
  # A private network namespace: port 1001 is ours alone and needs no privilege.
  exec unshare -rn sh -c 'ip link set lo up && exec python3 "$@"' wine_e2e \
    "$here/wine_e2e.py" "$src" "$win64/bin"
  ;;

*)
  fail "unknown mode $mode"
  ;;
esac
