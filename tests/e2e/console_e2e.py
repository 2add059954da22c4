#!/usr/bin/env python3
"""End-to-end tests of tolvane.exe under Wine, driven from outside.

The console runs as a user would run it; tolvane_probe (a Win32 program in
the same prefix) reads its controls and sends what clicks, menu choices and
port choices send, and xdotool gives real X input. COM5<->COM6 and
COM7<->COM8 are socat pty pairs linked into the prefix; the test reads the
dongle's side of COM7 natively.

    console_e2e.py --exe tolvane.exe --probe tolvane_probe.exe [SCENARIO ...]

Needs the environment of scripts/wine-env.sh (tolvane_wine_setup) and an X
display. Prints one line per scenario and "N passed, N failed".
"""
import argparse
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time
import traceback
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
from console_driver import WINE, ConsoleProcess, Fail, check, run_probe, unbound_env, unhex, xdo  # noqa: E402
PREFIX = os.environ.get('WINEPREFIX', '')
TITLE = 'Tolvane  v1.7w2'
CONSOLE_PORT = '\\\\.\\COM7'
VANISHING_PORT = '\\\\.\\COM5'
WAIT = 20.0  # generous bound for anything to happen; never a pass criterion

# Client-area rectangles of the layout (x, y, width, height).
LAYOUT = {8: (30, 10, 150, 30), 17: (210, 40, 150, 35), 44: (390, 40, 150, 35),
          40: (594, 5, 350, 30), 390: (250, 5, 60, 30),
          7: (0, 0, 10, 10), 28: (0, 0, 10, 10), 5: (0, 0, 10, 10)}
for c in range(4):
    for r in range(5):
        LAYOUT[400 + 5 * c + r] = (10 + 246 * c, 88 + 123 * r, 246, 118)
# The PortList's window is its selection field: its height is the field's,
# not the 100 pixels that include the drop-down list.
PORT_LIST_XYW = (30, 40, 150)

# (class, style, extended style as the system reports it). The system adds
# or drops WS_EX_WINDOWEDGE (0x100) by the border, so that bit is masked.
STYLES = {8: ('Static', 0x50000000, 0), 150: ('ComboBox', 0x50000003, 0),
          17: ('Button', 0x50000001, 0), 44: ('Button', 0x50000001, 0),
          7: ('Button', 0x50000001, 0), 28: ('Button', 0x50000001, 0),
          40: ('Edit', 0x50001804, 0x200), 390: ('Edit', 0x50000800, 0x200),
          5: ('Edit', 0x50201804, 0x201)}
for s in range(20):
    STYLES[400 + s] = ('Button', 0x50003000, 0x200)

CAPTIONS = {8: 'Step 1 : COM Port', 17: 'Start ...', 44: 'Clear Useless', 7: 'Clear Log',
            28: 'Stop Log', 40: '', 390: '', 5: ''}
for s in range(20):
    CAPTIONS[400 + s] = 'empty'


