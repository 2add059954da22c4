#!/usr/bin/env bash
# Measures the real console under Wine against the dongle simulator:
#   bash scripts/perf.sh linerate  [--seconds 60] [--rate R] [--minimised]
#   bash scripts/perf.sh endurance [--reports 604800]
#   bash scripts/perf.sh costs
# Further options: tools/perf/perf_run.py --help. The summary is printed and,
# with --out DIR, kept in DIR/summary.json beside the raw samples.
# TOLVANE_WINE_PREFIX picks another prefix, so a long run can go on beside the
# test command (which ends the servers of its own prefix when it is done).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-env.sh
tree=build/win32
[ "$(tolvane_wine_arch)" = win64 ] && tree=build/win64

if [ -n "${TOLVANE_PERF_INSIDE:-}" ]; then
  # Second half, under Xvfb.
  export TOLVANE_SIM="$PWD/build/native/tools/dongle_sim/tolvane-dongle-sim"
  tolvane_wine_setup
  rc=0
  python3 tools/perf/perf_run.py --exe "$tree/tolvane.exe" --probe "$tree/tools/probe/tolvane_probe.exe" "$@" || rc=$?
  "$WINESERVER" -k 2>/dev/null || true
  exit $rc
fi
bash scripts/setup.sh
bash scripts/build.sh
TOLVANE_PERF_INSIDE=1 exec xvfb-run -a -s "-screen 0 1280x1024x24" bash scripts/perf.sh "$@"
