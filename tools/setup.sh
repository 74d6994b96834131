#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing,
# so that a second run costs a second.
# Usage: tools/setup.sh [panel|test|usb|package|package-test]
set -euo pipefail

# fonts-liberation2: the dialogs' font, Liberation Sans, whose letters are as
# wide as those the panel's layout was drawn for.
# libpulse-dev and libsndfile1-dev: the audio core captures and plays through
# the sound server and writes each hit's recording. The stream to Icecast:
# libshout speaks to the server, LAME encodes MP3 and libopusenc Ogg Opus.
# pulseaudio-utils and espeak-ng: run-panel gives the simulated radio a voice
# in a sink of its own (pactl), speaking with espeak-ng.
want=(cmake g++ make pkg-config qt6-base-dev libgl-dev libgtest-dev python3-fonttools fonts-liberation2
  libpulse-dev libsndfile1-dev libshout-dev libmp3lame-dev libopusenc-dev pulseaudio-utils espeak-ng)
if [ "${1:-panel}" = "test" ]; then
  # ser2net serves radiosim's terminal on loopback for the network port's tests;
  # openbox (with xprop from x11-utils to see it is up) frames the window for
  # the test of where it comes back after a restart; nlohmann-json reads
  # ostrellectl's JSON back in its tests; Hamlib's rigctl and rigctld are the
  # reference clients of the network control server; a private PulseAudio is
  # the real sound server of the audio tests, into which radiosim speaks or
  # plays sox's tones;
  # icecast2 is the server the stream's tests send to (its own service is
  # never used: the tests start it on a free port with a configuration of
  # their own), and opusfile and mpg123 decode what a listener got.
  want+=(xvfb xauth ser2net openbox x11-utils nlohmann-json3-dev libhamlib-utils
    pulseaudio sox icecast2 libopusfile-dev libmpg123-dev)
fi
case "${1:-panel}" in
  # CPack's Debian generator finds the libraries' packages with dpkg-shlibdeps
  # and the executables with file.
  package) want+=(dpkg-dev file) ;;
  # The package test: the validators, and a clean Debian root to install into.
  package-test) want+=(dpkg-dev file lintian desktop-file-utils appstream debootstrap) ;;
esac
if [ "${1:-panel}" = "usb" ]; then
  # The USB stage boots Debian's kernel under qemu with busybox as its whole
  # userland, talks to qemu's monitor socket through socat, and unpacks
  # kernel modules that a newer package may ship compressed with xz.
  want+=(qemu-system-x86 busybox-static socat xz-utils)
fi

missing=()
for p in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
as_root=()
[ "$(id -u)" -ne 0 ] && as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
