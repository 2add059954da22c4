#!/usr/bin/env python3
"""Measures the real console under Wine against the dongle simulator.

    perf_run.py --exe tolvane.exe --probe tolvane_probe.exe linerate [--seconds 60]
    perf_run.py --exe tolvane.exe --probe tolvane_probe.exe endurance [--reports 604800]
    perf_run.py --exe tolvane.exe --probe tolvane_probe.exe costs [--count 300]
    perf_run.py --exe tolvane.exe --probe tolvane_probe.exe handoff [--count 50]

Both runs use 21 simulated monitors: twenty fill the tiles and one (a Polar,
which the console refuses) is reported but never shown. Every register report
k carries k in its heart rate, battery (high byte) and R-R interval, and the
simulator logs when each report's last byte was written (--sent). The probe's
watch samples the tile captions and the TrafficLog's "trust" lines from
another process, so every report the console handled can be found again.

linerate: reports at the line's speed (115200 baud, about 209 a second) for
--seconds; all twenty tiles are marked so that their captions show the values.
Counts the reports lost, the latency from the simulator's write of a report's
last byte to the caption that shows it (median, p99, max), and the CPU of the
console and of Wine's server while idle with the port open and while
streaming.

endurance: --reports reports as fast as the console takes them (the pty's
flow control paces the simulator). Samples the console's private memory,
handle count, GDI and USER objects and the TrafficLog's length throughout,
and the longest time the window took to answer a read.

costs: the time one message of each kind the receiver sends per report takes
when sent to the console from outside (a tile's text read, a caption, a
"trust" line), with the window shown and minimised; then edit_cost's figures
for a trust line in an edit control made like the TrafficLog and in variants.

handoff: with the port open and the receiver polling, Start is pressed
--count times; the time from the press (the probe's post) to the start
frame's last byte read from the other end of the pty.

Writes summary.json (and the raw files) to --out, prints the summary, and
ends with 1 when a report was lost, a read went unanswered or a sample is
missing. Needs the environment of scripts/wine-env.sh (tolvane_wine_setup),
an X display and TOLVANE_SIM naming the simulator.
"""
import argparse
import contextlib
import json
import os
import select
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'tests', 'support'))
from console_driver import WINE, Fail, check  # noqa: E402
from sim_driver import DONGLE_INFO, START_BUTTON, TILE0, TILES, Console, Simulator, wait_for  # noqa: E402

COM = 12  # clear of the COM ports the tests use
MONITORS = 21
REFUSED = {1}  # the simulator's monitor 1 is a Polar, which the console refuses
LINE_REPORTS_PER_SECOND = 115200 / 10 / 55


# ---------------------------------------------------------------- processes

def cpu_seconds(pid):
    """User plus system CPU time of a process, all its threads."""
    with open(f'/proc/{pid}/stat') as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def rss_kib(pid):
    with open(f'/proc/{pid}/status') as f:
        for line in f:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
    return 0


def wineserver_pid():
    """The server of this run's prefix: its working directory is named after the prefix's inode."""
    st = os.stat(os.environ['WINEPREFIX'])
    want = f'server-{st.st_dev:x}-{st.st_ino:x}'
    for pid in os.listdir('/proc'):
        if not pid.isdigit():
            continue
        try:
            with open(f'/proc/{pid}/comm') as f:
                if not f.read().startswith('wineserver'):
                    continue
            if os.readlink(f'/proc/{pid}/cwd').endswith(want):
                return int(pid)
        except OSError:
            continue
    return None


class CpuMeter:
    """CPU use of the console and of Wine's server over a stretch of time, in percent of one core."""

    def __init__(self, pids):
        self.pids = {k: v for k, v in pids.items() if v}
        self.start = {k: cpu_seconds(v) for k, v in self.pids.items()}
        self.t0 = time.time()

    def stop(self):
        spent = time.time() - self.t0
        return {k: round(100 * (cpu_seconds(v) - self.start[k]) / spent, 1) for k, v in self.pids.items()}


# ---------------------------------------------------------------- the watch

