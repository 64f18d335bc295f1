"""scripts/plot-session on recordings written here in the recorder's line format.

Run: python3 test_plot_session.py PATH/TO/scripts/plot-session
Exit status 77 (skipped) when matplotlib cannot be imported.
"""
import datetime
import importlib.machinery
import importlib.util
import json
import os
import struct
import subprocess
import sys
import tempfile
import unittest

SCRIPT = None  # set from the command line

START = datetime.datetime(2026, 12, 8, 10, 15, 30, tzinfo=datetime.timezone.utc)
VITALS_TEMPLATE = {"hr": "-1", "sbp": "-1", "dbp": "-1", "mbp": "-1", "sPAP": "-1", "dPAP": "-1",
                   "mPAP": "-1", "CVP": "-1", "t1": "-1", "t2": "-1", "rr": "-1", "etCO2": "-1",
                   "co2FlowFactor": "-1", "spO2": "-1", "spO2Ratio": "-1", "spo2Override": "None",
                   "abpZeroState": "Unknown", "papZeroState": "Unknown", "cvpZeroState": "Unknown"}
CSV_HEADER = "time_s,hr_bpm,spO2_pct,sbp_mmHg,dbp_mmHg,mbp_mmHg,rr_brpm,etCO2_mmHg,t1_degC,t2_degC"


def stamp(seconds):
    t = START + datetime.timedelta(seconds=seconds)
    return t.strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def message_line(seconds, kind, members):
    text = json.dumps({"MessageType": kind, "Message": members}, separators=(",", ":"))
    return '{"time":"%s","type":"%s","message":%s}\n' % (stamp(seconds), kind, text)


def link_line(seconds, event):
    return json.dumps({"time": stamp(seconds), "type": "link", "event": event,
                       "address": "127.0.0.1"}, separators=(",", ":")) + "\n"


class Recording:
    """A 30 s session: link up at 0 s, down from 11.9 s to 15 s, VitalsData and
    WaveformData every 0.2 s while up, a keep-alive, and three garbled lines."""

    def __init__(self):
        self.lines = []
        self.vitals = []  # (seconds, members) as written
        self.lines.append(link_line(0.0, "connected"))
        t = 0.2
        n = 0
        while t < 30.0:
            if 12.0 <= t < 15.0:
                t += 0.2
                continue
            members = dict(VITALS_TEMPLATE)
            if n % 5 == 0:
                members.update(hr=str(70 + n % 20), rr=12, spO2="97", t1="36.5")
            if n % 7 == 0:
                members.update(sbp="120", dbp="80", mbp="93", etCO2="38", t2="37.0")
            self.vitals.append((round(t, 6), members))
            self.lines.append(message_line(t, "VitalsData", members))
            wave = {"pleth": [50, 60, 70, 60, 50, 40], "ecg": [], "abp": [80, 100, 120, 110, 90, 82],
                    "pap": [10, 20, 25, 20, 15, 12], "cvp": [5, 6, 7], "aux": [], "co2": [0]}
            self.lines.append(message_line(t, "WaveformData", wave))
            n += 1
            t += 0.2
            if n == 40:
                self.lines.append("this is not JSON\n")
                self.lines.append('{"time":"2026-12-08T10:15:38.000000Z","type":"VitalsData","mess\n')
                self.lines.append('{"time":"yesterday","type":"link","event":"connected"}\n')
        self.lines.insert(30, message_line(6.01, "CalSelect", {"calName": "Default Temperature",
                                                                "calType": "Temp"}))
        self.lines.append(link_line(11.9, "disconnected"))
        self.lines.append(link_line(15.0, "connected"))
        self.lines.sort(key=lambda line: line[9:36])  # time order; garbled lines sort anywhere

    def write(self, path):
        with open(path, "w", encoding="utf-8") as f:
            f.writelines(self.lines)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        raise AssertionError("%s is not a PNG" % path)
    return struct.unpack(">II", head[16:24])


def run(*args):
    return subprocess.run([SCRIPT] + list(args), capture_output=True, text=True, timeout=120)


def load_module():
    loader = importlib.machinery.SourceFileLoader("plot_session", SCRIPT)
    module_spec = importlib.util.spec_from_loader("plot_session", loader)
    module = importlib.util.module_from_spec(module_spec)
    loader.exec_module(module)
    return module


