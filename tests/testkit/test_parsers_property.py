"""Properties of the kit's parsers of outside bytes, on random inputs from fixed seeds: the relay's
line splitting under drop and duplicate, the transcript's text of a piece, the conversation
client's reading of a source's lines, and fault texts. Needs no instrument."""

import os
import queue
import random
import re
import socket
import threading

import pytest

from kestrin_testkit.conversation import Conversation, ConversationError, escape, unescape
from kestrin_testkit.faultlayer import parameters
from kestrin_testkit.faultlayer import pipe as pipe_module
from kestrin_testkit.faultlayer.parameters import TO_CLIENT, TO_INSTRUMENT, DirectionFaults
from kestrin_testkit.transcript import ESCAPES, escaped

SEED = 1729
CASES = 300
LINE_END = re.compile(rb"\r\n|\r|\n")
# Bytes that make lines, and some that do not.
LINE_BYTES = b"ab\r\r\n\n\x00\xff"
SHORT_TIMEOUT = 0.05


class Channel:
    """What a pipe needs of its channel and transcript; keeps the notes."""

    name = "tcp"
    line_end = b"\r"

    def __init__(self, direction_faults):
        self.faults = {TO_INSTRUMENT: direction_faults, TO_CLIENT: DirectionFaults()}
        self.transcript = self
        self.notes = []

    def note(self, text):
        self.notes.append(text)

    def piece(self, *_piece):
        pass


def random_bytes(rng, alphabet, most):
    return bytes(rng.choice(alphabet) for _ in range(rng.randrange(most)))


def fed(data, rng, direction_faults):
    """The pipe after data came in random pieces, and the largest line start it held meanwhile."""
    channel = Channel(direction_faults)
    pipe = pipe_module.Pipe(channel, TO_INSTRUMENT, sink=None)
    start = 0
    held = 0
    while start < len(data):
        end = start + rng.randrange(1, 9)
        pipe.receive(data[start:end], 0.0)
        held = max(held, len(pipe.partial))
        start = end
    return pipe, channel, held


@pytest.mark.parametrize("limit", [3, pipe_module.HELD_LIMIT])
def test_duplicated_lines_are_whole_and_cut_at_the_limit(monkeypatch, limit):
    monkeypatch.setattr(pipe_module, "HELD_LIMIT", limit)
    rng = random.Random(SEED)
    for _ in range(CASES):
        data = random_bytes(rng, LINE_BYTES, 40)
        pipe, channel, held = fed(data, rng, DirectionFaults(duplicate_count=parameters.MAX_COUNT))
        pieces = [(piece, acted) for _, piece, acted in pipe.held]
        # Each line once (duplicates come in pairs), then the start of the line not ended.
        once = [piece for index, (piece, acted) in enumerate(pieces)
                if acted != "duplicate" or pieces[:index].count((piece, acted)) % 2 == 0]
        bodies = LINE_END.split(data)
        ends = [found.group() for found in LINE_END.finditer(data)] + [b""]
        expected = b"".join(body[:limit] + end for body, end in zip(bodies, ends))
        assert b"".join(once) + pipe.partial == expected, data
        assert all(piece[-1:] in (b"\r", b"\n") for piece, acted in pieces if acted), data
        assert held <= limit
        assert len(channel.notes) == sum(len(body) > limit for body in bodies), data
        assert pipe.held_bytes == sum(len(piece) for piece, _ in pieces)


def test_dropped_lines_leave_nothing_but_split_line_ends():
    rng = random.Random(SEED)
    for _ in range(CASES):
        data = random_bytes(rng, LINE_BYTES, 40)
        pipe, _, _ = fed(data, rng, DirectionFaults(drop_count=parameters.MAX_COUNT))
        assert set(b"".join(piece for _, piece, _ in pipe.held)) <= {ord("\n")}, data
        assert pipe.partial == LINE_END.split(data)[-1], data


def unescaped(text):
    """What escaped() was given, read back."""
    plain = {value: chr(code) for code, value in ESCAPES.items()}
    return re.sub(r"\\x[0-9a-f]{2}|\\.", lambda found: plain[found.group()], text).encode("latin-1")


