"""DDE between the real programs: tovrask driving the instrument (and starting it), and ostrel
against the demonstration source program."""

import os
import queue
import re
import subprocess
import threading
import unittest

import desktop
from kestrin_window import KestrinWindow

DATA_LINE = re.compile(r"\d+\.\d{1,5}")
TURN_ON_FIRST = "Error.  Please turn the Kestrin On before establishing a DDE connection."
CHANNEL_CLOSED = "Error. Is the Kestrin running?  The DDE channel is closed."
RED = (255, 0, 0)


class TovraskTest(unittest.TestCase):
    def setUp(self):
        self.tovrask = desktop.Program("tovrask")
        self.addCleanup(self.tovrask.stop)
        self.window = self.tovrask.window("Tovrask")

    def button(self, caption):
        return desktop.find(self.window, "push button", caption)

    def output(self):
        return desktop.text_of(desktop.find(self.window, "text", "Instrument output"))

    def execute(self, command):
        # The command list is the window's one combo box; Qt 6.4 names it after its current text
        # once the field holds one, so its name is no handle.
        field = desktop.find(desktop.find(self.window, "combo box"), "text")
        desktop.set_text(field, command)
        desktop.press(self.button("Execute"))

    def expect_message(self, expected):
        box, text = desktop.message_box(self.tovrask.application())
        self.assertEqual(text, expected)
        desktop.dismiss(box)

    def test_connect_starts_the_instrument_then_links_and_follows_a_run_until_off(self):
        self.press_connect()
        # No instrument answered: tovrask started one, which is Off.
        self.expect_message(TURN_ON_FIRST)
        # Exactly one instrument on the bus, or the lookup fails as ambiguous.
        instrument = desktop.StartedProgram("kestrin")
        self.addCleanup(instrument.stop)
        panel = KestrinWindow(instrument)

        panel.switch_on()
        desktop.set_text(panel.box("Frequency"), "10")
        self.press_connect()
        desktop.wait_until(lambda: self.output() == "OK", "the linked box to show the instrument's output")
        self.assertTrue(desktop.no_message_box(self.tovrask.application()))

        self.execute("Analyze")
        panel.wait_state("Analyzing ...")
        seen = set()

        def three_data_lines_seen():
            text = self.output()
            if DATA_LINE.fullmatch(text):
                seen.add(text)
            return len(seen) >= 3
        desktop.wait_until(three_data_lines_seen, "the linked box to follow three data lines")

        self.execute("Off")
        panel.wait_state("Off")
        self.press_connect()
        self.expect_message(TURN_ON_FIRST)
        self.execute("Analyze")
        self.expect_message(CHANNEL_CLOSED)
        self.assertEqual(panel.state(), "Off")

    def press_connect(self):
        desktop.press(self.button("Connect"))


def window_colour(window):
    """The colour of the window's background, read from the screen just inside its lower right
    corner, where no control lies."""
    extents = desktop.fresh(window).queryComponent().getExtents(desktop.pyatspi.DESKTOP_COORDS)
    x, y = extents.x + extents.width - 3, extents.y + extents.height - 3
    pixel = subprocess.run(["import", "-window", "root", "-crop", f"1x1+{x}+{y}", "-depth", "8", "txt:-"],
                           capture_output=True, text=True, check=True, timeout=30).stdout
    match = re.search(r"\((\d+),(\d+),(\d+)", pixel.splitlines()[-1])
    return tuple(int(channel) for channel in match.groups())


