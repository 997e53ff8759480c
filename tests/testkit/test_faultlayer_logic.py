"""The fault layer's logic on one way of a connection, against a fake clock and a fake sink: the
line faults (drop, duplicate, corrupt, replace, withhold, truncate, inject) and how they wear off
(count, after, duration), the bounds on what a way holds, and the pacing (latency, slice,
bandwidth, line speed, stall). No sockets, no sleeps: the tests move the clock themselves."""

import types

import pytest

from kestrin_testkit.faultlayer import parameters, pipe as pipe_module
from kestrin_testkit.faultlayer.channels import Channel, RelayedConnection
from kestrin_testkit.faultlayer.parameters import TO_CLIENT, TO_INSTRUMENT
from kestrin_testkit.faultlayer.pipe import Pipe

# More rounds than any case here needs: a pipe that keeps asking to be called is a fault.
MOST_ROUNDS = 10_000
# A small bound, so that the cases on it stay small.
SMALL_LIMIT = 16


class Clock:
    """The time as the tests set it; the pipe reads it for the length of its writing turn."""

    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


class Sink:
    """Takes at most `most` bytes a write (None: all), noting when each write came."""

    def __init__(self, clock, most=None):
        self.clock = clock
        self.most = most
        self.writes = []
        self.ended = False

    def write(self, data):
        taken = bytes(data if self.most is None else data[:self.most])
        if taken:
            self.writes.append((round(self.clock.now, 6), taken))
        return len(taken)

    def end_output(self):
        self.ended = True

    @property
    def received(self):
        return b"".join(data for _, data in self.writes)


class Transcript:
    """Keeps what the pipe notes, and what it says a fault did to each piece."""

    def __init__(self):
        self.notes = []
        self.acted = []

    def piece(self, _source, _direction, data, acted=""):
        if acted:
            self.acted.append((bytes(data), acted))

    def note(self, _source, text):
        self.notes.append(text)


def channel_named(name, terminator=b"\r"):
    return Channel(name, types.SimpleNamespace(transcript=Transcript(), line_terminator=terminator))


def set_fault(channel, fault, *args, now=0.0, **kwargs):
    """Sets a fault as the layer does: checked, then applied to each of its directions."""
    directions, change = parameters.prepared(channel.name, fault, args, kwargs)
    for direction in directions:
        change(channel.faults[direction], now)


def feed(pipe, data, now):
    """data read from the source at now, as the layer's loop hands it over."""
    if not pipe.passed_straight(data, now):
        pipe.receive(data, now)


def run(pipe, clock, until=None):
    """Pumps the pipe, moving the clock to each time it asks for (never beyond until)."""
    for _ in range(MOST_ROUNDS):
        wake = pipe.pump(clock.now)
        if wake is None or (until is not None and wake > until):
            return
        clock.now = max(clock.now, wake)
    pytest.fail("the pipe kept asking to be called")


def piped(channel_name="tcp", direction=TO_CLIENT, most=None, terminator=b"\r"):
    clock = Clock()
    channel = channel_named(channel_name, terminator)
    sink = Sink(clock, most)
    return Pipe(channel, direction, sink, clock), channel, sink, clock


