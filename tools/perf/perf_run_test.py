#!/usr/bin/env python3
"""The measurement's bookkeeping: which reports count as found, lost or
expected, and the latency matched to a caption."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import perf_run  # noqa: E402


def sent(count, start_us=1_000_000, step_us=5000):
    """Reports 1..count from 21 monitors in turn, step_us apart."""
    return [(k, (k - 1) % perf_run.MONITORS, start_us + k * step_us) for k in range(1, count + 1)]


def trust(k, t=0):
    return f'T {t} {k % 256} {(k // 256) % 256}'


def caption(k, t, slot=0):
    text = f'Tile\nHR: {k % 256} , RR: {k % 65536}\nBat: {(k // 256) % 256}%'
    return f'C {t} {slot} {text.encode("latin-1").hex()}'


def accepted(reports):
    return [k for k, m, _ in reports if m not in perf_run.REFUSED]


class Analyse(unittest.TestCase):
    def test_cases(self):
        reports = sent(100)
        ks = accepted(reports)
        cases = [
            # (what, watch lines, lost)
            ('every accepted report in a trust line', [trust(k) for k in ks], 0),
            ('one trust line missing', [trust(k) for k in ks if k != 50], 1),
            ('a report seen only in a caption', [trust(k) for k in ks if k != 50] + [caption(50, 2_000_000)], 0),
            ('nothing seen', [], len(ks)),
            ('a caption before the report was written does not count',
             [trust(k) for k in ks if k != 50] + [caption(50, 1_000_000)], 1),
        ]
        for what, lines, lost in cases:
            with self.subTest(what):
                result, _ = perf_run.analyse(lines, reports)
                self.assertEqual(result['reports_expected'], len(ks))
                self.assertEqual(result['reports_lost'], lost)

    def test_numbers_wrap_at_16_bits(self):
        reports = sent(70000, step_us=10)
        ks = accepted(reports)
        result, _ = perf_run.analyse([trust(k) for k in ks], reports)
        self.assertEqual(result['reports_lost'], 0)
        result, _ = perf_run.analyse([trust(k) for k in ks if k != 66000], reports)
        self.assertEqual(result['reports_lost'], 1)
        self.assertEqual(result['first_lost'], [66000])

    def test_latency_from_the_write_to_the_caption(self):
        reports = sent(30)
        t_written = dict((k, t) for k, _, t in reports)
        lines = [trust(k) for k in accepted(reports)] + [caption(21, t_written[21] + 7000)]
        result, _ = perf_run.analyse(lines, reports)
        self.assertEqual(result['latency_ms']['samples'], 1)
        self.assertAlmostEqual(result['latency_ms']['median'], 7.0)


if __name__ == '__main__':
    unittest.main()
