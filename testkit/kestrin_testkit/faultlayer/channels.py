"""The instrument's channels and their stand-ins: a listener whose every client is relayed to a new
connection to the instrument (tcp, dde), or the kit's pseudo-terminal relayed to the instrument's
port 1 while a client has it open (serial). Each relayed connection is a pair of pipes.
"""

from __future__ import annotations

import os
import pty
import select
import socket
import termios
import threading
import tty
from typing import TYPE_CHECKING, Callable, Optional, Union

from kestrin_testkit.contract import OUTPUT_ITEM
from kestrin_testkit.conversation import escape
from kestrin_testkit.faultlayer import parameters
from kestrin_testkit.faultlayer.parameters import TO_CLIENT, TO_INSTRUMENT, DirectionFaults
from kestrin_testkit.faultlayer.pipe import Pipe
from kestrin_testkit.faultlayer.sides import SocketSide, TerminalSide

if TYPE_CHECKING:
    from kestrin_testkit.faultlayer.layer import FaultLayer

# How often a closed instrument port is looked for again, and how often its line settings are read.
REOPEN_INTERVAL = 0.1
# How often the kit's pseudo-terminal is looked at for a client: with none it reads as hung up,
# which no selector can wait on without spinning.
CLIENT_CHECK_INTERVAL = 0.02
LINE_SETTINGS_INTERVAL = 0.2
# How long disconnect() waits for the instrument to close its end of a pulled connection.
CLOSE_WAIT = 3.0
# The conversation socket's lines end in LF.
CONVERSATION_LINE_END = b"\n"

Side = Union[SocketSide, TerminalSide]


class RelayedConnection:
    """A client's connection and the instrument's end it is relayed to, a pipe each way; name: the
    connection as the transcript names it."""

    def __init__(self, channel: Channel, client: Side, instrument: Side, name: str) -> None:
        self.channel = channel
        self.client = client
        self.instrument = instrument
        self.name = name
        self.to_instrument = Pipe(channel, TO_INSTRUMENT, instrument)
        self.to_client = Pipe(channel, TO_CLIENT, client)
        for pipe in (self.to_instrument, self.to_client):
            pipe.connection = name

    def sides(self) -> tuple[tuple[Side, Pipe, Pipe], tuple[Side, Pipe, Pipe]]:
        return ((self.client, self.to_instrument, self.to_client),
                (self.instrument, self.to_client, self.to_instrument))


class Channel:
    """One of the instrument's channels and its stand-in."""

    def __init__(self, name: str, layer: FaultLayer) -> None:
        self.name = name
        self.layer = layer
        self.transcript = layer.transcript
        self.faults = {TO_CLIENT: DirectionFaults(), TO_INSTRUMENT: DirectionFaults()}
        # The instrument's line terminator here: as the kit set it, then as its lines show it.
        self.kit_line_terminator = CONVERSATION_LINE_END if name == "dde" else layer.line_terminator
        self.line_terminator = self.kit_line_terminator
        self.links: list[RelayedConnection] = []
        # Connections pulled by disconnect(), waiting for the instrument to close its end.
        self.closing: list[tuple[Side, float]] = []
        self.closed = threading.Event()
        self.closed.set()
        self.connections = 0

    def note(self, text: str, connection: Optional[str] = None) -> None:
        """A note about one connection, or the channel as a whole."""
        self.transcript.note(connection or self.name, text)

    def connection_name(self) -> str:
        """The next connection's name: "tcp#3" is the kit's third on tcp."""
        self.connections += 1
        return f"{self.name}#{self.connections}"

    def line_rate(self, now: float) -> float:
        """The rate the line carries, in bytes a second; 0: none known."""
        return 0.0

    def listeners(self) -> tuple[socket.socket, ...]:
        return ()

    def accept(self, listener: socket.socket) -> None:
        raise NotImplementedError

    def tick(self, now: float) -> Optional[float]:
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

    def inject_due(self, now: float) -> Optional[float]:
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

    def end_link(self, link: RelayedConnection, reset_client: bool = False) -> None:
        if link in self.links:
            self.links.remove(link)
            self.layer.forget(link.client)
            self.layer.forget(link.instrument)
            link.client.close(reset=reset_client)
            link.instrument.close()

    def disconnect(self, now: float) -> None:
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

    def close(self) -> None:
        for link in self.links:
            link.client.close()
            link.instrument.close()
        self.links = []
        for side, _ in self.closing:
            side.close()
        self.closing = []
        self.closed.set()

    def closing_ended(self, side: Side) -> None:
        self.closing = [(closing, deadline) for closing, deadline in self.closing if closing is not side]
        side.close()
        if not self.closing:
            self.closed.set()