LINE_FAULTS = [
    # (channel, fault, args, kwargs, pieces read, what the client gets)
    ("tcp", "drop", (), {}, [b"A\rB\r"], b"B\r"),
    ("tcp", "drop", (2,), {}, [b"A\rB\rC\r"], b"C\r"),
    ("tcp", "drop", (), {"match": "^B"}, [b"A\rB\rB\r"], b"A\rB\r"),
    ("tcp", "drop", (), {}, [b"OK\r\nNEXT\r\n"], b"NEXT\r\n"),
    ("tcp", "duplicate", (), {}, [b"A\rB\r"], b"A\rA\rB\r"),
    ("tcp", "duplicate", (2,), {}, [b"A\r", b"B\rC\r"], b"A\rA\rB\rB\rC\r"),
    ("tcp", "replace", ("^OK$", "Error 2"), {}, [b"OK\rOK\r"], b"Error 2\rError 2\r"),
    ("tcp", "replace", ("^OK$", "Error 2"), {"count": 1}, [b"OK\rOK\r"], b"Error 2\rOK\r"),
    ("tcp", "replace", ("^OK$", "E"), {"after": 1}, [b"OK\rOK\rOK\r"], b"OK\rE\rE\r"),
    ("tcp", "replace", ("1", "X"), {}, [b"0\r1\r2\r"], b"0\rX\r2\r"),
    ("tcp", "withhold", ("^DATA",), {}, [b"DATA 1\rOK\rDATA 2\r"], b"OK\r"),
    ("tcp", "withhold", ("^DATA",), {"count": 1}, [b"DATA 1\rOK\rDATA 2\r"], b"OK\rDATA 2\r"),
    ("tcp", "truncate", (".", 2), {}, [b"ABCD\rXYZ\r"], b"AB\rXY\r"),
    # A line's start is held until its end, whatever the reads.
    ("tcp", "truncate", (".", 1), {}, [b"AB", b"CD\rE", b"F\r"], b"A\rE\r"),
    ("tcp", "withhold", ("^AB",), {}, [b"A", b"B", b"C\rD\r"], b"D\r"),
    ("serial", "replace", ("^OK$", "NO"), {}, [b"OK\n", b"OK\n"], b"NO\nNO\n"),
    # On the conversation socket the text a line carries changes, escaped as the protocol writes it.
    ("dde", "replace", ("OK$",), {"text": "two\nlines"}, [b"UPDATE txtOutput OK\n"],
     b"UPDATE txtOutput two\\nlines\n"),
    ("dde", "truncate", ("^UPDATE",), {"keep": 1}, [b"UPDATE txtOutput 12345\n"], b"UPDATE txtOutput 1\n"),
    ("dde", "truncate", ("^DATA",), {"keep": 0}, [b"DATA abc\n"], b"DATA\n"),
    ("dde", "replace", ("^ACK",), {"text": "NACK 3"}, [b"ACK\n"], b"NACK 3\n"),
]


@pytest.mark.parametrize("channel_name, fault, args, kwargs, pieces, expected", LINE_FAULTS)
def test_line_faults_change_whole_lines(channel_name, fault, args, kwargs, pieces, expected):
    pipe, channel, sink, clock = piped(channel_name)
    set_fault(channel, fault, *args, **kwargs)
    for piece in pieces:
        feed(pipe, piece, clock.now)
        run(pipe, clock)
    assert sink.received == expected


def test_a_fault_set_toward_the_instrument_leaves_the_clients_way_alone():
    pipe, channel, sink, clock = piped(direction=TO_CLIENT)
    set_fault(channel, "drop", 5, direction=TO_INSTRUMENT)
    feed(pipe, b"A\rB\r", clock.now)
    run(pipe, clock)
    assert sink.received == b"A\rB\r"


WEARING = [
    # (kwargs, (time, line) read, what the client gets): the fault set at 0 s.
    ({"duration": 1.0}, [(0.5, b"OK\r"), (0.999, b"OK\r"), (1.0, b"OK\r"), (5.0, b"OK\r")], b"E\rE\rOK\rOK\r"),
    ({"count": 2}, [(0.0, b"OK\r"), (0.0, b"OK\r"), (0.0, b"OK\r")], b"E\rE\rOK\r"),
    ({"after": 2, "count": 1}, [(0.0, b"OK\r"), (0.0, b"OK\r"), (0.0, b"OK\r"), (0.0, b"OK\r")], b"OK\rOK\rE\rOK\r"),
    # Lines the match passes over count toward after, not toward count.
    ({"after": 1, "count": 1}, [(0.0, b"x\r"), (0.0, b"x\r"), (0.0, b"OK\r"), (0.0, b"OK\r")], b"x\rx\rE\rOK\r"),
    ({"after": 1, "duration": 2.0}, [(1.0, b"OK\r"), (1.5, b"OK\r"), (2.5, b"OK\r")], b"OK\rE\rOK\r"),
]


