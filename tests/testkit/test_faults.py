"""The fault layer through the real instrument, as a client sees it: PyVISA over TCP and serial,
the conversation client over the conversation socket."""

import os
import select
import subprocess
import sys
import termios
import textwrap
import time
import tty

import pyvisa
import pytest

from kestrin_testkit import Conversation, ConversationError
from kestrin_testkit.faultlayer import parameters

REPLY_TIMEOUT_MS = 10000
# A read that is meant to time out waits this long.
SILENT_MS = 1500


@pytest.fixture
def instrument(kestrin_instrument_module):
    yield kestrin_instrument_module
    for name in ("tcp", "serial", "dde"):
        getattr(kestrin_instrument_module, name).clear()


@pytest.fixture
def resources():
    manager = pyvisa.ResourceManager("@py")
    yield manager
    manager.close()


def opened(resources, instrument, channel):
    resource = instrument.tcp_resource if channel == "tcp" else instrument.serial_resource
    options = {"baud_rate": 19200} if channel == "serial" else {}
    return resources.open_resource(resource, read_termination="\r", write_termination="\r",
                                   timeout=REPLY_TIMEOUT_MS, **options)


def analyze_three(client):
    assert client.query("ANALYZE 3") == "OK"
    values = [float(value) for value in client.read().split(",")]
    assert len(values) == 3 and all(0.0 <= value <= 1.0 for value in values)


