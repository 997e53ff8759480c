"""What went over each channel of a kit, written as a person reads it.

One file per channel (tcp.txt, serial.txt, dde.txt) and one for the panel (panel.txt): a line per
piece that passed, "  1523.4 ms  to_client  "OK\\r"  latency 50 ms", printable Latin-1 characters as
they are and others escaped; the panel's file has the calls the kit made and the status texts it
read. The last lines of each are kept in memory as well, for a failing test's report.

What passes is noted as it is and written out as text a few times a second, so that a piece
relayed costs the relaying thread little while the client waits for it.
"""

import collections
import os
import threading
import time
from typing import Optional

TAIL_LINES = 40
# Written out at least this often; and whenever tail() or close() is called.
FLUSH_INTERVAL = 0.5
ESCAPES = {code: f"\\x{code:02x}" for code in [*range(0x20), *range(0x7f, 0xa0)]}
ESCAPES.update({ord("\r"): "\\r", ord("\n"): "\\n", ord("\t"): "\\t", ord("\\"): "\\\\", ord('"'): '\\"'})
PLAIN = bytes(code for code in range(256) if code not in ESCAPES)

# Every transcript opened in this process, for the pytest plugin to find a test's own.
opened = []
opened_lock = threading.Lock()


def readable(data: bytes) -> str:
    # Most pieces are plain text but for a line end, which is escaped alone.
    body = data.rstrip(b"\r\n")
    if body.translate(None, PLAIN):
        return '"' + data.decode("latin-1").translate(ESCAPES) + '"'
    return '"' + body.decode("latin-1") + data[len(body):].decode("latin-1").translate(ESCAPES) + '"'


class Transcript:
    """folder: where the files go (kept), or None for memory only."""

    def __init__(self, folder: Optional[str], channels):
        self.folder = folder
        self.started = time.monotonic()
        self._lock = threading.Lock()
        self._tails = {name: collections.deque(maxlen=TAIL_LINES) for name in (*channels, "panel")}
        self._files = {}
        # (time, channel, direction or None for a note, bytes or note, what acted), not yet written.
        self._noted = []
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

    def piece(self, channel: str, direction: str, data: bytes, acted: str = ""):
        self._add((time.monotonic(), channel, direction, data, acted))

    def note(self, channel: str, text: str):
        self._add((time.monotonic(), channel, None, text, ""))

    def _add(self, entry):
        with self._lock:
            if self.closed:
                return
            self._noted.append(entry)
            if entry[0] - self._flushed > FLUSH_INTERVAL:
                self._flush()

    def tail(self) -> dict:
        """The last lines of each channel that has any."""
        with self._lock:
            self._flush()
            return {name: list(lines) for name, lines in self._tails.items() if lines}

    def close(self):
        with self._lock:
            self._flush()
            self.closed = True
            for output in self._files.values():
                output.close()
            self._files = {}

    def _flush(self):
        self._flushed = time.monotonic()
        written = {}
        for when, channel, direction, what, acted in self._noted:
            if direction is not None:
                what = f"{direction:<13}  {readable(what)}" + (f"  {acted}" if acted else "")
            line = f"{(when - self.started) * 1000:10.1f} ms  {what}"
            self._tails[channel].append(line)
            written.setdefault(channel, []).append(line)
        self._noted = []
        for channel, lines in written.items():
            output = self._files.get(channel)
            if output is not None:
                output.write("\n".join(lines) + "\n")
        for output in self._files.values():
            output.flush()