@pytest.mark.parametrize("kwargs, lines, expected", WEARING)
def test_faults_on_the_language_wear_off(kwargs, lines, expected):
    pipe, channel, sink, clock = piped()
    set_fault(channel, "replace", "^OK$", "E", **kwargs)
    for when, line in lines:
        clock.now = when
        feed(pipe, line, when)
        run(pipe, clock)
    assert sink.received == expected


def test_a_worn_off_fault_is_no_longer_listed():
    _, channel, _, _ = piped()
    set_fault(channel, "withhold", "^A", duration=1.0)
    assert channel.faults[TO_CLIENT].described(0.5) == ["withhold(match='^A'), 0.5 s of 1 s left"]
    assert channel.faults[TO_CLIENT].described(1.0) == []


def test_corrupt_flips_one_bit_of_a_byte_the_same_way_for_the_same_seed():
    data = bytes(range(256)) * 4
    received = []
    for _ in range(2):
        pipe, channel, sink, clock = piped()
        set_fault(channel, "corrupt", 0.5, seed=7)
        feed(pipe, data, clock.now)
        run(pipe, clock)
        received.append(sink.received)
    first, again = received
    assert first == again and len(first) == len(data)
    flipped = [bin(sent ^ got).count("1") for sent, got in zip(data, first)]
    assert set(flipped) == {0, 1}
    # About half the bytes at probability 0.5.
    assert 0.4 < flipped.count(1) / len(data) < 0.6


class Connection:
    """A relayed connection between two fake sinks, as the channel sees it."""

    def __init__(self, terminator=b"\r"):
        self.clock = Clock()
        self.channel = channel_named("tcp", terminator)
        self.client = Sink(self.clock)
        self.instrument = Sink(self.clock)
        self.link = RelayedConnection(self.channel, self.client, self.instrument, "tcp#1")
        for pipe in (self.link.to_client, self.link.to_instrument):
            pipe.clock = self.clock
        self.channel.links.append(self.link)

    def at(self, when):
        """The layer's round at when: what is due to every client, then the writes."""
        self.clock.now = when
        self.channel.inject_due(when)
        run(self.link.to_client, self.clock, until=when)
        run(self.link.to_instrument, self.clock, until=when)


INJECTIONS = [
    # (kwargs, rounds: (time, instrument's bytes, client's bytes), what the client gets)
    ({}, [(0.0, b"", b""), (1.0, b"", b""), (2.0, b"", b"")], b"HI\r"),
    ({"every": 1.0, "count": 2}, [(0.0, b"", b""), (1.0, b"", b""), (2.0, b"", b""), (3.0, b"", b"")],
     b"HI\rHI\r"),
    ({"every": 1.0}, [(0.0, b"", b""), (0.5, b"", b""), (1.0, b"", b""), (2.0, b"", b"")], b"HI\rHI\rHI\r"),
    # An unasked line never splits one of the instrument's.
    ({}, [(0.0, b"OK\rpar", b""), (0.5, b"tial\r", b"")], b"OK\rpartial\rHI\r"),
    # after: it waits for that many of the client's commands.
    ({"after": 2}, [(0.0, b"", b"*IDN?\r"), (1.0, b"", b""), (2.0, b"", b"ANALYZE 3\r"), (3.0, b"", b"")],
     b"HI\r"),
    ({"every": 1.0, "duration": 1.5}, [(0.0, b"", b""), (1.0, b"", b""), (2.0, b"", b""), (3.0, b"", b"")],
     b"HI\rHI\r"),
]


@pytest.mark.parametrize("kwargs, rounds, expected", INJECTIONS)
def test_inject_sends_unasked_lines_between_the_instruments(kwargs, rounds, expected):
    connection = Connection()
    said_before_fault, *rest = rounds
    when, said, asked = said_before_fault
    # What the instrument said before the fault was set passes as it came.
    feed(connection.link.to_client, said, when)
    set_fault(connection.channel, "inject", "HI", now=when, **kwargs)
    if asked:
        feed(connection.link.to_instrument, asked, when)
    connection.at(when)
    for when, said, asked in rest:
        if said:
            feed(connection.link.to_client, said, when)
        if asked:
            feed(connection.link.to_instrument, asked, when)
        connection.at(when)
    assert connection.client.received == expected


