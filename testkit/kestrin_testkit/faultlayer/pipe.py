"""One way of one relayed connection: what the source said, held as the faults say, then written
to the sink. The line faults (drop, duplicate, corrupt and those on the instrument's language) and
the pacing (latency, slice, bandwidth, line speed, stall) act here.

Each way reads no more once it holds HELD_LIMIT bytes, the start of a line that drop or duplicate
waits to see the end of included: with no fault set a slow reader is met by not reading the writer
(as the direct line would), under stall what comes beyond the limit is dropped and noted, and a
line longer than the limit is cut there, the rest of it dropped up to its end, as an instrument's
full input buffer drops it.

The faults on the instrument's language (replace, withhold, inject, truncate) act on whole lines
the same way: the start of a line is held until its end, an unasked line waits for the end of the
line the instrument has begun, and what replaced lines add to what is held stays within the limit
(beyond it they are dropped and noted). On the conversation socket, a line that carries a text
(UPDATE, DATA, EXECUTE, POKE) has that text changed, escaped as the protocol writes it; any other
line, and the byte channels' lines, change whole.

A pipe takes the time from its callers (now) and, for the length of a writing turn, from its
clock, so that its logic runs against a fake clock and a fake sink as well as in the layer.
"""

from __future__ import annotations

import collections
import re
import time
from typing import TYPE_CHECKING, Callable, Optional, Protocol, Union

from kestrin_testkit.conversation import escape, unescape
from kestrin_testkit.faultlayer.parameters import ENCODINGS, TO_CLIENT, TO_INSTRUMENT, DirectionFaults

if TYPE_CHECKING:
    from kestrin_testkit.faultlayer.channels import Channel

HELD_LIMIT = 4 * 1024 * 1024
# Paced output goes out in pieces of this much time's worth, so that a line at 1200 baud still
# moves every few milliseconds.
PACING_STEP = 0.01
# A pipe that has more to write yields to the other channels after this long.
TURN_SECONDS = 0.005
LINE_END = re.compile(rb"\r\n|\r|\n")
# Conversation lines that carry a text, by their word, and how many names stand before the text.
TEXT_WORDS = {"UPDATE": 1, "POKE": 1, "DATA": 0, "EXECUTE": 0}


class Sink(Protocol):
    """Where a pipe writes: what it takes of data, and the end of what it is sent."""

    def write(self, data: bytes) -> int: ...

    def end_output(self) -> None: ...


