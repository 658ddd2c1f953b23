#!/usr/bin/env bash
# Installs the Debian packages the builds and the test rig need, when any is missing.
# Sourced by scripts/test and scripts/run; safe to run again (does nothing when all
# packages are present).
velorand_packages=(
  cmake ninja-build g++ googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-x86-64-posix mingw-w64-tools
  wine wine64
  pulseaudio pulseaudio-utils
  xvfb imagemagick x11-apps x11-utils xdotool
)

velorand_install_deps() {
  local missing=()
  local p
  for p in "${velorand_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  # Optional peers for the resampler comparison bench; absent ones are skipped there.
  if [ "${VELORAND_PEERS:-0}" = 1 ]; then
    for p in libsoxr-dev libsamplerate0-dev libspeexdsp-dev libzita-resampler-dev; do
      dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
  fi
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
