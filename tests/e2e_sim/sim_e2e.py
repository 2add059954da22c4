#!/usr/bin/env python3
"""End-to-end runs of tolvane.exe against the dongle simulator.

The console runs under Wine as a user would run it; the simulator
(tolvane-dongle-sim, a native program named by TOLVANE_SIM) serves a pty that
is linked into the prefix as a COM port. tolvane_probe reads the console's
controls and sends what clicks and port choices send; xdotool gives real
clicks.

    sim_e2e.py --exe tolvane.exe --probe tolvane_probe.exe SCENARIO

Needs the environment of scripts/wine-env.sh (tolvane_wine_setup) and an X
display. With TOLVANE_SCREENSHOT=FILE the typical run saves a picture of the
window while it scans with three tiles marked.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
from console_driver import Fail, check, xdo  # noqa: E402
from sim_driver import (CLEAR_USELESS, DONGLE_INFO, LOG, MARKED_COUNT, START_BUTTON, TILE0, TILES,  # noqa: E402
                        Console, Simulator, info_text, open_and_start, wait_for)
PREFIX = os.environ.get('WINEPREFIX', '')
COM = 11  # clear of the pty pairs COM5..COM8 of the other Windows tests
PORT = f'\\\\.\\COM{COM}'

# The simulator's first eight monitors; beyond them it makes up
# "Qorvessa QH2 XXXX" names (every third) and "HR Strap NN".
FIXED_NAMES = ['Qorvessa QH2 04A1', 'Polar H10 7C3D2A19', 'HRM-Dual 51F0', 'CardioStrap 7',
               'Qorvessa Pulse 1B77', 'HeartBelt 3E21', 'Pulse Belt A', 'Optical ArmBand HR 000025']

VALUES = re.compile(r'HR: (\d+)(?: , RR: (\d+))?\nBat: (\d+)%')


def name_pattern(i):
    """The name of the simulator's monitor i, as a regular expression."""
    if i < len(FIXED_NAMES):
        return re.escape(FIXED_NAMES[i])
    if i % 3 == 0:
        return r'Qorvessa QH2 [0-9A-F]{4}'
    return re.escape(f'HR Strap {i:02d}')


def tile_patterns(monitors):
    """Tile names in arrival order: the simulator's monitors minus the refused Polar ones."""
    return [name_pattern(i) for i in range(monitors) if not name_pattern(i).startswith('Polar')][:TILES]


def tile_name(caption):
    return caption.split('\n')[0]


def tiles_match(tiles, patterns, unmarked=True):
    """Tiles 0.. hold the monitors of patterns in this order (unmarked: name and two line feeds), the rest "empty"."""
    for s, caption in enumerate(tiles):
        if s < len(patterns):
            tail = r'\n\n' if unmarked else r'(\n\n|\n' + VALUES.pattern + ')'
            if not re.fullmatch(patterns[s] + tail, caption):
                return False
        elif caption != 'empty':
            return False
    return True


def wait_tiles(con, patterns, what):
    seen = []

    def filled():
        seen[:] = [con.tiles()]
        return tiles_match(seen[0], patterns)
    wait_for(filled, lambda: f'{what}: tiles {seen[0]!r}, wanted {patterns!r}')
    return seen[0]


def live_caption(name, caption):
    """A marked tile's caption with plausible values, or None."""
    m = re.fullmatch(re.escape(name) + r'\n' + VALUES.pattern, caption)
    if not m:
        return None
    hr, rr, bat = int(m.group(1)), int(m.group(2) or 0), int(m.group(3))
    return m if 30 <= hr <= 220 and 200 <= rr <= 2000 and 0 <= bat <= 100 else None


def quiet_tiles(con):
    """Tile captions once two reads a second apart agree (the dongle is held)."""
    last = [None]

    def same():
        time.sleep(1.0)
        now = con.tiles()
        stable = now == last[0]
        last[0] = now
        return stable and now
    return wait_for(same, 'the tiles kept changing with the dongle held')


# Fill colours (red, green, blue) of a marked tile by the monitor's kind.
QORVESSA_FILL = (0, 128, 255)
OTHER_FILL = (213, 64, 183)


