#!/usr/bin/env bash
# The Windows build, checked from Linux:
#   run_wine_tests.sh build  SOURCE WIN64_TREE WIN32_TREE   cross-build both trees
#   run_wine_tests.sh tables SOURCE WIN64_TREE WIN32_TREE   export and import tables, Windows XP imports
#   run_wine_tests.sh wine   SOURCE WIN64_TREE WIN32_TREE   both builds under Wine (wine64, wine32)
#   run_wine_tests.sh dist   SOURCE WIN64_TREE WIN32_TREE   the integrator's zip, written and checked
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
        -DCMAKE_BUILD_TYPE=Release -DAXG_WERROR=ON
    else
      cmake -S "$src" -B "$tree" -DAXG_WERROR=ON >/dev/null
    fi
    # Only what ships and what the Wine run needs: both trees carry the suites;
    # the i686 tree is the release (DLL and tools).
    targets="ax_gate ax_gate-host ax_gate-regsvr ax_gate-trace ax_gate-serialmon wine_platform_tests"
    targets="$targets wine_transport_tests wine_addin_tests wine_win32_tests wine_loop_module"
    if [ "$arch" = i686 ]; then
      targets="$targets ax_gate-devsim ax_gate-serialsim ax_gate_unstripped"
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
  # What the i686 DLL and tools may import: "dll function" pairs that Windows XP
  # SP3's system DLLs export (dll in lower case, without .dll).
  allowed=$(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$here/xp-allowed-imports.txt" |
            awk '{print tolower($1) " " $2}' | sort -u)
  [ "$(wc -l <<<"$allowed")" -gt 100 ] || fail "$here/xp-allowed-imports.txt is missing or short"
  shipped="ax_gate.dll ax_gate-host.exe ax_gate-regsvr.exe ax_gate-trace.exe ax_gate-devsim.exe"
  shipped="$shipped ax_gate-serialsim.exe ax_gate-serialmon.exe"
  files=("$win64/bin/ax_gate.dll:x86_64:pei-x86-64" "$win64/bin/ax_gate-host.exe:x86_64:pei-x86-64"
         "$win64/bin/ax_gate-trace.exe:x86_64:pei-x86-64")
  for f in $shipped; do files+=("$win32/bin/$f:i686:pei-i386"); done
  for pair in "${files[@]}"; do
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
    if [ "$arch" = i686 ]; then
      # Windows XP SP3: its loader takes images of subsystem version 5.01 at most,
      # and refuses any that imports a function its system DLLs do not export.
      grep -q "^MajorSubsystemVersion[[:space:]]*5$" <<<"$dump" &&
        grep -q "^MinorSubsystemVersion[[:space:]]*1$" <<<"$dump" ||
        fail "$file: subsystem version is not 5.01: $(grep SubsystemVersion <<<"$dump" | tr -s '\t\n' '  ')"
      named=$(awk '/DLL Name:/ {dll=tolower($3); sub(/\.dll$/, "", dll); next}
                   dll != "" && /^\t[0-9a-f]+\t/ && NF >= 3 {print dll " " $3}' <<<"$dump" | sort -u)
      [ "$(wc -l <<<"$named")" -gt 20 ] || fail "$file: cannot read the imported function names"
      # Anything new fails here until it is added to the list, knowing that XP
      # SP3 exports it.
      bad=$(comm -13 <(echo "$allowed") <(echo "$named") | tr '\n' ' ')
      [ -z "$bad" ] || fail "$file imports what $here/xp-allowed-imports.txt does not allow: $bad"
      echo "$file: subsystem 5.01, its $(wc -l <<<"$named") imported functions all on the Windows XP SP3 list"
    fi
  done
  # The i686 DLL finds its unwind tables by its section headers: the shipped one
  # names .eh_frame in eight characters; the unstripped one, which the wine step
  # runs, has long names ("/n", offsets into the file's string table) instead.
  for pair in "$win32/bin/ax_gate.dll:1" "$win32/bin/unstripped/ax_gate.dll:0"; do
    python3 - "${pair%%:*}" "${pair#*:}" <<'PY' || fail "${pair%%:*}: its section names are not as expected"
import struct, sys
d = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", d, 0x3C)[0]
first = pe + 24 + struct.unpack_from("<H", d, pe + 20)[0]
names = [d[first + 40 * i:first + 40 * i + 8] for i in range(struct.unpack_from("<H", d, pe + 6)[0])]
print(sys.argv[1], b" ".join(n.rstrip(b"\0") for n in names).decode("latin-1"))
short = b".eh_fram" in names
sys.exit(0 if short == (sys.argv[2] == "1") and (short or any(n.startswith(b"/") for n in names)) else 1)
PY
  done
  ;;

wine)
  command -v ip >/dev/null || fail "ip (iproute2) is missing"
  [ -x /usr/lib/wine/wine64 ] || fail "wine64 is missing: scripts/install-deps.sh windows"
  [ -x /usr/lib/wine/wine ] || fail "wine32 is missing: scripts/install-deps.sh windows (as root)"
  # 32-bit Wine runs through qemu-i386 registered in binfmt_misc, which a reboot
  # forgets: the set-up script registers it again (as root) or says what is missing.
  "$src/scripts/install-deps.sh" windows
  /usr/lib/wine/wine --version >/dev/null 2>&1 ||
    fail "32-bit programs do not run here (wine32 through qemu-i386): scripts/install-deps.sh windows as root"
  for f in ax_gate.dll ax_gate-host.exe ax_gate-regsvr.exe ax_gate-trace.exe ax_gate-serialmon.exe wine_platform_tests.exe \
           wine_transport_tests.exe wine_addin_tests.exe wine_win32_tests.exe; do
    [ -f "$win64/bin/$f" ] || fail "$win64/bin/$f is missing: run the build step (make windows)"
    [ -f "$win32/bin/$f" ] || fail "$win32/bin/$f is missing: run the build step (make windows)"
  done
  [ -f "$win32/bin/ax_gate-devsim.exe" ] || fail "$win32/bin/ax_gate-devsim.exe is missing: make windows"
  t0=$(date +%s)
  # A private network namespace: port 1001 is ours alone and needs no privilege.
  # Where namespaces are refused (as root in a chroot or a default container),
  # the run binds the real loopback's port 1001 as root, as the port-1001
  # suites do there; CTest holds their lock meanwhile.
  if unshare -rn true 2>/dev/null; then
    unshare -rn sh -c 'ip link set lo up && exec python3 "$@"' wine_e2e \
      "$here/wine_e2e.py" "$src" "$win64/bin" "$win32/bin" || fail "the run under Wine failed"
  elif [ "$(id -u)" -eq 0 ]; then
    echo "windows tests: no private network namespace here: running on the loopback as root"
    python3 "$here/wine_e2e.py" "$src" "$win64/bin" "$win32/bin" || fail "the run under Wine failed"
  else
    fail "no private network namespaces here (unshare -rn is refused), and binding port 1001 needs root"
  fi
  echo "windows tests: both builds under Wine in $(($(date +%s) - t0)) s"
  ;;

dist)
  # The package an integrator unpacks (make dist), written into the i686 tree
  # and checked.
  zip=$(python3 "$src/scripts/dist-win32.py" "$src" "$win32/bin" "$win32/dist") || fail "make dist failed"
  python3 "$here/check_dist.py" "$zip" "$src" "$win32/bin" || fail "$zip is not as it should be"
  ;;

*)
  fail "unknown mode $mode"
  ;;
esac
