#!/usr/bin/env bash
# Runs one end-to-end test in a Wine session of its own: the prefix's server,
# and with it every Wine process an earlier test may have left (a console, a
# probe, the desktop), is ended first and started again. The COM links are
# made by the test itself, after this start, so the services keep them.
# Expects the environment of scripts/wine-env.sh.
set -u
: "${WINEPREFIX:?run through scripts/test.sh or source scripts/wine-env.sh}"
server="${WINESERVER:-wineserver}"
"$server" -k 2>/dev/null
"$server" -w 2>/dev/null
"$server" -p >/dev/null 2>&1
"${TOLVANE_WINE:-wine}" cmd /c exit >/dev/null 2>&1
exec "$@"
