"""A client of the suite's conversation protocol (docs/dde-protocol.md): what tovrask and ostrel do
with a linked text box, from Python.

    with Conversation("Kestrin", "Kestrin") as conversation:
        updates = conversation.advise("txtOutput")
        conversation.execute("ANALYZE 3")
        print(next(updates), next(updates))     # OK, then the data line

Every call waits for its reply, at most `timeout` seconds. A call that cannot be done raises a
ConversationError in one line (what was asked, what happened, why); a refusal carries the
source's reason (NackError.reason "refused", "no such item", ...), and BusyError and
TerminatedError the line that ended the conversation. A Conversation belongs to one thread.
"""

from __future__ import annotations

import collections
import logging
import os
import selectors
import socket
import stat
import time
from typing import Callable, Iterator, Optional

log = logging.getLogger(__name__)

LINE_LIMIT = 1048576
NAME_LIMIT = 64
DEFAULT_TIMEOUT = 5.0
READ_SIZE = 65536
# Updates held for links nobody reads, per link; older ones are dropped beyond it.
QUEUE_LIMIT = 65536
# How much of a line a message quotes.
QUOTE_LIMIT = 60

_ESCAPES = {"\\": "\\\\", "\n": "\\n", "\r": "\\r", "\0": "\\0"}
_UNESCAPES = {"\\": "\\", "n": "\n", "r": "\r", "0": "\0"}
_HEX_DIGITS = "0123456789abcdefABCDEF"

# What each refusal of the source means, for the one-line messages.
_NACK_REASONS = {
    "refused": "the source's program refused it",
    "no source": "the source serves no conversations now (kestrin: the instrument is switched off)",
    "unknown topic": "the source answers another topic",
    "conversation already open": "this connection has its conversation already",
    "no conversation": "the conversation is not open",
    "no such item": "the source serves no item of that name",
    "item too long": "the item's text is longer than a line can carry",
    "too long": "the text would not fit in the UPDATE line that passes it on",
    "not advised": "the item has no link in this conversation",
    "unknown message": "the source did not understand the line",
    "bad escape": "the line holds a bad escape",
    "text is not UTF-8": "the line is not UTF-8",
}


class ConversationError(Exception):
    """A conversation call that could not be done. reply: the source's line that said so
    ("NACK refused", "BUSY", "TERMINATE"), or None when no line did."""

    def __init__(self, message: str, reply: Optional[str] = None) -> None:
        super().__init__(message)
        self.reply = reply


class SourceNotRunningError(ConversationError):
    """No program serves the application: no socket file, or the connection is refused."""


class UnsafeDirectoryError(ConversationError):
    """The conversation directory is not private to this user, so it is not used."""


class NackError(ConversationError):
    """The source answered NACK; reason is its fixed text, e.g. "refused", "no such item"."""

    def __init__(self, message: str, reason: str) -> None:
        super().__init__(message, f"NACK {reason}")
        self.reason = reason


class BusyError(ConversationError):
    """The source holds as many connections as it can and answered BUSY."""


class TerminatedError(ConversationError):
    """The conversation has ended: the source sent TERMINATE (reply "TERMINATE"), the connection
    broke (reply None), or this side closed it."""


class ConversationTimeoutError(ConversationError, TimeoutError):
    """No reply or update came in time. The conversation stays open; a late reply is skipped."""


class ProtocolError(ConversationError):
    """The source sent a line this client cannot place; the conversation is closed."""


class LineTooLongError(ConversationError, ValueError):
    """A message would be longer than a line may be; nothing was sent."""


def escape(text: str) -> str:
    """A text as a line carries it: backslash, LF, CR and NUL escaped, every other control
    character but the tab as \\xHH."""
    return "".join(_ESCAPES.get(character) or
                    (f"\\x{ord(character):02X}" if ord(character) < 0x20 and character != "\t" else character)
                    for character in text)


def unescape(field: str) -> str:
    """The text an escaped field stands for; ValueError for a bad or cut-off escape."""
    parts = []
    position = 0
    while True:
        backslash = field.find("\\", position)
        if backslash < 0:
            parts.append(field[position:])
            return "".join(parts)
        parts.append(field[position:backslash])
        code = field[backslash + 1:backslash + 2]
        if code in _UNESCAPES and code:
            parts.append(_UNESCAPES[code])
            position = backslash + 2
        elif code == "x" and len(field) >= backslash + 4 and all(
                digit in _HEX_DIGITS for digit in field[backslash + 2:backslash + 4]):
            parts.append(chr(int(field[backslash + 2:backslash + 4], 16)))
            position = backslash + 4
        else:
            raise ValueError(f"bad escape {field[backslash:backslash + 4]!r}")


