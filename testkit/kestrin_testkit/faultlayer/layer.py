"""The fault layer: a stand-in for each of the instrument's channels that relays every byte to the
real one, unless a fault says otherwise.

- tcp: a listener on 127.0.0.1, each client relayed to the instrument's TCP port;
- serial: a pseudo-terminal of the kit's own, published as <runtime>/kestrin/COM1, relayed to the
  instrument's virtual port 1 while a client has it open (so that with none the instrument sees
  no far end, as with no cable, and drops what it would send);
- dde: a socket at <runtime>/dde/kestrin, each client relayed to the instrument's.

One thread with a selector moves the bytes, never blocking, and writes for one way of one connection
at most TURN_SECONDS at a time, so that a slow fault on one channel holds no other channel up.

What each way of a connection holds and how the faults act on it: pipe.py.
"""

from __future__ import annotations

import logging
import os
import queue
import selectors
import socket
import threading
import time
from typing import Any, Callable, Optional, TypeVar

from kestrin_testkit.faultlayer import parameters
from kestrin_testkit.faultlayer.channels import (
    CLOSE_WAIT, Channel, ConnectingChannel, RelayedConnection, SerialChannel, Side)
from kestrin_testkit.faultlayer.parameters import TO_CLIENT, TO_INSTRUMENT
from kestrin_testkit.faultlayer.sides import PEER_CLOSED, TerminalSide
from kestrin_testkit.transcript import Transcript

CONNECT_TIMEOUT = 2.0
# The instrument's start-up line terminator on the byte channels.
DEFAULT_LINE_TERMINATOR = b"\r"
# How long a channel whose serving failed waits before it is served again.
FAILED_CHANNEL_PAUSE = 0.05

log = logging.getLogger(__name__)

Result = TypeVar("Result")


def _unix_listener(path: str) -> socket.socket:
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(16)
    return listener


def _connect_unix(path: str) -> socket.socket:
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

    def __init__(self, folder: str, transcript: Transcript, *, tcp_port: Optional[int] = None,
                 serial_path: Optional[str] = None, dde_socket: Optional[str] = None,
                 line_terminator: Optional[str] = None) -> None:
        self.folder = folder
        self.transcript = transcript
        self.line_terminator = line_terminator.encode("latin-1") if line_terminator else DEFAULT_LINE_TERMINATOR
        self.channels: dict[str, Channel] = {}
        self._selector = selectors.DefaultSelector()
        self._registered: dict[int, int] = {}
        self._calls: queue.Queue[Callable[[], None]] = queue.Queue()
        self._wake_reader, self._wake_writer = socket.socketpair()
        self._wake_reader.setblocking(False)
        self._selector.register(self._wake_reader, selectors.EVENT_READ, ("wake", None))
        self._running = True
        # Channels whose links have something to write or wait for; the others are served again
        # only when their wake-up time comes.
        self._unserved: set[Channel] = set()
        self._wakes: dict[Channel, Optional[float]] = {}
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

    def set(self, channel: str, fault: str, args: tuple = (), kwargs: Optional[dict[str, Any]] = None) -> None:
        """Sets a fault (checked first: a bad one raises a one-line ValueError)."""
        if channel not in self.channels:
            raise ValueError(f"the instrument offers no {channel} channel here; it offers "
                             f"{', '.join(self.channels) or 'none'}")
        directions, change = parameters.prepared(channel, fault, tuple(args), kwargs or {})
        target = self.channels[channel]
        described = ", ".join([*map(repr, args), *(f"{name}={value!r}" for name, value in (kwargs or {}).items())])

        def apply() -> None:
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
        def listed() -> list[str]:
            now = time.monotonic()
            return [f"{name} {direction}: {fault}" for name, channel in self.channels.items()
                    for direction in (TO_CLIENT, TO_INSTRUMENT) for fault in channel.faults[direction].described(now)]
        return self._in_loop(listed)

    def processor_seconds(self) -> float:
        """The processor time the relaying thread has used."""
        return self._in_loop(time.thread_time)

    def close(self) -> None:
        if not self._running:
            return
        self._in_loop(self._stop)
        self._thread.join()
        self._selector.close()
        self._wake_reader.close()
        self._wake_writer.close()

    # What follows runs in the relaying thread.

    def watch(self, link: RelayedConnection) -> None:
        for side, _, _ in link.sides():
            self._want(side.fd, selectors.EVENT_READ, ("side", (link, side)))

    def forget(self, side: Side) -> None:
        self._want(side.fd, 0, None)
        self._registered.pop(side.fd, None)

    def watch_closing(self, channel: Channel, side: Side) -> None:
        self._want(side.fd, selectors.EVENT_READ, ("closing", (channel, side)))

    def _want(self, fd: int, wanted: int, data: Any) -> None:
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

    def _in_loop(self, function: Callable[[], Result]) -> Result:
        if threading.current_thread() is self._thread:
            return function()
        done = threading.Event()
        outcome: dict[str, Any] = {}

        def call() -> None:
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

    def _stop(self) -> None:
        self._running = False
        for channel in self.channels.values():
            channel.close()

    def _run(self) -> None:
        while self._running:
            now = time.monotonic()
            wake: Optional[float] = None
            for channel in self.channels.values():
                channel_wake = self._wakes.get(channel)
                if channel in self._unserved or (channel_wake is not None and channel_wake <= now):
                    try:
                        channel_wake = self._serve(channel, now)
                    except OSError as failure:
                        # Served again a little later, not at once: the same failure again and
                        # again would be a busy loop.
                        self._failed(channel, None, failure)
                        channel_wake = now + FAILED_CHANNEL_PAUSE
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

    def _failed(self, channel: Optional[Channel], link: Optional[RelayedConnection], failure: OSError) -> None:
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

    def _serve(self, channel: Channel, now: float) -> Optional[float]:
        """Writes what is due on every link of a channel and sets what each side waits for."""
        wake = earliest(channel.tick(now), channel.inject_due(now))
        for deadline_side, deadline in list(channel.closing):
            if deadline <= now:
                self.forget(deadline_side)
                channel.closing_ended(deadline_side)
            else:
                wake = earliest(wake, deadline)
        for link in list(channel.links):
            try:
                for pipe in (link.to_client, link.to_instrument):
                    wake = earliest(wake, pipe.pump(now))
            except OSError as failure:
                # A peer gone while something was on its way to it (an injected line, a held
                # reply) ends its connection alone, once.
                self._failed(channel, link, failure)
                channel.end_link(link, reset_client=True)
                continue
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

    def _move(self, link: RelayedConnection, side: Optional[Side]) -> bool:
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

    def _read_closing(self, channel: Channel, side: Side) -> None:
        try:
            data = side.read()
        except OSError:
            data = b""
        if data == b"":
            self.forget(side)
            channel.closing_ended(side)


def earliest(first: Optional[float], second: Optional[float]) -> Optional[float]:
    if first is None:
        return second
    if second is None:
        return first
    return min(first, second)
