"""What the runs against the dongle simulator share: the simulator on a pty
linked as a COM port of the Wine prefix, the console read through the probe's
dump, and the opening steps of every run (port, identity, Start)."""
import os
import re
import signal
import subprocess
import time

from console_driver import ConsoleProcess, Fail, check, unhex, xdo

WAIT = 40.0  # generous bound for anything to happen; never a pass criterion

START_BUTTON, CLEAR_USELESS, LOG, DONGLE_INFO, MARKED_COUNT, EXIT = 17, 44, 5, 40, 390, 105
TILES = 20
TILE0 = 400


def wait_for(pred, what, timeout=WAIT, pause=0.2):
    """Polls pred() until it returns something true; that is the result."""
    deadline = time.time() + timeout
    last = None
    while True:
        last = pred()
        if last:
            return last
        check(time.time() < deadline, what() if callable(what) else what)
        time.sleep(pause)


class Simulator:
    """tolvane-dongle-sim on a fresh pty, linked as COM<com> of the prefix."""

    def __init__(self, options, dir, com):
        sim = os.environ.get('TOLVANE_SIM', '')
        check(sim and os.path.isfile(sim) and os.access(sim, os.X_OK),
              f'TOLVANE_SIM must name the built dongle simulator (tolvane-dongle-sim); it is {sim!r}')
        self.out_path = os.path.join(dir, 'sim.out')
        self.err_path = os.path.join(dir, 'sim.err')
        self.record = os.path.join(dir, 'record.txt')
        with open(self.out_path, 'wb') as out, open(self.err_path, 'wb') as err:
            self.proc = subprocess.Popen([sim, '--record', self.record, *options], stdout=out, stderr=err)
        self.stopped = False

        def serving():
            with open(self.out_path) as f:
                m = re.search(r'^serving (\S+)$', f.read(), re.M)
            return m.group(1) if m else (self.proc.poll() is not None and 'exited')
        path = wait_for(serving, 'the simulator printed no "serving" line')
        check(path != 'exited', f'the simulator ended: {self.errors()}')
        self.pty = path
        # Wine's services may rewrite COM links when they start: link right
        # before the console starts, with the server up.
        self.link = f'{os.environ.get("WINEPREFIX", "")}/dosdevices/com{com}'
        self.port = f'\\\\.\\COM{com}'
        if os.path.lexists(self.link):
            os.unlink(self.link)
        os.symlink(path, self.link)

    def errors(self):
        with open(self.err_path, errors='replace') as f:
            return f.read().strip()

    def received(self):
        """Every byte the simulator read, in order."""
        if not os.path.exists(self.record):
            return b''
        data = b''
        with open(self.record) as f:
            for line in f:
                parts = line.split()
                if len(parts) > 1:
                    data += bytes.fromhex(''.join(parts[1:]))
        return data

    def pause(self):
        """The dongle falls silent: the process is held, nothing more is written."""
        os.kill(self.proc.pid, signal.SIGSTOP)
        self.stopped = True

    def resume(self):
        os.kill(self.proc.pid, signal.SIGCONT)
        self.stopped = False

    def close(self):
        if self.proc.poll() is None:
            if self.stopped:
                self.resume()
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if os.path.islink(self.link):
            os.unlink(self.link)


class Console(ConsoleProcess):
    """The console as the simulator runs see it: texts by control identifier."""

    def __init__(self, args):
        super().__init__(args, 30000)

    def dump(self):
        """Texts of all controls by identifier, the port list and the main window rectangle."""
        d = {'text': {}, 'ports': []}
        for line in self.probe('dump').replace('\r', '').splitlines():
            key, _, rest = line.partition(' ')
            if key == 'ctl':
                parts = rest.split(' ')
                if parts[1] != 'missing':
                    d['text'][int(parts[0])] = unhex(parts[6]) if len(parts) > 6 else ''
            elif key == 'port':
                d['ports'].append(rest)
            elif key == 'main':
                kv = dict(p.split('=') for p in rest.split())
                d['window'] = tuple(int(v) for v in kv['window'].split(','))
        return d

    def tiles(self):
        t = self.dump()['text']
        missing = [TILE0 + s for s in range(TILES) if TILE0 + s not in t]
        check(not missing, f'the dump has no tiles {missing}; it has controls {sorted(t)}{self.state()}')
        return [t[TILE0 + s] for s in range(TILES)]

    def wait_text(self, ident, pred, what):
        seen = []

        def probe():
            seen[:] = [self.text(ident)]
            return pred(seen[0])
        wait_for(probe, lambda: f'{what}; text is {seen[0]!r}')
        return seen[0]

    def screen_rect(self, ident):
        return tuple(int(v) for v in self.probe('screenrect', str(ident)).split('\n')[0].split()[1:])

    def click(self, ident):
        """A real mouse click in the middle of a control."""
        x, y, w, h = self.screen_rect(ident)
        xdo('mousemove', str(x + w // 2), str(y + h // 2), 'click', '1')

    def exit(self):
        self.probe('post', str(EXIT))
        try:
            return self.proc.wait(timeout=WAIT)
        except subprocess.TimeoutExpired:
            raise Fail('the console did not end after File -> Exit')


def info_text(name, address, major, minor):
    pairs = ':'.join(address[i:i + 2] for i in range(0, 12, 2))
    return f'{name} @{pairs}  Ver. {major:x}.{minor:02x}'


def open_and_start(con, port, sim_name='QRN Dongle A', address='D0C1A0B2E3F4', version=(2, 7)):
    """Chooses the simulator's port, waits for the dongle's identity, presses Start."""
    con.wait_text(START_BUTTON, lambda t: t == 'Start ...', 'caption at start-up')
    con.choose(port)
    want = info_text(sim_name, address, *version)
    con.wait_text(DONGLE_INFO, lambda t: t == want, f'DongleInfoBox should read {want!r}')
    con.probe('post', str(START_BUTTON))
    con.wait_text(START_BUTTON, lambda t: t == 'Stop !!!', 'caption after Start')


