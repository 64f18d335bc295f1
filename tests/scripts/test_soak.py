"""scripts/soak: how it tells heal times, gaps outside faults and memory growth
from WaveformData arrival times and /proc samples (no programs are started).

Run: python3 test_soak.py PATH/TO/scripts/soak
"""
import importlib.machinery
import importlib.util
import os
import sys
import time
import unittest

soak = None  # the script, loaded as a module


def load(path):
    loader = importlib.machinery.SourceFileLoader("soak", path)
    module_spec = importlib.util.spec_from_loader("soak", loader)
    module = importlib.util.module_from_spec(module_spec)
    loader.exec_module(module)
    return module


def every(start, stop, step=0.2):
    """Arrival times of a steady WaveformData stream."""
    n = int(round((stop - start) / step))
    return [round(start + i * step, 6) for i in range(n + 1)]


class HealTime(unittest.TestCase):
    def test_outage_after_the_fault_ends_at_the_first_arrival_after_it(self):
        # The unit link died at 10.05; a last message was in flight (10.1); streaming back at 13.
        waves = every(0, 10.0) + [10.1] + every(13.0, 20.0)
        self.assertEqual(soak.outage_end(waves, 10.05, 25.0), ("healed", 13.0))

    def test_fault_held_for_a_while_heals_after_its_end(self):
        # Refused from 30 to 60: nothing arrives while refused, streaming back at 62.5.
        waves = every(0, 30.0) + every(62.5, 70.0)
        self.assertEqual(soak.outage_end(waves, 60.0, 75.0), ("healed", 62.5))

    def test_fault_without_outage_heals_at_the_next_arrival(self):
        waves = every(0, 20.0)
        self.assertEqual(soak.outage_end(waves, 10.05, 25.0), ("healed", 10.2))

    def test_a_later_unrelated_gap_is_not_the_fault_s(self):
        waves = every(0, 14.0) + every(21.0, 30.0)
        self.assertEqual(soak.outage_end(waves, 10.05, 35.0), ("healed", 10.2))

    def test_undecided_while_the_outage_lasts_or_has_just_begun(self):
        waves = every(0, 10.0)
        self.assertEqual(soak.outage_end(waves, 10.05, 15.0), ("down", None))
        self.assertEqual(soak.outage_end(every(0, 10.2), 10.05, 10.4), ("pending", None))
        self.assertEqual(soak.outage_end([], 10.05, 30.0), ("down", None))


class GapsOutsideFaults(unittest.TestCase):
    def test_fault_windows_cover_their_outages_only(self):
        waves = every(0, 20.0) + every(30.0, 40.0) + every(47.0, 60.0)
        windows = [(19.5, 30.0), (43.0, 50.0)]
        # 20..30 is covered; 40..47 is covered from 43 only; 60..66 (the tail) is not at all.
        self.assertEqual(soak.longest_uncovered_gap(waves, windows, 62.0), (3.0, 40.0))
        length, start = soak.longest_uncovered_gap(waves, windows, 66.0)
        self.assertAlmostEqual(length, 6.0)
        self.assertEqual(start, 60.0)

    def test_steady_stream_has_only_its_rhythm(self):
        length, _ = soak.longest_uncovered_gap(every(0, 100.0), [], 100.1)
        self.assertAlmostEqual(length, 0.2)


class MemoryTenths(unittest.TestCase):
    def test_first_and_last_tenth_medians(self):
        samples = [(t, 5000 + (2000 if t >= 91 else 0) + (t % 3), 5, 9) for t in range(0, 101)]
        first, last = soak.tenth_medians(samples, 0.0, 100.0)
        self.assertEqual((first, last), (5001, 7001))
        self.assertEqual(soak.tenth_medians([], 0.0, 100.0), (None, None))


class UnitTimeStamps(unittest.TestCase):
    def stamp_text(self, t, clock):
        tm = clock(t)
        return "%02d:%02d:%02d.%03d" % (tm.tm_hour, tm.tm_min, tm.tm_sec, int(round((t % 1) * 1000)) % 1000)

    def test_local_or_utc_stamp_agreeing_with_the_arrival_is_used(self):
        arrival = 1796292930.750
        for clock in (time.localtime, time.gmtime):
            sent = arrival - 0.3
            line = "SentrelEmulator> %s WaveformData {\"MessageType\":\"WaveformData\"}" % self.stamp_text(sent, clock)
            self.assertAlmostEqual(soak.unit_stamp(line, arrival), sent, places=3)

    def test_stamp_across_midnight_and_disagreeing_or_missing_stamps(self):
        midnight = soak.local_midnight(1796292930.0) + 86400
        sent, arrival = midnight - 0.2, midnight + 1.0
        line = "%s WaveformData" % self.stamp_text(sent, time.localtime)
        self.assertAlmostEqual(soak.unit_stamp(line, arrival), sent, places=3)
        # 37 s off in local time cannot be right in UTC either (zones differ by whole quarter hours).
        off = "%s WaveformData" % self.stamp_text(arrival - 37, time.localtime)
        self.assertEqual(soak.unit_stamp(off, arrival), arrival)
        self.assertEqual(soak.unit_stamp("SentrelEmulator> {\"MessageType\":\"WaveformData\"}", arrival), arrival)
        # Numbers inside the message are not a time stamp.
        self.assertEqual(soak.unit_stamp('x {"t":"12:00:00.000"} WaveformData', arrival), arrival)


def main():
    global soak
    if len(sys.argv) < 2:
        print("usage: test_soak.py PATH/TO/soak [unittest args]", file=sys.stderr)
        return 2
    soak = load(os.path.abspath(sys.argv.pop(1)))
    result = unittest.main(exit=False, verbosity=2).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
