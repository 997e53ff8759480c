"""The faults on the instrument's language (replace, withhold, inject, truncate) with count, after
and duration, as a client meets them on each channel of a real instrument; the list of faults set;
and the layer's line ends, rate and bounds under them, between stand-ins."""

import os
import select
import socket
import subprocess
import termios
import threading
import time
import tracemalloc
import tty

import pytest

from kestrin_testkit import Instrument, contract
from kestrin_testkit.faultlayer import parameters
from kestrin_testkit.faultlayer.layer import FaultLayer
from kestrin_testkit.faultlayer.pipe import HELD_LIMIT
from kestrin_testkit.transcript import Transcript

REPLY_TIMEOUT = 10.0
WEAR_OFF_TIMEOUT = 5.0
UNASKED = "0.5,0.25"
# A step of a script that waits until every fault has worn off.
WORN_OFF = ("worn off", None)
ENDS = {"tcp": b"\r", "serial": b"\r", "dde": b"\n"}
UPDATE = f"UPDATE {contract.OUTPUT_ITEM} "


class Client:
    """A client of one channel reading the instrument's lines, each as it came (raw); on the
    conversation socket a command is an EXECUTE and a line an update of txtOutput."""

    def __init__(self, instrument, channel):
        self.channel, self.end, self.received, self.raw = channel, ENDS[channel], b"", []
        if channel == "serial":
            self.fd = os.open(instrument.serial_port, os.O_RDWR | os.O_NOCTTY)
            tty.setraw(self.fd, termios.TCSANOW)
            return
        self.connection = socket.create_connection(("127.0.0.1", instrument.tcp_port)) if channel == "tcp" \
            else socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.fd = self.connection.fileno()
        if channel == "dde":
            self.connection.connect(instrument.dde_socket)
            os.write(self.fd, f"INITIATE {contract.TOPIC}\nADVISE {contract.OUTPUT_ITEM}\n".encode())
            assert [self.raw_line(), self.raw_line()[:4]] == [b"ACK\n", b"DATA"]

    def send(self, command: str):
        os.write(self.fd, f"EXECUTE {command}\n".encode() if self.channel == "dde" else command.encode() + b"\r")

    def line(self) -> str:
        """The instrument's next line (on the conversation socket, txtOutput's next text)."""
        while True:
            raw = self.raw_line().decode("latin-1")[:-1]
            if self.channel != "dde":
                return raw
            if raw.startswith(UPDATE):
                return raw.removeprefix(UPDATE)

    def raw_line(self) -> bytes:
        while self.end not in self.received:
            assert select.select([self.fd], [], [], REPLY_TIMEOUT)[0], f"{self.channel}: no line after {self.raw[-3:]}"
            self.received += os.read(self.fd, 65536) or pytest.fail(f"{self.channel}: ended after {self.raw[-3:]}")
        line, _, self.received = self.received.partition(self.end)
        self.raw.append(line + self.end)
        return line + self.end

    def close(self):
        if self.channel == "serial":
            os.close(self.fd)
        else:
            self.connection.close()


@pytest.fixture
def instrument(kestrin_instrument_module):
    yield kestrin_instrument_module
    for name in ("tcp", "serial", "dde"):
        getattr(kestrin_instrument_module, name).clear()


@pytest.fixture(params=["tcp", "serial", "dde"])
def client(request, instrument):
    opened = Client(instrument, request.param)
    # Answered: the layer relays the serial line once it has seen it opened.
    opened.send("ABORT")
    assert opened.line() == "OK"
    if opened.channel == "dde":
        # The conversation answers an EXECUTE after its update; a fault set before that ACK passed
        # would count it among the lines it lets by first.
        assert opened.raw_line() == b"ACK\n"
    yield opened
    opened.close()


def wait_worn_off(instrument):
    deadline = time.monotonic() + WEAR_OFF_TIMEOUT
    while instrument.faults:
        assert time.monotonic() < deadline, f"still set: {instrument.faults}"
        time.sleep(0.01)


# Each fault, then a script of (command sent or None, the line then read or None). In Idle, ABORT is
# answered "OK" and RESUME refused; "OK$" matches on the conversation socket "UPDATE txtOutput OK"
# (not "ACK"). A command waits for the one before: of two in one read, the instrument answers the last.
REFUSED_RESUME = "Error 2: Illegal Command - RESUME"
SCRIPTS = [
    ("replace once, after one", "replace", ("OK$", "Error 2: Illegal Command - ABORT"), {"count": 1, "after": 1},
     [("ABORT", "OK"), ("ABORT", "Error 2: Illegal Command - ABORT"), ("ABORT", "OK")]),
    ("withhold once, after one", "withhold", ("RESUME$",), {"count": 1, "after": 1},
     [("RESUME", REFUSED_RESUME), ("RESUME", None), WORN_OFF, ("RESUME", REFUSED_RESUME)]),
    ("withhold for a while", "withhold", ("RESUME$",), {"duration": 1.5},
     [("RESUME", None), WORN_OFF, ("ABORT", "OK")]),
    ("truncate twice", "truncate", ("OK$|RESUME$",), {"keep": 1, "count": 2},
     [("ABORT", "O"), ("RESUME", "E"), ("ABORT", "OK")]),
    ("inject after two commands", "inject", (UNASKED,), {"after": 2},
     [("ABORT", "OK"), ("ABORT", UNASKED), (None, "OK"), ("ABORT", "OK")]),
    ("inject three times", "inject", (UNASKED,), {"every": 0.05, "count": 3},
     [(None, UNASKED)] * 3 + [WORN_OFF, ("ABORT", "OK")]),
]


