"""What went over each channel of a kit, written as a person reads it.

One file per channel (tcp.txt, serial.txt, dde.txt) and one for the panel (panel.txt): a line per
piece that passed, "  1523.4 ms  to_client  "OK\\r"  latency 50 ms", printable Latin-1 characters as
they are and others escaped; the panel's file has the calls the kit made and the status texts it
read. The last lines of each are kept in memory as well, for a failing test's report.
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

# Every transcript opened in this process, for the pytest plugin to find a test's own.
opened = []
opened_lock = threading.Lock()


def readable(data: bytes) -> str:
    return '"' + data.decode("latin-1").translate(ESCAPES) + '"'


class Transcript:
    """folder: where the files go (kept), or None for memory only."""

    def __init__(self, folder: Optional[str], channels):
        self.folder = folder
        self.started = time.monotonic()
        self._lock = threading.Lock()
        self._tails = {name: collections.deque(maxlen=TAIL_LINES) for name in (*channels, "panel")}
        self._files = {}
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
        self.note(channel, f"{direction:<13}  {readable(data)}" + (f"  {acted}" if acted else ""))

    def note(self, channel: str, text: str):
        now = time.monotonic()
        line = f"{(now - self.started) * 1000:10.1f} ms  {text}"
        with self._lock:
            if self.closed:
                return
            self._tails[channel].append(line)
            output = self._files.get(channel)
            if output is not None:
                output.write(line + "\n")
                if now - self._flushed > FLUSH_INTERVAL:
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
        for output in self._files.values():
            if not output.closed:
                output.flush()
