"""The fault layer: a stand-in for each of the instrument's channels that relays every byte to the
real one, unless a fault says otherwise.

- tcp: a listener on 127.0.0.1, each client relayed to the instrument's TCP port;
- serial: a pseudo-terminal of the kit's own, published as <runtime>/kestrin/COM1, relayed to the
  instrument's virtual port 1 while a client has it open (so that with none the instrument sees
  no far end, as with no cable, and drops what it would send);
- dde: a socket at <runtime>/dde/kestrin, each client relayed to the instrument's.

One thread with a selector moves the bytes, never blocking, and writes for one way of one connection
at most TURN_SECONDS at a time, so that a slow fault on one channel holds no other channel up.
Each way of each connection reads no more once it holds HELD_LIMIT bytes, the start of a line that
drop or duplicate waits to see the end of included: with no fault set a slow reader is met by not
reading the writer (as the direct line would), under stall what comes beyond the limit is dropped
and noted, and a line longer than the limit is cut there, the rest of it dropped up to its end, as
an instrument's full input buffer drops it.

The faults on the instrument's language (replace, withhold, inject, truncate) act on whole lines the
same way: the start of a line is held until its end, an unasked line waits for the end of the line
the instrument has begun, and what replaced lines add to what is held stays within the limit (beyond
it they are dropped and noted). On the conversation socket, a line that carries a text (UPDATE,
DATA, EXECUTE, POKE) has that text changed, escaped as the protocol writes it; any other line, and
the byte channels' lines, change whole.
"""

import collections
import errno
import logging
import os
import pty
import queue
import re
import select
import selectors
import socket
import struct
import termios
import threading
import time
import tty

from kestrin_testkit import faults as fault_set
from kestrin_testkit.contract import OUTPUT_ITEM
from kestrin_testkit.conversation import escape, unescape
from kestrin_testkit.faults import ENCODINGS, TO_CLIENT, TO_INSTRUMENT

READ_SIZE = 65536
HELD_LIMIT = 4 * 1024 * 1024
# Paced output goes out in pieces of this much time's worth, so that a line at 1200 baud still
# moves every few milliseconds.
PACING_STEP = 0.01
# How often a closed instrument port is looked for again, and how often its line settings are read.
REOPEN_INTERVAL = 0.1
# How often the kit's pseudo-terminal is looked at for a client: with none it reads as hung up,
# which no selector can wait on without spinning.
CLIENT_CHECK_INTERVAL = 0.02
LINE_SETTINGS_INTERVAL = 0.2
# How long disconnect() waits for the instrument to close its end of a pulled connection.
CLOSE_WAIT = 3.0
CONNECT_TIMEOUT = 2.0
# A pipe that has more to write yields to the other channels after this long.
TURN_SECONDS = 0.005
LINE_END = re.compile(rb"\r\n|\r|\n")
# The instrument's start-up line terminator on the byte channels; the conversation socket's lines end in LF.
DEFAULT_LINE_TERMINATOR = b"\r"
CONVERSATION_LINE_END = b"\n"
# Conversation lines that carry a text, by their word, and how many names stand before the text.
TEXT_WORDS = {"UPDATE": 1, "POKE": 1, "DATA": 0, "EXECUTE": 0}
# What writing to or reading from a peer that has closed its end raises.
PEER_CLOSED = (errno.EPIPE, errno.ECONNRESET)

log = logging.getLogger(__name__)


class SocketSide:
    def __init__(self, connection: socket.socket):
        connection.setblocking(False)
        if connection.family in (socket.AF_INET, socket.AF_INET6):
            connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.connection = connection
        self.fd = connection.fileno()

    def read(self):
        """Bytes read; b"" at the end; None when nothing is there yet."""
        try:
            return self.connection.recv(READ_SIZE)
        except BlockingIOError:
            return None

    def write(self, data) -> int:
        try:
            return self.connection.send(data)
        except BlockingIOError:
            return 0

    def end_output(self):
        try:
            self.connection.shutdown(socket.SHUT_WR)
        except OSError:
            pass  # the peer has gone already

    def close(self, reset=False):
        if reset:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()


class TerminalSide:
    """A terminal's file descriptor; the end of the line is a hang-up (EIO)."""

    def __init__(self, fd: int):
        os.set_blocking(fd, False)
        self.fd = fd

    def read(self):
        try:
            return os.read(self.fd, READ_SIZE)
        except BlockingIOError:
            return None
        except OSError as failure:
            if failure.errno == errno.EIO:
                return b""
            raise

    def write(self, data) -> int:
        try:
            return os.write(self.fd, data)
        except BlockingIOError:
            return 0

    def end_output(self):
        pass

    def close(self, reset=False):
        os.close(self.fd)


