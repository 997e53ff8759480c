"""Tests that share an instrument cannot leak into each other: reset() leaves nothing of a fault or
of a run's pace, with and without the window; transcripts say which test and which connection;
a failing test's transcript reaches JUnit XML; kestrin-testkit run takes Ctrl-C at any moment.
Run with kestrin and kestrin-headless on PATH, testkit/ on PATH and PYTHONPATH and
-p kestrin_testkit.pytest_plugin."""

import os
import select
import signal
import socket
import re
import subprocess
import sys
import termios
import textwrap
import time
import tty
import xml.etree.ElementTree as ElementTree

import pytest

from kestrin_testkit import Conversation, ConversationError, Instrument, NackError

# Two replies of different texts: a line dropped, doubled or garbled changes what comes back. Each
# command is sent once the last is answered: the instrument answers only the last line of an arrival.
COMMANDS = (b"ABORT\r", b"FOO\r")
REPLIES = b"OK\rError 2: Illegal Command - FOO\r"
# Every fault below holds a reply back far longer than this.
PROMPT = 1.0
START_TIMEOUT = 60.0
GONE_TIMEOUT = 20.0
# kestrin-headless as /proc names it, in 15 characters.
INSTRUMENT = "kestrin-headless"[:15]
INTERRUPTED = "kestrin-testkit: interrupted: everything the kit started has ended"


@pytest.fixture(scope="module", params=[False, True], ids=["headless", "window"])
def shared(request):
    with Instrument(window=request.param) as instrument:
        yield instrument


@pytest.fixture
def instrument(shared):
    """Reset before the test, as the plugin's shared instruments are: the last test's TCP client
    is gone and the instrument listens again."""
    shared.reset()
    return shared


def over_tcp(instrument):
    with socket.create_connection(("127.0.0.1", instrument.tcp_port), timeout=PROMPT) as connection:
        return exchanged(connection.fileno(), connection.sendall, lambda: connection.recv(4096))


def over_serial(instrument):
    line = os.open(instrument.serial_port, os.O_RDWR | os.O_NOCTTY)
    try:
        tty.setraw(line, termios.TCSANOW)
        return exchanged(line, lambda data: os.write(line, data), lambda: os.read(line, 4096))
    finally:
        os.close(line)


def over_conversation(instrument):
    """The two commands' replies as the conversation's acknowledgements, or how it failed."""
    replies = b""
    try:
        with Conversation("Kestrin", "Kestrin", instrument.runtime_dir, timeout=PROMPT) as conversation:
            for command in COMMANDS:
                try:
                    conversation.execute(command.decode().rstrip("\r"))
                    replies += b"ACK\r"
                except NackError:
                    replies += b"NACK\r"
    except ConversationError as failure:
        replies += f"{type(failure).__name__}\r".encode()
    return replies


def exchanged(fd, write, read):
    """What comes back within PROMPT for the commands, each sent once the last is answered (or
    its time is up); what comes right behind the last reply too, as a doubled line does."""
    deadline = time.monotonic() + PROMPT
    received = b""
    for number, command in enumerate(COMMANDS, 1):
        write(command)
        if number == len(COMMANDS):
            deadline = min(deadline, time.monotonic() + PROMPT / 2)
        while received.count(b"\r") < number or number == len(COMMANDS):
            if not select.select([fd], [], [], max(0.0, deadline - time.monotonic()))[0]:
                break
            chunk = read()
            if not chunk:
                return received
            received += chunk
    return received


CLIENTS = {"tcp": (over_tcp, REPLIES), "serial": (over_serial, REPLIES),
           "dde": (over_conversation, b"ACK\rNACK\r")}
# A fault of each kind, each of which a client would still meet after reset() if it stayed.
FAULTS = [
    ("tcp", "latency", (3000,), {}),
    ("tcp", "stall", (30,), {}),
    ("tcp", "drop", (5,), {}),
    ("tcp", "duplicate", (5,), {}),
    ("tcp", "corrupt", (1.0,), {}),
    ("tcp", "bandwidth", (2,), {}),
    ("serial", "slice", (1,), {"gap_ms": 300}),
    ("serial", "stall", (30,), {"direction": "to_instrument"}),
    ("dde", "latency", (3000,), {}),
    ("dde", "drop", (5,), {}),
]


@pytest.mark.parametrize("channel, fault, args, kwargs", FAULTS, ids=[f"{row[0]}-{row[1]}" for row in FAULTS])
def test_reset_leaves_nothing_of_a_fault(instrument, channel, fault, args, kwargs):
    talk, expected = CLIENTS[channel]
    getattr(getattr(instrument, channel), fault)(*args, **kwargs)
    assert talk(instrument) != expected, "the fault does not act, so the test proves nothing"
    instrument.reset()
    assert talk(instrument) == expected


def test_reset_brings_back_the_pace_of_a_file_run(instrument, tmp_path):
    """A file run goes at the pace of the last random run, whatever the Frequency box says."""
    lines = tmp_path / "lines.txt"
    lines.write_text("1\n2\n3\n")
    instrument.panel.set_frequency(100)
    with socket.create_connection(("127.0.0.1", instrument.tcp_port), timeout=10) as connection:
        connection.sendall(b"ANALYZE 1\r")
        assert received_lines(connection, 2)[0] == "OK"
    instrument.reset()
    instrument.panel.choose_data_file(lines)
    with socket.create_connection(("127.0.0.1", instrument.tcp_port), timeout=10) as connection:
        connection.sendall(b"ANALYZE\r")
        started = time.monotonic()
        assert received_lines(connection, 4) == ["OK", "1", "2", "3"]
    # Three lines at the start's 2 lines a second take over a second; at 100, 30 ms.
    assert time.monotonic() - started > 1.0