class OstrelTest(unittest.TestCase):
    def setUp(self):
        self.source = desktop.Program("ddesource")
        self.addCleanup(self.source.stop)
        self.source_window = self.source.window("DDE Source")
        desktop.find(self.source_window, "label", "Serving Source|DDESource")
        self.ostrel = desktop.Program("ostrel")
        self.addCleanup(self.ostrel.stop)
        self.window = self.ostrel.window("DDE Destination")
        self.box = desktop.find(self.window, "text", "Source value")

    def press(self, caption):
        desktop.press(desktop.find(self.window, "push button", caption))

    def source_log(self):
        return desktop.text_of(desktop.find(self.source_window, "text", "Received"))

    def wait_colour(self, wanted, what):
        desktop.wait_until(lambda: (window_colour(self.window) == RED) == wanted, what)

    def test_value_colour_poke_and_reset_against_the_source(self):
        source_data = desktop.find(self.source_window, "text", "Data")
        start_value = desktop.text_of(source_data)
        self.press("Connect")
        desktop.wait_until(lambda: desktop.text_of(self.box) == start_value, "the source's value in the box")
        self.assertNotEqual(window_colour(self.window), RED)
        default_colour = window_colour(self.window)

        # A value over 100 arriving through the link turns the window red.
        desktop.set_text(source_data, "150")
        desktop.wait_until(lambda: desktop.text_of(self.box) == "150", "150 to arrive through the link")
        self.wait_colour(True, "the window to turn red")

        # Typing 42 turns it back; Poke sends what the box holds now.
        desktop.set_text(self.box, "42")
        self.wait_colour(False, "the window to return to its default colour")
        self.assertEqual(window_colour(self.window), default_colour)
        self.press("Poke")
        desktop.wait_until(lambda: 'poke txtData "42"' in self.source_log(), "the source to log the poke")

        self.press("Reset")
        desktop.wait_until(lambda: 'execute "RESET"' in self.source_log(), "the source to log RESET")
        desktop.wait_until(lambda: desktop.text_of(self.box) == desktop.text_of(source_data),
                           "the reset value to arrive through the link")
        self.assertTrue(desktop.no_message_box(self.ostrel.application()))

        desktop.set_text(self.box, "150")
        self.wait_colour(True, "typed 150 to turn the window red")


class SocatConversation:
    """A conversation typed by hand: socat joined to a source's socket, as docs/dde-protocol.md
    shows it."""

    def __init__(self, application):
        path = os.path.join(os.environ["XDG_RUNTIME_DIR"], "dde", application)
        desktop.wait_until(lambda: os.path.exists(path), f"the socket {path}")
        self.process = subprocess.Popen(["socat", "-", f"UNIX-CONNECT:{path}"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.decode("utf-8").rstrip("\n"))
        self.lines.put(None)  # end of the connection

    def send(self, line):
        self.process.stdin.write((line + "\n").encode("utf-8"))
        self.process.stdin.flush()

    def receive(self):
        try:
            return self.lines.get(timeout=desktop.DEFAULT_TIMEOUT)
        except queue.Empty:
            raise desktop.WaitTimeout("no line from the source") from None

    def close(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            self.process.terminate()
        self.process.wait(timeout=10)


class SocatByHandTest(unittest.TestCase):
    def setUp(self):
        self.program = desktop.Program("kestrin")
        self.addCleanup(self.program.stop)
        self.panel = KestrinWindow(self.program)

    def conversation(self):
        conversation = SocatConversation("kestrin")
        self.addCleanup(conversation.close)
        conversation.send("INITIATE Kestrin")
        return conversation

    def test_refused_while_off_then_a_whole_conversation_until_off(self):
        refused = self.conversation()
        self.assertEqual(refused.receive(), "NACK refused")

        self.panel.switch_on()
        talk = self.conversation()
        self.assertEqual(talk.receive(), "ACK")
        talk.send("ADVISE txtOutput")
        self.assertEqual(talk.receive(), "DATA OK")
        talk.send("EXECUTE ANALYZE 3")
        self.assertEqual([talk.receive(), talk.receive()], ["UPDATE txtOutput OK", "ACK"])
        data = talk.receive()
        self.assertRegex(data, r"^UPDATE txtOutput \d+\.\d{1,5},\d+\.\d{1,5},\d+\.\d{1,5}$")
        self.assertEqual(talk.receive(), "UPDATE txtOutput OK", "the run of one line ends by itself")
        self.assertEqual(self.panel.box_text("Output"), "OK")

        talk.send("EXECUTE RESUME")
        self.assertEqual([talk.receive(), talk.receive()],
                         ["UPDATE txtOutput Error 2: Illegal Command - RESUME", "NACK refused"])
        talk.send("REQUEST txtInput")
        self.assertEqual(talk.receive(), "DATA RESUME")

        talk.send("EXECUTE OFF")
        self.assertEqual([talk.receive(), talk.receive(), talk.receive()],
                         ["UPDATE txtOutput OK", "ACK", "TERMINATE"])
        self.assertIsNone(talk.receive(), "the instrument closes the connection")
        desktop.wait_until(lambda: self.panel.on_off_button().name == "On", "the panel's button to read On")
        self.assertEqual(self.panel.state(), "Off")
        after_off = self.conversation()
        self.assertEqual(after_off.receive(), "NACK no source")


if __name__ == "__main__":
    unittest.main()
