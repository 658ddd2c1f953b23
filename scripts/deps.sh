#!/usr/bin/env bash
# Installs the Debian packages the builds and the test rig need, when any is missing.
# Sourced by scripts/test and scripts/run; safe to run again (does nothing when all
# packages are present).
velorand_packages=(
  cmake ninja-build g++ googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-x86-64-posix mingw-w64-tools
  wine wine64
  pulseaudio pulseaudio-utils
  xvfb imagemagick x11-utils
)

# Every outside command that scripts/, tests/, cmake/ and .ci/ call, with the package
# that brings it (coreutils, util-linux, mawk and bash come with every Debian system).
# velorand_check_tools fails loudly on a command missing after the install, so a tool
# that a test starts using without its package on the list above breaks here, on every
# machine, and not only on a fresh one.
velorand_tools=(
  cmake:cmake ctest:cmake ninja:ninja-build g++:g++
  x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64-posix
  x86_64-w64-mingw32-windres:binutils-mingw-w64-x86-64
  wine:wine wineserver:wine wineboot:wine winepath:wine
  pulseaudio:pulseaudio pactl:pulseaudio-utils pacat:pulseaudio-utils
  parec:pulseaudio-utils pacmd:pulseaudio-utils
  Xvfb:xvfb import:imagemagick xdpyinfo:x11-utils
  awk:mawk flock:util-linux timeout:coreutils od:coreutils md5sum:coreutils
  comm:coreutils mktemp:coreutils nice:coreutils
)

velorand_check_tools() {
  local t missing=()
  for t in "${velorand_tools[@]}"; do
    command -v "${t%%:*}" >/dev/null 2>&1 || missing+=("${t%%:*} (${t#*:})")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "missing after installation: ${missing[*]}" >&2
  return 1
}

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
  [ ${#missing[@]} -eq 0 ] && { velorand_check_tools; return; }
  echo "== installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || return 1
  velorand_check_tools
}

# Builds Google Benchmark for the Windows tree from Debian's source package (there is no
# Windows package) and installs it under $1 (default: .deps/benchmark-win in the repo);
# give that prefix to CMake as VELORAND_WIN_BENCHMARK_PREFIX to build the Windows
# polyphase bench. apt runs with a private configuration (source entries made from the
# system's own sources), so the system's settings stay as they are. Does nothing when the
# library is there already.
velorand_build_win_benchmark() {
  local repo
  repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  local prefix=${1:-$repo/.deps/benchmark-win}
  [ -f "$prefix/lib/libbenchmark.a" ] && return 0
  local work f
  work=$(mktemp -d) || return 1
  mkdir -p "$work/parts" "$work/lists/partial"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && sed 's/^Types:.*/Types: deb-src/' "$f" >"$work/parts/$(basename "$f")"
  done
  [ -f /etc/apt/sources.list ] && sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$work/parts/classic.list"
  local apt=(-o Dir::Etc::SourceList="$work/parts/classic.list" -o Dir::Etc::SourceParts="$work/parts"
             -o Dir::State::Lists="$work/lists" -o APT::Sandbox::User=root)
  touch "$work/parts/classic.list"
  echo "== building Google Benchmark for Windows into $prefix"
  apt-get "${apt[@]}" update -qq >/dev/null &&
    (cd "$work" && apt-get "${apt[@]}" source --download-only benchmark >/dev/null 2>&1) &&
    tar xzf "$work"/benchmark_*.orig.tar.gz -C "$work" &&
    cmake -S "$(ls -d "$work"/benchmark-*/ | head -1)" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" -DBENCHMARK_ENABLE_TESTING=OFF \
      -DBENCHMARK_ENABLE_WERROR=OFF -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null 2>&1 &&
    nice -n 10 cmake --build "$work/build" -j2 >/dev/null &&
    cmake --install "$work/build" >/dev/null
  local rc=$?
  rm -rf "$work"
  return $rc
}