class Watch:
    """tolvane_probe watch, running beside the console; its lines go to a file."""

    def __init__(self, con, tmp, seconds, caption_ms, log_ms, stats_ms, tiles=TILES):
        self.path = os.path.join(tmp, 'watch.txt')
        self.out = open(self.path, 'wb')
        self.err = open(os.path.join(tmp, 'watch.err'), 'w+b')
        self.proc = subprocess.Popen([WINE, con.args.probe, 'watch', str(int(seconds)), str(caption_ms), str(log_ms),
                                      str(stats_ms), str(tiles)], stdout=self.out, stderr=self.err, env=con.env)

    def lines(self):
        with open(self.path, errors='replace') as f:
            return f.read().splitlines()

    def last_trust(self):
        """The 16-bit number of the last trust line seen so far, or None."""
        with open(self.path, 'rb') as f:
            f.seek(max(0, os.path.getsize(self.path) - 8192))
            tail = f.read().decode(errors='replace').splitlines()
        for line in reversed(tail[1:]):
            p = line.split()
            if len(p) == 4 and p[0] == 'T':
                return int(p[2]) + 256 * int(p[3])
        return None

    def state(self):
        """How the watch stands, for a failure's message."""
        if self.proc.poll() is None:
            return ''
        self.err.seek(0)
        return f'; the watch has ended with code {self.proc.returncode}: {self.err.read()[-1000:].decode(errors="replace")}'

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.out.close()
        self.err.close()


def read_sent(path):
    """(k, monitor, microseconds) of every report the simulator wrote out."""
    sent = []
    with open(path) as f:
        for line in f:
            p = line.split()
            if len(p) == 3:
                sent.append((int(p[0]), int(p[1]), int(p[2])))
    return sent


def parse_caption(text):
    """The report number a marked tile's caption shows (heart rate + 256 * battery), or None."""
    lines = text.split('\n')
    if len(lines) != 3 or not lines[1].startswith('HR: ') or not lines[2].startswith('Bat: '):
        return None
    hr = lines[1][4:].split(' ')[0]
    rr = lines[1].split('RR: ')[1] if 'RR: ' in lines[1] else None
    bat = lines[2][5:].rstrip('%')
    if not (hr.isdigit() and bat.isdigit()):
        return None
    k16 = int(hr) + 256 * int(bat)
    return k16, (int(rr) if rr and rr.isdigit() else None)


def analyse(lines, sent):
    """Finds every report again in the trust lines and captions."""
    expected = {k for k, m, _ in sent if m not in REFUSED}
    sent_at = {k: t for k, _, t in sent}
    by_k16 = {}
    for k, _, _ in sent:
        by_k16.setdefault(k % 65536, []).append(k)
    seen = set()
    last = 0
    repeated = 0
    gaps = timeouts = 0
    latencies = []
    stats = []
    rr_mismatch = 0
    captions_seen = 0
    trust_times = []
    for line in lines:
        p = line.split(' ')
        kind = p[0]
        if kind == 'T' and len(p) == 4:
            trust_times.append(int(p[1]))
            v = int(p[2]) + 256 * int(p[3])
            step = (v - last) % 65536
            if step == 0 or step >= 32768:
                repeated += 1
                continue
            last += step
            seen.add(last)
        elif kind == 'C' and len(p) == 4:
            t = int(p[1])
            text = bytes.fromhex(p[3]).decode('latin-1')
            parsed = parse_caption(text)
            if not parsed:
                continue
            k16, rr = parsed
            if rr is not None and rr != k16:
                rr_mismatch += 1
            # The latest report with these 16 bits written before the caption was read.
            k = next((k for k in reversed(by_k16.get(k16, [])) if sent_at[k] <= t), None)
            if k is not None:
                seen.add(k)
                captions_seen += 1
                latencies.append((t - sent_at[k]) / 1000.0)
        elif kind == 'S':
            kv = dict(x.split('=', 1) for x in p[2:] if '=' in x)
            kv['t'] = int(p[1])
            stats.append(kv)
        elif kind == 'G':
            gaps += 1
        elif kind == 'X':
            timeouts += 1
    lost = sorted(expected - seen)
    result = {
        'reports_sent': len(sent),
        'reports_expected': len(expected),
        'reports_found': len(expected & seen),
        'reports_lost': len(lost),
        'first_lost': lost[:20],
        'captions_matched': captions_seen,
        'caption_rr_mismatch': rr_mismatch,
        'trust_repeated': repeated,
        'watch_gaps': gaps,
        'read_timeouts': timeouts,
    }
    if sent:
        span = (sent[-1][2] - sent[0][2]) / 1e6
        result['stream_seconds'] = round(span, 1)
        result['reports_per_second'] = round((len(sent) - 1) / span, 1) if span > 0 else None
    if len(trust_times) > 1 and trust_times[-1] > trust_times[0]:
        # Seen in the log, so within one log poll of when they were handled.
        result['handled_per_second'] = round((len(trust_times) - 1) / ((trust_times[-1] - trust_times[0]) / 1e6), 1)
    if latencies:
        result['latency_ms'] = percentiles(latencies)
    return result, stats


