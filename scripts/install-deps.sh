#!/usr/bin/env bash
# Installs what the build needs on a fresh Debian machine (as root), or says
# exactly what is missing. Never skips silently.
#   scripts/install-deps.sh            native build and tests (chromium-headless-shell
#                                      renders the trace report in its test)
#   scripts/install-deps.sh windows    also the mingw-w64 cross compilers, Wine for
#                                      x86_64 and i386, and the emulator that runs
#                                      32-bit Wine where the kernel cannot
#   scripts/install-deps.sh fuzz       also clang with its sanitizer runtimes
set -euo pipefail

# 32-bit Wine (wine32:i386) is a 32-bit Linux program. Where the kernel runs no
# 32-bit ELF itself, qemu-i386 runs it through binfmt_misc. Bookworm's qemu 7.2
# is unusable for that (Wine's address-space reservation takes minutes there), so
# the qemu-i386 binary alone comes from bookworm-backports' qemu-user, unpacked
# to QEMU_I386 without installing the package; nothing else comes from backports.
QEMU_I386=/usr/local/lib/ax_gate/qemu-i386
QEMU_MIN_MAJOR=8
BINFMT=/proc/sys/fs/binfmt_misc
BINFMT_NAME=qemu-i386
BACKPORTS_LIST=/etc/apt/sources.list.d/ax_gate-backports.sources
# ELF, 32-bit, little-endian, machine i386 (ET_EXEC or ET_DYN).
I386_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
I386_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

die() {
  echo "install-deps: $*" >&2
  exit 1
}

want=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev iproute2 util-linux python3 chromium-headless-shell)
wine32=0
for extra in "$@"; do
  case "$extra" in
    windows)
      want+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 binutils-mingw-w64-i686 wine32:i386)
      wine32=1
      ;;
    fuzz) want+=(clang libclang-rt-14-dev) ;;
    *) echo "install-deps: unknown extra '$extra'" >&2; exit 2 ;;
  esac
done

is_root() { [ "$(id -u)" -eq 0 ]; }

qemu_major() {
  "$1" --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9]*\)\..*/\1/p' | head -n1
}

# What apt needs before it can install wine32:i386: the i386 architecture and,
# for qemu-i386, the backports suite (at its default low priority, so that no
# package is ever installed from it).
prepare_apt_for_wine32() {
  local changed=0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "install-deps: adding the i386 architecture (for wine32)"
    dpkg --add-architecture i386
    changed=1
  fi
  if [ ! -x "$QEMU_I386" ] && ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "install-deps: adding bookworm-backports to apt's sources (for qemu-i386 only)"
    cat >"$BACKPORTS_LIST" <<'EOF'
# Added by ax_gate's scripts/install-deps.sh: only qemu-user's qemu-i386 binary is
# taken from here (unpacked, not installed).
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    changed=1
  fi
  if [ "$changed" -eq 1 ]; then
    apt_update
  fi
}

