"""The instrument over a serial line: a socat pseudo-terminal pair, one end mapped as port 1
through KESTRIN_COM1, PyVISA (ASRL resource) on the other end."""

import os
import re
import subprocess
import time
import unittest

import pyvisa

import desktop
from kestrin_window import KestrinWindow

LINES_PER_SECOND = 50
COUNTING_SECONDS = 5.0
RATE_TOLERANCE = 0.05
DATA_LINE = re.compile(r"\d+\.\d{1,5}")


class SerialLine:
    """A virtual null-modem cable made by socat: two pseudo-terminals joined back to back."""

    def __init__(self):
        base = os.path.join(desktop.SCRATCH, f"serial-{time.monotonic_ns()}")
        self.links = (base + "-instrument", base + "-client")
        self.log = open(base + ".log", "wb")
        self.process = subprocess.Popen(
            ["socat", "-d", "-d", f"pty,raw,echo=0,link={self.links[0]}", f"pty,raw,echo=0,link={self.links[1]}"],
            stdout=self.log, stderr=subprocess.STDOUT)
        desktop.wait_until(lambda: all(os.path.exists(link) for link in self.links), "socat's two terminals")
        self.instrument_end, self.client_end = (os.path.realpath(link) for link in self.links)

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=10)
        self.log.close()


class SerialTest(unittest.TestCase):
    def setUp(self):
        self.line = SerialLine()
        self.addCleanup(self.line.close)
        self.program = desktop.Program("kestrin", env={"KESTRIN_COM1": self.line.instrument_end})
        self.addCleanup(self.program.stop)
        self.panel = KestrinWindow(self.program)
        self.resources = pyvisa.ResourceManager("@py")
        self.addCleanup(self.resources.close)

    def test_on_over_the_line_after_the_dialog_then_a_run_streams_at_the_set_rate(self):
        # OK in Communication Settings opens the port at once, with the instrument still Off.
        dialog = self.panel.dialog("RS232 Port Settings ...", "Communication Settings")
        self.assertTrue(desktop.is_checked(desktop.find(dialog, "check box", "Port Enabled:")))
        self.panel.close_dialog(dialog)

        client = self.resources.open_resource(f"ASRL{self.line.client_end}::INSTR", baud_rate=19200,
                                              read_termination="\r", write_termination="\r", timeout=10000)
        self.addCleanup(client.close)
        self.assertEqual(client.query("ON"), "OK")
        self.panel.wait_state("Idle")
        self.assertEqual(self.panel.on_off_button().name, "Off")

        desktop.set_text(self.panel.box("Frequency"), str(LINES_PER_SECOND))
        self.assertEqual(client.query("ANALYZE"), "OK")
        arrivals = []
        first = None
        while True:
            line = client.read()
            now = time.monotonic()
            self.assertIsNotNone(DATA_LINE.fullmatch(line), f"a data line of one value, got {line!r}")
            first = first or now
            if now - first >= COUNTING_SECONDS:
                break
            arrivals.append(now)

        expected = LINES_PER_SECOND * COUNTING_SECONDS
        self.assertLessEqual(abs(len(arrivals) - expected), expected * RATE_TOLERANCE,
                             f"{len(arrivals)} lines in {COUNTING_SECONDS} s at {LINES_PER_SECOND} lines/s")


if __name__ == "__main__":
    unittest.main()
