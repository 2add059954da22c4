"""What the end-to-end scripts share: tolvane.exe started under Wine and
reached from outside through tolvane_probe (and xdotool for real input)."""
import os
import subprocess

WINE = os.environ.get('TOLVANE_WINE', 'wine')


class Fail(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Fail(what)


def unhex(h):
    return bytes.fromhex(h).decode('latin-1')


def xdo(*a):
    return subprocess.run(['xdotool', *a], capture_output=True, timeout=30, text=True).stdout.strip()


class ConsoleProcess:
    """The running console. Subclasses read the probe's dump their own way;
    the dump must give the PortList's entries under 'ports'."""

    def __init__(self, args, wait_ms):
        self.args = args
        self.proc = subprocess.Popen([WINE, args.exe], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.probe('wait', str(wait_ms))

    def probe(self, *a):
        out = subprocess.run([WINE, self.args.probe, *a], capture_output=True, timeout=60)
        check(out.returncode == 0, f'probe {a!r:.200} failed: {out.stderr.decode(errors="replace")}')
        return out.stdout.decode('latin-1')

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