class Pipe:
    """One way of one connection: what the source said, held as the faults say, then written to
    the sink."""

    def __init__(self, channel, direction, sink):
        self.channel = channel
        self.direction = direction
        self.sink = sink
        # The connection as the transcript names it ("tcp#3"); set by its Link.
        self.connection = channel.name
        self.held = collections.deque()
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
        self.waiting = collections.deque()
        self.waiting_bytes = 0
        self.line_open = False

    @property
    def faults(self):
        return self.channel.faults[self.direction]

    def _counting_commands(self) -> bool:
        """Whether this way carries the client's commands that an unasked line waits for."""
        if self.direction != TO_INSTRUMENT:
            return False
        inject = self.channel.faults[TO_CLIENT].language.get("inject")
        return inject is not None and inject.after > 0

    def accepts(self, now) -> bool:
        """Whether to read from the source: not while the bytes held and the line begun fill the
        limit, unless what is read then is dropped (a stall, a line being cut)."""
        return not self.source_ended and (self.held_bytes + len(self.partial) < HELD_LIMIT or self.cutting
                                          or self.faults.stall_until > now)

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

    def receive(self, data: bytes, now: float):
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

    def pump(self, now: float):
        """Writes what is due; returns when to be called again (None: when something happens)."""
        faults = self.faults
        if self.partial and not faults.on_lines():
            self.receive(b"", now)
        if faults.stall_until > now:
            return faults.stall_until
        turn_ends = time.monotonic() + TURN_SECONDS
        while self.held:
            if time.monotonic() > turn_ends:
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

    def inject(self, line: bytes, now: float):
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

    def discard(self):
        self.held.clear()
        self.held_bytes = 0
        self.partial = bytearray()
        self.cutting = False

    def _lines(self, data, faults, now):
        """Whole lines with what drop, duplicate and the faults on the language make of them; a
        line's start is held until its end. Each byte is looked at once, however long the line, and
        lines that pass unchanged go on together, so that short lines cost no write and held piece
        each."""
        view = memoryview(data)
        pieces = []
        speaking = faults.speaking(now)
        counting = self._counting_commands()
        # What replaced lines may hold: as much as was read, or what is left below the limit.
        room = max(len(data), HELD_LIMIT - self.held_bytes)
        no_room = 0
        line_end = self.channel.line_end

        def unchanged(line):
            if pieces and not pieces[-1][1]:
                pieces[-1][0] += line
            else:
                pieces.append([bytearray(line), ""])

        def passed(line):
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

    def _passed_on(self, data):
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

    def _learn_terminator(self, terminator):
        if self.direction == TO_CLIENT and terminator and self.channel.name != "dde":
            self.channel.line_terminator = terminator

    def _count_command(self, now):
        """One of the client's commands passed: an unasked line waiting for it is due now."""
        inject = self.channel.faults[TO_CLIENT].language.get("inject")
        if inject is not None and inject.after:
            inject.after -= 1
            if not inject.after:
                inject.next_due = now

    def _spoken(self, line, started):
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

    def _framed(self, line: str, change) -> str:
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

    def _begin_line(self, more):
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


def join(acted, more):
    return f"{acted}, {more}" if acted else more


def corrupted(data, faults):
    """data with each byte's one random bit flipped at the fault's probability, reproducibly."""
    draw = faults.corrupt_random
    changed = bytearray(data)
    flipped = 0
    for index in range(len(changed)):
        if draw.random() < faults.corrupt_probability:
            changed[index] ^= 1 << draw.randrange(8)
            flipped += 1
    return bytes(changed), flipped


class Link:
    """A client's connection and the instrument's end it is relayed to; name: the connection as
    the transcript names it."""

    def __init__(self, channel, client, instrument, name):
        self.channel = channel
        self.client = client
        self.instrument = instrument
        self.name = name
        self.to_instrument = Pipe(channel, TO_INSTRUMENT, instrument)
        self.to_client = Pipe(channel, TO_CLIENT, client)
        for pipe in (self.to_instrument, self.to_client):
            pipe.connection = name

    def sides(self):
        return ((self.client, self.to_instrument, self.to_client), (self.instrument, self.to_client, self.to_instrument))