class PlotAndCsv(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="plot-session-test-")
        self.path = os.path.join(self.dir.name, "session.jsonl")
        self.recording = Recording()
        self.recording.write(self.path)

    def tearDown(self):
        self.dir.cleanup()

    def test_picture_and_trend_table(self):
        png = os.path.join(self.dir.name, "out.png")
        csv = os.path.join(self.dir.name, "out.csv")
        r = run(self.path, "-o", png, "--csv", csv)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(png_size(png), (1600, 1000))
        self.assertIn("skipped 3 garbled line(s)", r.stderr)

        with open(csv, encoding="utf-8") as f:
            rows = f.read().splitlines()
        self.assertEqual(rows[0], CSV_HEADER)
        self.assertEqual(len(rows) - 1, len(self.recording.vitals))
        columns = CSV_HEADER.split(",")
        for row, (seconds, members) in zip(rows[1:], self.recording.vitals):
            cells = dict(zip(columns, row.split(",")))
            self.assertAlmostEqual(float(cells["time_s"]), seconds, places=5)
            for member, column in (("hr", "hr_bpm"), ("rr", "rr_brpm"), ("sbp", "sbp_mmHg"),
                                   ("t1", "t1_degC"), ("t2", "t2_degC"), ("spO2", "spO2_pct")):
                written = float(members[member])
                if written == -1:
                    self.assertEqual(cells[column], "", "unset %s must be a gap at %s" % (member, seconds))
                else:
                    self.assertEqual(float(cells[column]), written)

    def test_default_picture_name_and_chosen_window(self):
        r = run(self.path, "--at", "10", "--window", "4")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(png_size(os.path.join(self.dir.name, "session.png")), (1600, 1000))

    def test_window_past_the_end_is_refused(self):
        r = run(self.path, "--at", "31")
        self.assertEqual(r.returncode, 1)
        self.assertIn("past the end of the session", r.stderr)


