"""The conversation client against the demonstration source, the instrument and a scripted source
that misbehaves. Run with the programs on PATH and testkit/ on PYTHONPATH."""

import os
import shutil
import socket
import subprocess
import threading
import time

import pytest

from kestrin_testkit import Instrument
from kestrin_testkit.conversation import (
    BusyError, Conversation, ConversationTimeoutError, LineTooLongError, NackError, ProtocolError,
    SourceNotRunningError, TerminatedError, UnsafeDirectoryError)

READY_TIMEOUT = 20.0
SHORT_TIMEOUT = 0.3
ROOM = 128


def wait_until(condition, what, timeout=READY_TIMEOUT):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"{what} did not happen within {timeout} s"
        time.sleep(0.02)


def answers(path):
    with socket.socket(socket.AF_UNIX) as probe:
        return probe.connect_ex(path) == 0


@pytest.fixture
def runtime(tmp_path):
    folder = tmp_path / "runtime"
    folder.mkdir(mode=0o700)
    return str(folder)


@pytest.fixture
def demo_source(runtime):
    """The demonstration source, serving in a runtime folder of its own."""
    program = shutil.which("ddesource")
    assert program, "ddesource is not on PATH"
    source = subprocess.Popen([program], env=dict(os.environ, XDG_RUNTIME_DIR=runtime, QT_QPA_PLATFORM="offscreen"),
                              stdout=subprocess.DEVNULL)
    wait_until(lambda: answers(os.path.join(runtime, "dde", "source")), "the demonstration source serving")
    yield source
    source.terminate()
    source.wait()


@pytest.fixture
def demo(demo_source, runtime):
    with Conversation("Source", "DDESource", runtime) as conversation:
        yield conversation


@pytest.mark.parametrize("text", [
    "150", "", "  spaces around ", "two\nlines\r\nwith a \\ backslash\\n", "ends in CR\r", "\ttab", "\0nul and \x01\x1f control",
    "Grüße, ∑ and 𝄞",
])
def test_a_poked_text_comes_back_unchanged_as_update_and_request(demo, text):
    link = demo.advise("txtData")
    assert link.current == "0"
    demo.poke("txtData", text)
    assert next(link) == text
    assert demo.request("TXTDATA") == text


def test_execute_reset_updates_even_an_equal_value_and_unadvise_ends_the_updates(demo):
    link = demo.advise("TxtData")
    demo.execute(" reset\t")
    demo.execute("RESET")
    assert [next(link), next(link)] == ["0", "0"]
    demo.unadvise("txtdata")
    demo.poke("txtData", "7")
    assert list(link) == []


@pytest.mark.parametrize("call, reply", [
    (lambda c: c.execute("RESET 5"), "NACK refused"),
    (lambda c: c.execute(""), "NACK refused"),
    (lambda c: c.request("txtNothing"), "NACK no such item"),
    (lambda c: c.poke("txtNothing", "1"), "NACK no such item"),
    (lambda c: c.unadvise("txtData"), "NACK not advised"),
    (lambda c: c.poke("txtData", "x" * (1048576 - len("UPDATE txtData ")) + "y"), "NACK too long"),
])
def test_refusals_carry_the_reason_and_keep_the_conversation(demo, call, reply):
    with pytest.raises(NackError) as refusal:
        call(demo)
    assert refusal.value.reply == reply and refusal.value.reason == reply[len("NACK "):]
    assert "\n" not in str(refusal.value) and reply in str(refusal.value)
    assert demo.request("txtData") == "0"


def test_a_line_over_the_limit_is_not_sent(demo):
    with pytest.raises(LineTooLongError):
        demo.execute("x" * 1048576)
    assert demo.request("txtData") == "0"


def test_opening_fails_with_what_went_wrong(demo_source, runtime, tmp_path):
    with pytest.raises(NackError, match="unknown topic"):
        Conversation("Source", "Other", runtime).open()
    with pytest.raises(SourceNotRunningError, match="no Nobody is running"):
        Conversation("Nobody", "Nobody", runtime).open()
    shared = tmp_path / "shared"
    (shared / "dde").mkdir(parents=True, mode=0o755)
    os.chmod(shared / "dde", 0o755)
    with pytest.raises(UnsafeDirectoryError, match="mode 0755"):
        Conversation("Source", "DDESource", str(shared)).open()


def test_the_connection_past_the_sources_room_is_told_busy(demo_source, runtime):
    path = os.path.join(runtime, "dde", "source")
    held = []
    try:
        for _ in range(ROOM):
            connection = socket.socket(socket.AF_UNIX)
            connection.connect(path)
            held.append(connection)
        with pytest.raises(BusyError) as busy:
            Conversation("Source", "DDESource", runtime).open()
        assert busy.value.reply == "BUSY"
    finally:
        for connection in held:
            connection.close()


