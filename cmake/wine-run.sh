#!/usr/bin/env bash
# Runs a Windows executable under Wine with a private prefix inside the build tree.
# The prefix is created once (serialised with flock, since CTest may start several
# tests at the same time) and Wine's own debug chatter is silenced.
# `wine-run.sh --prepare <build dir>` only creates the prefix, so that the test command
# can pay for it once before CTest starts timing tests.
set -u
prepare_only=false
if [ "${1:-}" = --prepare ]; then
  prepare_only=true
  dir=$(cd "$2" && pwd)
else
  exe=$1
  # The prefix lives next to the build tree's CMakeCache; find it from the executable.
  dir=$(cd "$(dirname "$exe")" && pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ "$dir" = / ] && dir=$(cd "$(dirname "$exe")" && pwd)
fi
export WINEPREFIX=${VELORAND_WINEPREFIX:-$dir/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
wine=$(command -v wine)
if [ ! -f "$WINEPREFIX/.velorand-ready" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.velorand-ready" ]; then
      "$wine" wineboot -i >/dev/null 2>&1
      wineserver -w 2>/dev/null || true
      touch "$WINEPREFIX/.velorand-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
$prepare_only && exit 0
# ALSA complains on stderr when no sound server is reachable; that is noise here.
"$wine" "$@" 2> >(grep -v -E '^ALSA lib|cannot find card|^fixme:|^err:ole' >&2)
rc=$?
exit $rc