def take_frequency_as_pace(execute: Callable[[str], object]) -> None:
    """Makes the Frequency set now the pace of the next file run, which goes at the pace of the
    last random run and which no item shows: a random run, ended before its first line, once a
    run left going has ended first (in Idle, ABORT does nothing)."""
    execute("ABORT")
    try:
        execute("ANALYZE")
    except NackError:
        pass  # a run refused by a later setting has taken the Frequency all the same
    execute("ABORT")


def conversation_directory(runtime_dir: Optional[str] = None) -> str:
    """Where sources' sockets are: <runtime>/dde, the runtime folder being runtime_dir or
    $XDG_RUNTIME_DIR, else /tmp/dde-<uid>."""
    runtime = runtime_dir or os.environ.get("XDG_RUNTIME_DIR")
    return os.path.join(runtime, "dde") if runtime else f"/tmp/dde-{os.geteuid()}"


def _quote(line: str) -> str:
    return line if len(line) <= QUOTE_LIMIT else line[:QUOTE_LIMIT] + "..."


class Link:
    """The automatic link on one item (Conversation.advise): `current` is the item's text when it
    was advised; iterating gives each later write's text, in order, waiting at most `timeout`
    seconds for each (ConversationTimeoutError). A write too long for a line gives None: the
    item's text is then unknown. The iteration ends once the item is unadvised."""

    def __init__(self, conversation: Conversation, item: str, current: str, timeout: float) -> None:
        self.item = item
        self.current = current
        self.timeout = timeout
        self.dropped = 0
        self._conversation = conversation
        self._updates: collections.deque = collections.deque()
        self._open = True

    def __iter__(self) -> Iterator[Optional[str]]:
        return self

    def __next__(self) -> Optional[str]:
        conversation = self._conversation
        asked = f"an update of {self.item}"
        deadline = time.monotonic() + self.timeout
        while not self._updates:
            if not self._open:
                raise StopIteration
            conversation._check_open(asked)
            if not conversation._read(deadline, asked):
                raise ConversationTimeoutError(f"{conversation.name}: {asked}: none within {self.timeout:g} s")
        return self._updates.popleft()

    def close(self) -> None:
        """Ends the link (UNADVISE), unless the conversation has ended."""
        if self._open and self._conversation.is_open:
            self._conversation.unadvise(self.item)
        self._open = False

    def _deliver(self, text: Optional[str]) -> None:
        if len(self._updates) == QUEUE_LIMIT:
            self._updates.popleft()
            if not self.dropped:
                log.warning("%s: %s: updates not read are dropped beyond %d", self._conversation.name,
                            self.item, QUEUE_LIMIT)
            self.dropped += 1
        self._updates.append(text)