class BadInput(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="plot-session-test-")

    def tearDown(self):
        self.dir.cleanup()

    def write(self, name, data):
        path = os.path.join(self.dir.name, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def assert_one_line_error(self, r, text):
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        lines = r.stderr.strip().splitlines()
        self.assertEqual(len(lines), 1, r.stderr)
        self.assertTrue(lines[0].startswith("plot-session: "), lines[0])
        self.assertIn(text, lines[0])

    def test_missing_empty_and_garbled_files(self):
        out = os.path.join(self.dir.name, "x.png")
        self.assert_one_line_error(run(os.path.join(self.dir.name, "none.jsonl"), "-o", out), "cannot read")
        self.assert_one_line_error(run(self.write("empty.jsonl", b"\n\n"), "-o", out), "is empty")
        garbage = self.write("garbage.jsonl", b"\x00\xff\xfe binary\n[1,2,3]\n{\"time\":1}\n")
        r = run(garbage, "-o", out)
        self.assertEqual(r.returncode, 1)
        self.assertIn("holds no recording lines (3 garbled)", r.stderr)
        self.assertFalse(os.path.exists(out))

    def test_overlong_line_is_skipped_not_loaded(self):
        good = message_line(0.1, "VitalsData", dict(VITALS_TEMPLATE, hr="60"))
        path = self.write("long.jsonl", (good + "x" * (5 << 20) + "\n" + good).encode())
        csv = os.path.join(self.dir.name, "long.csv")
        r = run(path, "-o", os.path.join(self.dir.name, "long.png"), "--csv", csv)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("skipped 1 garbled line(s), the first at line 2", r.stderr)
        with open(csv, encoding="utf-8") as f:
            self.assertEqual(len(f.read().splitlines()), 3)


def stopped_line(seconds, reason):
    # The bridge's last line of a run, as it writes it.
    return '{"time":"%s","type":"stopped","reason":"%s"}\n' % (stamp(seconds), reason)


class RunsAndOddValues(unittest.TestCase):
    """Recordings of two runs of the bridge, and with values that are not numbers."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="plot-session-test-")
        self.m = load_module()

    def tearDown(self):
        self.dir.cleanup()

    def write(self, name, lines):
        path = os.path.join(self.dir.name, name)
        with open(path, "w", encoding="utf-8") as f:
            f.writelines(lines)
        return path

    def test_stop_lines_end_runs_and_the_time_between_is_an_outage(self):
        lines = [link_line(0.0, "connected")]
        lines += [message_line(0.2 * k, "VitalsData", dict(VITALS_TEMPLATE, hr="70")) for k in range(1, 50)]
        lines.append(stopped_line(10.0, "SIGTERM"))
        # The second run reaches the unit half a second after its first line.
        lines.append(message_line(20.0, "StatusRequest", {}))
        lines.append(link_line(20.5, "connected"))
        lines += [message_line(20.5 + 0.2 * k, "VitalsData", dict(VITALS_TEMPLATE, hr="80")) for k in range(1, 40)]
        lines.append(stopped_line(30.0, "SIGINT"))
        path = self.write("runs.jsonl", lines)

        session = self.m.read_recording(path)
        self.assertEqual(session.garbled, 0)
        start, end = session.start, session.end
        self.assertAlmostEqual(end - start, 30.0, places=5)
        stops = [(a - start, b - start, why) for a, b, why in self.m.stopped_periods(session.link, end)]
        self.assertEqual(len(stops), 2)
        self.assertAlmostEqual(stops[0][0], 10.0, places=5)
        self.assertAlmostEqual(stops[0][1], 20.0, places=5)
        self.assertEqual(stops[0][2], "SIGTERM")
        self.assertEqual(stops[1][2], "SIGINT")
        downs = [(round(a - start, 3), round(b - start, 3)) for a, b in
                 self.m.down_periods(session.link, start, end)]
        self.assertEqual(downs, [(20.0, 20.5)])  # the link was up when the first run stopped
        summary = self.m.outage_summary(self.m.down_periods(session.link, start, end),
                                        self.m.stopped_periods(session.link, end))
        self.assertEqual(summary, ", 2 outage(s): link down 1 for 0.5 s, bridge stopped 1 for 10.0 s, ended by SIGINT")

        png = os.path.join(self.dir.name, "runs.png")
        r = run(path, "-o", png)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "")
        self.assertEqual(png_size(png), (1600, 1000))

    def test_values_that_are_not_numbers_are_counted_once_and_rows_stay_in_time_order(self):
        lines = [link_line(0.0, "connected")]
        for k in range(1, 20):
            lines.append(message_line(0.5 * k, "VitalsData", dict(VITALS_TEMPLATE, hr="70", rr="12")))
        lines.append(message_line(10.5, "VitalsData", dict(VITALS_TEMPLATE, hr="abc", rr="12")))
        lines.append(message_line(11.0, "WaveformData", {"abp": [80, "x", 90], "pap": [], "co2": [1]}))
        lines.append(message_line(11.5, "VitalsData", dict(VITALS_TEMPLATE, hr=[72], t1="37.0")))
        lines.append(message_line(3.25, "VitalsData", dict(VITALS_TEMPLATE, hr="71")))  # written late
        lines.append(stopped_line(12.0, "exit"))
        path = self.write("odd.jsonl", lines)
        csv = os.path.join(self.dir.name, "odd.csv")
        r = run(path, "-o", os.path.join(self.dir.name, "odd.png"), "--csv", csv)
        self.assertEqual(r.returncode, 0, r.stderr)
        warnings = r.stderr.splitlines()
        self.assertEqual(warnings, [
            "plot-session: 3 line(s) hold values that are not numbers, the first at line 21; those values are gaps",
            "plot-session: 1 line(s) out of time order, the first at line 24; placed by their time"])
        with open(csv, encoding="utf-8") as f:
            rows = [row.split(",") for row in f.read().splitlines()[1:]]
        times = [float(row[0]) for row in rows]
        self.assertEqual(times, sorted(times))
        self.assertEqual(len(rows), 22)
        by_time = {round(float(row[0]), 2): row for row in rows}
        self.assertEqual(by_time[3.25][1], "71")
        self.assertEqual(by_time[10.5][1:7:5], ["", "12"])  # hr a gap, rr kept
        self.assertEqual(by_time[11.5][1], "")


class Timeline(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.m = load_module()

    def test_link_down_periods(self):
        down = self.m.down_periods
        # Reaching the unit counts as down from the start; an open period runs to the end.
        self.assertEqual(down([(2.0, "connected"), (5.0, "disconnected"), (7.0, "connected"),
                               (9.0, "disconnected")], 0.0, 12.0), [(0.0, 2.0), (5.0, 7.0), (9.0, 12.0)])
        # Up from the start; repeated events do not open or close twice.
        self.assertEqual(down([(3.0, "disconnected"), (4.0, "disconnected"), (6.0, "connected"),
                               (6.5, "connected")], 0.0, 10.0), [(3.0, 6.0)])
        self.assertEqual(down([], 0.0, 10.0), [])

    def test_samples_spread_over_the_time_since_the_previous_message(self):
        strips = self.m.spread_samples([(10.0, {"abp": [1, 2, 3]}), (10.3, {"abp": [4, 5, 6], "cvp": [7]}),
                                        (20.0, {"abp": [8, 9]})])
        times, values = strips["abp"]
        self.assertEqual(values, [1, 2, 3, 4, 5, 6, 8, 9])
        self.assertAlmostEqual(times[3], 10.1)
        self.assertAlmostEqual(times[5], 10.3)
        # After a long silence the samples sit just before their message, not across the gap.
        self.assertGreater(times[6], 19.0)
        self.assertEqual(strips["cvp"], ([10.3], [7]))
        self.assertTrue(all(a < b for a, b in zip(times, times[1:])))

    def test_vital_members_and_gaps(self):
        v = self.m.vital_value
        self.assertEqual([v("72"), v(72), v("36.5"), v("0")], [72.0, 72.0, 36.5, 0.0])
        self.assertEqual([v("-1"), v(-1), v("None"), v("Unknown"), v(None), v(True), v([1])], [None] * 7)
        bad = []
        self.assertEqual([v("abc", lambda: bad.append(1)), v("nan", lambda: bad.append(2)),
                          v(True, lambda: bad.append(3)), v("None", lambda: bad.append(4)),
                          v("-1", lambda: bad.append(5))], [None] * 5)
        self.assertEqual(bad, [1, 2, 3])



def main():
    global SCRIPT
    if len(sys.argv) < 2:
        print("usage: test_plot_session.py PATH/TO/plot-session [unittest args]", file=sys.stderr)
        return 2
    SCRIPT = os.path.abspath(sys.argv.pop(1))
    python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
    if subprocess.run([python, "-c", "import matplotlib"], capture_output=True).returncode != 0:
        print("skipped: %s cannot import matplotlib (apt-get install python3-matplotlib)" % python)
        return 77
    result = unittest.main(exit=False, verbosity=2).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