def received_lines(connection, count):
    received = b""
    while received.count(b"\r") < count:
        chunk = connection.recv(4096)
        assert chunk, f"the connection ended after {received!r}"
        received += chunk
    return received.decode().split("\r")[:count]


def test_transcripts_name_each_connection_and_mark_each_reset(tmp_path):
    with Instrument(transcript_dir=tmp_path) as headless:
        over_tcp(headless)
        over_serial(headless)
        over_conversation(headless)
        # One TCP client at a time: the next comes once the instrument listens again.
        headless.reset(mark="the second part")
        over_tcp(headless)
        headless.reset()
        over_tcp(headless)
    written = {name: (tmp_path / f"{name}.txt").read_text() for name in ("tcp", "serial", "dde", "panel")}
    this_test = os.environ["PYTEST_CURRENT_TEST"].rsplit(" (", 1)[0]
    for text in written.values():
        assert text.count("==== the second part ====") == 1 and text.count(f"==== {this_test} ====") == 1
    first, second, third = written["tcp"].replace(f"==== {this_test} ====", "==== the second part ====").split(
        "==== the second part ====")
    for number, part in enumerate((first, second, third), 1):
        assert f'tcp#{number}   to_instrument  "FOO\\r"' in part
        # What passed between two marks was this connection's; notes of its end may come later.
        assert set(re.findall(r"(tcp#\d+) +to_", part)) == {f"tcp#{number}"}
    assert 'serial  to_client      "OK\\r"' in written["serial"]
    assert "dde#1   a client connected" in written["dde"]


def test_a_client_that_closes_is_no_warning(caplog):
    with Instrument() as headless:
        with socket.create_connection(("127.0.0.1", headless.tcp_port)) as connection:
            # Closed before the run's reply and line come: the layer finds the client gone.
            connection.sendall(b"ANALYZE 1\r")
        deadline = time.monotonic() + 5
        while not any("tcp#1" in line and "ended" in line for line in headless.transcript.tail().get("tcp", [])):
            assert time.monotonic() < deadline, headless.transcript.tail()
            time.sleep(0.05)
    assert [record.getMessage() for record in caplog.records if record.levelname == "WARNING"] == []


FAILING_TEST = textwrap.dedent("""
    import socket

    def test_fails(kestrin_instrument_module):
        with socket.create_connection(("127.0.0.1", kestrin_instrument_module.tcp_port), timeout=10) as connection:
            connection.sendall(b"ABORT\\r")
            assert connection.recv(100) == b"no such reply"
""")


def test_a_failing_tests_transcript_is_in_its_junit_xml(tmp_path):
    (tmp_path / "test_client.py").write_text(FAILING_TEST)
    report = tmp_path / "report.xml"
    run = subprocess.run([sys.executable, "-m", "pytest", "-p", "kestrin_testkit.pytest_plugin",
                          f"--junitxml={report}", "test_client.py"],
                         cwd=tmp_path, capture_output=True, text=True, timeout=240)
    assert run.returncode == 1, run.stdout + run.stderr
    failure = ElementTree.parse(report).find(".//testcase[@name='test_fails']/failure")
    assert "kestrin transcript" in failure.text
    assert "==== test_client.py::test_fails ====" in failure.text
    assert 'tcp#1   to_instrument  "ABORT\\r"' in failure.text


def kit_processes(pid):
    """The processes below the kit by name: its kestrin-headless, the command's leader and the
    command, once each has started."""
    found = {}
    for child in children_of(pid):
        found[name_of(child)] = child
        found.update(kit_processes(child))
    return found


def children_of(pid):
    """Children of every thread of the process: the kit starts its instrument from a thread."""
    children = []
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/children") as listed:
                children += [int(child) for child in listed.read().split()]
    except FileNotFoundError:
        pass  # it ended meanwhile
    return children


def name_of(pid):
    try:
        with open(f"/proc/{pid}/comm") as comm:
            return comm.read().strip()
    except FileNotFoundError:
        return ""


def holds_sigint(pid):
    """Whether the kit's launcher holds SIGINT while Python loads the kit."""
    with open(f"/proc/{pid}/status") as status:
        blocked = next(line for line in status if line.startswith("SigBlk:")).split()[1]
    return int(blocked, 16) & (1 << (signal.SIGINT - 1))


# When Ctrl-C comes: a condition on the kit's process that says the moment has come.
MOMENTS = [
    ("loading the kit", lambda pid: holds_sigint(pid)),
    ("starting the instrument", lambda pid: INSTRUMENT in kit_processes(pid)),
    ("running the command", lambda pid: "sleep" in kit_processes(pid)),
]


@pytest.mark.parametrize("moment, come", MOMENTS, ids=[row[0] for row in MOMENTS])
def test_ctrl_c_at_any_moment_says_one_line_and_exits_130(moment, come):
    kit = subprocess.Popen(["kestrin-testkit", "run", "--", "sh", "-c", "sleep 60"], stderr=subprocess.PIPE,
                           text=True)
    deadline = time.monotonic() + START_TIMEOUT
    while not come(kit.pid) and kit.poll() is None:
        assert time.monotonic() < deadline, f"never {moment}"
        time.sleep(0.001)
    started = kit_processes(kit.pid)
    kit.send_signal(signal.SIGINT)
    _, errors = kit.communicate(timeout=GONE_TIMEOUT)
    said = [line for line in errors.splitlines() if "instrument ready" not in line]
    assert (kit.returncode, said) == (130, [INTERRUPTED])
    deadline = time.monotonic() + GONE_TIMEOUT
    while (left := [name for name, pid in started.items() if name_of(pid) == name]) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert left == []
