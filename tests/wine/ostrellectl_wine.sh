#!/usr/bin/env bash
# The Windows ostrellectl.exe under Wine against radiosim reached as COM ports:
# status (words and JSON), key, tune and a read of 20 records, a scripted
# call seen by watch --hits, and a radio that does not answer. Run by tools/wine-tests.sh with WINEPREFIX set and
# radiosim already serving COM6 (no replies); this starts its own on COM7.
# Usage: ostrellectl_wine.sh NATIVE_BUILD_DIR WINDOWS_BUILD_DIR
set -uo pipefail
native=$1
win=$2
exe=$win/ostrellectl.exe
work=$(mktemp -d)
failures=0
sim=
calls=

finish() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null
  [ -n "$calls" ] && kill "$calls" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT

check() { # description, then a command that must succeed
  local what=$1; shift
  if "$@"; then
    echo "ok    $what"
  else
    echo "FAIL  $what"
    failures=$((failures + 1))
  fi
}

ctl() { # exit code in $rc, output in $out, messages in $err
  out=$(wine "$exe" "$@" 2>"$work/err" | tr -d '\r')
  rc=${PIPESTATUS[0]}
  err=$(tr -d '\r' <"$work/err")
}

head -c $((20 * 132)) /dev/urandom >"$work/image.bin"
"$native/radiosim" --link "$WINEPREFIX/dosdevices/com7" --trace --image "$work/image.bin" >"$work/trace" 2>&1 &
sim=$!
for _ in $(seq 50); do [ -s "$work/trace" ] && break; sleep 0.1; done
traced() { grep -q "PC->RADIO  $1" "$work/trace"; }
untraced() { ! traced "$1"; }

ctl --port COM7 status
check "status exits 0" [ "$rc" -eq 0 ]
check "status shows the radio's status ($out)" grep -Eq '^SCAN  [0-9]+\.[0-9]{6} (AM|FM|NFM|AUTO)  RSSI [0-9]+  Centermeter [0-9]+  Battery 7\.80 V' <<<"$out"

ctl --port COM7 --json status
check "status --json exits 0" [ "$rc" -eq 0 ]
check "status --json is a valid status object" python3 -c '
import json, sys
s = json.loads(sys.argv[1])
assert s["statusValid"] and s["shown"]["battery"] == "7.80 V" and s["raw"]["battery"] == 780
' "$out"

ctl --port COM7 key scan 1 --delay 50
check "key exits 0" [ "$rc" -eq 0 ]
check "the SCAN and 1 key frames reached the radio" traced "02 4B 0F 03 5D"
check "in order" bash -c "grep -A20 '02 4B 0F 03 5D' '$work/trace' | grep -q '02 4B 21 03 6F'"

ctl --port COM7 tune 146.52 fm
check "tune exits 0" [ "$rc" -eq 0 ]
check "the tune frame reached the radio" traced "02 54 C0 B7 BB 08 01 03 92"
ctl --port COM7 status
check "the radio shows the new frequency ($out)" grep -q '^TUNE  146.520000 FM' <<<"$out"

ctl --port COM7 read "$(winepath -w "$work/backup.bin" 2>/dev/null | tr -d '\r')"
check "read exits 0 ($err)" [ "$rc" -eq 0 ]
check "read says what it stored ($out)" grep -q '^20 records (2640 bytes) were received into: ' <<<"$out"
check "the 20 records read are the radio's image" cmp -s "$work/image.bin" "$work/backup.bin"

# _isatty holds for NUL as for any character device: only a console may be asked.
ctl --port COM7 write "$(winepath -w "$work/backup.bin" 2>/dev/null | tr -d '\r')" </dev/null
check "write with no console and no --yes exits 2 ($err)" [ "$rc" -eq 2 ]
check "and asks nothing ($err)" bash -c '! grep -q "Send the" <<<"$1"' _ "$err"
check "nothing went to the radio" untraced "02 50 03 03 56"

# One call on channel 7 from 4.0 s to 4.5 s of radiosim's time (Wine takes a
# while to start): its hit, with
# the local time and offset as Windows gives them, is printed once it ends; its
# recording is empty, since the Windows build records no sound.
printf '4.0 144.0125 FM 0.5 620\n' >"$work/calls.txt"
"$native/radiosim" --link "$WINEPREFIX/dosdevices/com8" --activity "$work/calls.txt" >"$work/calls.out" 2>&1 &
calls=$!
for _ in $(seq 50); do [ -s "$work/calls.out" ] && break; sleep 0.1; done
out=$(timeout -s KILL 9 wine "$exe" --port COM8 watch --hits 2>"$work/err" | tr -d '\r')
check "watch --hits prints the header and the call's hit ($out)" grep -Eq \
  '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}\.[0-9]{3}[+-][0-9]{2}:[0-9]{2},0\.[45][0-9]{2},144\.012500,FM,SCAN,.*CHANNEL 007.*,6[0-9]{2},6[0-9]{2},$' <<<"$out"
check "with the offset the system gives ($out)" grep -q "$(date +%:z),0\." <<<"$out"
check "after the header" grep -q '^start,duration_s,frequency_mhz,' <<<"$out"

ctl --port COM6 status
check "a radio that does not answer gives exit 1 ($err)" [ "$rc" -eq 1 ]
ctl --port COM77 status
check "a port that is not there gives exit 3 ($err)" [ "$rc" -eq 3 ]

echo "ostrellectl.exe under Wine: $failures failed"
[ "$failures" -eq 0 ]
