"""What went over each channel of a kit, written as a person reads it.

One file per channel (tcp.txt, serial.txt, dde.txt) and one for the panel (panel.txt): a line per
piece that passed, naming its connection (tcp#3: the kit's third TCP connection; serial; dde#2),
"  1523.4 ms  tcp#3   to_client      "OK\\r"  latency 50 ms", printable Latin-1 characters as they
are and others escaped; a note names its connection, or its channel when it is about the channel
as a whole. The panel's file has the calls the kit made and the status texts it read. A mark,
"  1530.2 ms  ==== test_client.py::test_analyze ====", written into every file at once, tells
where a test begins. The last lines of each are kept in memory as well, for a failing test's
report, showing no more than the first TAIL_PIECE_LIMIT bytes of a piece.

What passes is noted as it is and written out as text a few times a second, or sooner once
PENDING_LIMIT is waiting, so that a piece relayed costs the relaying thread little while the client
waits for it and a flood costs no more memory than a trickle. A transcript holds at most
PENDING_LIMIT of pieces not yet written (and the one piece that goes beyond, written at once),
FORMAT_SLICE bytes of a piece as text at a time, and its tails: under 1 MiB whatever the rate.
"""

import collections
import os
import threading
import time
from typing import Iterable, Optional

TAIL_LINES = 40
TAIL_PIECE_LIMIT = 256
# Written out at least this often, once this many bytes are waiting (each piece counted with
# ENTRY_COST for what noting it takes), and whenever tail() or close() is called.
FLUSH_INTERVAL = 0.5
PENDING_LIMIT = 256 * 1024
ENTRY_COST = 128
FORMAT_SLICE = 16 * 1024
# Connection names are padded to this width, so that the directions line up.
SOURCE_WIDTH = 6
ESCAPES = {code: f"\\x{code:02x}" for code in [*range(0x20), *range(0x7f, 0xa0)]}
ESCAPES.update({ord("\r"): "\\r", ord("\n"): "\\n", ord("\t"): "\\t", ord("\\"): "\\\\", ord('"'): '\\"'})
# Text escapes these alone, a replace each: far quicker than a translation of every character.
TEXT_ESCAPES = ("\\", '"', "\r", "\n", "\t")
TEXT = bytes(code for code in range(256) if code not in ESCAPES or chr(code) in TEXT_ESCAPES)

# Every transcript opened in this process, for the pytest plugin to find a test's own.
opened = []
opened_lock = threading.Lock()


def escaped(data: bytes) -> str:
    """data as the text between a transcript line's quotes."""
    text = data.decode("latin-1")
    if data.translate(None, TEXT):
        return text.translate(ESCAPES)
    for character in TEXT_ESCAPES:
        text = text.replace(character, ESCAPES[ord(character)])
    return text


class Transcript:
    """folder: where the files go (kept), or None for memory only."""

    def __init__(self, folder: Optional[str], channels: Iterable[str]) -> None:
        self.folder = folder
        self.started = time.monotonic()
        self._lock = threading.Lock()
        self._tails = {name: collections.deque(maxlen=TAIL_LINES) for name in (*channels, "panel")}
        self._files = {}
        # (time, connection or channel (None for a mark), direction or None for a note, bytes or text,
        # what acted), not yet written.
        self._noted = []
        self._pending = 0
        self._flushed = self.started
        self.closed = False
        if folder is not None:
            os.makedirs(folder, exist_ok=True)
            for name in self._tails:
                self._files[name] = open(os.path.join(folder, f"{name}.txt"), "w", encoding="utf-8")
        with opened_lock:
            opened.append(self)

    def path(self, channel: str) -> Optional[str]:
        return None if self.folder is None else os.path.join(self.folder, f"{channel}.txt")

    def piece(self, source: str, direction: str, data: bytes, acted: str = "") -> None:
        """What passed on a connection ("tcp#3", "serial", "dde#2") one way."""
        self._add((time.monotonic(), source, direction, data, acted))

    def note(self, source: str, text: str) -> None:
        """A note about a connection, or a channel ("tcp", "panel") as a whole."""
        self._add((time.monotonic(), source, None, text, ""))

    def mark(self, text: str) -> None:
        """A mark in every file, as "==== text ====": where a test begins."""
        self._add((time.monotonic(), None, None, text, ""))

    def _add(self, entry: tuple) -> None:
        with self._lock:
            if self.closed:
                return
            self._noted.append(entry)
            self._pending += len(entry[3]) + ENTRY_COST
            if self._pending > PENDING_LIMIT or entry[0] - self._flushed > FLUSH_INTERVAL:
                self._flush()

    def tail(self) -> dict:
        """The last lines of each channel that has any."""
        with self._lock:
            self._flush()
            return {name: list(lines) for name, lines in self._tails.items() if lines}

    def close(self) -> None:
        with self._lock:
            self._flush()
            self.closed = True
            for output in self._files.values():
                output.close()
            self._files = {}

    def _flush(self) -> None:
        self._flushed = time.monotonic()
        for when, source, direction, what, acted in self._noted:
            head = f"{(when - self.started) * 1000:10.1f} ms  "
            if source is None:
                for channel in self._tails:
                    self._write_line(channel, f"{head}==== {what} ====")
                continue
            channel = source.partition("#")[0]
            output = self._files.get(channel)
            head += f"{source:<{SOURCE_WIDTH}}  "
            if direction is None:
                self._write_line(channel, head + what)
                continue
            head += f"{direction:<13}  \""
            acted = f"  {acted}" if acted else ""
            # The tail shows the start of a long piece; the file has it whole, written in slices.
            shown = escaped(what[:TAIL_PIECE_LIMIT]) + '"'
            if len(what) > TAIL_PIECE_LIMIT:
                shown += f" ... ({len(what)} bytes)"
            self._tails[channel].append(head + shown + acted)
            if output is not None:
                output.write(head)
                for start in range(0, len(what), FORMAT_SLICE):
                    output.write(escaped(what[start:start + FORMAT_SLICE]))
                output.write('"' + acted + "\n")
        self._noted = []
        self._pending = 0
        for output in self._files.values():
            output.flush()

    def _write_line(self, channel: str, line: str) -> None:
        self._tails[channel].append(line)
        output = self._files.get(channel)
        if output is not None:
            output.write(line + "\n")
