#!/usr/bin/env bash
# Private PulseAudio server with null-sink "cables" for the device tests: each cable is a
# playback device, its monitor ("Monitor of <Cable>") a capture device. Everything lives
# under one directory (by CTest: <build>/rig), so it never touches a user's own server.
#
# By hand:
#   tests/rig/pulse-rig.sh start /tmp/rig                # cables A 44100/2, B 48000/2
#   tests/rig/pulse-rig.sh start /tmp/rig cableX:96000:4 # or name:rate:channels ...
#   eval "$(tests/rig/pulse-rig.sh env /tmp/rig)"        # then wine, pactl, parec, paplay
#   tests/rig/pulse-rig.sh stop /tmp/rig                 # ends the server, no process left
#   tests/rig/pulse-rig.sh status /tmp/rig
#
# A cable named cableA gets the description "CableA" (what Wine lists). When the server
# cannot start at all, `start` writes the reason to <dir>/unavailable and exits 0, so the
# tests skip with that reason; with VELORAND_RIG_REQUIRED=1 (or CI=true) it exits 1.
set -u
cmd=${1:-}
dir=${2:-}
[ -n "$cmd" ] && [ -n "$dir" ] || { sed -n '2,16p' "$0"; exit 2; }
shift 2
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
runtime=$dir/runtime
export XDG_RUNTIME_DIR=$runtime
export PULSE_SERVER=unix:$runtime/pulse/native
# Keep the server's cookie and state out of the caller's home.
export HOME=$dir/home
export PULSE_STATE_PATH=$dir/state
pidfile=$runtime/pulse/pid

required() { [ "${VELORAND_RIG_REQUIRED:-}" = 1 ] || [ "${CI:-}" = true ]; }

server_pid() {
  [ -f "$pidfile" ] || return 1
  local pid
  pid=$(cat "$pidfile" 2>/dev/null) || return 1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 1
  # Only ever our own server: the process must be pulseaudio.
  [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = pulseaudio ] || return 1
  echo "$pid"
}

unavailable() {
  echo "$1" >"$dir/unavailable"
  echo "pulse-rig: $1" >&2
  if required; then exit 1; fi
  exit 0
}

do_stop() {
  local pid
  pid=$(server_pid) || { rm -f "$pidfile"; return 0; }
  pulseaudio --kill >/dev/null 2>&1 || kill "$pid" 2>/dev/null
  for _ in $(seq 1 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -9 "$pid" 2>/dev/null
    sleep 0.2
  fi
  rm -f "$pidfile"
  ! kill -0 "$pid" 2>/dev/null
}

case "$cmd" in
  env)
    printf 'export XDG_RUNTIME_DIR=%q\nexport PULSE_SERVER=%q\n' "$XDG_RUNTIME_DIR" "$PULSE_SERVER"
    ;;
  status)
    if pid=$(server_pid); then
      echo "running, pid $pid"
      pactl list short sinks 2>/dev/null
      exit 0
    fi
    echo "not running"
    exit 1
    ;;
  stop)
    rm -rf "$dir/tmp"
    do_stop && echo "pulse-rig: stopped" || { echo "pulse-rig: could not stop the server" >&2; exit 1; }
    ;;
  start)
    rm -f "$dir/unavailable"
    command -v pulseaudio >/dev/null || unavailable "pulseaudio is not installed"
    command -v pactl >/dev/null || unavailable "pactl (pulseaudio-utils) is not installed"
    do_stop >/dev/null
    mkdir -p "$runtime" "$HOME" "$PULSE_STATE_PATH"
    chmod 700 "$runtime"
    [ $# -gt 0 ] || set -- cableA:44100:2 cableB:48000:2
    loads=()
    for spec in "$@"; do
      IFS=: read -r name rate ch <<<"$spec"
      [ -n "$name" ] && [ -n "${rate:-}" ] || { echo "pulse-rig: bad cable '$spec' (name:rate[:channels])" >&2; exit 2; }
      desc="$(tr '[:lower:]' '[:upper:]' <<<"${name:0:1}")${name:1}"
      loads+=("--load=module-null-sink sink_name=$name rate=$rate channels=${ch:-2} sink_properties=device.description=$desc")
    done
    # Root is fine here (it warns). High priority (and real-time where the system grants
    # it), so the server's cable clocks keep time on a loaded machine; no idle exit, no
    # default script: the server holds exactly the cables asked for.
    pulseaudio --daemonize=yes --exit-idle-time=-1 --disallow-exit -n --use-pid-file=yes \
      --realtime=yes --high-priority=yes --disable-shm=yes \
      --log-target=file:"$dir/pulse.log" \
      --load="module-native-protocol-unix auth-anonymous=1" \
      "${loads[@]}" >>"$dir/pulse.log" 2>&1
    for _ in $(seq 1 50); do
      pactl info >/dev/null 2>&1 && break
      sleep 0.1
    done
    pactl info >/dev/null 2>&1 || unavailable "PulseAudio did not start (see $dir/pulse.log)"
    pactl list short sinks | awk '{print "pulse-rig: cable " $2 " " $4 " " $5 " " $6}'
    ;;
  *)
    sed -n '2,16p' "$0"
    exit 2
    ;;
esac
