"""The fault layer as an Instrument hands it out: instrument.tcp, instrument.serial and
instrument.dde set and clear faults, and a control socket lets any process do the same in the
command line's words ("tcp:latency=50"), as `kestrin-testkit fault` does, and lists the faults
set, as `kestrin-testkit faults` does.
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
# The control socket's request for the faults set: a word no fault text is (those have a colon).
LIST_REQUEST = "faults"
# Where a kit given no transcript folder keeps its transcripts (the pytest plugin sets it), or None
# to keep them in memory only.
default_transcript_parent: Optional[str] = None


class ChannelFaults:
    """The faults of one channel. direction: "to_client", "to_instrument" or "both" (the default;
    drop, duplicate, corrupt and the faults on the language act toward the client unless told
    otherwise). Each call replaces
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
        """Removes every fault of the channel, those on the language too."""
        self._set("clear")

    # Faults on the instrument's language. Each acts on the instrument's whole lines (direction
    # "to_client" unless told otherwise) and takes count (it wears off after acting on that many
    # lines), after (it starts once that many lines have passed its way) and duration (it clears
    # itself that many seconds after it was set). match is a regular expression searched in the
    # line without its terminator; on the conversation socket in the whole line as it travels
    # ("UPDATE txtOutput OK"), and a line carrying a text has that text changed.

    def replace(self, match: str, text: str, *, count: Optional[int] = None, after: Optional[int] = None,
                duration: Optional[float] = None, direction: Optional[str] = None) -> None:
        """A line that matches becomes text: an error reply to a good command, a wrong value."""
        self._set("replace", match, text, count=count, after=after, duration=duration, direction=direction)

    def withhold(self, match: str, *, count: Optional[int] = None, after: Optional[int] = None,
                 duration: Optional[float] = None, direction: Optional[str] = None) -> None:
        """A line that matches never comes; the others, data lines too, keep coming."""
        self._set("withhold", match, count=count, after=after, duration=duration, direction=direction)

    def inject(self, text: str, every: Optional[float] = None, *, count: Optional[int] = None,
               after: Optional[int] = None, duration: Optional[float] = None) -> None:
        """An unasked line sent to the client as the instrument sends its own (with its line
        terminator; on the conversation socket as an update of txtOutput), between its lines: once
        (to the first client, if none is there yet), or every `every` seconds (to the clients there
        are), count times. after: it waits for that many of the client's commands."""
        self._set("inject", text, every=every, count=count, after=after, duration=duration)

    def truncate(self, match: str, keep: int, *, count: Optional[int] = None, after: Optional[int] = None,
                 duration: Optional[float] = None, direction: Optional[str] = None) -> None:
        """A line that matches keeps only its first keep characters (and its terminator)."""
        self._set("truncate", match, keep, count=count, after=after, duration=duration, direction=direction)

    def _set(self, fault, *args, **kwargs):
        kwargs = {name: value for name, value in kwargs.items() if value is not None}
        self._layer.set(self.name, fault, args, kwargs)


class ControlServer(socketserver.ThreadingMixIn, socketserver.UnixStreamServer):
    """Takes one fault a line, as "tcp:latency=50", and answers "ok" or "error: why"."""

    daemon_threads = True

    def __init__(self, path, set_text, listing):
        self.set_text = set_text
        self.listing = listing
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
            request = line.decode("utf-8", "replace").strip()
            if request == LIST_REQUEST:
                # A line per fault, each "- ...", then "ok".
                self.wfile.write("".join(f"- {fault}\n" for fault in self.server.listing()).encode() + b"ok\n")
                continue
            try:
                self.server.set_text(request)
                answer = "ok"
            except ValueError as failure:
                answer = f"error: {failure}"
            self.wfile.write((answer + "\n").encode())


class FaultChannels:
    """The fault layer of one instrument, its transcript and its control socket.

    ready: what the supervisor said of the started instrument; folder: a private folder for the
    stand-ins; transcript_dir: where to keep the transcripts (None: default_transcript_parent)."""

    def __init__(self, ready: dict, folder: str, transcript_dir: Optional[str] = None, start_faults=(),
                 line_terminator: Optional[str] = None):
        if transcript_dir is None and default_transcript_parent is not None:
            os.makedirs(default_transcript_parent, exist_ok=True)
            transcript_dir = tempfile.mkdtemp(prefix="kestrin-transcript-", dir=default_transcript_parent)
        names = [name for name, key in (("tcp", "tcp_port"), ("serial", "serial_port"), ("dde", "dde_socket"))
                 if ready.get(key) is not None]
        self.transcript = Transcript(transcript_dir, names)
        runtime = os.path.join(folder, "runtime")
        os.makedirs(runtime, mode=0o700)
        self.layer = FaultLayer(runtime, self.transcript, tcp_port=ready.get("tcp_port"),
                                serial_path=ready.get("serial_port"), dde_socket=ready.get("dde_socket"),
                                line_terminator=line_terminator)
        self.runtime = runtime
        self.control_path = os.path.join(folder, "control")
        self.control = ControlServer(self.control_path, self.set_text, self.layer.listing)
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


def _connected(path: Optional[str], asked: str) -> socket.socket:
    if not path:
        raise ValueError(f"no kit to {asked}: {CONTROL_VARIABLE} is not set (run the command under "
                         "kestrin-testkit run)")
    connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    connection.settimeout(CONTROL_TIMEOUT)
    try:
        connection.connect(path)
    except OSError as failure:
        connection.close()
        raise ValueError(f"no kit answers at {path} ({failure.strerror})") from None
    return connection


def listed(path: Optional[str]) -> list:
    """The faults set on the kit whose control socket is path, a line each."""
    with _connected(path, "list the faults of") as connection:
        connection.sendall(f"{LIST_REQUEST}\n".encode())
        faults_set = []
        for line in connection.makefile("rb"):
            text = line.decode().rstrip("\n")
            if text == "ok":
                return faults_set
            faults_set.append(text.removeprefix("- "))
    raise ValueError(f"the kit at {path} closed its control socket while listing its faults")


def send(path: Optional[str], texts) -> list:
    """Sets faults on the kit whose control socket is path; returns the errors, one per fault refused."""
    errors = []
    with _connected(path, "set faults on") as connection:
        replies = connection.makefile("rb")
        for text in texts:
            connection.sendall(text.encode() + b"\n")
            answer = replies.readline().decode().strip()
            if answer != "ok":
                errors.append(answer.removeprefix("error: "))
    return errors
