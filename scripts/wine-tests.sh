#!/usr/bin/env bash
# Runs the Windows tree's tests under Wine; called inside xvfb-run.
set -euo pipefail
cd "$(dirname "$0")/.."
tree="$1"
source scripts/wine-env.sh
# The end-to-end tests drive the console against the native dongle simulator.
export TOLVANE_SIM="${TOLVANE_SIM:-$PWD/build/native/tools/dongle_sim/tolvane-dongle-sim}"
tolvane_wine_setup
rc=0
# One at a time: the tests share the prefix's COM port links.
ctest --test-dir "$tree" --output-on-failure -j 1 || rc=$?
"$WINESERVER" -k 2>/dev/null || true
exit $rc