def tile_fill(con, ident):
    """Colour of a tile's face near its left edge, away from the text."""
    x, y, w, h = con.screen_rect(ident)
    out = subprocess.run(f'xwd -root -silent | convert xwd:- -crop 1x1+{x + 8}+{y + h // 2} +repage txt:-',
                         shell=True, capture_output=True, text=True, check=True).stdout
    m = re.search(r'\((\d+),(\d+),(\d+)', out.splitlines()[-1])
    check(m, f'no pixel colour in {out!r}')
    return tuple(int(v) for v in m.groups())


def pointer_away(con):
    x, y, w, h = con.dump()['window']
    xdo('mousemove', str(x + w + 20), str(y + h + 20))


def screenshot(con, path):
    x, y, w, h = con.dump()['window']
    # The pointer off the window, so no tooltip balloon covers a tile.
    xdo('mousemove', str(x + w + 20), str(y + h + 20))
    time.sleep(1.0)
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    subprocess.run(f'xwd -root -silent | convert xwd:- -crop {w}x{h}+{x}+{y} +repage "{path}"',
                   shell=True, check=True)


# ---------------------------------------------------------------- scenarios

def scenario_typical(args, tmp):
    """The typical run: port, identity, Start, tiles, three marks, Clear Useless, stop."""
    sim = Simulator(['--name', 'E2E Dongle 7', '--address', 'A1B2C3D4E5F6', '--version', '3.18'], tmp, COM)
    con = Console(args)
    try:
        open_and_start(con, PORT, 'E2E Dongle 7', 'A1B2C3D4E5F6', (3, 18))
        patterns = tile_patterns(8)
        tiles = wait_tiles(con, patterns, 'tiles in arrival order without the Polar monitor')
        names = [tile_name(t) for t in tiles[:len(patterns)]]
        check(con.text(MARKED_COUNT) == '', 'MarkedCountBox before any mark')

        marked = (1, 3, 5)
        con.probe('post', str(TILE0 + 1))
        con.probe('post', str(TILE0 + 3))
        con.wait_text(MARKED_COUNT, lambda t: t == '2', 'MarkedCountBox after two marks')
        con.click(TILE0 + 5)  # a real click
        con.wait_text(MARKED_COUNT, lambda t: t == '3', 'MarkedCountBox after a real click')

        # Marked tiles show values from the next report on, and they move.
        first = {}
        for s in marked:
            first[s] = con.wait_text(TILE0 + s, lambda t, s=s: live_caption(names[s], t),
                                     f'values on marked tile {s}')
        for s in marked:
            con.wait_text(TILE0 + s, lambda t, s=s: live_caption(names[s], t) and t != first[s],
                          f'marked tile {s} kept {first[s]!r}')
        tiles = con.tiles()
        for s in range(len(names)):
            if s not in marked:
                check(tiles[s] == names[s] + '\n\n', f'unmarked tile {s}: {tiles[s]!r}')
        # Marked tiles are drawn in their kind's colour; the others are plain buttons.
        pointer_away(con)
        for s in range(len(names)):
            want = (QORVESSA_FILL if names[s].startswith('Qorvessa') else OTHER_FILL) if s in marked else None
            seen = []

            def drawn(s=s, want=want):
                seen[:] = [tile_fill(con, TILE0 + s)]
                return seen[0] == want if want else seen[0] not in (QORVESSA_FILL, OTHER_FILL)
            wait_for(drawn, lambda s=s, want=want: f'tile {s} drawn {seen[0]}, wanted {want or "plain"}')
        shot = os.environ.get('TOLVANE_SCREENSHOT')
        if shot:
            screenshot(con, shot)

        # Hold the dongle so that no report refills the freed tiles, then clear.
        sim.pause()
        before = quiet_tiles(con)
        con.probe('post', str(CLEAR_USELESS))
        want = [before[s] for s in marked] + ['empty'] * (TILES - len(marked))
        seen = []

        def packed():
            seen[:] = [con.tiles()]
            return seen[0] == want
        wait_for(packed, lambda: f'after Clear Useless: tiles {seen[0]!r}, wanted {want!r}')
        check(con.text(MARKED_COUNT) == '3', 'Clear Useless changed the MarkedCountBox')
        sim.resume()

        # Unmarked monitors come back behind the packed ones.
        con.wait_text(TILE0 + len(marked), lambda t: t != 'empty', 'a monitor after the packed tiles')
        con.probe('post', str(START_BUTTON))
        con.wait_text(START_BUTTON, lambda t: t == 'Start ...', 'caption after stopping')
        d = con.dump()['text']
        check(all(d[TILE0 + s] == 'empty' for s in range(TILES)),
              f'tiles after stopping: {[d[TILE0 + s] for s in range(TILES)]!r}')
        check(d[MARKED_COUNT] == '', f'MarkedCountBox after stopping: {d[MARKED_COUNT]!r}')
        check(d[DONGLE_INFO] == info_text('E2E Dongle 7', 'A1B2C3D4E5F6', 3, 18), 'DongleInfoBox after stopping')
        check(con.exit() == 0, 'exit code')
    finally:
        con.kill()
        sim.close()