class Conversation:
    """One conversation with the source application `app` on `topic`: opened by the with block
    (or open()), ended with TERMINATE at its end (or close()).

    runtime_dir: the runtime folder whose dde/ holds the sockets (an Instrument's runtime_dir);
    by default $XDG_RUNTIME_DIR, else /tmp/dde-<uid>. timeout: the seconds a call waits for its
    reply.
    """

    def __init__(self, app: str, topic: str, runtime_dir: Optional[str] = None, *,
                 timeout: float = DEFAULT_TIMEOUT) -> None:
        if not app or "/" in app or len(app) > NAME_LIMIT:
            raise ValueError(f"an application name is 1 to {NAME_LIMIT} characters without '/', not {app!r}")
        self.app = app
        self.topic = topic
        self.timeout = timeout
        self.name = f"{app}|{topic}"
        self.socket_path = os.path.join(conversation_directory(runtime_dir), app.lower())
        self._socket: Optional[socket.socket] = None
        self._received = bytearray()
        self._replies: collections.deque = collections.deque()
        # Replies still owed to calls that timed out: skipped when they come.
        self._owed = 0
        self._waiting = False
        self._links: dict[str, Link] = {}
        self._ended: Optional[TerminatedError] = None

    def __enter__(self) -> Conversation:
        self.open()
        return self

    def __exit__(self, *_failure: object) -> None:
        self.close()

    @property
    def is_open(self) -> bool:
        return self._socket is not None and self._ended is None

    def open(self) -> None:
        """Connects and initiates the conversation."""
        if self._socket is not None:
            raise ConversationError(f"{self.name}: open: the conversation is open already")
        self._check_directory(os.path.dirname(self.socket_path))
        connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            connection.connect(self.socket_path)
        except (FileNotFoundError, ConnectionRefusedError) as failure:
            connection.close()
            raise SourceNotRunningError(f"{self.name}: connecting to {self.socket_path} failed: no {self.app} "
                                        f"is running ({failure.strerror})") from None
        connection.setblocking(False)
        self._socket = connection
        self._received.clear()
        self._ended = None
        try:
            self._call(f"INITIATE {escape(self.topic)}")
        except ConversationError:
            self._shut()
            raise

    def close(self) -> None:
        """Ends the conversation (TERMINATE) and the connection; harmless when already ended."""
        if self._socket is None:
            return
        if self._ended is None:
            try:
                self._socket.sendall(b"TERMINATE\n")
            except OSError:
                pass  # the source has gone already: there is nobody left to tell
        self._shut()

    def execute(self, command: str) -> None:
        """Has the source carry out a command; NackError("refused") when it answers negatively."""
        self._call(f"EXECUTE {escape(command)}")

    def request(self, item: str) -> str:
        """The item's current text."""
        return self._call(f"REQUEST {escape(item)}")

    def poke(self, item: str, text: str) -> None:
        """Writes a text into an item."""
        if not item or any(character in item for character in " \\") or not item.isprintable():
            raise ValueError(f"{self.name}: poke: {item!r} is no item name")
        self._call(f"POKE {item} {escape(text)}")

    def advise(self, item: str, timeout: Optional[float] = None) -> Link:
        """Links to an item: the Link holds its current text and iterates over its writes, each
        awaited at most timeout seconds (default: the conversation's)."""
        current = self._call(f"ADVISE {escape(item)}")
        key = item.lower()
        link = self._links.get(key)
        if link is None:
            link = self._links[key] = Link(self, item, current, self.timeout if timeout is None else timeout)
        else:
            link.current = current
        return link

    def unadvise(self, item: str) -> None:
        """Ends the link on an item. Its iteration hands out the updates already received, then
        ends."""
        link = self._links.pop(item.lower(), None)
        if link is not None:
            link._open = False
        self._call(f"UNADVISE {escape(item)}")

    def _check_directory(self, directory: str) -> None:
        """The directory, made private when missing, must be this user's alone."""
        try:
            os.mkdir(directory, 0o700)
        except FileExistsError:
            pass
        except OSError as failure:
            raise UnsafeDirectoryError(f"{self.name}: the conversation directory {directory} cannot be made: "
                                       f"{failure.strerror}") from None
        status = os.lstat(directory)
        why = None
        if not stat.S_ISDIR(status.st_mode):
            why = "it is not a directory" + (" but a symbolic link" if stat.S_ISLNK(status.st_mode) else "")
        elif status.st_uid != os.geteuid():
            why = f"it belongs to user {status.st_uid}"
        elif status.st_mode & 0o077:
            why = f"it is open to group or others (mode {stat.S_IMODE(status.st_mode):04o})"
        if why:
            raise UnsafeDirectoryError(f"{self.name}: the conversation directory {directory} is not used: {why}")

    def _check_open(self, asked: str) -> None:
        if self._socket is None:
            raise TerminatedError(f"{self.name}: {asked}: the conversation is not open")
        if self._ended is not None:
            raise TerminatedError(f"{self.name}: {asked}: {self._ended}", self._ended.reply)

    def _call(self, line: str) -> str:
        """Sends a message and returns the text of its reply (DATA's text, or "" for ACK)."""
        word, _, rest = line.partition(" ")
        asked = f"{word} '{_quote(rest)}'" if rest or word in ("EXECUTE", "POKE") else word
        self._check_open(asked)
        data = line.encode() + b"\n"
        if len(data) - 1 > LINE_LIMIT:
            raise LineTooLongError(f"{self.name}: {asked}: not sent: the line would be {len(data) - 1} bytes, "
                                   f"over the limit of {LINE_LIMIT}")
        log.debug("%s > %s", self.name, asked)
        self._send(data, asked)
        deadline = time.monotonic() + self.timeout
        self._waiting = True
        try:
            while not self._replies:
                if not self._read(deadline, asked):
                    self._owed += 1
                    raise ConversationTimeoutError(f"{self.name}: {asked}: no reply within {self.timeout:g} s")
        finally:
            self._waiting = False
        word, text = self._replies.popleft()
        if word == "NACK":
            raise NackError(f"{self.name}: {asked}: answered NACK {text}: "
                            f"{_NACK_REASONS.get(text, 'the source gave no known reason')}", text)
        return text

    def _send(self, data: bytes, asked: str) -> None:
        deadline = time.monotonic() + self.timeout
        view = memoryview(data)
        while view:
            try:
                view = view[self._socket.send(view):]
            except BlockingIOError:
                # The source reads again once it has answered what it has; meanwhile its lines
                # must be taken in, or both sides would wait on each other.
                if not self._read(deadline, asked, writing=True) and time.monotonic() >= deadline:
                    raise ConversationTimeoutError(f"{self.name}: {asked}: the source took no more of the line "
                                                   f"within {self.timeout:g} s") from None
            except OSError as failure:
                self._end(None, f"the connection broke ({failure.strerror})")
                raise TerminatedError(f"{self.name}: {asked}: {self._ended}") from None

    def _read(self, deadline: float, asked: str, writing: bool = False) -> bool:
        """_read_one, its failure told as the failure of what was asked."""
        try:
            return self._read_one(deadline, writing)
        except ConversationError as failure:
            raise type(failure)(f"{self.name}: {asked}: {failure}", failure.reply) from None

    def _read_one(self, deadline: float, writing: bool = False) -> bool:
        """Reads and places the next line, waiting at most until deadline; False when none came
        (or, writing, when the socket became writable first)."""
        while True:
            newline = self._received.find(b"\n")
            if newline >= 0:
                line = bytes(self._received[:newline])
                del self._received[:newline + 1]
                line = line[:-1] if line.endswith(b"\r") else line
                if len(line) > LINE_LIMIT:
                    self._violation("a line over the limit of 1 MiB")
                self._place(line)
                return True
            if len(self._received) > LINE_LIMIT + 1:
                self._violation("a line over the limit of 1 MiB")
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return False
            events = _wait(self._socket, remaining, writing)
            if events == "write":
                return False
            if events is None:
                continue
            try:
                chunk = self._socket.recv(READ_SIZE)
            except BlockingIOError:
                continue
            except OSError as failure:
                chunk = None
                why = f"the connection broke ({failure.strerror})"
            else:
                why = "the connection broke without TERMINATE"
            if not chunk:
                self._end(None, why)
                raise TerminatedError(str(self._ended), self._ended.reply)
            self._received += chunk

    def _place(self, raw: bytes) -> None:
        """Hands a received line to the call or link that waits for it."""
        try:
            line = raw.decode()
        except UnicodeDecodeError:
            line = None
        if line is None or "\0" in line:
            self._violation(f"a line that is not text ({_quote(repr(raw))})")
        log.debug("%s < %s", self.name, _quote(line))
        word, _, rest = line.partition(" ")
        word = word.upper()
        if word == "UPDATE":
            text = rest
        else:
            text = self._unescape(rest, line)
        if word in ("ACK", "NACK", "DATA"):
            if self._owed:
                self._owed -= 1
                log.info("%s: a late reply skipped: %s", self.name, _quote(line))
            elif self._waiting and not self._replies:
                self._replies.append((word, text))
            else:
                self._violation(f"{_quote(line)!r} with no message waiting for it")
        elif word in ("UPDATE", "TOOLONG"):
            item, _, value = rest.partition(" ") if word == "UPDATE" else (text, "", "")
            link = self._links.get(item.lower())
            # An item being unadvised may still update until the ACK; it is nobody's now.
            if link is not None:
                link._deliver(self._unescape(value, line) if word == "UPDATE" else None)
        elif word == "TERMINATE":
            self._end("TERMINATE", "the source sent TERMINATE: it is closing or serves no conversations now")
            raise TerminatedError(str(self._ended), self._ended.reply)
        elif word == "BUSY":
            self._end("BUSY", "the source answered BUSY: it holds as many connections as it can")
            raise BusyError(str(self._ended), "BUSY")
        elif word == "ERROR":
            self._end(line, f"the source answered {_quote(line)} and closed the connection")
            raise ProtocolError(str(self._ended), line)
        else:
            self._violation(f"{_quote(line)!r}")

    def _unescape(self, field: str, line: str) -> str:
        try:
            return unescape(field)
        except ValueError as failure:
            self._violation(f"{_quote(line)!r} with a {failure}")

    def _violation(self, what: str) -> None:
        self._end(None, f"the source sent {what}, which this client cannot place")
        raise ProtocolError(str(self._ended))

    def _end(self, reply: Optional[str], why: str) -> None:
        """The conversation is over; later calls fail saying why."""
        if self._ended is None:
            self._ended = TerminatedError(why, reply)
            log.info("%s: %s", self.name, why)
        self._replies.clear()

    def _shut(self) -> None:
        self._socket.close()
        self._socket = None
        self._links.clear()
        self._replies.clear()
        self._owed = 0


def _wait(connection: socket.socket, seconds: float, writing: bool) -> Optional[str]:
    """Waits until the socket has something to read ("read") or, writing, room to write
    ("write"); None when the time ran out or a signal came."""
    with selectors.DefaultSelector() as selector:
        selector.register(connection, selectors.EVENT_READ | (selectors.EVENT_WRITE if writing else 0))
        events = selector.select(seconds)
    if not events:
        return None
    return "read" if events[0][1] & selectors.EVENT_READ else "write"