def stat_summary(stats):
    """First, last and largest value of each resource figure over the samples."""
    keys = ['private', 'workingset', 'handles', 'gdi', 'user', 'loglen', 'maxcall']
    out = {}
    for key in keys:
        values = [int(s[key]) for s in stats if key in s and s[key].lstrip('-').isdigit()]
        if values:
            out[key] = {'first': values[0], 'last': values[-1], 'min': min(values), 'max': max(values)}
    if stats:
        out['handle_source'] = stats[0].get('handlesrc')
        out['gdi_source'] = stats[0].get('gdisrc')
        out['user_source'] = stats[0].get('usersrc')
        out['samples'] = len(stats)
    return out


# ---------------------------------------------------------------- runs

class Stream:
    """The simulator and the console of one run, and the watch once it runs."""

    def __init__(self, sim, con, sent):
        self.sim, self.con, self.sent, self.watch = sim, con, sent, None

    def finish(self):
        """Ends the watch and the simulator (its --sent log is complete once it has ended) and analyses the run."""
        self.watch.close()
        self.sim.close()
        return analyse(self.watch.lines(), read_sent(self.sent))


@contextlib.contextmanager
def streaming_console(args, tmp, sim_options):
    """The console on the simulator's port with the dongle's identity shown;
    the watch, the console and the simulator are ended when the run is."""
    sent = os.path.join(tmp, 'sent.txt')
    sim = Simulator(['--monitors', str(MONITORS), '--sequence', '--sent', sent, *sim_options], tmp, COM)
    stream = None
    try:
        stream = Stream(sim, Console(args), sent)
        con = stream.con
        con.choose(sim.port)
        wait_for(lambda: con.text(START_BUTTON) == 'Start ...' and 'Ver.' in con.text(DONGLE_INFO),
                 'the dongle identity did not show')
        yield stream
    finally:
        if stream:
            if stream.watch:
                stream.watch.close()
            stream.con.kill()
        sim.close()


def start_and_mark(con, slots):
    """Presses Start, waits until the tiles are full and marks the tiles of slots."""
    con.probe('post', str(START_BUTTON))
    seen = []

    def full():
        seen[:] = con.tiles()
        return all(t != 'empty' for t in seen)
    wait_for(full, lambda: f'the twenty tiles did not fill; they read {seen}', pause=0.05)
    con.probe('postmany', *[str(TILE0 + s) for s in slots])


def wait_streamed(stream, count, timeout):
    """Until the simulator has written all count reports and the last one shows in a trust line."""
    deadline = time.time() + timeout
    last_k = max(k for k in range(count - 2, count + 1) if (k - 1) % MONITORS not in REFUSED)
    while time.time() < deadline:
        check(stream.sim.proc.poll() is None, f'the simulator ended: {stream.sim.errors()}')
        if stream.watch.last_trust() == last_k % 65536:
            return
        time.sleep(0.5)
    raise Fail(f'report {last_k} never showed in the TrafficLog within {timeout} s'
               f'{stream.watch.state()}{stream.con.state()}')