def fault_run(args, tmp, options, ordered):
    """Identity and tiles under a fault of the line; a marked tile still gets right values."""
    sim = Simulator(options, tmp, COM)
    con = Console(args)
    try:
        open_and_start(con, PORT)
        patterns = tile_patterns(8)
        if ordered:
            tiles = wait_tiles(con, patterns, 'tiles in arrival order')
        else:
            # A lost report can let a later monitor register first: the same
            # monitors fill the same number of tiles, in some order.
            seen = []

            def same_set():
                seen[:] = [con.tiles()]
                names = [tile_name(t) for t in seen[0][:len(patterns)]]
                return (all(t == 'empty' for t in seen[0][len(patterns):]) and
                        all(c == n + '\n\n' for c, n in zip(seen[0], names)) and
                        sorted(patterns) == sorted(next((p for p in patterns if re.fullmatch(p, n)), '?')
                                                   for n in names))
            wait_for(same_set, lambda: f'tiles {seen[0]!r}, wanted the monitors {patterns!r}')
            tiles = seen[0]
        name = tile_name(tiles[2])
        con.probe('post', str(TILE0 + 2))
        con.wait_text(MARKED_COUNT, lambda t: t == '1', 'MarkedCountBox after a mark')
        con.wait_text(TILE0 + 2, lambda t: live_caption(name, t), 'values on the marked tile')
        time.sleep(2.0)  # a few more rounds of reports
        after = con.tiles()
        check(tiles_match(after, [re.escape(tile_name(t)) for t in tiles[:len(patterns)]], unmarked=False),
              f'tiles changed: {after!r}')
        check(con.text(START_BUTTON) == 'Stop !!!', 'caption while scanning')
        check(con.exit() == 0, 'exit code')
    finally:
        con.kill()
        sim.close()


def scenario_split(args, tmp):
    """Frames written in random pieces: the same identity and tiles, in arrival order."""
    fault_run(args, tmp, ['--split'], ordered=True)


def scenario_garbage(args, tmp):
    """Random bytes before every frame: the same identity and the same monitors in the tiles."""
    fault_run(args, tmp, ['--garbage'], ordered=False)


def scenario_split_garbage(args, tmp):
    """Both faults together: the same identity and the same monitors in the tiles."""
    fault_run(args, tmp, ['--split', '--garbage'], ordered=False)


BAD_LINE = re.compile(r'([0-9a-f]{110})\r\n>> QRN reg cmd bad chksum ([0-9a-f]+) !!\r\n')


def scenario_bad_checksum(args, tmp):
    """Every third report has a spoiled copy first: dump and checksum lines, nothing else changes."""
    sim = Simulator(['--bad-checksum-every', '3'], tmp, COM)
    con = Console(args)
    try:
        open_and_start(con, PORT)
        patterns = tile_patterns(8)
        wait_tiles(con, patterns, 'tiles in arrival order')
        log = [None]

        def lines():
            log[0] = con.text(LOG)
            return len(BAD_LINE.findall(log[0])) >= 3
        wait_for(lines, lambda: f'no three checksum lines in the log: {log[0][-600:]!r}')
        for dump, result in BAD_LINE.findall(log[0]):
            frame = bytes.fromhex(dump)
            check(frame[:5] == b'QRN\x00\x04', f'dump of a register report expected: {dump}')
            check(any(re.fullmatch(p, frame[9:34].decode('latin-1').rstrip('\0 ')) for p in patterns),
                  f'dump of an unknown monitor: {dump}')
            check(result != '0' and not result.startswith('0'), f'checksum result {result}')
        for other in ('ack cmd bad chksum', 'config cmd bad chksum'):
            check(other not in log[0], f'"{other}" in the log')
        # Everything else is as without the fault.
        wait_tiles(con, patterns, 'tiles after the checksum lines')
        d = con.dump()['text']
        check(d[DONGLE_INFO] == info_text('QRN Dongle A', 'D0C1A0B2E3F4', 2, 7), 'DongleInfoBox')
        check(d[START_BUTTON] == 'Stop !!!', 'caption while scanning')
        check(d[MARKED_COUNT] == '', 'MarkedCountBox')
        check(con.exit() == 0, 'exit code')
    finally:
        con.kill()
        sim.close()


