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
from kestrin_testkit.faults import TO_CLIENT, TO_INSTRUMENT

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

    @property
    def faults(self):
        return self.channel.faults[self.direction]

    def accepts(self, now) -> bool:
        """Whether to read from the source: not while the bytes held and the line begun fill the
        limit, unless what is read then is dropped (a stall, a line being cut)."""
        return not self.source_ended and (self.held_bytes + len(self.partial) < HELD_LIMIT or self.cutting
                                          or self.faults.stall_until > now)

    def passed_straight(self, data: bytes, now: float) -> bool:
        """With no fault acting and nothing held, data is written at once, what the sink does not
        take held for pump(); returns False when a fault or held bytes say it must be received."""
        if self.held or self.partial or self.cutting or self.faults.any_set(now):
            return False
        written = self.sink.write(data)
        if written:
            self.channel.transcript.piece(self.channel.name, self.direction, data[:written])
        if written < len(data):
            self.held.append([now, data[written:], ""])
            self.held_bytes += len(data) - written
        return True

    def receive(self, data: bytes, now: float):
        faults = self.faults
        if faults.on_lines() or self.partial or self.cutting:
            pieces = self._lines(data, faults)
        else:
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
            self.channel.transcript.piece(self.channel.name, self.direction, data[:written], acted)
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

    def discard(self):
        self.held.clear()
        self.held_bytes = 0
        self.partial = bytearray()
        self.cutting = False

    def _lines(self, data, faults):
        """Whole lines with what drop and duplicate make of them; a line's start is held until its
        end. Each byte is looked at once, however long the line, and lines that pass unchanged
        go on together, so that short lines cost no write and held piece each."""
        view = memoryview(data)
        pieces = []

        def unchanged(line):
            if pieces and not pieces[-1][1]:
                pieces[-1][0] += line
            else:
                pieces.append([bytearray(line), ""])

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
                unchanged(line)
            elif faults.drop_count and (faults.drop_match is None
                                        or faults.drop_match.search(line.rstrip(b"\r\n").decode("latin-1"))):
                faults.drop_count -= 1
                self.channel.transcript.piece(self.channel.name, self.direction, line, "dropped by drop")
            elif faults.duplicate_count:
                faults.duplicate_count -= 1
                pieces += [[line, "duplicate"], [line, "duplicate"]]
            else:
                unchanged(line)
        if start < len(data):
            self._begin_line(view[start:])
        if self.partial and not faults.on_lines():
            unchanged(self.partial)
            self.partial = bytearray()
        return [(bytes(piece), acted) for piece, acted in pieces]

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
    """A client's connection and the instrument's end it is relayed to."""

    def __init__(self, channel, client, instrument):
        self.channel = channel
        self.client = client
        self.instrument = instrument
        self.to_instrument = Pipe(channel, TO_INSTRUMENT, instrument)
        self.to_client = Pipe(channel, TO_CLIENT, client)

    def sides(self):
        return ((self.client, self.to_instrument, self.to_client), (self.instrument, self.to_client, self.to_instrument))


class Channel:
    """One of the instrument's channels and its stand-in."""

    def __init__(self, name, layer):
        self.name = name
        self.layer = layer
        self.transcript = layer.transcript
        self.faults = {TO_CLIENT: fault_set.DirectionFaults(), TO_INSTRUMENT: fault_set.DirectionFaults()}
        self.links = []
        # Connections pulled by disconnect(), waiting for the instrument to close its end.
        self.closing = []
        self.closed = threading.Event()
        self.closed.set()

    def note(self, text):
        self.transcript.note(self.name, text)

    def line_rate(self, now):
        return 0.0

    def listeners(self):
        return ()

    def accept(self, listener):
        raise NotImplementedError

    def tick(self, now):
        """Returns when to be called again, or None."""
        return None

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
        try:
            instrument = self._connect()
        except OSError as failure:
            self.note(f"a client connected; the instrument refused it ({failure.strerror or failure}), so it is "
                      "closed at once")
            SocketSide(client).close(reset=True)
            return
        self.note("a client connected")
        link = Link(self, SocketSide(client), SocketSide(instrument))
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
        link = Link(self, TerminalSide(self.terminal), TerminalSide(self.instrument_fd))
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

    def __init__(self, folder, transcript, *, tcp_port=None, serial_path=None, dde_socket=None):
        self.folder = folder
        self.transcript = transcript
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
            if fault == "disconnect":
                target.disconnect(now)
        self._in_loop(apply)
        if fault == "disconnect" and not target.closed.wait(CLOSE_WAIT + 1.0):
            raise ValueError(f"{channel}: disconnect: the instrument did not close its end within {CLOSE_WAIT} s")

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
                        log.warning("the fault layer's %s channel: %s", channel.name, failure)
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
                    log.warning("the fault layer: %s", failure)
                    if kind == "side":
                        what[0].channel.end_link(what[0], reset_client=True)
                        self._unserved.add(what[0].channel)
            if not self._running:
                break

    def _serve(self, channel, now):
        """Writes what is due on every link of a channel and sets what each side waits for."""
        wake = channel.tick(now)
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
                channel.note("the connection ended")
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
