#!/usr/bin/env bash
# Self-test of pulse-rig.sh: cables at the asked rates and channel counts, a tone played
# into one cable is recorded from its monitor, stop leaves no server process behind.
# Exit 77 (skipped) when PulseAudio is not installed outside CI.
set -u
script=$1
dir=$2
rm -rf "$dir"
out=$("$script" start "$dir" cableX:44100:2 cableY:96000:4 2>&1)
rc=$?
if [ -f "$dir/unavailable" ]; then
  echo "SKIPPED: $(cat "$dir/unavailable")"
  [ "${CI:-}" = true ] && exit 1
  exit 77
fi
[ $rc -eq 0 ] || { echo "start failed: $out"; exit 1; }
eval "$("$script" env "$dir")"
pid=$(cat "$XDG_RUNTIME_DIR/pulse/pid")
fail=0
sinks=$(pactl list short sinks)
echo "$sinks"
grep -q 'cableX.*2ch 44100Hz' <<<"$sinks" || { echo "cableX missing or wrong"; fail=1; }
grep -q 'cableY.*4ch 96000Hz' <<<"$sinks" || { echo "cableY missing or wrong"; fail=1; }
pactl list sinks | grep -q 'Description: CableX' || { echo "description CableX missing"; fail=1; }
# Half a second of a 441 Hz square wave (+-16000) into cableX, recorded from its monitor.
# Made with printf alone: the test needs nothing beyond the shell and coreutils.
hi=$(printf '\200\076\200\076%.0s' $(seq 50))   # 50 stereo frames of +16000
lo=$(printf '\200\301\200\301%.0s' $(seq 50))   # 50 stereo frames of -16000
for _ in $(seq 220); do printf '%s%s' "$hi" "$lo"; done >"$dir/tone.raw"
# pacat and parec move the data only through stdin/stdout: given a file name they
# play or record silence (pulseaudio 16). A play shorter than the default 2 s buffer
# is dropped unless a small latency is asked for.
parec -d cableX.monitor --raw --format=s16le --rate=44100 --channels=2 >"$dir/rec.raw" &
rec=$!
sleep 0.3
pacat -d cableX --raw --format=s16le --rate=44100 --channels=2 --latency-msec=50 <"$dir/tone.raw"
sleep 0.3
kill -INT $rec; wait $rec 2>/dev/null
peak=$(od -An -v -td2 -w2 "$dir/rec.raw" | awk '{v = $1 < 0 ? -$1 : $1; if (v > m) m = v} END {print m + 0}')
echo "recorded peak $peak"
[ "${peak:-0}" -gt 14000 ] || { echo "tone not recorded from the monitor"; fail=1; }
"$script" stop "$dir" || fail=1
sleep 0.2
if kill -0 "$pid" 2>/dev/null; then echo "server $pid still running"; fail=1; fi
"$script" status "$dir" >/dev/null && { echo "status still says running"; fail=1; }
exit $fail
