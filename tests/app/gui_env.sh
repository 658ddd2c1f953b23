# Private display and sound server for running Velorand under Wine: an Xvfb display and
# a PulseAudio server with two virtual cables (null sinks CableA and CableB), each in
# its own runtime directory, so nothing of the user's session is touched. Sourced by
# the end-to-end test and by scripts/run. Every process started here is remembered by
# its id and ended by velorand_env_stop.

velorand_env_pids=()

# velorand_start_xvfb: sets DISPLAY to a free private display.
velorand_start_xvfb() {
  local n
  for n in $(seq 91 140); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    local pid=$!
    local i
    for i in $(seq 1 50); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null && [ -e "/tmp/.X11-unix/X$n" ]; then
      velorand_env_pids+=("$pid")
      export DISPLAY=":$n"
      return 0
    fi
  done
  echo "no free display for Xvfb" >&2
  return 1
}

# velorand_start_pulse <runtime dir>: private PulseAudio with CableA (44100 Hz) and
# CableB (48000 Hz); exports XDG_RUNTIME_DIR and PULSE_SERVER for the programs started
# afterwards.
velorand_start_pulse() {
  local dir=$1
  mkdir -p "$dir" && chmod 700 "$dir"
  export XDG_RUNTIME_DIR=$dir
  export PULSE_SERVER=unix:$dir/pulse/native
  export PULSE_STATE_PATH=$dir/state
  pulseaudio --daemonize=no --exit-idle-time=-1 --disallow-exit -n --disable-shm=yes \
    --load="module-native-protocol-unix auth-anonymous=1" \
    --load="module-null-sink sink_name=cableA rate=44100 sink_properties=device.description=CableA" \
    --load="module-null-sink sink_name=cableB rate=48000 sink_properties=device.description=CableB" \
    --log-target=file:"$dir/pulse.log" >/dev/null 2>&1 &
  local pid=$!
  local i
  for i in $(seq 1 100); do
    pactl info >/dev/null 2>&1 && { velorand_env_pids+=("$pid"); return 0; }
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "PulseAudio did not start (see $dir/pulse.log)" >&2
  kill "$pid" 2>/dev/null
  return 1
}

# velorand_make_tone <file> <Hz> <rate>: one second of a sine at -6 dBFS, stereo signed
# 16-bit little-endian. An integer frequency fits a whole number of cycles into the
# second, so the file loops without a seam. Made with awk and the shell's printf only:
# the rig must not depend on an audio tool that a fresh machine lacks.
velorand_make_tone() {
  local file=$1 freq=$2 rate=$3
  LC_ALL=C awk -v f="$freq" -v r="$rate" 'BEGIN {
    pi = atan2(0, -1)
    for (i = 0; i < r; i++) {
      v = 16383.5 * sin(2 * pi * f * i / r)
      v = (v < 0) ? int(v - 0.5) : int(v + 0.5)
      if (v < 0) v += 65536
      b = sprintf("\\x%02x\\x%02x", v % 256, int(v / 256))
      printf "%s%s", b, b
      if (i % 2048 == 2047) printf "\n"
    }
    printf "\n"
  }' | while IFS= read -r line; do printf '%b' "$line"; done >"$file"
}

# velorand_play_tone <sink> <Hz> <seconds>: a sine at -6 dBFS into a cable, in the
# background.
velorand_play_tone() {
  local sink=$1 freq=$2 secs=$3
  local file
  file=$(mktemp /tmp/velorand-tone-XXXXXX)
  velorand_make_tone "$file" "$freq" 44100
  ( for ((i = 0; i < secs; i++)); do cat "$file" || break; done; rm -f "$file" ) |
    pacat --playback -d "$sink" --rate=44100 --channels=2 --format=s16le --latency-msec=50 2>/dev/null &
  velorand_env_pids+=("$!")
}

# velorand_remember_pid <pid>: ended by velorand_env_stop too.
velorand_remember_pid() { velorand_env_pids+=("$1"); }

velorand_env_stop() {
  local pid
  for pid in "${velorand_env_pids[@]}"; do
    kill "$pid" 2>/dev/null
  done
  for pid in "${velorand_env_pids[@]}"; do
    for _ in $(seq 1 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
  done
  velorand_env_pids=()
}
