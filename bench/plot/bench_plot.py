"""Processor time of kestrin-plot while the instrument streams lines of 10 points into it, beside the
instrument's own figure in the same run. Both programs run as a user starts them, each window shown
on the virtual display; the plot is linked by pressing its Connect button. Run it through the
end-to-end suite's run_e2e.py, which provides the display, the accessibility bus and the suite's
helpers:

    /usr/bin/python3 tests/e2e/run_e2e.py --programs build/bin --script bench/plot/bench_plot.py

Prints, per rate, the processor time per line and the share of one core of each program, read
from /proc/<pid>/stat over the measured seconds.
"""

import os
import sys
import time

import desktop
from kestrin_window import KestrinWindow
from test_plot import connect_plot, gaussian_run, set_rate, trace_statistics

RATES = (100, 1000)
POINTS_PER_LINE = 10
SETTLE_SECONDS = 2.0
MEASURED_SECONDS = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0


def processor_seconds(pid):
    with open(f"/proc/{pid}/stat", "rb") as stat:
        fields = stat.read().rsplit(b")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def measure(panel, plot, rate, linked):
    """Streams at the rate and returns (plot us/line, plot % core, kestrin us/line, kestrin % core)."""
    set_rate(panel, rate, POINTS_PER_LINE)
    panel.press("Start")
    panel.wait_state("Analyzing ...")
    desktop.wait_until(linked, "the plot to follow the run")
    # The measured interval is the benchmark itself: the programs run undisturbed, and nothing is
    # asked of them meanwhile.
    time.sleep(SETTLE_SECONDS)
    start = time.monotonic()
    plot_before, instrument_before = processor_seconds(plot.pid), processor_seconds(panel.program.pid)
    time.sleep(MEASURED_SECONDS)
    elapsed = time.monotonic() - start
    plot_used = processor_seconds(plot.pid) - plot_before
    instrument_used = processor_seconds(panel.program.pid) - instrument_before
    panel.press("Abort")
    panel.wait_state("Idle")
    lines = rate * elapsed
    return (plot_used / lines * 1e6, plot_used / elapsed * 100,
            instrument_used / lines * 1e6, instrument_used / elapsed * 100)


def main():
    instrument = desktop.Program("kestrin")
    panel = KestrinWindow(instrument)
    panel.switch_on()
    gaussian_run(panel, RATES[0], POINTS_PER_LINE)
    plot = desktop.Program("kestrin-plot")
    window = plot.window("Kestrin Plot")
    statistics = desktop.find(window, "label", description="Statistics")
    connect_plot(window)
    print(f"{'lines/s':>8} {'plot us/line':>13} {'plot % core':>12} {'kestrin us/line':>16} "
          f"{'kestrin % core':>15}")
    try:
        for rate in RATES:
            figures = measure(panel, plot, rate, lambda: POINTS_PER_LINE in trace_statistics(
                desktop.text_of(statistics)))
            print(f"{rate:>8} {figures[0]:>13.1f} {figures[1]:>12.1f} {figures[2]:>16.1f} "
                  f"{figures[3]:>15.1f}", flush=True)
    finally:
        plot.stop()
        instrument.stop()


if __name__ == "__main__":
    main()