def test_inject_after_waits_for_the_commands_before_it_sends():
    connection = Connection()
    set_fault(connection.channel, "inject", "HI", after=1)
    connection.at(0.0)
    connection.at(5.0)
    assert connection.client.received == b""
    feed(connection.link.to_instrument, b"*IDN?\r", 6.0)
    connection.at(6.0)
    assert connection.client.received == b"HI\r"
    assert connection.instrument.received == b"*IDN?\r"


def test_inject_on_the_conversation_socket_is_an_update_of_the_output_item():
    channel = channel_named("dde")
    assert channel.framed("a\\b\nc") == b"UPDATE txtOutput a\\\\b\\nc\n"


@pytest.fixture
def small_limit(monkeypatch):
    monkeypatch.setattr(pipe_module, "HELD_LIMIT", SMALL_LIMIT)


def test_a_full_way_reads_no_more_until_the_reader_takes_some(small_limit):
    pipe, _, sink, clock = piped(most=0)
    feed(pipe, b"x" * (SMALL_LIMIT - 1), clock.now)
    assert pipe.accepts(clock.now)
    feed(pipe, b"yy", clock.now)
    assert not pipe.accepts(clock.now)
    sink.most = None
    run(pipe, clock)
    assert pipe.accepts(clock.now)
    assert sink.received == b"x" * (SMALL_LIMIT - 1) + b"yy"


@pytest.mark.parametrize("rest, received", [(b"\r", b"x" * SMALL_LIMIT + b"\r"), (b"yy\rnext\r", b"x" * SMALL_LIMIT + b"\rnext\r")],
                         ids=["then its end", "then more"])
def test_a_line_that_fills_the_limit_exactly_is_read_on_until_it_ends_or_is_cut(small_limit, rest, received):
    # A read that fills the line begun to the byte neither ends it nor cuts it: only the next
    # bytes can, so they must still be read.
    pipe, channel, sink, clock = piped()
    set_fault(channel, "drop", match="^nothing")
    feed(pipe, b"x" * SMALL_LIMIT, clock.now)
    assert pipe.accepts(clock.now)
    feed(pipe, rest, clock.now)
    run(pipe, clock)
    assert sink.received == received


def test_under_a_stall_what_comes_beyond_the_bound_is_dropped_and_noted(small_limit):
    pipe, channel, sink, clock = piped()
    set_fault(channel, "stall", 10)
    feed(pipe, b"a" * 10, 1.0)
    assert pipe.accepts(1.0)
    feed(pipe, b"b" * 10, 2.0)
    feed(pipe, b"c" * 3, 3.0)
    run(pipe, clock)
    assert sink.received == b"a" * 10 + b"b" * 6
    assert {when for when, _ in sink.writes} == {10.0}
    assert channel.transcript.notes[1:] == [f"{TO_CLIENT}: dropped 4 bytes: held bytes full",
                                            f"{TO_CLIENT}: dropped 3 bytes: held bytes full"]
    assert "more than 16 bytes held" in channel.transcript.notes[0]


def test_a_line_longer_than_the_bound_is_cut_there_and_the_next_passes_whole(small_limit):
    pipe, channel, sink, clock = piped()
    set_fault(channel, "duplicate", 1)
    feed(pipe, b"L" * 10, clock.now)
    feed(pipe, b"L" * 10, clock.now)
    feed(pipe, b"L" * 10 + b"\rnext\r", clock.now)
    run(pipe, clock)
    cut = b"L" * SMALL_LIMIT + b"\r"
    assert sink.received == cut + cut + b"next\r"
    assert len([note for note in channel.transcript.notes if "cut there" in note]) == 1


def test_an_unasked_line_beyond_the_bound_is_left_out_and_noted(small_limit):
    connection = Connection()
    connection.client.most = 0
    feed(connection.link.to_client, b"z" * 12 + b"\r", 0.0)
    set_fault(connection.channel, "inject", "TOO LONG", every=1.0)
    connection.at(0.0)
    assert connection.link.to_client.held_bytes == 13
    assert any("inject: more than 16 bytes held; this line is left out" in note
               for note in connection.channel.transcript.notes)