class Channel:
    """One of the instrument's channels and its stand-in."""

    def __init__(self, name, layer):
        self.name = name
        self.layer = layer
        self.transcript = layer.transcript
        self.faults = {TO_CLIENT: fault_set.DirectionFaults(), TO_INSTRUMENT: fault_set.DirectionFaults()}
        # The instrument's line terminator here: as the kit set it, then as its lines show it.
        self.kit_line_terminator = CONVERSATION_LINE_END if name == "dde" else layer.line_terminator
        self.line_terminator = self.kit_line_terminator
        self.links = []
        # Connections pulled by disconnect(), waiting for the instrument to close its end.
        self.closing = []
        self.closed = threading.Event()
        self.closed.set()
        self.connections = 0

    def note(self, text, connection=None):
        """A note about one connection, or the channel as a whole."""
        self.transcript.note(connection or self.name, text)

    def connection_name(self):
        """The next connection's name: "tcp#3" is the kit's third on tcp."""
        self.connections += 1
        return f"{self.name}#{self.connections}"

    def line_rate(self, now):
        return 0.0

    def listeners(self):
        return ()

    def accept(self, listener):
        raise NotImplementedError

    def tick(self, now):
        """Returns when to be called again, or None."""
        return None

    @property
    def line_end(self) -> bytes:
        """The last byte of a line: one that ends with it leaves no line open."""
        return self.line_terminator[-1:]

    def framed(self, text: str) -> bytes:
        """text as the instrument sends a line here: with its terminator, or on the conversation
        socket as an update of its output item."""
        if self.name == "dde":
            return f"UPDATE {OUTPUT_ITEM} {escape(text)}".encode() + CONVERSATION_LINE_END
        return text.encode("latin-1") + self.line_terminator

    def inject_due(self, now):
        """Sends inject's line to every client when it is due; returns when to be called again.
        A line sent once waits for a client; one sent every few seconds goes to those there are."""
        faults = self.faults[TO_CLIENT]
        inject = faults.language.get("inject")
        if inject is None or not faults.speaking(now) or "inject" not in faults.language or inject.after:
            return None
        if inject.next_due > now:
            return inject.next_due
        if self.links:
            line = self.framed(inject.text)
            for link in self.links:
                link.to_client.inject(line, now)
            inject.spend()
        elif inject.every is None:
            return None
        if inject.every is None or inject.count == 0:
            return None
        inject.next_due += inject.every
        if inject.next_due <= now:
            inject.next_due = now + inject.every
        return inject.next_due

    def end_link(self, link, reset_client=False):
        if link in self.links:
            self.links.remove(link)
            self.layer.forget(link.client)
            self.layer.forget(link.instrument)
            link.client.close(reset=reset_client)
            link.instrument.close()

    def disconnect(self, now):
        for link in list(self.links):
            self.links.remove(link)
            self.layer.forget(link.client)
            self.layer.forget(link.instrument)
            link.client.close(reset=True)
            link.instrument.end_output()
            self.closing.append((link.instrument, now + CLOSE_WAIT))
            self.layer.watch_closing(self, link.instrument)
        self.note("disconnect: the client's connection is reset")
        if self.closing:
            self.closed.clear()

    def close(self):
        for link in self.links:
            link.client.close()
            link.instrument.close()
        self.links = []
        for side, _ in self.closing:
            side.close()
        self.closing = []
        self.closed.set()

    def closing_ended(self, side):
        self.closing = [(closing, deadline) for closing, deadline in self.closing if closing is not side]
        side.close()
        if not self.closing:
            self.closed.set()


class ConnectingChannel(Channel):
    """A listener whose every client is relayed to a new connection to the instrument."""

    def __init__(self, name, layer, listener, connect):
        super().__init__(name, layer)
        self.listener = listener
        listener.setblocking(False)
        self._connect = connect

    def listeners(self):
        return (self.listener,)

    def accept(self, listener):
        client, _ = listener.accept()
        name = self.connection_name()
        try:
            instrument = self._connect()
        except OSError as failure:
            self.note(f"a client connected; the instrument refused it ({failure.strerror or failure}), so it is "
                      "closed at once", name)
            SocketSide(client).close(reset=True)
            return
        self.note("a client connected", name)
        link = Link(self, SocketSide(client), SocketSide(instrument), name)
        self.links.append(link)
        self.layer.watch(link)

    def close(self):
        super().close()
        self.listener.close()


