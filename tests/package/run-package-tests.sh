#!/usr/bin/env bash
# The Debian package as a new user meets it. Builds the .deb (which must pass
# lintian), validates its desktop entry and metainfo, installs it with
# apt-get into a clean Debian 12 root made by debootstrap, and there, as an
# ordinary user:
#   1. opens the installed ostrelle offscreen and leaves with Exit: the
#      settings folder ~/.config/ostrelle is made, private, with the
#      defaults in Ostrelle.cfg;
#   2. mirrors radiosim on COM 7 (START, the SCAN key, STOP, Exit), driven
#      by tests/package/paneldriver.cpp preloaded into the unchanged program:
#      the key reaches the radio and COM 7 is saved;
#   3. opens and leaves once more: COM 7 was read back and kept;
#   4. runs the installed ostrellectl status, which must find the radio
#      through the same folder's Ostrelle.cfg and ports/;
# and checks that nothing was written anywhere but in the user's home (and
# /tmp). Then it purges the package and checks that nothing of it is left.
#
# Needs root (debootstrap, chroot, mounts). The bare root is kept as a
# tarball in /var/cache/ostrelle-package and made again when a month old;
# downloaded packages are kept there too.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
dir=${OSTRELLE_BUILD_DIR:-$here/build}
started=$(date +%s)
say() { echo "== package: $*"; }
fail() { echo "package test FAILED: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || fail "needs root for debootstrap and chroot"
bash "$here/tools/setup.sh" package-test

deb=$(bash "$here/tools/package.sh")
say "built and passed lintian: $(basename "$deb")"
OSTRELLE_TARGETS=paneldriver bash "$here/tools/build.sh" >/dev/null

work=$(mktemp -d /tmp/ostrelle-package.XXXXXX)
root=$work/root
# Only what this script started runs in the root; it is ended, every mount is
# undone, and the folder is removed only once nothing is mounted inside it.
cleanup() {
  set +e
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && kill "${p#/proc/}" 2>/dev/null
  done
  sleep 0.2
  for m in dev/ptmx dev/pts var/cache/apt/archives proc; do
    mountpoint -q "$root/$m" 2>/dev/null && umount "$root/$m"
  done
  if grep -q " $work/" /proc/self/mounts; then
    echo "package test: mounts are left under $work; it is kept" >&2
  else
    rm -rf --one-file-system "$work"
  fi
}
trap cleanup EXIT

# ---- What the desktop and the software centres read ------------------------
dpkg-deb -x "$deb" "$work/contents"
desktop-file-validate "$work/contents/usr/share/applications/org.ostrelle.Ostrelle.desktop"
appstreamcli validate --no-net "$work/contents/usr/share/metainfo/org.ostrelle.Ostrelle.metainfo.xml" >/dev/null ||
  appstreamcli validate --no-net "$work/contents/usr/share/metainfo/org.ostrelle.Ostrelle.metainfo.xml" ||
  fail "the metainfo does not validate"
say "desktop entry and metainfo are valid"

# ---- A clean Debian 12 ------------------------------------------------------
cache=/var/cache/ostrelle-package
mkdir -p "$cache/archives/partial"
base=$cache/bookworm-minbase.tar.gz
if [ ! -s "$base" ] || [ -n "$(find "$base" -mtime +30)" ]; then
  say "making a clean Debian 12 root with debootstrap (kept for a month)"
  fresh=$work/fresh
  debootstrap --variant=minbase --cache-dir="$cache/archives" bookworm "$fresh" http://deb.debian.org/debian \
    >"$work/debootstrap.log" 2>&1 || { tail -20 "$work/debootstrap.log"; fail "debootstrap"; }
  tar -C "$fresh" -czf "$base.new" . && mv "$base.new" "$base"
  rm -rf "$fresh"
fi
mkdir -p "$root"
tar -C "$root" -xzf "$base"
mount -t proc proc "$root/proc"
# A terminal instance of its own for radiosim; the root's /dev has the rest.
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
mount --bind "$root/dev/pts/ptmx" "$root/dev/ptmx"
mount --bind "$cache/archives" "$root/var/cache/apt/archives"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cat >"$root/etc/apt/sources.list" <<'SOURCES'
deb http://deb.debian.org/debian bookworm main
deb http://deb.debian.org/debian bookworm-updates main
deb http://deb.debian.org/debian-security bookworm-security main
SOURCES
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }
in_root apt-get update -qq >/dev/null
in_root useradd --create-home --shell /bin/bash radiofan
cp "$deb" "$root/tmp/"
cp "$dir/paneldriver.so" "$root/tmp/paneldriver.so" && chmod 0644 "$root/tmp/paneldriver.so"