def test_the_sources_end_terminates_a_waiting_link(demo, demo_source):
    link = demo.advise("txtData")
    demo_source.terminate()
    with pytest.raises(TerminatedError) as ended:
        next(link)
    assert ended.value.reply == "TERMINATE"
    with pytest.raises(TerminatedError, match="TERMINATE"):
        demo.request("txtData")


class ScriptedSource:
    """A source that answers each received line with the lines the script gives for it, after a
    delay: script(line) -> (seconds, [lines])."""

    def __init__(self, runtime, script):
        directory = os.path.join(runtime, "dde")
        os.makedirs(directory, mode=0o700, exist_ok=True)
        self.server = socket.socket(socket.AF_UNIX)
        self.server.bind(os.path.join(directory, "scripted"))
        self.server.listen()
        self.script = script
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        connection, _ = self.server.accept()
        with connection, connection.makefile("rb") as lines:
            for line in lines:
                seconds, replies = self.script(line.rstrip(b"\n").decode())
                time.sleep(seconds)
                try:
                    connection.sendall(b"".join(reply.encode() + b"\n" for reply in replies))
                except BrokenPipeError:
                    return  # the client has given up on the conversation

    def close(self):
        self.server.close()


@pytest.fixture
def scripted(runtime):
    sources = []

    def start(script):
        sources.append(ScriptedSource(runtime, script))
        return Conversation("Scripted", "Scripted", runtime, timeout=SHORT_TIMEOUT)
    yield start
    for source in sources:
        source.close()


def test_a_late_reply_is_skipped_and_the_link_kept(scripted):
    replies = {"INITIATE Scripted": (0, ["ACK"]), "REQUEST slow": (2 * SHORT_TIMEOUT, ["DATA late"]),
               "REQUEST quick": (0, ["DATA quick"])}
    with scripted(lambda line: replies.get(line, (0, []))) as conversation:
        with pytest.raises(ConversationTimeoutError, match="REQUEST 'slow': no reply within 0.3 s"):
            conversation.request("slow")
        conversation.timeout = READY_TIMEOUT
        assert conversation.request("quick") == "quick"


@pytest.mark.parametrize("replies", [["HELLO"], ["DATA bad \\q escape"], ["DATA a raw \0 NUL"], ["DATA 1", "ACK"]])
def test_a_line_the_client_cannot_place_ends_the_conversation(scripted, replies):
    with scripted(lambda line: (0, ["ACK"] if line.startswith("INITIATE") else replies)) as conversation:
        with pytest.raises(ProtocolError, match="cannot place"):
            next(conversation.advise("item"))
        with pytest.raises(TerminatedError):
            conversation.request("item")


@pytest.fixture(scope="module", params=[False, True], ids=["headless", "window"])
def instrument(request):
    with Instrument(window=request.param) as instrument:
        yield instrument


@pytest.fixture
def kestrin(instrument):
    with Conversation("Kestrin", "Kestrin", instrument.runtime_dir) as conversation:
        yield conversation


def test_a_finite_run_updates_the_output_then_the_input_reads_abort(kestrin):
    output = kestrin.advise("txtOutput")
    kestrin.execute("ANALYZE 1")
    reply, data, end = next(output), next(output), next(output)
    assert (reply, end) == ("OK", "OK")
    assert len(data.split(",")) == 1
    # The instrument stops a finite run by carrying out ABORT itself.
    assert kestrin.request("txtInput") == "ABORT"


@pytest.mark.parametrize("call, reply", [
    (lambda c: c.execute("RESUME"), "NACK refused"),
    (lambda c: c.execute("  "), "NACK refused"),
    (lambda c: c.poke("txtOutput", "forged"), "NACK refused"),
    (lambda c: c.poke("txtOutput", "x" * (1048576 - len("UPDATE txtOutput ") + 1)), "NACK refused"),
    (lambda c: c.poke("txtNothing", "1"), "NACK no such item"),
    (lambda c: c.request("txtServerPort"), "NACK no such item"),
])
def test_the_instrument_refuses_with_its_reasons(kestrin, call, reply):
    with pytest.raises(NackError) as refusal:
        call(kestrin)
    assert refusal.value.reply == reply


def test_off_ends_every_conversation(instrument, kestrin):
    """The window serves no conversation while off; the windowless instrument still serves its
    panel, through which it is switched on again."""
    with Conversation("Kestrin", "Kestrin", instrument.runtime_dir) as watcher:
        watched = watcher.advise("txtOutput")
        kestrin.execute("OFF")
        assert next(watched) == "OK"
        with pytest.raises(TerminatedError) as ended:
            next(watched)
        assert ended.value.reply == "TERMINATE"
    if instrument.window:
        with pytest.raises(NackError) as refusal:
            Conversation("Kestrin", "Other", instrument.runtime_dir).open()
        assert refusal.value.reason == "no source"
    else:
        with Conversation("Kestrin", "Kestrin", instrument.runtime_dir) as panel:
            assert panel.request("lblState") == "Off"
            panel.execute("ON")
            assert panel.request("lblState") == "Idle"
