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
# The first Wine process of a server's life starts the prefix's services (services.exe,
# winedevice.exe, explorer.exe), which inherit that process's output and live as long as
# the server. Started from a test, they would keep CTest's pipe open long after the test
# ended: minutes, while other tests keep the server alive (a 4 s test was timed at 139 s).
# So the server and its services are started here with no pipe attached, and the test
# only joins them. Both calls return at once when the server already runs.
wineserver -p 30 </dev/null >/dev/null 2>&1
"$wine" wineboot </dev/null >/dev/null 2>&1
# ALSA complains on stderr when no sound server is reachable; that is noise here.
# The output also goes to a file: CTest can only tell a run whose tests all skipped by its
# exit status (77), since a skip pattern in the output would also hide a test of the same
# executable that failed beside one that skipped.
log=$(mktemp)
"$wine" "$@" 2> >(grep -v -E '^ALSA lib|cannot find card|^fixme:|^err:ole' >&2) | tee "$log"
rc=${PIPESTATUS[0]}
if [ "$rc" -eq 0 ] && grep -q '^\[  SKIPPED \]' "$log" && grep -q '^\[  PASSED  \] 0 tests' "$log"; then
  rc=77
fi
rm -f "$log"
exit $rc