@pytest.mark.parametrize("fault, args, kwargs, script", [row[1:] for row in SCRIPTS], ids=[row[0] for row in SCRIPTS])
def test_each_language_fault_acts_as_long_as_it_is_told(instrument, client, fault, args, kwargs, script):
    getattr(getattr(instrument, client.channel), fault)(*args, **kwargs)
    for command, expected in script:
        if (command, expected) == WORN_OFF:
            wait_worn_off(instrument)
            continue
        if command is not None:
            client.send(command)
        if expected is not None:
            assert client.line() == expected, client.raw[-3:]
    if fault == "inject":
        # Framed as the instrument's own lines.
        assert (UPDATE if client.channel == "dde" else "").encode() + UNASKED.encode() + client.end in client.raw
    wait_worn_off(instrument)


@pytest.mark.parametrize("channel", ["tcp", "serial"])
def test_a_client_gone_while_lines_are_injected_leaves_nothing_to_the_next(instrument, channel):
    # Unasked lines on their way to a client that hung up end its connection, once; the next
    # client is answered, and the transcript does not fill with the same failure.
    getattr(instrument, channel).inject(UNASKED, every=0.01, duration=3)
    first = Client(instrument, channel)
    assert first.line() == UNASKED
    first.close()
    # A TCP client that comes within a few ms of a close may be refused; a client tries again.
    deadline = time.monotonic() + REPLY_TIMEOUT
    while True:
        following = Client(instrument, channel)
        try:
            following.send("ABORT")
            while (line := following.line()) == UNASKED:
                pass
            break
        except (OSError, pytest.fail.Exception):
            if time.monotonic() > deadline:
                raise
        finally:
            following.close()
    assert line == "OK"
    notes = [line for line in instrument.transcript.tail().get(channel, []) if "ended" in line or "failed" in line]
    assert len(notes) <= 5, notes


def test_conversation_lines_keep_their_frame(instrument):
    """A line's text changes within its frame, escaped; a line without a text changes whole."""
    client = Client(instrument, "dde")
    instrument.dde.replace("OK$", "two\nlines")
    client.send("ABORT")
    assert [client.line(), client.raw_line()] == ["two\\nlines", b"ACK\n"]
    # Each call replaces the fault of its name.
    instrument.dde.replace("^ACK$", "NACK refused")
    client.send("ABORT")
    assert [client.line(), client.raw_line()] == ["OK", b"NACK refused\n"]
    client.close()


def test_the_list_of_faults_says_what_remains(instrument):
    instrument.tcp.latency(50, direction="to_client")
    instrument.tcp.replace("^OK$", "Error 2", count=2, after=1)
    instrument.serial.inject(UNASKED, every=1, count=5, after=3)
    instrument.dde.truncate(",", 3, duration=60)
    client = Client(instrument, "tcp")
    for reply in ("OK", "Error 2"):
        client.send("ABORT")
        assert client.line() == reply
    client.close()
    listed = instrument.faults
    assert listed[:3] == ["tcp to_client: latency(ms=50, jitter_ms=0)",
                          "tcp to_client: replace(match='^OK$', text='Error 2'), 1 of 2 left",
                          "serial to_client: inject(text='0.5,0.25', every=1), starts after 3 more commands, "
                          "5 of 5 left"]
    assert listed[3].startswith("dde to_client: truncate(match=',', keep=3), ") and listed[3].endswith(" of 60 s left")
    # A refused fault changes nothing.
    for refused in (lambda: instrument.tcp.withhold("("), lambda: instrument.tcp.replace("OK", 5),
                    lambda: instrument.tcp.inject("x", count=2), lambda: instrument.tcp.truncate("OK", -1)):
        with pytest.raises(ValueError):
            refused()
    assert instrument.faults[:3] == listed[:3]


REFUSED = [
    ("tcp:inject=x,count=2", "inject: count needs every; without it the line is sent once"),
    ("tcp:inject=x@both", "inject: no direction 'both' here; an unasked line goes to_client only"),
    ("serial:replace=^OK$,\u20ac", "replace: text must be Latin-1 (one byte a character) on serial, not '\u20ac'"),
    ("tcp:withhold=OK,after=x", "withhold: after must be a whole number from 0 to 1000000, not 'x'"),
    ("tcp:withhold=OK,duration=0", "withhold: duration must be a number from 0.001 to 3600, not '0'"),
]


