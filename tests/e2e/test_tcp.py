"""The instrument over TCP with a real client (PyVISA, pure-Python backend): a counted run,
a continuous run, a refused command, OFF from the client, and a file run chosen in the panel."""

import os
import re
import socket
import unittest

import pyvisa

import desktop
from kestrin_window import KestrinWindow

VALUE = r"\d+\.\d{1,5}"  # a value formatted "0.0####"
CLIENT_TIMEOUT_MS = 10000


def is_data_line(line, points):
    return re.fullmatch(",".join([VALUE] * points), line) is not None


class TcpTest(unittest.TestCase):
    def setUp(self):
        self.program = desktop.Program("kestrin")
        self.addCleanup(self.program.stop)
        self.panel = KestrinWindow(self.program)
        self.port = desktop.free_port()
        self.panel.enable_network(self.port)
        self.panel.switch_on()
        self.resources = pyvisa.ResourceManager("@py")
        self.addCleanup(self.resources.close)

    def connect(self):
        client = self.resources.open_resource(f"TCPIP::127.0.0.1::{self.port}::SOCKET",
                                              read_termination="\r", write_termination="\r",
                                              timeout=CLIENT_TIMEOUT_MS)
        self.addCleanup(client.close)
        self.panel.wait_status("Network connection accepted!")
        return client

    def read_until_reply(self, client, points):
        """Reads past the data lines of a run until the reply to a command arrives."""
        while True:
            line = client.read()
            if not is_data_line(line, points):
                return line

    def test_counted_run_then_continuous_run_then_off_from_the_client(self):
        client = self.connect()

        self.assertEqual(client.query("ANALYZE 3"), "OK")
        line = client.read()
        self.assertTrue(is_data_line(line, 3), f"one line of three values, got {line!r}")
        # A counted run is one line long and ends by itself, sending nothing more: the next text
        # on the connection is the reply to the next command.
        self.panel.wait_status("Stopped!")
        self.panel.wait_state("Idle")
        self.assertEqual(client.query("RESUME"), "Error 2: Illegal Command - RESUME")

        self.panel.choose("Continuous")
        self.assertEqual(client.query("ANALYZE"), "OK")
        for _ in range(3):
            line = client.read()
            self.assertTrue(is_data_line(line, 3), f"a data line of three values, got {line!r}")
        client.write("RESUME")
        self.assertEqual(self.read_until_reply(client, 3), "Error 2: Illegal Command - RESUME")

        client.write("OFF")
        desktop.wait_until(lambda: self.panel.on_off_button().name == "On", "the panel's button to read On")
        self.panel.wait_state("Off")
        self.assert_connection_closed(client, points=3)

    def assert_connection_closed(self, client, points):
        """OFF drops the connection: after the data lines still under way the client reads the end
        of the stream (no reply: the connection is gone before the reply is sent), and nothing
        listens any more."""
        raw = client.visalib.sessions[client.session].interface
        raw.settimeout(CLIENT_TIMEOUT_MS / 1000)
        pending = b""
        while True:
            chunk = raw.recv(4096)
            if not chunk:
                break
            pending += chunk
        rest = [line for line in pending.decode("latin-1").split("\r") if line]
        self.assertTrue(all(is_data_line(line, points) for line in rest), f"only data lines before the end: {rest}")
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", self.port), timeout=5).close()

    def test_file_run_plays_a_file_chosen_in_another_folder(self):
        folder = os.path.join(desktop.SCRATCH, "data files")
        os.makedirs(folder, exist_ok=True)
        lines = ["1.5,2.25,3", "text as it stands", "  spaced  ", "-4.75", "last line"]
        path = os.path.join(folder, "run.txt")
        with open(path, "w", encoding="latin-1", newline="\n") as data:
            data.write("\n".join(lines) + "\n")
        self.panel.choose_data_file(path)
        desktop.wait_until(lambda: self.panel.box_text("File Name") == "run.txt", "the file's title in File Name")
        client = self.connect()

        self.panel.press("Start")

        received = [client.read() for _ in lines]
        self.assertEqual(received, lines)
        self.panel.wait_status("Stopped!")
        self.panel.wait_state("Idle")
        self.assertEqual(client.query("RESUME"), "Error 2: Illegal Command - RESUME",
                         "nothing is sent after the file's last line")


if __name__ == "__main__":
    unittest.main()
