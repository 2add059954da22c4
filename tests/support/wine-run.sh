#!/usr/bin/env bash
# Runs one Windows program under Wine with COM ports on fresh pty pairs:
#   COM5 <-> COM6 and COM7 <-> COM8
# (each pair is one socat pty pair, both ends linked in dosdevices). A test
# opens one end as the console's port and the other as the dongle.
# Expects the environment of scripts/wine-env.sh (WINEPREFIX, TOLVANE_WINE).
set -u
: "${WINEPREFIX:?run through scripts/test.sh or source scripts/wine-env.sh}"
WINE="${TOLVANE_WINE:-wine}"
dir="$(mktemp -d /tmp/tolvane-pty.XXXXXX)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

make_pair() { # a b
  socat pty,raw,echo=0,link="$dir/$1" pty,raw,echo=0,link="$dir/$2" 2>/dev/null &
  pids+=($!)
}
make_pair com5 com6
make_pair com7 com8
for _ in $(seq 100); do
  [ -e "$dir/com5" ] && [ -e "$dir/com6" ] && [ -e "$dir/com7" ] && [ -e "$dir/com8" ] && break
  sleep 0.05
done
for c in com5 com6 com7 com8; do
  ln -sfn "$(readlink -f "$dir/$c")" "$WINEPREFIX/dosdevices/$c"
done
export TOLVANE_PTY_DIR="$dir"

"$WINE" "$@"
rc=$?
for c in com5 com6 com7 com8; do rm -f "$WINEPREFIX/dosdevices/$c"; done
exit $rc
