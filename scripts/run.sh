#!/usr/bin/env bash
# The first command: builds what is missing, starts the dongle simulator on a
# pty linked as a COM port in a private Wine prefix, starts tolvane.exe under
# Wine on it, chooses the port and presses Start so that the monitors stream.
#
#   bash scripts/run.sh [--no-build] [--seconds N] [--shot FILE] [-- SIMULATOR OPTIONS]
#
# With DISPLAY set the console appears there and the script waits until it
# is closed. Without DISPLAY it runs under a private Xvfb, marks three tiles,
# waits --seconds (default 8), saves a screenshot (default
# build/run-screenshot.png), closes the console and says where the picture is.
#
# Environment:
#   TOLVANE_WINE_PREFIX  Wine prefix root (default build/run-prefix)
#   TOLVANE_RUN_COM      COM port number of the simulator (default 3)
#   TOLVANE_RUN_TREE     Windows build tree (default build/win32 or build/win64,
#                        whichever this machine's Wine runs)
#   TOLVANE_RUN_NATIVE   native build tree with the simulator (default build/native)
# Simulator options (see build/native/tools/dongle_sim/tolvane-dongle-sim --help)
# follow "--", e.g.  bash scripts/run.sh -- --monitors 25 --garbage
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"

BUILD=1
SECONDS_TO_RUN=8
SHOT="$ROOT/build/run-screenshot.png"
SIM_ARGS=()
while [ $# -gt 0 ]; do
  case "$1" in
    --no-build) BUILD=0 ;;
    --seconds)
      [ $# -ge 2 ] && [[ "$2" =~ ^[0-9]+$ ]] || { echo "run: --seconds needs a whole number" >&2; exit 2; }
      SECONDS_TO_RUN="$2"; shift ;;
    --shot)
      [ $# -ge 2 ] && [ -n "$2" ] || { echo "run: --shot needs a file name" >&2; exit 2; }
      SHOT="$(realpath -m "$2")"; shift ;;
    --) shift; SIM_ARGS=("$@"); break ;;
    -h|--help) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run: unknown option '$1' (try --help)" >&2; exit 2 ;;
  esac
  shift
done

COM="${TOLVANE_RUN_COM:-3}"
[[ "$COM" =~ ^[0-9]+$ ]] && [ "$COM" -ge 1 ] && [ "$COM" -le 64 ] ||
  { echo "run: TOLVANE_RUN_COM must be 1..64, got '$COM'" >&2; exit 2; }

if [ "$BUILD" = 1 ]; then
  bash scripts/setup.sh
  # A failing part of the build should not hide a console that was built.
  if ! bash scripts/build.sh; then
    echo "run: the build reported errors; going on with what was built" >&2
  fi
fi

source scripts/wine-env.sh
ARCH="$(tolvane_wine_arch)"
TREE="${TOLVANE_RUN_TREE:-$ROOT/build/$ARCH}"
SIM="${TOLVANE_RUN_NATIVE:-$ROOT/build/native}/tools/dongle_sim/tolvane-dongle-sim"
EXE="$TREE/src/app/tolvane.exe"
[ -f "$EXE" ] || [ ! -f "$TREE/tolvane.exe" ] || EXE="$TREE/tolvane.exe"
PROBE="$TREE/tools/probe/tolvane_probe.exe"

if [ ! -x "$SIM" ]; then
  echo "run: the dongle simulator is missing: $SIM" >&2
  echo "run: build it with: bash scripts/build.sh" >&2
  exit 1
fi
if [ ! -f "$EXE" ]; then
  echo "run: the console is missing: $EXE" >&2
  echo "run: it is not built yet (see the build output above; bash scripts/build.sh builds it)" >&2
  exit 1
fi
if [ ! -f "$PROBE" ]; then
  echo "run: $PROBE is missing: the port will not be chosen for you;" >&2
  echo "run: pick COM$COM in the list and press Start yourself" >&2
fi

RUN_DIR="$(mktemp -d /tmp/tolvane-run.XXXXXX)"
SIM_PID=""
CONSOLE_PID=""
XVFB_PID=""
COM_LINK=""

