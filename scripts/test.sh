#!/usr/bin/env bash
# The test command: installs what is missing, builds every tree and runs all
# tests (native ones directly, Windows ones under Wine and Xvfb).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
source scripts/wine-env.sh
WIN_TREE=build/win32
[ "$(tolvane_wine_arch)" = win64 ] && WIN_TREE=build/win64

status=0
ctest --test-dir build/native --output-on-failure -j "$(nproc)" 2>&1 | tee build/native-tests.log || status=1
xvfb-run -a -s "-screen 0 1280x1024x24" bash scripts/wine-tests.sh "$WIN_TREE" 2>&1 | tee build/win-tests.log || status=1

# One closing line for both suites.
summ() { sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\1 \2/p' "$1" | tail -1; }
read -r nf nt < <(summ build/native-tests.log || echo "1 1"); nf=${nf:-1}; nt=${nt:-1}
read -r wf wt < <(summ build/win-tests.log || echo "1 1"); wf=${wf:-1}; wt=${wt:-1}
failed=$((nf + wf)); passed=$((nt - nf + wt - wf))
[ "$failed" -eq 0 ] || status=1
echo "tests: $passed passed, $failed failed"
exit $status
