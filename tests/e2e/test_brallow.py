"""Two brallow processes on crossed exchange files talk to each other, set up and driven through
their windows and file dialogs."""

import os
import unittest

import desktop

INPUT_TITLE = "Please enter the input file for communications"
OUTPUT_TITLE = "Please enter the output file for communications"


class Party:
    def __init__(self, test):
        self.program = desktop.Program("brallow")
        test.addCleanup(self.program.stop)
        self.window = self.program.window("File Communications")

    def press(self, caption):
        desktop.press(desktop.find(self.window, "push button", caption))

    def choose_file(self, button, title, path):
        """Names a file, which need not exist yet, by typing its path into the file dialog."""
        self.press(button)
        dialog = desktop.window_of(self.program.application(), title)
        desktop.set_text(desktop.find(dialog, "text", "File name:"), path)
        desktop.press(desktop.find(dialog, "push button", "Open"))
        desktop.wait_until(lambda: not desktop.is_showing(dialog), f"{title!r} to close")

    def send(self, text, path):
        """Sends a line and waits until it stands in the exchange file as a record (text and CR)."""
        desktop.set_text(desktop.find(self.window, "text", "Text to send"), text)
        self.press("Send")
        record = (text + "\r").encode("latin-1")
        desktop.wait_until(lambda: os.path.exists(path) and open(path, "rb").read().endswith(record),
                           f"{text!r} written to {path}")

    def received(self):
        return desktop.text_of(desktop.find(self.window, "text", "Received text"))

    def receive(self, expected):
        self.press("Receive")
        desktop.wait_until(lambda: self.received() == expected, f"{expected!r} in the received box")


class BrallowTest(unittest.TestCase):
    def test_two_copies_on_crossed_files_exchange_lines(self):
        folder = os.path.join(desktop.SCRATCH, "exchange")
        os.makedirs(folder, exist_ok=True)
        a_to_b = os.path.join(folder, "a-to-b.txt")
        b_to_a = os.path.join(folder, "b-to-a.txt")
        first, second = Party(self), Party(self)
        first.choose_file("Set Output", OUTPUT_TITLE, a_to_b)
        first.choose_file("Set Input", INPUT_TITLE, b_to_a)
        second.choose_file("Set Output", OUTPUT_TITLE, b_to_a)
        second.choose_file("Set Input", INPUT_TITLE, a_to_b)

        # Receive shows the unread content of the file as it stands: each record ends with CR.
        first.send("Hello from the first copy", a_to_b)
        second.receive("Hello from the first copy\r")
        second.send("And back, with a comma, from the second", b_to_a)
        first.receive("And back, with a comma, from the second\r")

        # Two sends before a receive arrive together, in order.
        first.send("one", a_to_b)
        first.send("two", a_to_b)
        second.receive("one\rtwo\r")

        # What was read is marked read: a second Receive finds nothing new and empties the box.
        second.press("Receive")
        desktop.wait_until(lambda: second.received() == "", "the box to empty on a Receive with nothing new")
        self.assertTrue(desktop.no_message_box(first.program.application()))
        self.assertTrue(desktop.no_message_box(second.program.application()))


if __name__ == "__main__":
    unittest.main()