class ConnectingChannel(Channel):
    """A listener whose every client is relayed to a new connection to the instrument."""

    def __init__(self, name: str, layer: FaultLayer, listener: socket.socket,
                 connect: Callable[[], socket.socket]) -> None:
        super().__init__(name, layer)
        self.listener = listener
        listener.setblocking(False)
        self._connect = connect

    def listeners(self) -> tuple[socket.socket, ...]:
        return (self.listener,)

    def accept(self, listener: socket.socket) -> None:
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
        link = RelayedConnection(self, SocketSide(client), SocketSide(instrument), name)
        self.links.append(link)
        self.layer.watch(link)

    def close(self) -> None:
        super().close()
        self.listener.close()


class SerialChannel(Channel):
    """The kit's pseudo-terminal, relayed to the instrument's port 1 while a client has the
    terminal open and the instrument publishes its port."""

    def __init__(self, layer: FaultLayer, link_path: str, instrument_path: str) -> None:
        super().__init__("serial", layer)
        self.link_path = link_path
        self.instrument_path = instrument_path
        self.terminal: Optional[int] = None
        self.instrument_fd: Optional[int] = None
        self.next_open = 0.0
        self.rate = 0.0
        self.rate_read = 0.0
        self._new_terminal()

    def _new_terminal(self) -> None:
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

    def connection_name(self) -> str:
        # One line, whoever opens it.
        return self.name

    def line_rate(self, now: float) -> float:
        if self.instrument_fd is not None and now - self.rate_read > LINE_SETTINGS_INTERVAL:
            self.rate_read = now
            try:
                self.rate = parameters.characters_per_second(termios.tcgetattr(self.instrument_fd))
            except termios.error:
                pass  # the port closed under us: the hang-up is seen at the next read
        return self.rate

    def tick(self, now: float) -> Optional[float]:
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
        link = RelayedConnection(self, TerminalSide(self.terminal), TerminalSide(self.instrument_fd),
                                 self.connection_name())
        self.links.append(link)
        self.layer.watch(link)
        return None

    def _client_present(self) -> bool:
        events = select.poll()
        events.register(self.terminal, select.POLLIN)
        return not any(event & select.POLLHUP for _, event in events.poll(0))

    def _unlink(self, link: RelayedConnection) -> None:
        self.links.remove(link)
        self.layer.forget(link.client)
        self.layer.forget(link.instrument)
        link.instrument.close()
        self.instrument_fd = None

    def line_ended(self, link: RelayedConnection, side: Side) -> None:
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

    def end_link(self, link: RelayedConnection, reset_client: bool = False) -> None:
        if link in self.links:
            self.line_ended(link, link.instrument)

    def disconnect(self, now: float) -> None:
        """The cable is pulled: the client sees a hang-up; the port is relayed again once a client
        opens the new line."""
        for link in list(self.links):
            self._unlink(link)
        self._new_terminal()
        self.note("disconnect: the client's line hangs up")

    def close(self) -> None:
        for link in list(self.links):
            self._unlink(link)
        super().close()
        os.close(self.terminal)
