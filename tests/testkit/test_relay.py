"""The fault layer's bounds, between stand-ins for the instrument's ends (a TCP port that takes
what comes, a conversation socket that echoes it): a line without end under drop and duplicate, a
flood with a transcript folder, one channel's slow fault beside another channel's traffic. Needs
no instrument."""

import select
import socket
import threading
import time
import tracemalloc

import pytest

from kestrin_testkit.faultlayer.layer import FaultLayer
from kestrin_testkit.faultlayer.pipe import HELD_LIMIT
from kestrin_testkit.transcript import Transcript, escaped

BLOCK = 65536
READ_SIZE = 1024 * 1024
ENDLESS_LINE = 64 * 1024 * 1024
# At least 10 MB/s through drop or duplicate.
ENDLESS_LINE_SECONDS = 6.4
# What the layer holds each way and what its transcript holds, and room to spare; a layer that
# keeps what passes, or half a second of a flood, holds hundreds of megabytes.
MEMORY_LIMIT = 32 * 1024 * 1024
FLOOD_SECONDS = 1.0
SLICED_LINE = 1024 * 1024
WATCH_SECONDS = 2.0
ROUND_TRIP_LIMIT = 0.5
WAIT_TIMEOUT = 30.0


class Sink:
    """The instrument's TCP port: takes what comes, keeping it if asked."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.keep = False
        self.received = bytearray()
        self.count = 0
        self.changed = threading.Condition()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        try:
            connection, _ = self.listener.accept()
        except OSError:
            return  # closed with no client
        with connection:
            while chunk := connection.recv(READ_SIZE):
                with self.changed:
                    self.count += len(chunk)
                    if self.keep:
                        self.received += chunk
                    self.changed.notify_all()

    def wait_for(self, count):
        with self.changed:
            assert self.changed.wait_for(lambda: self.count >= count, WAIT_TIMEOUT), \
                f"{self.count} of {count} bytes came within {WAIT_TIMEOUT} s"

    def close(self):
        self.listener.shutdown(socket.SHUT_RDWR)
        self.listener.close()
        self.thread.join()


class Echo:
    """The instrument's conversation socket: says back what it is told."""

    def __init__(self, path):
        self.path = str(path)
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(self.path)
        self.listener.listen()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        try:
            connection, _ = self.listener.accept()
        except OSError:
            return
        with connection:
            while chunk := connection.recv(READ_SIZE):
                connection.sendall(chunk)

    def close(self):
        self.listener.shutdown(socket.SHUT_RDWR)
        self.listener.close()
        self.thread.join()


@pytest.fixture
def stand_ins(tmp_path):
    """Makes a layer, its transcript (in the folder given, or in memory) and the TCP stand-in."""
    made = []

    def make(transcript_dir=None):
        sink = Sink()
        echo = Echo(tmp_path / "echo")
        transcript = Transcript(transcript_dir, ["tcp", "dde"])
        layer = FaultLayer(str(tmp_path / "layer"), transcript, tcp_port=sink.port, dde_socket=echo.path)
        made.append((layer, transcript, sink, echo))
        return layer, transcript, sink
    yield make
    for layer, transcript, sink, echo in made:
        layer.close()
        transcript.close()
        sink.close()
        echo.close()


class MemoryWatch:
    """The most Python memory this process held beyond what it held at the start."""

    def __enter__(self):
        tracemalloc.start()
        self.start = tracemalloc.get_traced_memory()[0]
        return self

    def __exit__(self, *_failure):
        self.peak = tracemalloc.get_traced_memory()[1] - self.start
        tracemalloc.stop()


# What reaches the instrument of a line without end once it ends, and of the line after it.
ENDLESS = [
    ("drop", b"next\r"),
    ("duplicate", (b"x" * HELD_LIMIT + b"\r") * 2 + b"next\r"),
]


@pytest.mark.parametrize("fault, passed", ENDLESS, ids=[row[0] for row in ENDLESS])
def test_a_line_without_end_is_cut_at_the_limit_in_linear_time(stand_ins, fault, passed):
    layer, transcript, sink = stand_ins()
    sink.keep = True
    layer.set("tcp", fault, (1,), {"direction": "to_instrument"})
    block = b"x" * BLOCK
    with socket.create_connection(("127.0.0.1", layer.tcp_port), timeout=WAIT_TIMEOUT) as client:
        with MemoryWatch() as memory:
            started = time.monotonic()
            for sent in range(BLOCK, ENDLESS_LINE + 1, BLOCK):
                client.sendall(block)
                assert time.monotonic() - started < ENDLESS_LINE_SECONDS, f"{sent} bytes of the line passed"
            took = time.monotonic() - started
        client.sendall(b"\rnext\r")
        sink.wait_for(len(passed))
    print(f"{fault}: {ENDLESS_LINE / took / 1e6:.0f} MB/s, memory +{memory.peak / 1e6:.1f} MB")
    assert memory.peak < MEMORY_LIMIT
    assert sink.received == passed
    cut = [line for line in transcript.tail()["tcp"] if "cut there" in line]
    assert len(cut) == 1, transcript.tail()["tcp"]


def test_a_flood_is_transcribed_whole_in_bounded_memory(stand_ins, tmp_path):
    layer, transcript, sink = stand_ins(tmp_path / "transcript")
    # Every byte value: most are escaped, the costliest text to write.
    block = bytes(range(256)) * (BLOCK // 256)
    sent = 0
    with socket.create_connection(("127.0.0.1", layer.tcp_port), timeout=WAIT_TIMEOUT) as client:
        with MemoryWatch() as memory:
            started = time.monotonic()
            while time.monotonic() - started < FLOOD_SECONDS:
                client.sendall(block)
                sent += BLOCK
            sink.wait_for(sent)
    print(f"flood: {sent / FLOOD_SECONDS / 1e6:.0f} MB/s, memory +{memory.peak / 1e6:.1f} MB")
    assert memory.peak < MEMORY_LIMIT
    # The relaying thread notes a piece once written: it has noted all once it has ended.
    layer.close()
    transcript.close()
    written = (tmp_path / "transcript" / "tcp.txt").read_text().splitlines()
    # Between the quotes of each piece: all that passed, however it was cut into pieces.
    text = sum(len(line.partition("to_instrument  ")[2][1:-1]) for line in written if "to_instrument" in line)
    assert text == sent // BLOCK * len(escaped(block))


def round_trip(connection):
    """Seconds until the echo of a line came back; fails beyond WAIT_TIMEOUT."""
    started = time.monotonic()
    connection.sendall(b"ping\r")
    echoed = b""
    while echoed != b"ping\r":
        assert select.select([connection], [], [], WAIT_TIMEOUT)[0], "no echo"
        echoed += connection.recv(BLOCK)
    return time.monotonic() - started


def test_a_slow_fault_on_one_channel_holds_no_other_up(stand_ins):
    layer, _transcript, sink = stand_ins()
    layer.set("tcp", "slice", (1,), {"direction": "to_instrument"})
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as conversation, \
            socket.create_connection(("127.0.0.1", layer.tcp_port), timeout=WAIT_TIMEOUT) as client:
        conversation.connect(layer.dde_socket)
        round_trip(conversation)
        client.sendall(b"y" * SLICED_LINE + b"\r")
        watched = time.monotonic()
        worst = 0.0
        while time.monotonic() - watched < WATCH_SECONDS:
            worst = max(worst, round_trip(conversation))
        assert sink.count < SLICED_LINE, "the sliced line was still passing while the conversation was watched"
    print(f"the conversation's slowest round trip beside slice(1): {worst * 1000:.0f} ms")
    assert worst < ROUND_TRIP_LIMIT