@pytest.mark.parametrize("text, says", REFUSED, ids=[row[0] for row in REFUSED])
def test_bad_language_faults_are_refused_in_one_line(text, says):
    with pytest.raises(ValueError) as refused:
        parameters.parse(text)
    assert str(refused.value) == says


def test_the_command_line_sets_and_lists_language_faults(tmp_path):
    script = ("kestrin-testkit faults && kestrin-testkit fault 'tcp:inject=1\\,2,every=5,count=2' "
              "'serial:truncate=OK,keep=1' && kestrin-testkit faults && kestrin-testkit fault tcp:clear serial:clear "
              "&& kestrin-testkit faults")
    run = subprocess.run(["kestrin-testkit", "run", "--", "sh", "-c", script], capture_output=True, text=True,
                         timeout=120, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["no faults set", "tcp to_client: inject(text='1,2', every=5), 2 of 2 left",
                                       "serial to_client: truncate(match='OK', keep=1)", "no faults set"]


def test_language_faults_in_the_window_with_cr_lf():
    """The layer is the same with the window; its lines end as its Transmission Formats say."""
    with Instrument(window=True, line_terminator="\r\n") as instrument:
        with socket.create_connection(("127.0.0.1", instrument.tcp_port), timeout=REPLY_TIMEOUT) as connection:
            instrument.tcp.replace("^OK$", "Error 2: Illegal Command - ABORT", count=1)
            instrument.tcp.inject(UNASKED, after=1)
            connection.sendall(b"ABORT\r\n")
            assert received_until(connection, b"ABORT\r\n") == b"0.5,0.25\r\nError 2: Illegal Command - ABORT\r\n"


def received_until(connection, ending: bytes, received=b"") -> bytes:
    while not received.endswith(ending):
        assert select.select([connection], [], [], REPLY_TIMEOUT)[0], received
        received += connection.recv(65536) or pytest.fail(f"ended after {received!r}")
    return received


@pytest.fixture
def stand_in(tmp_path):
    """A layer before a stand-in for the instrument's TCP port, and a client connected through it."""
    listener = socket.create_server(("127.0.0.1", 0))
    transcript = Transcript(str(tmp_path / "transcript"), ["tcp"])
    layer = FaultLayer(str(tmp_path / "layer"), transcript, tcp_port=listener.getsockname()[1])
    client = socket.create_connection(("127.0.0.1", layer.tcp_port))
    instrument, _ = listener.accept()
    yield layer, transcript, instrument, client
    for end in (layer, transcript, instrument, client, listener):
        end.close()


def test_an_unasked_line_waits_for_the_end_of_the_line_begun(stand_in):
    """An instrument that ends its lines in CR LF, in the middle of a line when inject is set."""
    layer, _transcript, instrument, client = stand_in
    instrument.sendall(b"OK\r\n0.1,0.2,")
    received = received_until(client, b"0.1,0.2,")
    layer.set("tcp", "inject", ("unasked",))
    instrument.sendall(b"0.3\r\nOK\r\n")
    assert received_until(client, b"OK\r\n", received) == b"OK\r\n0.1,0.2,0.3\r\nunasked\r\nOK\r\n"


LINES = 20_000
# Through three faults that look at every line; the instrument's fastest stream is 1000 lines a second.
LINES_PER_SECOND = 5000


def test_lines_pass_at_full_rate_under_language_faults(stand_in):
    layer, _transcript, instrument, client = stand_in
    line = (",".join(["0.12345"] * 100) + "\r").encode()
    for fault, args in (("replace", ("^OK$", "x")), ("truncate", ("^never$", 1)), ("withhold", ("^never$",))):
        layer.set("tcp", fault, args)
    started = time.monotonic()
    threading.Thread(target=instrument.sendall, args=(line * LINES,), daemon=True).start()
    received = 0
    while received < len(line) * LINES:
        received += len(client.recv(1024 * 1024) or pytest.fail("ended"))
    assert LINES / (time.monotonic() - started) >= LINES_PER_SECOND


# What the layer holds each way, and room to spare.
MEMORY_LIMIT = 2 * HELD_LIMIT + 8 * 1024 * 1024


def test_replacing_short_lines_with_long_ones_holds_no_more_than_the_limit(stand_in):
    """A client that reads nothing while each 2-byte line would become 64 KiB (2 GiB in all)."""
    layer, transcript, instrument, _client = stand_in
    layer.set("tcp", "replace", ("", "x" * 65536))
    tracemalloc.start()
    try:
        instrument.sendall(b"1\r" * 32768)
        deadline = time.monotonic() + REPLY_TIMEOUT
        while not noted(transcript, "lines dropped"):
            assert time.monotonic() < deadline, transcript.tail()
            time.sleep(0.01)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < MEMORY_LIMIT


def noted(transcript, text):
    transcript.tail()  # writes out what is noted
    with open(transcript.path("tcp"), encoding="utf-8") as written:
        return any(text in line for line in written)