def test_a_piece_as_text_reads_back_and_can_be_written_in_slices():
    rng = random.Random(SEED)
    for _ in range(CASES):
        data = random_bytes(rng, [*range(256), *b"ab\r\n\\\"\t" * 20], 60)
        text = escaped(data)
        assert unescaped(text) == data
        assert not [character for character in text if ord(character) < 0x20 or 0x7f <= ord(character) < 0xa0]
        assert '"' not in re.sub(r"\\.", "", text), "a quote in the text ends it"
        cut = rng.randrange(len(data) + 1)
        assert escaped(data[:cut]) + escaped(data[cut:]) == text


def test_a_text_escaped_for_a_line_reads_back_and_bad_escapes_are_refused():
    rng = random.Random(SEED)
    characters = "ab\\\n\r\0\t\x1b\x7fé€\U0001F600x0F"
    for _ in range(CASES):
        text = "".join(rng.choice(characters) for _ in range(rng.randrange(30)))
        line = escape(text)
        assert unescape(line) == text
        assert not set(line) & {"\n", "\r", "\0"}
        try:
            unescape(text)
        except ValueError:
            pass  # the refusal a bad escape gets


class Source:
    """A source that answers INITIATE with ACK and any other call with the next reply given."""

    def __init__(self, runtime):
        os.makedirs(os.path.join(runtime, "dde"), mode=0o700)
        self.listener = socket.socket(socket.AF_UNIX)
        self.listener.bind(os.path.join(runtime, "dde", "random"))
        self.listener.listen()
        self.replies = queue.Queue()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return  # closed
            with connection, connection.makefile("rb") as lines:
                for line in lines:
                    if line.startswith(b"TERMINATE"):
                        break
                    try:
                        connection.sendall(b"ACK\n" if line.startswith(b"INITIATE") else self.replies.get())
                    except OSError:
                        break  # the client gave up on what it read

    def close(self):
        self.listener.shutdown(socket.SHUT_RDWR)
        self.listener.close()
        self.thread.join()


WORDS = [b"ACK", b"NACK refused", b"DATA", b"UPDATE item", b"TOOLONG item", b"TERMINATE", b"BUSY", b"ERROR x", b""]


def test_whatever_a_source_says_a_call_returns_or_fails_as_a_conversation_error(tmp_path):
    runtime = str(tmp_path)
    os.chmod(runtime, 0o700)
    source = Source(runtime)
    rng = random.Random(SEED)
    try:
        for case in range(CASES):
            text = "".join(rng.choice("ab \\\n\0é") for _ in range(rng.randrange(8)))
            if case % 2:
                lines = [rng.choice(WORDS) + b" " + random_bytes(rng, b"ab\\x0Fn\0\r \xc3\xa9\xff", 12)
                         for _ in range(rng.randrange(1, 4))]
                reply = b"\n".join(lines) + b"\nDATA " + escape(text).encode() + b"\n"
            else:
                reply = b"DATA " + escape(text).encode() + b"\n"
            source.replies.put(reply)
            with Conversation("Random", "Random", runtime, timeout=SHORT_TIMEOUT) as conversation:
                try:
                    answer = conversation.request("item")
                except ConversationError:
                    assert case % 2, reply
                    continue
                assert case % 2 or answer == text, reply
    finally:
        source.close()


FRAGMENTS = ["tcp", "serial", "dde", "usb", ":", "=", ",", "@", "to_client", "both", "latency", "slice", "drop",
             "corrupt", "stall", "line_speed", "clear", "match=", "(", "1", "-1", "0.5", "nan", "1e9", "9" * 30, "x",
             "replace", "withhold", "inject", "truncate", "text=", "keep=", "every=", "count=", "after=", "duration=",
             "\\,", "\u20ac"]


def test_fault_texts_are_taken_or_refused_in_one_line():
    rng = random.Random(SEED)
    for _ in range(CASES * 10):
        text = "".join(rng.choice(FRAGMENTS) for _ in range(rng.randrange(1, 8)))
        try:
            channel, fault, args, kwargs = parameters.parse(text)
        except ValueError as refused:
            assert "\n" not in str(refused)
            continue
        # What is taken can be set.
        directions, change = parameters.prepared(channel, fault, args, kwargs)
        for _ in directions:
            change(DirectionFaults(), 0.0)