PACING = [
    # (channel, fault, args, kwargs, bytes read at 0 s, the writes: (time, bytes))
    ("tcp", "latency", (100,), {}, b"ABC", [(0.1, b"ABC")]),
    ("tcp", "slice", (2,), {"gap_ms": 10}, b"ABCDE", [(0.0, b"AB"), (0.01, b"CD"), (0.02, b"E")]),
    ("tcp", "slice", (2,), {}, b"ABCDE", [(0.0, b"AB"), (0.0, b"CD"), (0.0, b"E")]),
    ("tcp", "bandwidth", (100,), {}, b"ABC", [(0.0, b"A"), (0.01, b"B"), (0.02, b"C")]),
    ("tcp", "bandwidth", (1000,), {}, b"x" * 25, [(0.0, b"x" * 10), (0.01, b"x" * 10), (0.02, b"x" * 5)]),
    ("tcp", "stall", (1.5,), {}, b"ABC", [(1.5, b"ABC")]),
    # line_speed paces as the line's settings carry it (here a line of 100 bytes a second).
    ("serial", "line_speed", (), {}, b"ABC", [(0.0, b"A"), (0.01, b"B"), (0.02, b"C")]),
]


@pytest.mark.parametrize("channel_name, fault, args, kwargs, data, writes", PACING)
def test_pacing(channel_name, fault, args, kwargs, data, writes):
    pipe, channel, sink, clock = piped(channel_name)
    channel.line_rate = lambda _now: 100.0
    set_fault(channel, fault, *args, **kwargs)
    feed(pipe, data, clock.now)
    run(pipe, clock)
    assert sink.writes == writes


def test_bandwidth_holds_its_rate_over_many_reads():
    pipe, channel, sink, clock = piped()
    set_fault(channel, "bandwidth", 2000)
    for second_tenth in range(10):
        clock.now = second_tenth / 10
        feed(pipe, b"x" * 200, clock.now)
        run(pipe, clock, until=clock.now + 0.1)
    run(pipe, clock)
    assert len(sink.received) == 2000
    # 2000 bytes at 2000 bytes a second: the last piece leaves within one pacing step of 1 s.
    assert 0.98 <= sink.writes[-1][0] <= 1.0


def test_latency_with_jitter_keeps_the_order_and_its_bounds():
    pipe, channel, sink, clock = piped()
    set_fault(channel, "latency", 50, jitter_ms=40)
    for index in range(20):
        feed(pipe, bytes([65 + index]), index / 1000)
    run(pipe, clock)
    assert sink.received == bytes(range(65, 85))
    times = [when for when, _ in sink.writes]
    assert times == sorted(times)
    assert 0.01 <= times[0] and times[-1] <= 0.019 + 0.09


def test_latency_goes_on_acting_on_what_comes_later():
    pipe, channel, sink, clock = piped()
    set_fault(channel, "latency", 100)
    feed(pipe, b"A", 0.0)
    run(pipe, clock, until=0.05)
    assert sink.writes == []
    clock.now = 0.05
    feed(pipe, b"B", 0.05)
    run(pipe, clock)
    assert sink.writes == [(0.1, b"A"), (0.15, b"B")]


def test_a_slow_reader_gets_everything_in_order_and_then_the_end():
    pipe, _, sink, clock = piped(most=3)
    feed(pipe, b"0123456789", clock.now)
    pipe.source_ended = True
    for _ in range(5):
        run(pipe, clock)
    assert sink.received == b"0123456789"
    assert [len(data) for _, data in sink.writes] == [3, 3, 3, 1]
    assert sink.ended


def test_the_transcript_says_what_each_fault_did():
    pipe, channel, sink, clock = piped()
    set_fault(channel, "duplicate", 1)
    set_fault(channel, "latency", 20)
    set_fault(channel, "withhold", "^SECRET")
    feed(pipe, b"A\rSECRET\r", clock.now)
    run(pipe, clock)
    assert sink.received == b"A\rA\r"
    assert channel.transcript.acted == [(b"SECRET\r", "withheld by withhold"), (b"A\r", "duplicate, latency 20 ms"),
                                        (b"A\r", "duplicate, latency 20 ms")]