def run_linerate(args, tmp):
    rate = min(args.rate, LINE_REPORTS_PER_SECOND)
    count = int(args.seconds * rate)
    with streaming_console(args, tmp, ['--rate', str(args.rate), '--max-reports', str(count)]) as stream:
        con = stream.con
        pids = {'console': con.proc.pid, 'wineserver': wineserver_pid()}
        idle = CpuMeter(pids)
        time.sleep(args.idle_seconds)
        idle_cpu = idle.stop()

        if args.minimised:
            con.probe('syscmd', 'minimize')
            wait_for(lambda: con.probe('iconic').split()[1] == '1', 'the window did not minimise')
        stream.watch = Watch(con, tmp, 24 * 3600, args.caption_ms, args.log_ms, 1000, args.caption_tiles)
        time.sleep(1.0)
        busy = CpuMeter(pids)
        start_and_mark(con, range(TILES))
        wait_streamed(stream, count, args.seconds * 4 + 60)
        busy_cpu = busy.stop()
        time.sleep(1.0)
        result, stats = stream.finish()
        result['cpu_percent_idle'] = idle_cpu
        result['cpu_percent_streaming'] = busy_cpu
        result['console_rss_kib'] = rss_kib(con.proc.pid)
        result['resources'] = stat_summary(stats)
        return result


def run_endurance(args, tmp):
    count = args.reports
    with streaming_console(args, tmp, ['--unpaced', '--max-reports', str(count)]) as stream:
        con = stream.con
        before = con.probe('stats').split(' ', 1)[1].strip()
        pids = {'console': con.proc.pid, 'wineserver': wineserver_pid()}
        rss_before = rss_kib(con.proc.pid)
        stream.watch = Watch(con, tmp, 24 * 3600, args.caption_ms, args.log_ms, args.stats_ms)
        time.sleep(1.0)
        busy = CpuMeter(pids)
        t0 = time.time()
        # Half the tiles marked: both plain and custom-drawn tiles, live captions on the marked ones.
        start_and_mark(con, range(0, TILES, 2))
        wait_streamed(stream, count, count / 20 + 120)
        elapsed = time.time() - t0
        busy_cpu = busy.stop()
        time.sleep(2 * args.stats_ms / 1000 + 1)
        after = con.probe('stats').split(' ', 1)[1].strip()
        result, stats = stream.finish()
        result['elapsed_seconds'] = round(elapsed, 1)
        result['cpu_percent_streaming'] = busy_cpu
        result['stats_before'] = before
        result['stats_after'] = after
        result['console_rss_kib'] = {'before': rss_before, 'after': rss_kib(con.proc.pid)}
        result['resources'] = stat_summary(stats)
        result['resource_samples'] = [{k: s.get(k) for k in ('t', 'private', 'handles', 'gdi', 'user', 'loglen',
                                                              'maxcall')} for s in stats]
        return result


def run_costs(args, tmp):
    con = Console(args)
    try:
        result = {}
        for shown in ('shown', 'minimised'):
            if shown == 'minimised':
                con.probe('syscmd', 'minimize')
                wait_for(lambda: con.probe('iconic').split()[1] == '1', 'the window did not minimise')
            for action in ('read', 'caption', 'log'):
                out = con.probe('cost', action, str(args.count)).split()
                result[f'{action}_us_{shown}'] = int(out[2])
        # The log's cost taken apart, in a window of its own.
        edit_cost = os.path.join(os.path.dirname(args.probe), '..', 'bench', 'edit_cost.exe')
        out = subprocess.run([WINE, edit_cost, str(args.count)], capture_output=True, timeout=600, text=True)
        check(out.returncode == 0, f'edit_cost failed: {out.stderr[-500:]}')
        for line in out.stdout.splitlines():
            p = line.split()
            if len(p) == 3 and p[0] == 'edit':
                result[f'edit_us_{p[1]}'] = int(p[2])
        return result
    finally:
        con.kill()


START_FRAME = bytes.fromhex('51524e010400000002000196')


def percentiles(values):
    values = sorted(values)
    return {'samples': len(values), 'median': round(statistics.median(values), 2),
            'p99': round(values[min(len(values) - 1, int(0.99 * len(values)))], 2), 'max': round(values[-1], 2)}