def scenario_silent(args, tmp):
    """A dongle that never answers: empty info box, "scanning" after Start, no tiles."""
    sim = Simulator(['--silent'], tmp, COM)
    con = Console(args)
    try:
        f = {}
        for line in con.probe('frames').split('\n'):
            if line.strip():
                k, v = line.split()
                f[k] = bytes.fromhex(v)
        con.choose(PORT)
        wait_for(lambda: sim.received() == f['stop'] + f['config'],
                 lambda: f'the simulator got {sim.received().hex()}, wanted the stop and config frames')
        time.sleep(2.0)  # room for an answer that must not come
        check(con.text(DONGLE_INFO) == '', 'DongleInfoBox filled by a silent dongle')
        con.probe('post', str(START_BUTTON))
        wait_for(lambda: sim.received() == f['stop'] + f['config'] + f['start'],
                 lambda: f'the simulator got {sim.received().hex()}, wanted the start frame too')
        con.wait_text(START_BUTTON, lambda t: t == 'scanning', 'caption after Start')
        time.sleep(2.0)
        d = con.dump()['text']
        check(d[START_BUTTON] == 'scanning', f'caption without an answer: {d[START_BUTTON]!r}')
        check(d[DONGLE_INFO] == '', 'DongleInfoBox')
        check(all(d[TILE0 + s] == 'empty' for s in range(TILES)), 'a tile filled')
        check('>> got' not in d[LOG], f'the log reports an answer: {d[LOG]!r}')
        check(con.exit() == 0, 'exit code')
    finally:
        con.kill()
        sim.close()


def scenario_many(args, tmp):
    """25 monitors: exactly 20 tiles, the first 20 accepted in arrival order."""
    sim = Simulator(['--monitors', '25'], tmp, COM)
    con = Console(args)
    try:
        open_and_start(con, PORT)
        patterns = tile_patterns(25)
        check(len(patterns) == TILES, 'the run needs more monitors than tiles')
        tiles = wait_tiles(con, patterns, 'twenty tiles in arrival order')
        check(len(set(tiles)) == TILES, f'a monitor in two tiles: {tiles!r}')
        # Further rounds of all 25 monitors change nothing.
        log = con.text(LOG)
        wait_for(lambda: con.text(LOG).count('trust,') >= log.count('trust,') + 50,
                 'no further reports in the log')
        check(con.tiles() == tiles, f'tiles changed: {con.tiles()!r}')
        check(con.exit() == 0, 'exit code')
    finally:
        con.kill()
        sim.close()


SCENARIOS = {name[len('scenario_'):]: fn for name, fn in globals().items() if name.startswith('scenario_')}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--exe', required=True)
    ap.add_argument('--probe', required=True)
    ap.add_argument('scenarios', nargs='*')
    args = ap.parse_args()
    if not PREFIX:
        print('FAIL: WINEPREFIX is not set (source scripts/wine-env.sh; tolvane_wine_setup)')
        return 1
    names = args.scenarios or list(SCENARIOS)
    passed = failed = 0
    for name in names:
        tmp = tempfile.mkdtemp(prefix='tolvane-e2esim.')
        try:
            SCENARIOS[name](args, tmp)
            print(f'ok {name}: {SCENARIOS[name].__doc__.splitlines()[0]}')
            passed += 1
        except Exception as e:  # report and go on with the next scenario
            print(f'FAIL {name}: {e}')
            if not isinstance(e, Fail):
                traceback.print_exc()
            for log in ('sim.err',):
                path = os.path.join(tmp, log)
                if os.path.exists(path) and os.path.getsize(path):
                    print(f'--- simulator stderr:\n{open(path, errors="replace").read()[-2000:]}')
            failed += 1
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
    print(f'{passed} passed, {failed} failed')
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