# ---- Install as the README says ---------------------------------------------
t=$(date +%s)
in_root apt-get install -y -qq "./tmp/$(basename "$deb")" >"$work/install.log" 2>&1 ||
  { tail -20 "$work/install.log"; fail "apt-get install"; }
say "installed with apt-get in $(( $(date +%s) - t )) s"
files=$(in_root dpkg-query -L ostrelle)
for f in /usr/bin/ostrelle /usr/bin/radiosim /usr/share/applications/org.ostrelle.Ostrelle.desktop \
         /usr/share/icons/hicolor/48x48/apps/org.ostrelle.Ostrelle.png \
         /usr/share/icons/hicolor/scalable/apps/org.ostrelle.Ostrelle.svg \
         /usr/share/man/man1/ostrelle.1.gz /usr/share/man/man1/radiosim.1.gz; do
  grep -qx "$f" <<<"$files" || fail "$f is not in the package"
done

# ---- As an ordinary user ----------------------------------------------------
home=/home/radiofan
folder=$home/.config/ostrelle
as_user() {
  chroot "$root" /usr/sbin/runuser -u radiofan -- /usr/bin/env -i HOME=$home PATH=/usr/bin:/bin \
    QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp/runtime-radiofan "$@"
}
panel() { as_user "$@" LD_PRELOAD=/tmp/paneldriver.so timeout 60 ostrelle; }
stamp=$root/tmp/stamp
touch "$stamp"
sleep 1

panel || fail "the installed ostrelle did not open and exit"
[ -d "$root$folder" ] || fail "no settings folder $folder"
mode=$(in_root stat -c %a:%U "$folder")
[ "$mode" = "700:radiofan" ] || fail "$folder is $mode"
[ "$(head -n 2 "$root$folder/Ostrelle.cfg" | tr -d ' ' | paste -sd ' ')" = "1 25.000000" ] ||
  fail "first run did not save the defaults: $(cat "$root$folder/Ostrelle.cfg")"
say "first run: the defaults saved in $folder (mode 700)"

as_user mkdir -p $folder/ports
# In a process group of its own, so that it ends with the runuser above it.
setsid chroot "$root" /usr/sbin/runuser -u radiofan -- /usr/bin/env -i HOME=$home PATH=/usr/bin:/bin \
  radiosim --link $folder/ports/COM7 --trace >"$work/radiosim.log" 2>&1 &
sim=$!
for _ in $(seq 50); do [ -L "$root$folder/ports/COM7" ] && break; sleep 0.1; done
panel OSTRELLE_DRIVER_COM=7 || fail "the session START, SCAN, STOP, Exit failed"
grep -q 'PC->RADIO  02 4B 0F 03 5D' "$work/radiosim.log" || fail "the SCAN key did not reach radiosim"
[ "$(head -n 1 "$root$folder/Ostrelle.cfg")" = 7 ] || fail "COM 7 was not saved"
panel || fail "the third run failed"
[ "$(head -n 1 "$root$folder/Ostrelle.cfg")" = 7 ] || fail "COM 7 was not read back at the next start"
say "START, SCAN, STOP and Exit against radiosim; COM 7 kept between runs"

if [ -x "$root/usr/bin/ostrellectl" ]; then
  out=$(as_user timeout 30 ostrellectl status) || fail "ostrellectl status: exit $?"
  [ -n "$out" ] || fail "ostrellectl status printed nothing"
  say "ostrellectl status through the same folder: $out"
else
  say "ostrellectl is not in the package yet: its check is skipped"
fi
kill -- -"$sim" && wait "$sim" 2>/dev/null || true

written=$(cd "$root" && find . -xdev -newer "$stamp" ! -path "./home/radiofan*" ! -path "./tmp*" ! -path "./dev*" \
           ! -path . -print)
[ -z "$written" ] || fail "written outside the user's home: $written"
[ -z "$(find "$root/usr/bin" -newer "$stamp")" ] || fail "something was written beside the binary"
say "nothing written outside $home"

# ---- Removed again -----------------------------------------------------------
in_root apt-get purge -y -qq ostrelle >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "apt-get purge"; }
while read -r f; do
  [ -d "$root$f" ] || [ ! -e "$root$f" ] || fail "$f is left after the purge"
done <<<"$files"
left=$(cd "$root" && find . -xdev \( -iname '*ostrelle*' -o -name radiosim -o -name 'radiosim.*' \) \
         ! -path "./home/radiofan*" ! -path "./tmp*" ! -path "./var/cache/apt/archives*" -print)
[ -z "$left" ] || fail "left after the purge: $left"
[ -f "$root$folder/Ostrelle.cfg" ] || fail "the purge took the user's own settings"
say "purged: nothing of it is left; the user's settings stay theirs"

say "passed in $(( $(date +%s) - started )) s"
echo "1 passed, 0 failed"