def run_handoff(args, tmp):
    master, slave = os.openpty()
    tty.setraw(slave)
    link = f"{os.environ['WINEPREFIX']}/dosdevices/com{COM}"
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    arrivals = []  # (microseconds, bytes) of each read of the console's side
    done = threading.Event()

    def read():
        while not done.is_set():
            if select.select([master], [], [], 0.1)[0]:
                data = os.read(master, 4096)
                arrivals.append((time.time_ns() // 1000, data))
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    con = Console(args)
    try:
        con.choose(f'\\\\.\\COM{COM}')
        wait_for(lambda: len(b''.join(d for _, d in arrivals)) >= 23, 'the stop frame and config request did not come')
        posted = []
        for _ in range(args.count):
            posted.append(int(con.probe('posttimed', str(START_BUTTON)).split()[1]))
            time.sleep(0.2)
        time.sleep(1.0)
        done.set()
        reader.join()
        # When each start frame was complete on the wire.
        stream, ends = b'', []
        for t, data in arrivals:
            before = len(stream)
            stream += data
            at = stream.find(START_FRAME)
            while at >= 0:
                if at + len(START_FRAME) > before:
                    ends.append(t)
                at = stream.find(START_FRAME, at + 1)
        check(len(ends) == len(posted), f'{len(posted)} presses, {len(ends)} start frames on the wire')
        return {'handoff_ms': percentiles([(e - p) / 1000.0 for p, e in zip(posted, ends)])}
    finally:
        done.set()
        con.kill()
        os.close(master)
        os.close(slave)
        if os.path.islink(link):
            os.unlink(link)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('--exe', required=True)
    ap.add_argument('--probe', required=True)
    ap.add_argument('--out', help='keep the raw files and summary.json here')
    ap.add_argument('--seconds', type=float, default=60, help='linerate: seconds of streaming')
    ap.add_argument('--rate', type=float, default=1000,
                    help='linerate: reports per second (the simulator caps it at the line, about 209)')
    ap.add_argument('--caption-tiles', type=int, default=4, help='linerate: tiles whose captions are polled')
    ap.add_argument('--minimised', action='store_true', help='linerate: stream with the window minimised')
    ap.add_argument('--idle-seconds', type=float, default=10, help='linerate: idle CPU sample')
    ap.add_argument('--reports', type=int, default=604800, help='endurance: reports in all (all monitors)')
    ap.add_argument('--caption-ms', type=int, default=None, help='caption poll period (0: none)')
    ap.add_argument('--log-ms', type=int, default=None, help='TrafficLog poll period')
    ap.add_argument('--stats-ms', type=int, default=10000, help='endurance: resource sample period')
    ap.add_argument('--count', type=int, default=None, help='costs: messages of each kind (300); handoff: presses (50)')
    ap.add_argument('run', choices=['linerate', 'endurance', 'costs', 'handoff'])
    args = ap.parse_args()
    if args.caption_ms is None:
        args.caption_ms = 1 if args.run == 'linerate' else 0
    if args.count is None:
        args.count = 300 if args.run == 'costs' else 50
    if args.log_ms is None:
        args.log_ms = 100 if args.run == 'linerate' else 20
    check(os.environ.get('WINEPREFIX'), 'WINEPREFIX is not set (source scripts/wine-env.sh; tolvane_wine_setup)')

    tmp = args.out or tempfile.mkdtemp(prefix=f'tolvane-perf-{args.run}.')
    os.makedirs(tmp, exist_ok=True)
    try:
        runs = {'linerate': run_linerate, 'endurance': run_endurance, 'costs': run_costs, 'handoff': run_handoff}
        result = runs[args.run](args, tmp)
    except Fail as e:
        print(f'FAIL {args.run}: {e}')
        return 1
    finally:
        if not args.out:
            shutil.rmtree(tmp, ignore_errors=True)
    result['run'] = args.run
    result['options'] = {k: v for k, v in vars(args).items() if k not in ('exe', 'probe', 'out')}
    text = json.dumps(result, indent=1)
    if args.out:
        with open(os.path.join(args.out, 'summary.json'), 'w') as f:
            f.write(text + '\n')
    print(text)
    problems = []
    if args.run in ('costs', 'handoff'):
        print(f'ok {args.run}')
        return 0
    if result['reports_lost']:
        problems.append(f"{result['reports_lost']} reports lost")
    if result['read_timeouts']:
        problems.append(f"{result['read_timeouts']} reads unanswered for 10 s")
    if not result.get('resources', {}).get('samples'):
        problems.append('no resource samples')
    print(f"{'FAIL' if problems else 'ok'} {args.run}: {', '.join(problems) or 'nothing lost'}")
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