def raw_line(instrument):
    """The kit's serial line, opened raw; its input is not flushed, as a serial client's may not be."""
    line = os.open(instrument.serial_port, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(line, termios.TCSANOW)
    return line


def read_line(line):
    """What a raw serial line gives up to its first "\\r", or less when nothing comes in time."""
    received = b""
    while not received.endswith(b"\r") and select.select([line], [], [], REPLY_TIMEOUT_MS / 1000)[0]:
        received += os.read(line, 1)
    return received


# Faults that delay or cut what passes: the client still reads whole replies, no sooner than the fault allows.
PACING = [
    ("tcp", "latency", (300,), {}, 0.6),
    ("tcp", "slice", (1,), {"gap_ms": 2}, 0.0),
    ("serial", "slice", (1,), {"gap_ms": 2}, 0.0),
    ("tcp", "bandwidth", (100,), {}, 0.1),
    ("serial", "line_speed", (), {}, 0.0),
]


@pytest.mark.parametrize("channel, fault, args, kwargs, at_least", PACING,
                         ids=[f"{row[0]}-{row[1]}" for row in PACING])
def test_delayed_and_cut_replies_still_read_whole(instrument, resources, channel, fault, args, kwargs, at_least):
    client = opened(resources, instrument, channel)
    getattr(getattr(instrument, channel), fault)(*args, **kwargs)
    started = time.monotonic()
    analyze_three(client)
    assert time.monotonic() - started >= at_least
    tail = instrument.transcript.tail()[channel]
    assert any(fault in line for line in tail), tail


# line_speed carries what the instrument's port settings carry: a start bit, 8 data bits, 1 stop bit.
LINE_SPEEDS = [("9600,N,8,1", 960.0), ("19200,N,8,1", 1920.0)]


@pytest.mark.parametrize("settings, bytes_per_second", LINE_SPEEDS, ids=[row[0] for row in LINE_SPEEDS])
def test_line_speed_paces_the_line_as_the_port_is_set(instrument, settings, bytes_per_second):
    instrument.panel.set_serial_settings(settings)
    line = raw_line(instrument)
    try:
        instrument.serial.line_speed()
        os.write(line, b"ANALYZE 100\r")
        assert read_line(line) == b"OK\r"
        # From the data line's first byte: the run's first tick comes when the panel's rate says.
        assert select.select([line], [], [], REPLY_TIMEOUT_MS / 1000)[0]
        started = time.monotonic()
        data = read_line(line)
        elapsed = time.monotonic() - started
        assert len(data.split(b",")) == 100
        assert elapsed >= 0.8 * len(data) / bytes_per_second
    finally:
        os.close(line)
        instrument.panel.set_serial_settings("19200,N,8,1")


# The conversation client through the conversation socket: updates cut into pieces, late or lost.
# What the link yields after "ANALYZE 2": the reply "OK", then the data line of 2 values.
CONVERSATION = [
    ("slice", (1,), {"gap_ms": 1}, 0.0, ["OK", 2]),
    ("latency", (300,), {}, 0.6, ["OK", 2]),
    ("drop", (1,), {"match": "^UPDATE txtOutput OK$"}, 0.0, [2]),
]


@pytest.mark.parametrize("fault, args, kwargs, at_least, updates", CONVERSATION,
                         ids=[row[0] for row in CONVERSATION])
def test_the_conversation_client_through_faults(instrument, fault, args, kwargs, at_least, updates):
    with Conversation("Kestrin", "Kestrin", instrument.runtime_dir, timeout=REPLY_TIMEOUT_MS / 1000) as conversation:
        output = conversation.advise("txtOutput")
        getattr(instrument.dde, fault)(*args, **kwargs)
        started = time.monotonic()
        conversation.execute("ANALYZE 2")
        assert time.monotonic() - started >= at_least
        assert [len(update.split(",")) if isinstance(expected, int) else update
                for expected, update in zip(updates, output)] == updates


# Faults on lines toward the client: what the client reads after "ABORT" (in Idle, "OK" alone).
LINES = [
    ("tcp", "drop"), ("serial", "drop"), ("tcp", "duplicate"), ("serial", "duplicate"), ("tcp", "corrupt"),
]


@pytest.mark.parametrize("channel, fault", LINES, ids=[f"{row[0]}-{row[1]}" for row in LINES])
def test_lines_dropped_doubled_or_garbled(instrument, resources, channel, fault):
    client = opened(resources, instrument, channel)
    reply = client.query("ABORT")
    assert reply == "OK"
    faulty = getattr(instrument, channel)
    if fault == "drop":
        faulty.drop(1)
        client.timeout = SILENT_MS
        with pytest.raises(pyvisa.errors.VisaIOError):
            client.query("ABORT")
        client.timeout = REPLY_TIMEOUT_MS
        assert client.query("ABORT") == reply, "the next command is answered"
    elif fault == "duplicate":
        faulty.duplicate(1)
        assert client.query("ABORT") == reply
        assert client.read() == reply
        assert client.query("ABORT") == reply
    else:
        # Every byte flipped, the terminator too: the client counts bytes.
        faulty.corrupt(1.0, seed=7)
        client.write("ABORT")
        garbled = client.read_bytes(3)
        assert garbled != b"OK\r"
        faulty.corrupt(1.0, seed=7)
        client.write("ABORT")
        assert client.read_bytes(3) == garbled, "the same seed garbles the same way"


@pytest.mark.parametrize("channel", ["tcp", "serial"])
def test_a_stall_holds_everything_then_lets_it_pass(instrument, resources, channel):
    client = opened(resources, instrument, channel)
    getattr(instrument, channel).stall(2)
    started = time.monotonic()
    analyze_three(client)
    assert time.monotonic() - started >= 1.9


def test_a_pulled_tcp_cable_resets_the_connection_and_the_next_one_is_answered(instrument, resources):
    client = opened(resources, instrument, "tcp")
    assert client.query("ABORT") == "OK"
    instrument.tcp.disconnect()
    # PyVISA says so as its own error or hands the reset on.
    with pytest.raises((pyvisa.errors.VisaIOError, ConnectionResetError)):
        client.query("ABORT")
    client.close()
    analyze_three(opened(resources, instrument, "tcp"))


def test_a_pulled_serial_cable_hangs_up_and_the_port_opens_again(instrument, resources):
    line = os.open(instrument.serial_port, os.O_RDWR | os.O_NOCTTY)
    try:
        instrument.serial.disconnect()
        with pytest.raises(OSError):
            os.write(line, b"ABORT\r") and os.read(line, 100)
    finally:
        os.close(line)
    analyze_three(opened(resources, instrument, "serial"))


def test_nothing_said_while_no_client_has_the_serial_line_is_kept_for_the_next(instrument, resources):
    """With nobody on the kit's line the instrument sees no far end, as with no cable."""
    analyze_three(opened(resources, instrument, "tcp"))
    line = raw_line(instrument)
    try:
        os.write(line, b"ABORT\r")
        assert read_line(line) == b"OK\r"
    finally:
        os.close(line)


def test_a_pulled_conversation_ends_and_a_new_one_is_served(instrument):
    with Conversation("Kestrin", "Kestrin", instrument.runtime_dir) as conversation:
        conversation.execute("ABORT")
        instrument.dde.disconnect()
        with pytest.raises(ConversationError):
            conversation.execute("ABORT")
    with Conversation("Kestrin", "Kestrin", instrument.runtime_dir) as again:
        again.execute("ANALYZE 2")
        assert again.request("txtOutput") is not None


# Bad faults fail in one line naming what is allowed, before anything is set.
REFUSED = [
    ("tcp:latency=-1", "latency: ms must be a number from 0 to 600000, not '-1'"),
    ("tcp:lag=5", "tcp: no fault 'lag'; the faults are " + ", ".join(parameters.FAULTS)),
    ("usb:latency=5", "fault 'usb:latency=5': no channel 'usb'; the channels are tcp, serial, dde"),
    ("tcp:line_speed", "tcp: line_speed paces a serial line; set bandwidth on tcp"),
    ("serial:slice=0", "slice: max_bytes must be a whole number from 1 to 65536, not '0'"),
    ("tcp:corrupt=2", "corrupt: probability must be a number from 0 to 1, not '2'"),
    ("dde:drop=1,match=(", "drop: match must be a regular expression, not '(' "
                           "(missing ), unterminated subpattern at position 0)"),
    ("tcp:stall", "stall: give seconds"),
    ("tcp:latency=5@up", "latency: no direction 'up'; the directions are to_client, to_instrument, both"),
]


@pytest.mark.parametrize("text, says", REFUSED, ids=[row[0] for row in REFUSED])
def test_bad_faults_are_refused_in_one_line(text, says):
    with pytest.raises(ValueError) as refused:
        parameters.parse(text)
    assert str(refused.value) == says


FAILING_TEST = textwrap.dedent("""
    import socket

    def test_fails(kestrin_instrument):
        with socket.create_connection(("127.0.0.1", kestrin_instrument.tcp_port), timeout=10) as connection:
            connection.sendall(b"ABORT\\r")
            assert connection.recv(100) == b"no such reply"
""")


def test_a_failing_test_reports_its_transcript(tmp_path):
    (tmp_path / "test_client.py").write_text(FAILING_TEST)
    kept = tmp_path / "transcripts"
    run = subprocess.run([sys.executable, "-m", "pytest", "-p", "kestrin_testkit.pytest_plugin",
                          "--kestrin-private-display", "--kestrin-transcripts", str(kept), "test_client.py"],
                         cwd=tmp_path, capture_output=True, text=True, timeout=240)
    assert run.returncode == 1, run.stdout + run.stderr
    assert "kestrin transcript" in run.stdout
    assert 'to_instrument  "ABORT\\r"' in run.stdout
    whole, = kept.glob("*/tcp.txt")
    assert f"--- tcp (whole: {whole})" in run.stdout
    assert 'to_client      "OK\\r"' in whole.read_text()
