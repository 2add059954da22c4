"""What the end-to-end scripts share: tolvane.exe started under Wine and
reached from outside through tolvane_probe (and xdotool for real input)."""
import os
import subprocess
import sys
import tempfile

WINE = os.environ.get('TOLVANE_WINE', 'wine')
PROBE_SECONDS = 60


class Fail(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Fail(what)


def unhex(h):
    return bytes.fromhex(h).decode('latin-1')


def xdo(*a):
    return subprocess.run(['xdotool', *a], capture_output=True, timeout=30, text=True).stdout.strip()


def unbound_env():
    """The environment for a probe that finds the console's window itself."""
    return {k: v for k, v in os.environ.items() if k != 'TOLVANE_PROBE_MAIN'}


def run_probe(probe, env, *a):
    return subprocess.run([WINE, probe, *a], capture_output=True, timeout=PROBE_SECONDS, env=env)


class ConsoleProcess:
    """The running console. Subclasses read the probe's dump their own way;
    the dump must give the PortList's entries under 'ports'.

    Consoles left over from an earlier run are ended first, and every probe
    call is bound to this console's window, so no other can answer for it."""

    def __init__(self, args, wait_ms):
        self.args = args
        self.env = unbound_env()
        reaped = [l for l in self.probe('reap').splitlines() if l.startswith('reaped')]
        if reaped:
            print(f'note: ended consoles left over from an earlier run: {reaped}', file=sys.stderr)
        self.err = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([WINE, args.exe], stdout=subprocess.DEVNULL, stderr=self.err)
        try:
            self.env['TOLVANE_PROBE_MAIN'] = self.probe('wait', str(wait_ms)).split()[1]
        except BaseException:
            self.kill()
            raise

    def probe(self, *a):
        try:
            out = run_probe(self.args.probe, self.env, *a)
        except subprocess.TimeoutExpired:
            raise Fail(f'probe {a!r:.200} did not end within {PROBE_SECONDS} s{self.state()}')
        check(out.returncode == 0,
              f'probe {a!r:.200} failed: {out.stderr.decode(errors="replace").strip()}{self.state()}')
        return out.stdout.decode('latin-1')

    def state(self):
        """How the console stands, for a failure's message."""
        proc = getattr(self, 'proc', None)
        if proc is None or proc.poll() is None:
            return ''
        self.err.seek(0)
        tail = self.err.read()[-2000:].decode(errors='replace').strip()
        return f'; the console has ended with code {proc.returncode}' + (f', saying: {tail}' if tail else '')

    def text(self, ident):
        out = self.probe('text', str(ident)).split()
        return unhex(out[1]) if len(out) > 1 else ''

    def choose(self, port):
        ports = self.dump()['ports']
        check(port in ports, f'{port} not in the port list: {ports}')
        self.probe('choose', str(ports.index(port)))

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