class Ptys:
    """socat pty pairs linked as COM5..COM8 of the prefix."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix='tolvane-e2e.')
        self.procs = []
        for a, b in (('com5', 'com6'), ('com7', 'com8')):
            self.procs.append(subprocess.Popen(
                ['socat', f'pty,raw,echo=0,link={self.dir}/{a}', f'pty,raw,echo=0,link={self.dir}/{b}'],
                stderr=subprocess.DEVNULL))
        deadline = time.time() + WAIT
        while not all(os.path.exists(f'{self.dir}/com{n}') for n in range(5, 9)):
            check(time.time() < deadline, 'socat made no ptys')
            time.sleep(0.05)
        self.link()
        self.dongle_fd = None

    def link(self):
        # Wine's services may rewrite the links; make them before each start.
        for n in range(5, 9):
            dst = f'{PREFIX}/dosdevices/com{n}'
            if os.path.lexists(dst):
                os.unlink(dst)
            os.symlink(os.path.realpath(f'{self.dir}/com{n}'), dst)

    def pts(self, n):
        return os.path.realpath(f'{self.dir}/com{n}')

    def open_dongle(self):
        """The dongle's end of COM7, read natively."""
        fd = os.open(f'{self.dir}/com8', os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(fd)
        self.dongle_fd = fd
        return fd

    def read(self, want, timeout=WAIT):
        data = b''
        deadline = time.time() + timeout
        while len(data) < want and time.time() < deadline:
            r, _, _ = select.select([self.dongle_fd], [], [], 0.1)
            if r:
                data += os.read(self.dongle_fd, 4096)
        return data

    def close(self):
        if self.dongle_fd is not None:
            os.close(self.dongle_fd)
        for n in range(5, 9):
            dst = f'{PREFIX}/dosdevices/com{n}'
            if os.path.islink(dst):
                os.unlink(dst)
        for p in self.procs:
            p.kill()
            p.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


class Console(ConsoleProcess):
    def __init__(self, args, ptys):
        ptys.link()
        super().__init__(args, 20000)

    def dump(self):
        d = {'ctl': {}, 'ports': []}
        for line in self.probe('dump').splitlines():
            key, _, rest = line.partition(' ')
            if key == 'title':
                d['title'] = unhex(rest)
            elif key == 'main':
                d['main'] = dict(kv.split('=') for kv in rest.split())
            elif key == 'ctl':
                parts = rest.split(' ')
                ident = int(parts[0])
                if parts[1] == 'missing':
                    d['ctl'][ident] = None
                    continue
                kv = dict(p.split('=') for p in parts[1:5])
                text = parts[6] if len(parts) > 6 else ''
                d['ctl'][ident] = {'class': kv['class'], 'style': int(kv['style'], 16),
                                   'ex': int(kv['ex'], 16),
                                   'rect': tuple(int(v) for v in kv['rect'].split(',')),
                                   'text': unhex(text)}
            elif key == 'tips':
                d['tips'] = dict(kv.split('=') for kv in rest.split())
            elif key == 'ports':
                d['portinfo'] = dict(kv.split('=') for kv in rest.split())
            elif key == 'port':
                d['ports'].append(rest)
            elif key == 'log':
                d['log'] = dict(kv.split('=') for kv in rest.split())
            elif key == 'enabled':
                f = rest.split()
                d['enabled'], d['iconic'], d['visible'] = int(f[0]), int(f[2]), int(f[4])
        return d

    def wait_text(self, ident, pred, what):
        deadline = time.time() + WAIT
        while True:
            t = self.text(ident)
            if pred(t):
                return t
            check(time.time() < deadline, f'{what}; text is {t!r}')
            time.sleep(0.1)

    def exit_code(self):
        try:
            return self.proc.wait(timeout=WAIT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise Fail('the console did not end')


def frames(args):
    out = run_probe(args.probe, unbound_env(), 'frames').stdout.decode()
    f = {}
    for line in out.splitlines():
        k, v = line.split()
        f[k] = bytes.fromhex(v)
    return f


def openable_ports():
    """COM ports of the prefix whose device opens, in ascending number."""
    found = []
    for n in range(1, 65):
        path = f'{PREFIX}/dosdevices/com{n}'
        if not os.path.lexists(path):
            continue
        try:
            fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
            os.close(fd)
            found.append(f'\\\\.\\COM{n}')
        except OSError:
            pass
    return found


def holders(pts, exclude):
    """Processes other than exclude that hold the pty device open."""
    pids = []
    for pid in os.listdir('/proc'):
        if not pid.isdigit() or int(pid) in exclude:
            continue
        try:
            for fd in os.listdir(f'/proc/{pid}/fd'):
                if os.readlink(f'/proc/{pid}/fd/{fd}') == pts:
                    pids.append(int(pid))
                    break
        except OSError:
            pass
    return pids


def focus_console():
    ids = xdo('search', '--name', '^' + TITLE + '$').split()
    check(ids, 'no X window with the title')
    for i in ids:
        xdo('windowfocus', i)
    time.sleep(0.3)


# ---------------------------------------------------------------- scenarios

def scenario_window(args, ptys, f):
    """Title, captions, empty boxes, rectangles and styles, PortList, minimise/restore."""
    expected_ports = openable_ports()
    con = Console(args, ptys)
    try:
        d = con.dump()
        check(d['title'] == TITLE, f'title {d["title"]!r}')
        style = int(d['main']['style'], 16)
        check(style & 0x000A0000 == 0x000A0000, f'main style {style:08x} lacks system menu or minimise box')
        check(style & 0x00050000 == 0, f'main style {style:08x} can be resized or maximised')
        check(style & 0x00C00000 == 0x00C00000, 'overlapped window without a title bar')
        check(d['main']['window'] == '50,50,1024,768', f'window rect {d["main"]["window"]}')

        def rects_ok(d, when):
            for ident, want in LAYOUT.items():
                got = d['ctl'][ident]['rect']
                check(got == want, f'{when}: control {ident} at {got}, want {want}')
            got = d['ctl'][150]['rect']
            check(got[:3] == PORT_LIST_XYW, f'{when}: PortList at {got}')

        rects_ok(d, 'after start-up')
        for ident, (cls, st, ex) in STYLES.items():
            c = d['ctl'][ident]
            check(c is not None, f'control {ident} missing')
            check(c['class'].lower() == cls.lower(), f'control {ident} class {c["class"]}')
            check(c['style'] == st, f'control {ident} style {c["style"]:08x}, want {st:08x}')
            check(c['ex'] & ~0x100 == ex, f'control {ident} ex-style {c["ex"]:08x}, want {ex:08x}')
        for ident, text in CAPTIONS.items():
            check(d['ctl'][ident]['text'] == text, f'control {ident} reads {d["ctl"][ident]["text"]!r}')
        check(d['tips'] == {'owned': '20', 'balloon': '20'}, f'tooltips {d["tips"]}')
        check(d['log']['limit'] == '2097152', f'log limit {d["log"]}')
        check(d['ports'] == expected_ports, f'PortList {d["ports"]}, prefix has {expected_ports}')
        check(d['portinfo']['sel'] == '-1', 'PortList has a selection')

        con.probe('syscmd', 'minimize')
        deadline = time.time() + WAIT
        while con.dump()['iconic'] != 1:
            check(time.time() < deadline, 'did not minimise')
            time.sleep(0.1)
        con.probe('syscmd', 'restore')
        deadline = time.time() + WAIT
        while True:
            d2 = con.dump()
            if d2['iconic'] == 0:
                break
            check(time.time() < deadline, 'did not restore')
            time.sleep(0.1)
        rects_ok(d2, 'after minimise and restore')
        con.probe('post', '105')
        check(con.exit_code() == 0, 'exit code')
    finally:
        con.kill()


def scenario_port(args, ptys, f):
    """A port choice: two log lines, stop then config on the wire, each once; a vanished port."""
    ptys.open_dongle()
    con = Console(args, ptys)
    try:
        con.choose(CONSOLE_PORT)
        wire = ptys.read(len(f['stop']) + len(f['config']))
        wire += ptys.read(1, timeout=1.0)  # nothing more may follow
        check(wire == f['stop'] + f['config'], f'wire {wire.hex()}')
        want = (f'Port {CONSOLE_PORT} opened\r\n' + '\r\n>' + f['stopecho'].decode() +
                '\r\n>' + f['configecho'].decode())
        con.wait_text(5, lambda t: t == want, 'log after the port choice')
        opened = holders(ptys.pts(7), {p.pid for p in ptys.procs} | {os.getpid()})
        check(opened, 'no process holds COM7 open after the choice')

        # COM5 was listed at start-up and is gone now.
        os.unlink(f'{PREFIX}/dosdevices/com5')
        con.choose(VANISHING_PORT)
        line = f"Couldn't open port {VANISHING_PORT}. rc=2\r\n"
        con.wait_text(5, lambda t: t.startswith(want + line) and t.endswith(f['configecho'].decode()),
                      'log after the vanished port')
        check(not holders(ptys.pts(7), {p.pid for p in ptys.procs} | {os.getpid()}),
              'COM7 still open after choosing a vanished port')
        rest = ptys.read(1, timeout=1.0)
        check(rest == b'', f'bytes on the wire with no port open: {rest.hex()}')
        con.probe('post', '105')
        check(con.exit_code() == 0, 'exit code')
    finally:
        con.kill()


def scenario_log(args, ptys, f):
    """Stop Log / Start Log captions, port lines while paused, Clear Log while paused."""
    ptys.open_dongle()
    con = Console(args, ptys)
    try:
        con.probe('post', '28', '5')  # not a click: nothing happens
        check(con.text(28) == 'Stop Log', 'a non-click notification toggled logging')
        con.probe('post', '28')
        con.wait_text(28, lambda t: t == 'Start Log', 'caption after pausing')
        con.choose(CONSOLE_PORT)
        wire = ptys.read(len(f['stop']) + len(f['config']))
        check(wire == f['stop'] + f['config'], f'wire while paused {wire.hex()}')
        time.sleep(0.5)
        check(con.text(5) == f'Port {CONSOLE_PORT} opened\r\n', f'paused log {con.text(5)!r}')
        con.probe('post', '7')
        con.wait_text(5, lambda t: t == '', 'Clear Log while paused')
        check(con.text(28) == 'Start Log', 'Clear Log changed the pause')
        con.probe('post', '17')
        con.wait_text(17, lambda t: t == 'scanning', 'Start caption')
        wire = ptys.read(len(f['start']))
        check(wire == f['start'], f'start frame {wire.hex()}')
        check(con.text(5) == '', 'paused log echoed a frame')
        con.probe('post', '28')
        con.wait_text(28, lambda t: t == 'Stop Log', 'caption after resuming')
        con.probe('post', '105')
        check(con.exit_code() == 0, 'exit code')
    finally:
        con.kill()


def scenario_trim(args, ptys, f):
    """The log is trimmed by 4000 characters with the caret on line 801, not on 800."""
    con = Console(args, ptys)
    try:
        body = ''.join(f'line {i:04d} of the traffic log\r\n' for i in range(800)) + 'L800'
        with tempfile.NamedTemporaryFile('wb', suffix='.txt', delete=False) as t:
            t.write(body.encode())
        try:
            con.probe('settext', '5', '@Z:' + t.name.replace('/', '\\'))
        finally:
            os.unlink(t.name)
        con.probe('setsel', '5', '0', '-1')  # caret to the end, as the writers have it
        con.probe('setsel', '5', '-1', '-1')
        con.probe('replacesel', '5', 'x'.encode().hex())
        text = con.text(5)
        check(text == body + 'x', 'line 800 trimmed the log')
        check(con.probe('linefromchar', '5').split()[1] == '800', 'caret not on line 800')
        con.probe('replacesel', '5', '\r\ny'.encode().hex())
        full = body + 'x\r\ny'
        text = con.text(5)
        check(text == full[4000:], f'after line 801 the log starts {text[:40]!r}, {len(text)} chars')
        check(not text.startswith('line'), 'the cut fell on a line start')
        sel = con.probe('getsel', '5').split()
        check(sel[1:] == [str(len(text))] * 2, f'caret {sel}, text length {len(text)}')
        con.probe('post', '105')
        check(con.exit_code() == 0, 'exit code')
    finally:
        con.kill()


def scenario_about(args, ptys, f):
    """About by menu command and by Alt+/ and Alt+? through X; OK and Esc end it."""
    con = Console(args, ptys)
    try:
        con.probe('post', '104')  # Help -> About sends command 104, code 0
        out = con.probe('findwin', 'About')
        check('owner=1' in out, f'About not owned by the main window: {out}')
        texts = [unhex(l.split('text ')[1]) if 'text ' in l and not l.endswith('text ') else ''
                 for l in out.splitlines() if l.startswith('child')]
        check('Tolvane Version 1.7w2' in texts, f'About texts {texts}')
        check('OK' in texts, f'About texts {texts}')
        check(any('class=Static style=50000003' in l for l in out.splitlines()), 'no icon in About')
        check(con.probe('enabled').split()[1] == '0', 'main window enabled under About')
        con.probe('dlgcmd', 'About', '1')
        check(con.probe('gone', 'About').split()[1] == '1', 'OK did not end About')
        check(con.probe('enabled').split()[1] == '1', 'main window still disabled')

        focus_console()
        xdo('key', 'alt+slash')
        con.probe('findwin', 'About')
        con.probe('dlgcmd', 'About', '2')
        check(con.probe('gone', 'About').split()[1] == '1', 'Esc did not end About')

        focus_console()
        xdo('key', 'alt+question')
        con.probe('findwin', 'About')
        xdo('key', 'Escape')
        check(con.probe('gone', 'About').split()[1] == '1', 'the Esc key did not end About')
        con.probe('post', '105')
        check(con.exit_code() == 0, 'exit code')
    finally:
        con.kill()


def ending(args, ptys, f, how):
    ptys.open_dongle()
    con = Console(args, ptys)
    try:
        con.choose(CONSOLE_PORT)
        wire = ptys.read(len(f['stop']) + len(f['config']))
        check(wire == f['stop'] + f['config'], f'wire {wire.hex()}')
        how(con)
        check(con.exit_code() == 0, 'exit code')
        wire = ptys.read(len(f['stop']), timeout=2.0)
        check(wire == f['stop'], f'stop frame at the end: {wire.hex()}')
    finally:
        con.kill()


def scenario_exit_menu(args, ptys, f):
    """File -> Exit ends with code 0 after the stop frame reached the wire."""
    ending(args, ptys, f, lambda con: con.probe('post', '105'))


def scenario_exit_closebox(args, ptys, f):
    """The close box ends with code 0 after the stop frame reached the wire."""
    ending(args, ptys, f, lambda con: con.probe('syscmd', 'close'))


def scenario_exit_altf4(args, ptys, f):
    """Alt+F4 (real X keys) ends with code 0 after the stop frame reached the wire."""
    def alt_f4(con):
        focus_console()
        xdo('key', 'alt+F4')
    ending(args, ptys, f, alt_f4)


def scenario_maxtext(args, ptys, f):
    """A full log shows "info. out of space." captioned "Skelder" and ends the program."""
    ptys.open_dongle()
    con = Console(args, ptys)
    try:
        con.choose(CONSOLE_PORT)
        wire = ptys.read(len(f['stop']) + len(f['config']))
        check(wire == f['stop'] + f['config'], f'wire {wire.hex()}')
        out = con.probe('maxtext')
        check('owner=1' in out, f'box not owned by the main window: {out}')
        texts = [unhex(l.split('text ')[1]) for l in out.splitlines() if l.startswith('child') and 'text ' in l
                 and not l.endswith('text ')]
        check('info. out of space.' in texts, f'box texts {texts}')
        check(con.exit_code() == 0, 'exit code')
        wire = ptys.read(len(f['stop']), timeout=2.0)
        check(wire == f['stop'], f'stop frame at the end: {wire.hex()}')
    finally:
        con.kill()


def scenario_xinput(args, ptys, f):
    """Real X input: the PortList opened and an item clicked; a click on a tile."""
    ptys.open_dongle()
    con = Console(args, ptys)
    try:
        ports = con.dump()['ports']
        index = ports.index(CONSOLE_PORT)
        x, y, w, h = (int(v) for v in con.probe('screenrect', '150').split('\n')[0].split()[1:])
        item_h = int(con.probe('itemheight').split()[1])
        xdo('mousemove', str(x + w // 2), str(y + h // 2), 'click', '1')
        time.sleep(0.5)
        xdo('mousemove', str(x + w // 2), str(y + h + 2 + index * item_h + item_h // 2), 'click', '1')
        wire = ptys.read(len(f['stop']) + len(f['config']))
        check(wire == f['stop'] + f['config'], f'wire after the click {wire.hex()}')
        d = con.dump()
        check(d['portinfo']['sel'] == str(index), f'selection {d["portinfo"]}')
        tx, ty, tw, th = (int(v) for v in con.probe('screenrect', '405').split('\n')[0].split()[1:])
        xdo('mousemove', str(tx + tw // 2), str(ty + th // 2), 'click', '1')
        time.sleep(0.5)
        check(con.text(405) == 'empty', 'a click on a free tile changed it')
        check(con.text(390) == '', 'a click on a free tile counted a mark')
        con.probe('post', '105')
        check(con.exit_code() == 0, 'exit code')
    finally:
        con.kill()


def frame_check_byte(body):
    """Checksum byte over the bytes after the magic (CRC-16/CCITT-FALSE, low byte, negated)."""
    crc = 0xFFFF
    for b in body:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else (crc << 1)
            crc &= 0xFFFF
    return (256 - (crc & 0xFF)) % 256


def dongle_frame(body):
    return b'QRN' + body + bytes([frame_check_byte(body)])


def dongle_ack():
    return dongle_frame(bytes([0, 0, 0, 0]))


def dongle_config(name, address, major, minor):
    body = (bytes([1, 2, 0, 0, 0, 29]) + name.encode().ljust(12, b'\0')[:12] + b'\x1f' +
            address.encode()[:12] + b'\x1f' + bytes([major, minor]))
    return dongle_frame(body)


def register_data(name, address, hr=None, rr=0, battery=0):
    body = (bytes([0, 4, 0, 1, 0, 45]) + name.encode().ljust(25, b'\0')[:25] + b'\x1f' + address.encode()[:12] + b'\x1f')
    if hr is None:
        body += bytes([0, 0xC8, 0, 0, 0, 0])
    else:
        body += bytes([0x80, 0xC8, hr, rr >> 8, rr & 0xFF, battery])
    return dongle_frame(body)


MONITORS = [('Qorvessa HR 1042', 'C0FFEE000001', 72, 833, 95), ('Qorvessa HR 1051', 'C0FFEE000005', 66, 909, 80),
            ('Qorvessa HR 1077', 'C0FFEE000002', 131, 458, 41), ('Wahoo TICKR 5D1', 'E5F6A7B8C9D0', 58, 1034, 22),
            ('Qorvessa HR 2001', 'C0FFEE000003', 88, 682, 100), ('Garmin HRM-Pro', 'F0E1D2C3B4A5', 97, 619, 67),
            ('Qorvessa HR 2002', 'C0FFEE000004', 115, 521, 88)]


def scenario_tiles(args, ptys, f):
    """A dongle on the port: its identity, Start/Stop captions, tiles filled, a tile marked by a real click."""
    ptys.open_dongle()
    con = Console(args, ptys)
    try:
        con.choose(CONSOLE_PORT)
        wire = ptys.read(len(f['stop']) + len(f['config']))
        check(wire == f['stop'] + f['config'], f'wire {wire.hex()}')
        os.write(ptys.dongle_fd, dongle_ack())
        time.sleep(0.5)  # an acknowledgement of our own stop drops what follows it in one read
        os.write(ptys.dongle_fd, dongle_config('DONGLE-01', 'A1B2C3D4E5F6', 1, 7))
        try:
            con.wait_text(40, lambda t: t == 'DONGLE-01 @A1:B2:C3:D4:E5:F6  Ver. 1.07', 'DongleInfoBox')
        except Fail as e:
            raise Fail(f'{e}; log {con.text(5)!r}')

        con.probe('post', '17')
        con.wait_text(17, lambda t: t == 'scanning', 'caption after Start')
        check(ptys.read(len(f['start'])) == f['start'], 'no start frame')
        os.write(ptys.dongle_fd, dongle_ack())
        con.wait_text(17, lambda t: t == 'Stop !!!', 'caption after the acknowledgement')
        # A dongle repeats its reports; each monitor keeps the slot it got
        # first. Monitors whose names begin with "Polar" get no tile.
        for _ in range(2):
            for m in MONITORS[:1] + [('Polar H10 8A2F31', 'D1A2B3C4D5E6', 64, 937, 80)] + MONITORS[1:]:
                os.write(ptys.dongle_fd, register_data(m[0], m[1], m[2], m[3], m[4]))
                time.sleep(0.3)
        names = {m[0] for m in MONITORS}
        deadline = time.time() + WAIT
        while True:
            d = con.dump()
            shown = {d['ctl'][400 + s]['text'].split('\n')[0].strip() for s in range(len(MONITORS))}
            if shown == names:
                break
            check(time.time() < deadline, f'tiles show {shown}; log {con.text(5)[-400:]!r}')
            time.sleep(0.2)
        check(all(d['ctl'][400 + s]['text'] == 'empty' for s in range(len(MONITORS), 20)), 'tiles past the monitors')
        for slot in (0, 2):
            x, y, w, h = (int(v) for v in con.probe('screenrect', str(400 + slot)).split('\n')[0].split()[1:])
            xdo('mousemove', str(x + w // 2), str(y + h // 2), 'click', '1')
        con.wait_text(390, lambda t: t.strip() == '2', 'MarkedCountBox after two clicks')
        for m in MONITORS:  # fresh values for the marked tiles
            os.write(ptys.dongle_fd, register_data(m[0], m[1], m[2], m[3], m[4]))
            time.sleep(0.05)
        time.sleep(1.0)
        shot = os.environ.get('TOLVANE_SCREENSHOT')
        if shot:
            xdo('mousemove', '1200', '1000')  # away from the tiles, so no tooltip covers them
            time.sleep(1.0)
            subprocess.run(f'xwd -root -silent | convert xwd:- -crop 1024x768+50+50 +repage {shot}',
                           shell=True, check=True)

        con.probe('post', '17')
        con.wait_text(17, lambda t: t == 'Start scan / Link', 'caption after pressing Stop')
        check(ptys.read(len(f['stop'])) == f['stop'], 'no stop frame')
        os.write(ptys.dongle_fd, dongle_ack())
        con.wait_text(17, lambda t: t == 'Start ...', 'caption after the stop acknowledgement')
        con.wait_text(400, lambda t: t == 'empty', 'tiles after scanning stopped')
        con.probe('post', '105')
        check(con.exit_code() == 0, 'exit code')
    finally:
        con.kill()


def scenario_leftover(args, ptys, f):
    """A console left from an earlier run is ended first and never answers for the next one."""
    old = subprocess.Popen([WINE, args.exe], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        out = run_probe(args.probe, unbound_env(), 'wait', '20000')
        check(out.returncode == 0, 'the left-over console did not show its window')
        con = Console(args, ptys)
        try:
            try:
                old.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                raise Fail('the left-over console was not ended')
            check(con.text(17) == 'Start ...', 'the new console does not answer')
            con.kill()
            deadline = time.time() + WAIT
            while True:
                out = run_probe(args.probe, con.env, 'text', '17')
                if out.returncode != 0:
                    break
                check(time.time() < deadline, 'a probe bound to an ended console still answers')
                time.sleep(0.2)
            check(b'gone' in out.stderr, f'the probe said {out.stderr!r}')
        finally:
            con.kill()
    finally:
        if old.poll() is None:
            old.kill()
            old.wait()


SCENARIOS = {name[len('scenario_'):]: fn for name, fn in globals().items() if name.startswith('scenario_')}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--exe', required=True)
    ap.add_argument('--probe', required=True)
    ap.add_argument('scenarios', nargs='*')
    args = ap.parse_args()
    check(PREFIX, 'WINEPREFIX is not set')
    names = args.scenarios or list(SCENARIOS)
    f = frames(args)
    passed = failed = 0
    for name in names:
        ptys = Ptys()
        try:
            SCENARIOS[name](args, ptys, f)
            print(f'ok {name}: {SCENARIOS[name].__doc__.splitlines()[0]}')
            passed += 1
        except Exception as e:  # report and go on with the next scenario
            print(f'FAIL {name}: {e}')
            if not isinstance(e, Fail):
                traceback.print_exc()
            failed += 1
        finally:
            ptys.close()
    print(f'{passed} passed, {failed} failed')
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
