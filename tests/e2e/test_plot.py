"""kestrin-plot linked to the real instrument: a continuous Gaussian run streams into the plot, and
the statistics line of the first trace reads the run's mean and spread."""

import re
import unittest

import desktop
from kestrin_window import KestrinWindow

TITLE = "Kestrin Plot"
# St Dev is used squared: an entry of 2 gives a spread of 4.
MEAN, ST_DEV_ENTRY, SPREAD = 10.0, 2.0, 4.0
MEAN_TOLERANCE, SPREAD_TOLERANCE = 0.3, 0.4
LINES_PER_SECOND = 1000
POINTS_PER_LINE = 2
# The mean of n deviates of spread 4 strays by 4/sqrt(n): over 5000 lines 0.057, so 0.3 is over five
# times that (over the default window of 1000 lines it would be 2.4 times, failing one run in 60).
ENOUGH_LINES = 5000
NUMBER = r"(-?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?)"
TRACE_LINE = re.compile(rf"Trace (\d+): count (\d+), mean {NUMBER}, sd {NUMBER}, min {NUMBER}, max {NUMBER}")


def trace_statistics(text):
    """{trace number: (count, mean, sd, min, max)} from the text of the statistics label."""
    found = {}
    for match in TRACE_LINE.finditer(text):
        found[int(match.group(1))] = (int(match.group(2)),) + tuple(float(value) for value in match.groups()[2:])
    return found


def gaussian_run(panel, lines_per_second, points_per_line):
    """Sets the panel to a continuous Gaussian run of Mean 10 and St Dev entry 2. Options are
    clicked on the screen, where the plot's window, once shown, lies over the panel: call this
    before the plot starts; set_rate alone works at any time."""
    panel.choose("Random")
    panel.choose("Gaussian")
    panel.choose("Continuous")
    set_rate(panel, lines_per_second, points_per_line)


def set_rate(panel, lines_per_second, points_per_line):
    desktop.set_text(panel.box("Mean"), f"{MEAN:g}")
    desktop.set_text(panel.box("St Dev"), f"{ST_DEV_ENTRY:g}")
    desktop.set_text(panel.box("Frequency"), str(lines_per_second))
    desktop.set_text(panel.box("Line Format"), str(points_per_line))


def connect_plot(window):
    desktop.press(desktop.find(window, "push button", "Connect"))
    desktop.wait_until(lambda: any("Linked to Kestrin|Kestrin" in shown_text(node)
                                   for node in desktop.descendants(window)),
                       "the plot's status bar to report the link")


def shown_text(node):
    try:
        return desktop.text_of(node)
    except Exception:
        return ""


class PlotTest(unittest.TestCase):
    def setUp(self):
        self.instrument = desktop.Program("kestrin")
        self.addCleanup(self.instrument.stop)
        self.panel = KestrinWindow(self.instrument)
        self.panel.switch_on()
        gaussian_run(self.panel, LINES_PER_SECOND, POINTS_PER_LINE)
        self.plot = desktop.Program("kestrin-plot")
        self.addCleanup(self.plot.stop)
        self.window = self.plot.window(TITLE)

    def statistics(self):
        return trace_statistics(desktop.text_of(desktop.find(self.window, "label", description="Statistics")))

    def test_gaussian_run_reads_its_mean_and_spread_in_the_statistics(self):
        lines = desktop.find(self.window, "spin button", "Lines:")
        desktop.fresh(lines).queryValue().currentValue = ENOUGH_LINES
        desktop.wait_until(lambda: desktop.text_of(lines).replace(",", "") == str(ENOUGH_LINES),
                           f"a window of {ENOUGH_LINES} lines")
        connect_plot(self.window)
        self.panel.press("Start")
        self.panel.wait_state("Analyzing ...")

        def enough_lines():
            first = self.statistics().get(1)
            return first if first and first[0] >= ENOUGH_LINES else None
        count, mean, sd, _, _ = desktop.wait_until(enough_lines, f"trace 1 to count {ENOUGH_LINES} lines", 60)
        self.assertLessEqual(abs(mean - MEAN), MEAN_TOLERANCE, f"mean {mean} over {count} points")
        self.assertLessEqual(abs(sd - SPREAD), SPREAD_TOLERANCE, f"sd {sd} over {count} points")
        self.assertIn(POINTS_PER_LINE, self.statistics(), "one trace per point of the line")

        self.panel.press("Abort")
        self.panel.wait_state("Idle")


if __name__ == "__main__":
    unittest.main()