cleanup() {
  set +e
  if [ -n "$CONSOLE_PID" ] && kill -0 "$CONSOLE_PID" 2>/dev/null; then
    kill "$CONSOLE_PID" 2>/dev/null
  fi
  if [ -n "${WINESERVER:-}" ] && [ -n "${WINEPREFIX:-}" ]; then
    "$WINESERVER" -k >/dev/null 2>&1
  fi
  [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
  [ -n "$COM_LINK" ] && rm -f "$COM_LINK"
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
  rm -rf "$RUN_DIR"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

HEADLESS=0
if [ -z "${DISPLAY:-}" ]; then
  HEADLESS=1
  command -v Xvfb >/dev/null || { echo "run: no DISPLAY and no Xvfb (bash scripts/setup.sh installs it)" >&2; exit 1; }
  n=90
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$RUN_DIR/xvfb.log" 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  [ -e "/tmp/.X11-unix/X$n" ] || { echo "run: Xvfb :$n did not start:" >&2; cat "$RUN_DIR/xvfb.log" >&2; exit 1; }
  export DISPLAY=":$n"
  echo "run: no DISPLAY; using a private Xvfb on $DISPLAY"
fi

export TOLVANE_WINE_PREFIX="${TOLVANE_WINE_PREFIX:-$ROOT/build/run-prefix}"
tolvane_wine_setup

"$SIM" --link "$RUN_DIR/dongle" ${SIM_ARGS[@]+"${SIM_ARGS[@]}"} >"$RUN_DIR/sim.out" 2>"$RUN_DIR/sim.err" &
SIM_PID=$!
PTY=""
for _ in $(seq 100); do
  PTY="$(sed -n 's/^serving //p' "$RUN_DIR/sim.out" 2>/dev/null | head -1)"
  [ -n "$PTY" ] && break
  kill -0 "$SIM_PID" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$PTY" ]; then
  echo "run: the dongle simulator did not start:" >&2
  cat "$RUN_DIR/sim.err" >&2
  SIM_PID=""
  exit 2
fi

# Wine's services rewrite the COM links when they start, so the link is made
# now, with the prefix's server already up, right before the console starts.
COM_LINK="$WINEPREFIX/dosdevices/com$COM"
ln -sfn "$PTY" "$COM_LINK"
echo "run: dongle simulator on $PTY, seen by Wine as COM$COM"

probe() { "$TOLVANE_WINE" "$PROBE" "$@" 2>/dev/null | tr -d '\r'; }
# wait_text ID HEX-REGEX: waits (bounded) until a control's text, in hex, matches.
wait_text() {
  for _ in $(seq 30); do
    probe text "$1" | grep -q -x -E "text $2" && return 0
    sleep 0.3
  done
  return 1
}

"$TOLVANE_WINE" "$EXE" >"$RUN_DIR/console.log" 2>&1 &
CONSOLE_PID=$!
echo "run: console started: $EXE"

if [ -f "$PROBE" ]; then
  if ! probe wait 30000 | grep -q '^main '; then
    echo "run: the console's window did not appear" >&2
    exit 1
  fi
  # The list holds the ports that could be opened ("\\.\COMn"), so find ours by name.
  index="$(probe dump | sed -n 's/^port //p' | sed 's/^.*\\//' | grep -n -x "COM$COM" | head -1 | cut -d: -f1 || true)"
  if [ -z "$index" ]; then
    echo "run: COM$COM is not in the console's port list; pick it yourself" >&2
  else
    probe choose "$((index - 1))" >/dev/null || true
    # Start only once the dongle has answered the opening (stop, then
    # configuration): its name in the info box shows that it did.
    if wait_text 40 '.+'; then
      probe post 17 >/dev/null || true # Start
      if wait_text 17 "$(printf 'Stop !!!' | od -An -tx1 | tr -d ' \n')"; then
        echo "run: chose COM$COM and pressed Start; the monitors are streaming"
      else
        echo "run: pressed Start but the dongle did not acknowledge it" >&2
      fi
    else
      echo "run: chose COM$COM but the dongle did not answer (empty info box)" >&2
    fi
  fi
fi

if [ "$HEADLESS" = 0 ]; then
  echo "run: the console is on $DISPLAY; close it to end the run"
  wait "$CONSOLE_PID" || true
  CONSOLE_PID=""
  exit 0
fi

# Headless: let the tiles fill, mark three, and take a picture.
sleep 3
if [ -f "$PROBE" ]; then
  for tile in 400 402 403; do probe post "$tile" >/dev/null || true; done
fi
sleep "$SECONDS_TO_RUN"
mkdir -p "$(dirname "$SHOT")"
if xwd -root -silent -display "$DISPLAY" | convert xwd:- "$SHOT"; then
  echo "run: screenshot saved to $SHOT"
else
  echo "run: could not save a screenshot to $SHOT" >&2
fi
if [ -f "$PROBE" ]; then
  probe post 105 >/dev/null || true # File -> Exit
  for _ in $(seq 100); do kill -0 "$CONSOLE_PID" 2>/dev/null || break; sleep 0.1; done
fi
