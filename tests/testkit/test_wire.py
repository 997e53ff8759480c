"""One table of commands and the replies a peer receives, byte for byte, over TCP, the serial line
and a conversation, run against both faces of the instrument: kestrin's window and kestrin-headless
must send the same. Run with kestrin and kestrin-headless on PATH and testkit/ on PYTHONPATH."""

import os
import re
import socket

import pytest
import serial

from kestrin_testkit import Conversation, Instrument, contract
from kestrin_testkit.conversation import NackError

REPLY_TIMEOUT = 10.0
THREE_VALUES = r"\d+\.\d{1,5},\d+\.\d{1,5},\d+\.\d{1,5}"

# (what is sent, the lines that come back as a pattern); the instrument is Idle before each.
COMMANDS = {
    "accepted in Idle": (b"PAUSE", ["OK"]),
    "not accepted in Idle": (b"RESUME", ["Error 2: Illegal Command - RESUME"]),
    "count beyond 32767": (b"ANALYZE 40000", ["Error 2: Illegal Command - ANALYZE"]),
    "one byte per character": (b"\xe9t\xe9", ["Error 2: Illegal Command - \xc9T\xc9"]),
    "a run of one line": (b"ANALYZE 3", ["OK", THREE_VALUES]),
}


@pytest.fixture(scope="module", params=[False, True], ids=["headless", "window"])
def instrument(request):
    with Instrument(window=request.param) as started:
        yield started


def lines_from(receive, count: int) -> list:
    received = b""
    while received.count(b"\r") < count:
        chunk = receive()
        assert chunk, f"the channel ended after {received!r}"
        received += chunk
    return received.decode("latin-1").split("\r")[:count]


def over_tcp(instrument, command: bytes, count: int) -> list:
    with socket.create_connection(("127.0.0.1", instrument.tcp_port), timeout=REPLY_TIMEOUT) as connection:
        connection.sendall(command + b"\r")
        return lines_from(lambda: connection.recv(4096), count)


def over_serial(instrument, command: bytes, count: int) -> list:
    with serial.Serial(instrument.serial_port, 19200, timeout=REPLY_TIMEOUT) as line:
        line.write(command + b"\r")
        return lines_from(lambda: line.read(1), count)


def over_conversation(instrument, command: bytes, count: int) -> list:
    """The replies and data lines as txtOutput's updates; an execute that fails says NACK."""
    with Conversation(contract.APPLICATION, contract.TOPIC, instrument.runtime_dir, timeout=REPLY_TIMEOUT) as peer:
        link = peer.advise(contract.OUTPUT_ITEM)
        try:
            peer.execute(command.decode("latin-1"))
        except NackError:
            pass  # the reply is on txtOutput all the same
        return [next(link) for _ in range(count)]


@pytest.mark.parametrize("channel", [over_tcp, over_serial, over_conversation], ids=["tcp", "serial", "dde"])
@pytest.mark.parametrize("command,expected", COMMANDS.values(), ids=COMMANDS.keys())
def test_both_faces_send_the_same(instrument, channel, command, expected):
    instrument.reset()
    received = channel(instrument, command, len(expected))
    assert len(received) == len(expected)
    for line, pattern in zip(received, expected):
        assert re.fullmatch(pattern, line), f"{line!r} is not {pattern!r}"
