"""The fault layer as an Instrument hands it out: instrument.tcp, instrument.serial and
instrument.dde set and clear faults, and a control socket lets any process do the same in the
command line's words ("tcp:latency=50"), as `kestrin-testkit fault` does.
"""

import os
import socket
import socketserver
import tempfile
import threading
from typing import Optional

from kestrin_testkit import faults
from kestrin_testkit.relay import FaultLayer
from kestrin_testkit.transcript import Transcript

CONTROL_VARIABLE = "KESTRIN_TESTKIT_CONTROL"
CONTROL_TIMEOUT = 10.0
# How often the control socket's server looks whether it is to stop: closing an instrument waits for it.
CONTROL_POLL = 0.02
# Where a kit given no transcript folder keeps its transcripts (the pytest plugin sets it), or None
# to keep them in memory only.
default_transcript_parent: Optional[str] = None


class ChannelFaults:
    """The faults of one channel. direction: "to_client", "to_instrument" or "both" (the default;
    drop, duplicate and corrupt act toward the client unless told otherwise). Each call replaces
    the fault of its name in its direction; a bad parameter raises a one-line ValueError."""

    def __init__(self, layer: FaultLayer, name: str):
        self._layer = layer
        self.name = name

    def latency(self, ms: float, jitter_ms: float = 0, *, direction: Optional[str] = None) -> None:
        """Each piece is delivered ms (± jitter_ms) later, in order."""
        self._set("latency", ms, jitter_ms=jitter_ms, direction=direction)

    def slice(self, max_bytes: int, gap_ms: float = 0, *, direction: Optional[str] = None) -> None:
        """What passes goes in pieces of at most max_bytes, gap_ms apart."""
        self._set("slice", max_bytes, gap_ms=gap_ms, direction=direction)

    def bandwidth(self, bytes_per_second: float, *, direction: Optional[str] = None) -> None:
        self._set("bandwidth", bytes_per_second, direction=direction)

    def line_speed(self, *, direction: Optional[str] = None) -> None:
        """Serial only: paced as the instrument's port settings carry it (19200,N,8,1: 1920 bytes/s)."""
        self._set("line_speed", direction=direction)

    def drop(self, count: int = 1, match: Optional[str] = None, *, direction: Optional[str] = None) -> None:
        """The next count lines (those matching the regular expression match) vanish."""
        self._set("drop", count, match=match, direction=direction)

    def duplicate(self, count: int = 1, *, direction: Optional[str] = None) -> None:
        self._set("duplicate", count, direction=direction)

    def corrupt(self, probability: float, seed: int = 0, *, direction: Optional[str] = None) -> None:
        """A bit of each byte flipped at this probability, the same ones for the same seed."""
        self._set("corrupt", probability, seed=seed, direction=direction)

    def stall(self, seconds: float, *, direction: Optional[str] = None) -> None:
        """Nothing passes for that long, then all that was held (up to 4 MiB each way)."""
        self._set("stall", seconds, direction=direction)

    def disconnect(self) -> None:
        """The cable is pulled now: TCP resets the client's connection, serial hangs its line up,
        the conversation socket closes. The client may connect again at once."""
        self._set("disconnect")

    def clear(self) -> None:
        """Removes every fault of the channel."""
        self._set("clear")

    def _set(self, fault, *args, **kwargs):
        kwargs = {name: value for name, value in kwargs.items() if value is not None}
        self._layer.set(self.name, fault, args, kwargs)


class ControlServer(socketserver.ThreadingMixIn, socketserver.UnixStreamServer):
    """Takes one fault a line, as "tcp:latency=50", and answers "ok" or "error: why"."""

    daemon_threads = True

    def __init__(self, path, set_text):
        self.set_text = set_text
        super().__init__(path, ControlHandler)
        self.thread = threading.Thread(target=self.serve_forever, args=(CONTROL_POLL,), name="kestrin_testkit control",
                                       daemon=True)
        self.thread.start()

    def close(self):
        self.shutdown()
        self.server_close()


class ControlHandler(socketserver.StreamRequestHandler):
    def handle(self):
        for line in self.rfile:
            try:
                self.server.set_text(line.decode("utf-8", "replace").strip())
                answer = "ok"
            except ValueError as failure:
                answer = f"error: {failure}"
            self.wfile.write((answer + "\n").encode())


class FaultChannels:
    """The fault layer of one instrument, its transcript and its control socket.

    ready: what the supervisor said of the started instrument; folder: a private folder for the
    stand-ins; transcript_dir: where to keep the transcripts (None: default_transcript_parent)."""

    def __init__(self, ready: dict, folder: str, transcript_dir: Optional[str] = None, start_faults=()):
        if transcript_dir is None and default_transcript_parent is not None:
            os.makedirs(default_transcript_parent, exist_ok=True)
            transcript_dir = tempfile.mkdtemp(prefix="kestrin-transcript-", dir=default_transcript_parent)
        names = [name for name, key in (("tcp", "tcp_port"), ("serial", "serial_port"), ("dde", "dde_socket"))
                 if ready.get(key) is not None]
        self.transcript = Transcript(transcript_dir, names)
        runtime = os.path.join(folder, "runtime")
        os.makedirs(runtime, mode=0o700)
        self.layer = FaultLayer(runtime, self.transcript, tcp_port=ready.get("tcp_port"),
                                serial_path=ready.get("serial_port"), dde_socket=ready.get("dde_socket"))
        self.runtime = runtime
        self.control_path = os.path.join(folder, "control")
        self.control = ControlServer(self.control_path, self.set_text)
        self.channels = {name: ChannelFaults(self.layer, name) for name in self.layer.channels}
        try:
            for text in start_faults:
                self.set_text(text)
        except ValueError:
            self.close()
            raise

    def published(self) -> dict:
        """Where clients find the stand-ins, in the supervisor's words."""
        layer = self.layer
        return {"tcp_port": getattr(layer, "tcp_port", None), "serial_port": getattr(layer, "serial_path", None),
                "dde_socket": getattr(layer, "dde_socket", None), "runtime": self.runtime}

    def channel(self, name: str) -> ChannelFaults:
        if name not in self.channels:
            raise ValueError(f"the instrument offers no {name} channel here (it offers {', '.join(self.channels)})")
        return self.channels[name]

    def set_text(self, text: str) -> None:
        channel, fault, args, kwargs = faults.parse(text)
        self.channel(channel)._set(fault, *args, **kwargs)

    def note_panel(self, text: str) -> None:
        self.transcript.note("panel", text)

    def close(self):
        self.control.close()
        self.layer.close()
        self.transcript.close()


def send(path: Optional[str], texts) -> list:
    """Sets faults on the kit whose control socket is path; returns the errors, one per fault refused."""
    if not path:
        raise ValueError(f"no kit to set faults on: {CONTROL_VARIABLE} is not set (run the command under "
                         "kestrin-testkit run)")
    errors = []
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as connection:
        connection.settimeout(CONTROL_TIMEOUT)
        try:
            connection.connect(path)
        except OSError as failure:
            raise ValueError(f"no kit answers at {path} ({failure.strerror})") from None
        replies = connection.makefile("rb")
        for text in texts:
            connection.sendall(text.encode() + b"\n")
            answer = replies.readline().decode().strip()
            if answer != "ok":
                errors.append(answer.removeprefix("error: "))
    return errors