class Pipe:
    """One way of one connection: what the source said, held as the faults say, then written to
    the sink."""

    def __init__(self, channel: Channel, direction: str, sink: Sink,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.channel = channel
        self.direction = direction
        self.sink = sink
        self.clock = clock
        # The connection as the transcript names it ("tcp#3"); set by its Link.
        self.connection = channel.name
        self.held: collections.deque[list] = collections.deque()
        self.held_bytes = 0
        self.last_due = 0.0
        self.next_send = 0.0
        # The start of a line held until its end is seen, at most HELD_LIMIT bytes of it; cutting:
        # the line went beyond, and what comes up to its end is dropped.
        self.partial = bytearray()
        self.cutting = False
        self.after_carriage_return = False
        self.source_ended = False
        self.output_ended = False
        self.waiting_to_write = False
        self.overflowing = False
        # Unasked lines waiting for the end of the line the instrument has begun, and whether the
        # last byte passed on left a line open.
        self.waiting: collections.deque[bytes] = collections.deque()
        self.waiting_bytes = 0
        self.line_open = False

    @property
    def faults(self) -> DirectionFaults:
        return self.channel.faults[self.direction]

    def _counting_commands(self) -> bool:
        """Whether this way carries the client's commands that an unasked line waits for."""
        if self.direction != TO_INSTRUMENT:
            return False
        inject = self.channel.faults[TO_CLIENT].language.get("inject")
        return inject is not None and inject.after > 0

    def accepts(self, now: float) -> bool:
        """Whether to read from the source: not while the bytes held and the line begun fill the
        limit, unless what is read then is dropped (a stall, a line being cut) or decides the line
        begun (one that fills the limit exactly ends, or is cut, with the next bytes)."""
        return not self.source_ended and (self.held_bytes + len(self.partial) < HELD_LIMIT or self.cutting
                                          or len(self.partial) >= HELD_LIMIT or self.faults.stall_until > now)

    def passed_straight(self, data: bytes, now: float) -> bool:
        """With no fault acting and nothing held, data is written at once, what the sink does not
        take held for pump(); returns False when a fault or held bytes say it must be received."""
        if self.held or self.partial or self.cutting or self.waiting or self.faults.any_set(now) \
                or self._counting_commands():
            return False
        self._passed_on(data)
        written = self.sink.write(data)
        if written:
            self.channel.transcript.piece(self.connection, self.direction, data[:written])
        if written < len(data):
            self.held.append([now, data[written:], ""])
            self.held_bytes += len(data) - written
        return True

    def receive(self, data: bytes, now: float) -> None:
        faults = self.faults
        if faults.on_lines() or self.partial or self.cutting or self.waiting or self._counting_commands():
            pieces = self._lines(data, faults, now)
        else:
            self._passed_on(data)
            pieces = [(data, "")]
        for piece, acted in pieces:
            if faults.corrupt_probability:
                piece, flipped = corrupted(piece, faults)
                if flipped:
                    acted = join(acted, f"corrupt {flipped} of {len(piece)} bytes")
            due = now
            if faults.latency_ms or faults.jitter_ms:
                delay = faults.delay()
                due += delay
                acted = join(acted, f"latency {delay * 1000:.0f} ms")
            self.last_due = due = max(due, self.last_due)
            # What was read within the limit is kept whole, duplicated lines too; only what a stall
            # reads beyond it is dropped.
            room = HELD_LIMIT - self.held_bytes if faults.stall_until > now else len(piece)
            if len(piece) > room:
                if not self.overflowing:
                    self.channel.note(f"{self.direction}: more than {HELD_LIMIT} bytes held; dropping what comes "
                                      "until there is room")
                self.overflowing = True
                self.channel.note(f"{self.direction}: dropped {len(piece) - max(room, 0)} bytes: held bytes full")
                piece = piece[:max(room, 0)]
            else:
                self.overflowing = False
            if piece:
                self.held.append([due, piece, acted])
                self.held_bytes += len(piece)

    def pump(self, now: float) -> Optional[float]:
        """Writes what is due; returns when to be called again (None: when something happens)."""
        faults = self.faults
        if self.partial and not faults.on_lines():
            self.receive(b"", now)
        if faults.stall_until > now:
            return faults.stall_until
        turn_ends = self.clock() + TURN_SECONDS
        while self.held:
            if self.clock() > turn_ends:
                return now
            due, data, acted = self.held[0]
            if due > now:
                return due
            if self.next_send > now:
                return self.next_send
            size = len(data)
            if faults.slice_bytes and size > faults.slice_bytes:
                size = faults.slice_bytes
                acted = join(acted, f"slice {faults.slice_bytes}")
            rate = faults.bytes_per_second
            if faults.line_speed:
                rate = self.channel.line_rate(now) or rate
            if rate:
                step = max(1, int(rate * PACING_STEP))
                if size > step:
                    size = step
                acted = join(acted, f"{'line_speed' if faults.line_speed else 'bandwidth'} {rate:.0f} B/s")
            written = self.sink.write(data[:size])
            self.waiting_to_write = written < size
            if written == 0:
                return None
            self.channel.transcript.piece(self.connection, self.direction, data[:written], acted)
            self.held_bytes -= written
            if written == len(data):
                self.held.popleft()
            else:
                self.held[0][1] = data[written:]
            gap = faults.slice_gap_ms / 1000.0 if faults.slice_bytes else 0.0
            if rate:
                gap = max(gap, written / rate)
            if gap:
                # From the last send while pacing keeps up, so that the rate holds on average.
                self.next_send = (self.next_send if self.next_send > now - PACING_STEP else now) + gap
                if self.waiting_to_write:
                    return None
                continue
            if self.waiting_to_write:
                return None
        if self.source_ended and not self.output_ended:
            self.output_ended = True
            self.sink.end_output()
        return None

    def inject(self, line: bytes, now: float) -> None:
        """An unasked line: after what is held, once the line the instrument has begun is ended."""
        if self.held_bytes + self.waiting_bytes + len(line) > HELD_LIMIT:
            self.channel.note(f"{self.direction}: inject: more than {HELD_LIMIT} bytes held; this line is left out",
                              self.connection)
            return
        if self.line_open:
            self.waiting.append(line)
            self.waiting_bytes += len(line)
            return
        self.last_due = due = max(now, self.last_due)
        self.held.append([due, line, "inject"])
        self.held_bytes += len(line)

    def discard(self) -> None:
        self.held.clear()
        self.held_bytes = 0
        self.partial = bytearray()
        self.cutting = False

    def _lines(self, data: bytes, faults: DirectionFaults, now: float) -> list[tuple[bytes, str]]:
        """Whole lines with what drop, duplicate and the faults on the language make of them; a
        line's start is held until its end. Each byte is looked at once, however long the line, and
        lines that pass unchanged go on together, so that short lines cost no write and held piece
        each."""
        view = memoryview(data)
        pieces: list[list] = []
        speaking = faults.speaking(now)
        counting = self._counting_commands()
        # What replaced lines may hold: as much as was read, or what is left below the limit.
        room = max(len(data), HELD_LIMIT - self.held_bytes)
        no_room = 0
        line_end = self.channel.line_end

        def unchanged(line: bytes) -> None:
            if pieces and not pieces[-1][1]:
                pieces[-1][0] += line
            else:
                pieces.append([bytearray(line), ""])

        def passed(line: bytes) -> None:
            """Unasked lines waiting for the end of a line follow it."""
            self.line_open = not line.endswith(line_end)
            if self.waiting and not self.line_open:
                pieces.extend([waiting, "inject"] for waiting in self.waiting)
                self.waiting.clear()
                self.waiting_bytes = 0

        start = 0
        for found in LINE_END.finditer(data):
            if self.partial or self.cutting or found.start() - start > HELD_LIMIT:
                self._begin_line(view[start:found.start()])
                line = bytes(self.partial) + found.group()
                self.partial = bytearray()
                self.cutting = False
            else:
                line = data[start:found.end()]
            start = found.end()
            tail_of_crlf = line == b"\n" and self.after_carriage_return
            self.after_carriage_return = line.endswith(b"\r")
            if tail_of_crlf:
                self._learn_terminator(b"\r\n")
                unchanged(line)
                passed(line)
                continue
            if not line.endswith(b"\r") or start < len(data):
                # A CR at the end of a read may be the first half of a CR LF.
                self._learn_terminator(line[len(line.rstrip(b"\r\n")):])
            if counting:
                self._count_command(now)
            started = {fault.name: fault for fault in faults.language.values()
                       if fault.name != "inject" and fault.started_by_line()} if speaking else {}
            acted = ""
            if faults.drop_count and (faults.drop_match is None
                                      or faults.drop_match.search(line.rstrip(b"\r\n").decode("latin-1"))):
                faults.drop_count -= 1
                self.channel.transcript.piece(self.connection, self.direction, line, "dropped by drop")
                continue
            if started:
                line, acted = self._spoken(line, started)
                if line is None:
                    continue
                if len(line) > room:
                    no_room += 1
                    continue
                room -= len(line)
            if faults.duplicate_count:
                faults.duplicate_count -= 1
                acted = join(acted, "duplicate")
                pieces += [[line, acted], [line, acted]]
            elif acted:
                pieces.append([line, acted])
            else:
                unchanged(line)
            passed(line)
        if no_room:
            self.channel.note(f"{self.direction}: replace: more than {HELD_LIMIT} bytes held; {no_room} lines "
                              "dropped", self.connection)
        if start < len(data):
            self._begin_line(view[start:])
        if self.partial and not faults.on_lines():
            unchanged(self.partial)
            self.partial = bytearray()
            self.line_open = True
        return [(bytes(piece), acted) for piece, acted in pieces]

    def _passed_on(self, data: bytes) -> None:
        """Notes, of bytes passed on as they came, the terminator of the instrument's last line in
        them (two searches from the end) and whether they leave a line open."""
        if not data:
            return
        if self.direction == TO_CLIENT and self.channel.name != "dde":
            feed = data.rfind(b"\n")
            carriage = data.rfind(b"\r")
            if feed > carriage:
                crlf = feed == carriage + 1 or (feed == 0 and self.after_carriage_return)
                self.channel.line_terminator = b"\r\n" if crlf else b"\n"
            elif 0 <= carriage < len(data) - 1:
                self.channel.line_terminator = b"\r"
        # A CR at the end may be the first half of a CR LF.
        self.after_carriage_return = data.endswith(b"\r")
        self.line_open = not data.endswith(self.channel.line_end)

    def _learn_terminator(self, terminator: bytes) -> None:
        if self.direction == TO_CLIENT and terminator and self.channel.name != "dde":
            self.channel.line_terminator = terminator

    def _count_command(self, now: float) -> None:
        """One of the client's commands passed: an unasked line waiting for it is due now."""
        inject = self.channel.faults[TO_CLIENT].language.get("inject")
        if inject is not None and inject.after:
            inject.after -= 1
            if not inject.after:
                inject.next_due = now

    def _spoken(self, line: bytes, started: dict) -> tuple[Optional[bytes], str]:
        """What withhold, replace and truncate make of a whole line: (line, what acted), line None
        when it is withheld."""
        body = line.rstrip(b"\r\n")
        end = line[len(body):]
        encoding = ENCODINGS[self.channel.name]
        text = body.decode(encoding, "surrogateescape")
        withhold = started.get("withhold")
        if withhold is not None and withhold.takes(text):
            self.channel.transcript.piece(self.connection, self.direction, line, "withheld by withhold")
            return None, ""
        acted = ""
        replace = started.get("replace")
        if replace is not None and replace.takes(text):
            text = self._framed(text, lambda _said: replace.text)
            acted = "replace"
        truncate = started.get("truncate")
        if truncate is not None and truncate.takes(text):
            text = self._framed(text, lambda said: said[:truncate.keep])
            acted = join(acted, f"truncate {truncate.keep}")
        if not acted:
            return line, ""
        return text.encode(encoding, "surrogateescape") + end, acted

    def _framed(self, line: str, change: Callable[[str], str]) -> str:
        """line changed: on the conversation socket the text it carries, if it carries one."""
        if self.channel.name != "dde":
            return change(line)
        word, _, rest = line.partition(" ")
        names = TEXT_WORDS.get(word.upper())
        if names is None:
            return change(line)
        head = f"{word} "
        if names:
            item, space, rest = rest.partition(" ")
            if not space:
                return change(line)
            head += f"{item} "
        try:
            said = unescape(rest)
        except ValueError:
            return change(line)
        text = escape(change(said))
        # The empty text of DATA and EXECUTE is the word alone.
        return head + text if text or names else word

    def _begin_line(self, more: Union[bytes, memoryview]) -> None:
        """Adds to the line begun, up to HELD_LIMIT bytes; beyond, the line is cut, noted once."""
        if not more:
            return
        self.after_carriage_return = False
        if self.cutting:
            return
        room = HELD_LIMIT - len(self.partial)
        self.partial += more[:room]
        if len(more) > room:
            self.cutting = True
            self.channel.note(f"{self.direction}: a line longer than {HELD_LIMIT} bytes: cut there, the rest of "
                              "it dropped up to its end, as a full input buffer drops it")


def join(acted: str, more: str) -> str:
    return f"{acted}, {more}" if acted else more


def corrupted(data: bytes, faults: DirectionFaults) -> tuple[bytes, int]:
    """data with each byte's one random bit flipped at the fault's probability, reproducibly."""
    draw = faults.corrupt_random
    changed = bytearray(data)
    flipped = 0
    for index in range(len(changed)):
        if draw.random() < faults.corrupt_probability:
            changed[index] ^= 1 << draw.randrange(8)
            flipped += 1
    return bytes(changed), flipped