# apt-get update. A mirror that serves a package index which does not match its
# release file (seen with bookworm-security's i386 index while the mirror syncs)
# makes apt drop that index with an error, and wine32 would then fail later with
# a misleading message. Such an index is fetched directly into apt's lists, with
# a warning: the package files are still checked against it, but it is not
# checked against the signed release file.
apt_update() {
  apt-get update && return 0
  local missing=() file uri arch
  while read -r file uri arch; do
    [ "$arch" = all ] && continue
    compgen -G "$file*" >/dev/null || missing+=("$file $uri")
  done < <(apt-get indextargets --no-release-info --format '$(FILENAME) $(URI) $(ARCHITECTURE)' \
             'Created-By: Packages')
  if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: WARNING: apt-get update failed (see above); going on with the package lists at hand" >&2
    return 0
  fi
  local entry tmp
  for entry in "${missing[@]}"; do
    file=${entry%% *}
    uri=${entry#* }
    echo "install-deps: WARNING: apt dropped $uri (it does not match the release file);" \
         "fetching it directly into $file, unverified" >&2
    tmp=$(mktemp)
    /usr/lib/apt/apt-helper download-file "$uri.xz" "$tmp" && xz -dc <"$tmp" >"$file.new" && [ -s "$file.new" ] ||
      { rm -f "$tmp" "$file.new"; die "cannot fetch $uri.xz: apt has no package index for that suite"; }
    mv "$file.new" "$file"
    rm -f "$tmp"
  done
}

# qemu-i386 of version QEMU_MIN_MAJOR or later at QEMU_I386.
install_qemu_i386() {
  local major
  major=$(qemu_major "$QEMU_I386" || true)
  if [ -n "$major" ] && [ "$major" -ge "$QEMU_MIN_MAJOR" ]; then
    return 0
  fi
  is_root || die "qemu-i386 >= $QEMU_MIN_MAJOR is missing at $QEMU_I386: run scripts/install-deps.sh windows as root"
  local tmp
  tmp=$(mktemp -d)
  chmod 755 "$tmp" # apt downloads as its own user
  echo "install-deps: unpacking qemu-i386 from bookworm-backports' qemu-user to $QEMU_I386"
  if ! (cd "$tmp" && apt-get download qemu-user/bookworm-backports); then
    apt_update
    (cd "$tmp" && apt-get download qemu-user/bookworm-backports) ||
      die "cannot download qemu-user from bookworm-backports (is the suite in apt's sources?)"
  fi
  dpkg-deb -x "$tmp"/qemu-user_*.deb "$tmp/root" || die "cannot unpack $(ls "$tmp"/qemu-user_*.deb)"
  [ -x "$tmp/root/usr/bin/qemu-i386" ] || die "qemu-user from bookworm-backports has no usr/bin/qemu-i386"
  mkdir -p "$(dirname "$QEMU_I386")"
  install -m 0755 "$tmp/root/usr/bin/qemu-i386" "$QEMU_I386"
  rm -rf "$tmp"
  if ldd "$QEMU_I386" 2>/dev/null | grep -q 'not found'; then
    die "$QEMU_I386 needs libraries that are not installed:" "$(ldd "$QEMU_I386" | grep 'not found')"
  fi
  major=$(qemu_major "$QEMU_I386" || true)
  [ -n "$major" ] && [ "$major" -ge "$QEMU_MIN_MAJOR" ] ||
    die "$QEMU_I386 does not run or is older than $QEMU_MIN_MAJOR: $("$QEMU_I386" --version 2>&1 | head -n1)"
}

# i386 ELF registered to QEMU_I386 through binfmt_misc. The registration lives in
# the kernel only and is gone after a reboot, so this runs before every Wine run.
register_binfmt() {
  local entry=$BINFMT/$BINFMT_NAME
  if [ -f "$entry" ] && grep -qx enabled "$entry" && grep -qx "interpreter $QEMU_I386" "$entry" &&
     grep -q '^flags: .*F' "$entry"; then
    return 0
  fi
  is_root || die "i386 ELF is not registered to $QEMU_I386 in binfmt_misc: run scripts/install-deps.sh windows as root"
  if [ ! -e "$BINFMT/register" ]; then
    mount -t binfmt_misc binfmt_misc "$BINFMT" || die "cannot mount binfmt_misc on $BINFMT"
  fi
  if [ -e "$entry" ]; then
    echo "install-deps: replacing the binfmt_misc entry $BINFMT_NAME ($(grep interpreter "$entry"))"
    echo -1 >"$entry" || die "cannot remove the binfmt_misc entry $entry"
  fi
  echo "install-deps: registering i386 ELF to $QEMU_I386 in binfmt_misc"
  printf '%s' ":$BINFMT_NAME:M::$I386_MAGIC:$I386_MASK:$QEMU_I386:FOC" >"$BINFMT/register" ||
    die "cannot register i386 ELF in binfmt_misc"
  local other
  for other in "$BINFMT"/*; do
    case "${other##*/}" in register | status | "$BINFMT_NAME") continue ;; esac
    [ -f "$other" ] && grep -q '^magic 7f454c46010101000000000000000000' "$other" &&
      grep -qx enabled "$other" && [ "$(sed -n 's/^magic //p' "$other")" = "$(sed -n 's/^magic //p' "$entry")" ] &&
      die "another binfmt_misc entry, $other, also claims i386 ELF: disable it (echo 0 > $other)"
  done
  return 0
}

if is_root && [ "$wine32" -eq 1 ]; then
  prepare_apt_for_wine32
fi

missing=()
for pkg in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if [ ${#missing[@]} -ne 0 ]; then
  if ! is_root; then
    echo "install-deps: missing packages: ${missing[*]}" >&2
    echo "install-deps: run as root, or: sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
    [ "$wine32" -eq 1 ] && echo "install-deps: (wine32:i386 needs 'dpkg --add-architecture i386' first)" >&2
    exit 1
  fi
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! apt-get install -y --no-install-recommends "${missing[@]}"; then
    apt_update
    apt-get install -y --no-install-recommends "${missing[@]}" ||
      die "apt-get install ${missing[*]} failed (see above)"
  fi
fi

if [ "$wine32" -eq 1 ]; then
  install_qemu_i386
  register_binfmt
fi