class SerialChannel(Channel):
    """The kit's pseudo-terminal, relayed to the instrument's port 1 while a client has the
    terminal open and the instrument publishes its port."""

    def __init__(self, layer, link_path, instrument_path):
        super().__init__("serial", layer)
        self.link_path = link_path
        self.instrument_path = instrument_path
        self.terminal = None
        self.instrument_fd = None
        self.next_open = 0.0
        self.rate = 0.0
        self.rate_read = 0.0
        self._new_terminal()

    def _new_terminal(self):
        """A fresh pseudo-terminal at the published path; a client of the old one sees a hang-up."""
        if self.terminal is not None:
            os.close(self.terminal)
        master, slave = pty.openpty()
        tty.setraw(slave)
        name = os.ttyname(slave)
        # Held by nobody, the terminal reads as hung up until a client opens it.
        os.close(slave)
        self.terminal = master
        temporary = self.link_path + ".new"
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        os.symlink(name, temporary)
        os.replace(temporary, self.link_path)

    def connection_name(self):
        # One line, whoever opens it.
        return self.name

    def line_rate(self, now):
        if self.instrument_fd is not None and now - self.rate_read > LINE_SETTINGS_INTERVAL:
            self.rate_read = now
            try:
                self.rate = fault_set.characters_per_second(termios.tcgetattr(self.instrument_fd))
            except termios.error:
                pass  # the port closed under us: the hang-up is seen at the next read
        return self.rate

    def tick(self, now):
        if self.links:
            return None
        if now < self.next_open:
            return self.next_open
        if not self._client_present():
            self.next_open = now + CLIENT_CHECK_INTERVAL
            return self.next_open
        try:
            self.instrument_fd = os.open(self.instrument_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        except OSError:
            self.next_open = now + REOPEN_INTERVAL
            return self.next_open
        self.rate_read = 0.0
        self.note("the instrument's port 1 is open")
        link = Link(self, TerminalSide(self.terminal), TerminalSide(self.instrument_fd), self.connection_name())
        self.links.append(link)
        self.layer.watch(link)
        return None

    def _client_present(self):
        events = select.poll()
        events.register(self.terminal, select.POLLIN)
        return not any(event & select.POLLHUP for _, event in events.poll(0))

    def _unlink(self, link):
        self.links.remove(link)
        self.layer.forget(link.client)
        self.layer.forget(link.instrument)
        link.instrument.close()
        self.instrument_fd = None

    def line_ended(self, link, side):
        """The client closed the line: the instrument's port is let go, so that it sees no far
        end, until a client opens the line again. The instrument closed its port (switched off):
        the client's line hangs up."""
        if link not in self.links:
            return
        self._unlink(link)
        if side is link.client:
            # What the client left unread is no one's now.
            termios.tcflush(self.terminal, termios.TCIOFLUSH)
            self.note("the client closed the line; the instrument's port 1 is let go")
        else:
            self._new_terminal()
            self.note("the instrument's port 1 closed; the client's line hangs up")

    def end_link(self, link, reset_client=False):
        if link in self.links:
            self.line_ended(link, link.instrument)

    def disconnect(self, now):
        """The cable is pulled: the client sees a hang-up; the port is relayed again once a client
        opens the new line."""
        for link in list(self.links):
            self._unlink(link)
        self._new_terminal()
        self.note("disconnect: the client's line hangs up")

    def close(self):
        for link in list(self.links):
            self._unlink(link)
        super().close()
        os.close(self.terminal)


def _unix_listener(path):
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(16)
    return listener


def _connect_unix(path):
    connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        connection.connect(path)
    except OSError:
        connection.close()
        raise
    return connection


class FaultLayer:
    """The stand-ins for an instrument's channels, in folder (a runtime folder of their own).

    tcp_port: the instrument's TCP port, or None; serial_path: its port 1's path; dde_socket:
    its conversation socket. transcript: where what passes is written."""

    def __init__(self, folder, transcript, *, tcp_port=None, serial_path=None, dde_socket=None,
                 line_terminator=None):
        self.folder = folder
        self.transcript = transcript
        self.line_terminator = line_terminator.encode("latin-1") if line_terminator else DEFAULT_LINE_TERMINATOR
        self.channels = {}
        self._selector = selectors.DefaultSelector()
        self._registered = {}
        self._calls = queue.Queue()
        self._wake_reader, self._wake_writer = socket.socketpair()
        self._wake_reader.setblocking(False)
        self._selector.register(self._wake_reader, selectors.EVENT_READ, ("wake", None))
        self._running = True
        # Channels whose links have something to write or wait for; the others are served again
        # only when their wake-up time comes.
        self._unserved = set()
        self._wakes = {}
        os.makedirs(os.path.join(folder, "dde"), mode=0o700, exist_ok=True)
        os.makedirs(os.path.join(folder, "kestrin"), mode=0o700, exist_ok=True)
        self.instrument_tcp_port = tcp_port
        self.instrument_serial_path = serial_path
        if tcp_port is not None:
            listener = socket.create_server(("127.0.0.1", 0), backlog=16)
            self.tcp_port = listener.getsockname()[1]
            target = ("127.0.0.1", tcp_port)
            self.channels["tcp"] = ConnectingChannel(
                "tcp", self, listener, lambda: socket.create_connection(target, timeout=CONNECT_TIMEOUT))
        if serial_path is not None:
            self.serial_path = os.path.join(folder, "kestrin", "COM1")
            self.channels["serial"] = SerialChannel(self, self.serial_path, serial_path)
        if dde_socket is not None:
            self.dde_socket = os.path.join(folder, "dde", os.path.basename(dde_socket))
            self.channels["dde"] = ConnectingChannel("dde", self, _unix_listener(self.dde_socket),
                                                     lambda: _connect_unix(dde_socket))
        for channel in self.channels.values():
            self._unserved.add(channel)
            for listener in channel.listeners():
                self._selector.register(listener, selectors.EVENT_READ, ("listener", channel))
        self._thread = threading.Thread(target=self._run, name="kestrin_testkit fault layer", daemon=True)
        self._thread.start()

    def set(self, channel: str, fault: str, args=(), kwargs=None):
        """Sets a fault (checked first: a bad one raises a one-line ValueError)."""
        if channel not in self.channels:
            raise ValueError(f"the instrument offers no {channel} channel here; it offers "
                             f"{', '.join(self.channels) or 'none'}")
        directions, change = fault_set.prepared(channel, fault, tuple(args), kwargs or {})
        target = self.channels[channel]
        described = ", ".join([*map(repr, args), *(f"{name}={value!r}" for name, value in (kwargs or {}).items())])

        def apply():
            now = time.monotonic()
            for direction in directions:
                change(target.faults[direction], now)
            target.note(f"fault {fault}({described})")
            if fault == "clear":
                # reset() clears every channel and brings the kit's Transmission Formats back.
                target.line_terminator = target.kit_line_terminator
            if fault == "disconnect":
                target.disconnect(now)
        self._in_loop(apply)
        if fault == "disconnect" and not target.closed.wait(CLOSE_WAIT + 1.0):
            raise ValueError(f"{channel}: disconnect: the instrument did not close its end within {CLOSE_WAIT} s")

    def listing(self) -> list:
        """Every fault set, a line each: channel, direction, the fault, its parameters and what
        remains of it."""
        def listed():
            now = time.monotonic()
            return [f"{name} {direction}: {fault}" for name, channel in self.channels.items()
                    for direction in (TO_CLIENT, TO_INSTRUMENT) for fault in channel.faults[direction].described(now)]
        return self._in_loop(listed)

    def processor_seconds(self) -> float:
        """The processor time the relaying thread has used."""
        return self._in_loop(time.thread_time)

    def close(self):
        if not self._running:
            return
        self._in_loop(self._stop)
        self._thread.join()
        self._selector.close()
        self._wake_reader.close()
        self._wake_writer.close()

    # What follows runs in the relaying thread.

    def watch(self, link):
        for side, _, _ in link.sides():
            self._want(side.fd, selectors.EVENT_READ, ("side", (link, side)))

    def forget(self, side):
        self._want(side.fd, 0, None)
        self._registered.pop(side.fd, None)

    def watch_closing(self, channel, side):
        self._want(side.fd, selectors.EVENT_READ, ("closing", (channel, side)))

    def _want(self, fd, wanted, data):
        """What the selector waits for on fd: nothing, reading, writing or both."""
        current = self._registered.get(fd, 0)
        if current == wanted:
            return
        if not wanted:
            self._selector.unregister(fd)
        elif not current:
            self._selector.register(fd, wanted, data)
        else:
            self._selector.modify(fd, wanted, data)
        self._registered[fd] = wanted

    def _in_loop(self, function):
        if threading.current_thread() is self._thread:
            return function()
        done = threading.Event()
        outcome = {}

        def call():
            try:
                outcome["result"] = function()
            except Exception as failure:  # handed back to the caller, whatever it is
                outcome["failure"] = failure
            done.set()
        self._calls.put(call)
        self._wake_writer.send(b"x")
        done.wait()
        if "failure" in outcome:
            raise outcome["failure"]
        return outcome.get("result")

    def _stop(self):
        self._running = False
        for channel in self.channels.values():
            channel.close()

    def _run(self):
        while self._running:
            now = time.monotonic()
            wake = None
            for channel in self.channels.values():
                channel_wake = self._wakes.get(channel)
                if channel in self._unserved or (channel_wake is not None and channel_wake <= now):
                    try:
                        channel_wake = self._serve(channel, now)
                    except OSError as failure:
                        self._failed(channel, None, failure)
                    self._wakes[channel] = channel_wake
                wake = earliest(wake, channel_wake)
            self._unserved.clear()
            timeout = None if wake is None else max(0.0, wake - time.monotonic())
            for key, _events in self._selector.select(timeout):
                kind, what = key.data
                try:
                    if kind == "wake":
                        self._wake_reader.recv(4096)
                        while not self._calls.empty():
                            self._calls.get()()
                        self._unserved.update(self.channels.values())
                    elif kind == "listener":
                        what.accept(key.fileobj)
                        self._unserved.add(what)
                    elif kind == "closing":
                        self._read_closing(*what)
                        self._unserved.add(what[0])
                    elif self._move(*what):
                        self._unserved.add(what[0].channel)
                except OSError as failure:
                    if kind == "side":
                        self._failed(what[0].channel, what[0], failure)
                    else:
                        self._failed(what[0] if kind == "closing" else what, None, failure)
                    if kind == "side":
                        what[0].channel.end_link(what[0], reset_client=True)
                        self._unserved.add(what[0].channel)
            if not self._running:
                break

    def _failed(self, channel, link, failure):
        """Notes in the transcript what a connection or channel met: a peer that closed while
        something was on its way to it (a client that hung up after its last reply) ends the
        connection as a close does, and is no one's fault."""
        if failure.errno in PEER_CLOSED:
            text = f"the connection ended: the other end had closed it ({failure.strerror})"
        else:
            text = f"the {'connection' if link is not None else 'channel'} failed: {failure}"
        name = link.name if link is not None else getattr(channel, "name", "wake-up socket")
        if channel is not None:
            channel.note(text, name)
        log.debug("the fault layer's %s: %s", name, text)

    def _serve(self, channel, now):
        """Writes what is due on every link of a channel and sets what each side waits for."""
        wake = earliest(channel.tick(now), channel.inject_due(now))
        for deadline_side, deadline in list(channel.closing):
            if deadline <= now:
                self.forget(deadline_side)
                channel.closing_ended(deadline_side)
            else:
                wake = earliest(wake, deadline)
        for link in list(channel.links):
            for pipe in (link.to_client, link.to_instrument):
                wake = earliest(wake, pipe.pump(now))
            if link.to_client.output_ended and link.to_instrument.output_ended and \
                    not link.to_client.held and not link.to_instrument.held:
                channel.note("the connection ended", link.name)
                channel.end_link(link)
                continue
            if link not in channel.links:
                continue
            for side, outgoing, incoming in link.sides():
                wanted = (selectors.EVENT_READ if outgoing.accepts(now) else 0) | \
                         (selectors.EVENT_WRITE if incoming.waiting_to_write else 0)
                self._want(side.fd, wanted, ("side", (link, side)))
        return wake

    def _move(self, link, side):
        """Reads what a side has for the other, and passes it on at once when nothing holds it;
        returns whether the channel must be served (something held, ended or writable)."""
        if side is None or link not in link.channel.links:
            return True
        for reader, outgoing, _ in link.sides():
            if reader is side and outgoing.accepts(time.monotonic()):
                data = side.read()
                if data is None:
                    return True
                if not data:
                    if isinstance(side, TerminalSide):
                        link.channel.line_ended(link, side)
                        return True
                    outgoing.source_ended = True
                    return True
                now = time.monotonic()
                if outgoing.passed_straight(data, now):
                    return bool(outgoing.held)
                outgoing.receive(data, now)
                return True
        return True

    def _read_closing(self, channel, side):
        try:
            data = side.read()
        except OSError:
            data = b""
        if data == b"":
            self.forget(side)
            channel.closing_ended(side)


def earliest(first, second):
    if first is None:
        return second
    if second is None:
        return first
    return min(first, second)
