"""The test kit's promises: the run command passes the command's exit status on, two kits run
side by side on desktops of their own, and no process or folder the kit made outlives it, whichever
of its processes is killed; the instrument's end is noticed at once. Run with kestrin on PATH and
testkit/ on PYTHONPATH."""

import fcntl
import json
import os
import selectors
import shlex
import signal
import socket
import subprocess
import sys
import termios
import time

import pytest

from kestrin_testkit import Instrument, InstrumentError
from kitsupport import start_together
from kestrin_testkit.commandgroup import ENDING_GRACE
from kestrin_testkit.processes import group_members, is_alive, session_members

GONE_TIMEOUT = 20.0
READY_LIMIT = 10.0
REPLY_TIMEOUT = 10.0
# From the instrument's end to the kit saying so.
NOTICE_LIMIT = 1.0
# The command tells the test where it runs, then outlives any test.
REPORTING_COMMAND = 'echo "$$ $PPID $KESTRIN_DDE_SOCKET"; sleep 60'


def wait_gone(pids):
    deadline = time.monotonic() + GONE_TIMEOUT
    while any(is_alive(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(0.1)
    return [pid for pid in pids if is_alive(pid)]


def wait_for_group(leader, size):
    """The members of the leader's group once it has at least size of them (the shell has
    started its sleep), or as it stands after GONE_TIMEOUT."""
    deadline = time.monotonic() + GONE_TIMEOUT
    while len(members := group_members(leader)) < size and time.monotonic() < deadline:
        time.sleep(0.05)
    return members


def wait_cleared(pids, folder):
    """The processes and the folder left after GONE_TIMEOUT."""
    deadline = time.monotonic() + GONE_TIMEOUT
    while (os.path.exists(folder) or any(is_alive(pid) for pid in pids)) and time.monotonic() < deadline:
        time.sleep(0.1)
    return [pid for pid in pids if is_alive(pid)], os.path.exists(folder)


def children_of(pid):
    with open(f"/proc/{pid}/task/{pid}/children") as children:
        return [int(child) for child in children.read().split()]


def named_process(pids, name):
    for pid in pids:
        with open(f"/proc/{pid}/comm") as comm:
            if comm.read().strip() == name:
                return pid
    raise AssertionError(f"no {name} among {pids}")


def line_containing(stream, text, timeout):
    """The first line of stream holding text, read within timeout, or None."""
    deadline = time.monotonic() + timeout
    received = b""
    with selectors.DefaultSelector() as selector:
        selector.register(stream, selectors.EVENT_READ)
        while selector.select(max(0.0, deadline - time.monotonic())):
            chunk = os.read(stream.fileno(), 4096)
            if not chunk:
                break
            received += chunk
            for line in received.decode(errors="replace").splitlines():
                if text in line:
                    return line
    return None


def analyze_three_over_tcp(port):
    with socket.create_connection(("127.0.0.1", port), timeout=REPLY_TIMEOUT) as connection:
        connection.sendall(b"ANALYZE 3\r")
        received = b""
        while received.count(b"\r") < 2:
            chunk = connection.recv(4096)
            assert chunk, f"the connection ended after {received!r}"
            received += chunk
    return received.decode().split("\r")[:2]


def test_run_exits_with_the_command_status_and_hands_it_the_resources():
    command = [sys.executable, "-m", "kestrin_testkit", "run", "--private-display", "--",
               "sh", "-c", 'test -S "$KESTRIN_DDE_SOCKET" && test -n "$KESTRIN_TCP_RESOURCE" && exit 3']
    assert subprocess.run(command, timeout=120).returncode == 3


def test_run_in_a_terminal_hands_it_to_the_command():
    """The command's group of its own takes the terminal over, so the command reads from it."""
    controller, terminal = os.openpty()
    kit = subprocess.Popen([sys.executable, "-m", "kestrin_testkit", "run", "--private-display", "--",
                            "sh", "-c", 'read line; exit "${#line}"'],
                           stdin=terminal, stdout=terminal, stderr=terminal, start_new_session=True,
                           preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
    os.close(terminal)
    try:
        os.write(controller, b"seven!!\n")
        assert kit.wait(READY_LIMIT + GONE_TIMEOUT) == len("seven!!")
    finally:
        kit.kill()
        kit.wait()
        os.close(controller)


def test_two_kits_side_by_side_each_on_its_own_desktop_and_nothing_left_after():
    kits = [Instrument(private_display=True), Instrument(private_display=True)]
    failures = start_together(kits)
    try:
        assert not failures, failures
        first, second = kits
        print(f"ready in {first.ready_seconds} s and {second.ready_seconds} s, started together")
        assert first.display != second.display
        assert first.runtime_dir != second.runtime_dir
        assert first.tcp_port != second.tcp_port
        assert not set(first.pids) & set(second.pids)
        for kit in kits:
            reply, line = analyze_three_over_tcp(kit.tcp_port)
            assert reply == "OK" and len(line.split(",")) == 3, (reply, line)
    finally:
        for kit in kits:
            kit.close()
    assert wait_gone([pid for kit in kits for pid in kit.pids]) == []


def test_ready_in_time_and_nothing_outlives_a_killed_test_process():
    owner = subprocess.Popen(
        [sys.executable, "-c", "import json, sys, time\n"
                               "from kestrin_testkit import Instrument\n"
                               "with Instrument(private_display=True) as kit:\n"
                               "    print(json.dumps([kit.ready_seconds, kit.pids]), flush=True)\n"
                               "    time.sleep(600)\n"],
        stdout=subprocess.PIPE, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    try:
        seconds, pids = json.loads(owner.stdout.readline())
    finally:
        owner.send_signal(signal.SIGKILL)
        owner.wait()
        owner.stdout.close()
    print(f"instrument ready in {seconds} s")
    assert seconds < READY_LIMIT
    assert wait_gone(pids) == []


# Each process of `kestrin-testkit run` killed: the kit's exit status, and the line it ends with.
KILLED_UNDER_RUN = [
    ("kestrin", 125, "the instrument ended before the command: kestrin (process {pid}) was killed by SIGKILL"),
    ("supervisor", 125, "the instrument ended before the command: its supervisor (process {pid}) "
                        "was killed by SIGKILL"),
    ("kit", -signal.SIGKILL, None),
    ("command group leader", 128 + signal.SIGKILL, None),
]


@pytest.mark.parametrize("victim, status, says", KILLED_UNDER_RUN, ids=[row[0] for row in KILLED_UNDER_RUN])
def test_run_leaves_nothing_whichever_of_its_processes_is_killed(victim, status, says):
    kit = subprocess.Popen([sys.executable, "-m", "kestrin_testkit", "run", "--private-display", "--",
                            "sh", "-c", REPORTING_COMMAND], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        shell, leader, dde_socket = kit.stdout.readline().decode().split()
        leader = int(leader)
        supervisor, = (pid for pid in children_of(kit.pid) if pid != leader)
        instrument = session_members(supervisor)
        command = wait_for_group(leader, 3)
        assert int(shell) in command and len(command) >= 3, "the command runs in the leader's group"
        victims = {"kestrin": named_process(instrument, "kestrin"), "supervisor": supervisor, "kit": kit.pid,
                   "command group leader": leader}
        os.kill(victims[victim], signal.SIGKILL)
        killed = time.monotonic()
        if says is not None:
            expected = f"kestrin-testkit: {says.format(pid=victims[victim])}; ending the command"
            assert line_containing(kit.stderr, "ended before", NOTICE_LIMIT) == expected
            print(f"noticed within {time.monotonic() - killed:.2f} s")
        assert kit.wait(GONE_TIMEOUT) == status
    finally:
        kit.kill()
        kit.wait()
        kit.stdout.close()
        kit.stderr.close()
    scratch = os.path.dirname(os.path.dirname(os.path.dirname(dde_socket)))
    assert wait_cleared([kit.pid, supervisor, *instrument, *command], scratch) == ([], False)


# kestrin or its supervisor killed under the library: the next call fails at once naming it, and
# nothing is left even before the owner closes the instrument.
KILLED_UNDER_LIBRARY = [
    ("kestrin", "kestrin (process {pid}) was killed by SIGKILL"),
    ("supervisor", "its supervisor (process {pid}) was killed by SIGKILL"),
]


@pytest.mark.parametrize("victim, says", KILLED_UNDER_LIBRARY, ids=[row[0] for row in KILLED_UNDER_LIBRARY])
def test_a_killed_instrument_fails_the_next_call_and_leaves_nothing(victim, says):
    with Instrument(private_display=True) as kit:
        supervisor, *instrument = kit.pids
        pid = supervisor if victim == "supervisor" else named_process(instrument, "kestrin")
        os.kill(pid, signal.SIGKILL)
        assert wait_cleared([pid], "/nonexistent") == ([], False)
        called = time.monotonic()
        with pytest.raises(InstrumentError) as failure:
            kit.panel.set_frequency(10)
        assert time.monotonic() - called < NOTICE_LIMIT
        assert str(failure.value) == f"set_frequency: the instrument has ended: {says.format(pid=pid)}"
        assert wait_cleared(kit.pids, os.path.dirname(kit.runtime_dir)) == ([], False)


def wait_taken(pid, signum):
    """Waits until pid has taken signum, so that a second one is not merged with it."""
    deadline = time.monotonic() + GONE_TIMEOUT
    while time.monotonic() < deadline:
        with open(f"/proc/{pid}/status") as status:
            pending = [int(line.split()[1], 16) for line in status if line.startswith(("SigPnd:", "ShdPnd:"))]
        if not any(mask & 1 << (signum - 1) for mask in pending):
            return
        time.sleep(0.01)
    raise AssertionError(f"process {pid} did not take signal {signum} within {GONE_TIMEOUT} s")


def daemonising(start, ignoring_term=False):
    """A command that starts a daemon as start says, waits until it has written its process id
    to $PIDFILE, tells both ids and exits with 3."""
    daemon = ("trap '' TERM; " if ignoring_term else "") + \
        'echo $$ > "$PIDFILE.new" && mv "$PIDFILE.new" "$PIDFILE"; exec sleep 300'
    return (start.format(daemon=shlex.quote(daemon)) + '\nuntil [ -e "$PIDFILE" ]; do sleep 0.05; done; '
            'echo "pids: $$ $(cat "$PIDFILE")"; exit 3')


# What a command leaves behind or will not end on, and how the kit ends it: the signals sent to the
# kit once the command runs (a signal but the last is awaited until the command says "interrupted"
# and its group's leader has taken it), the kit's exit status, its last line, and whether it waits
# out the grace first.
ENDINGS = [
    ("setsid -f", daemonising("setsid -f sh -c {daemon}"), (), 3, None, False),
    ("setsid in the background", daemonising("setsid sh -c {daemon} &"), (), 3, None, False),
    ("daemon deaf to SIGTERM", daemonising("setsid -f sh -c {daemon}", ignoring_term=True), (), 3,
     "sleep (process {daemon}) did not end within 5 s of SIGTERM; killed", True),
    ("command deaf to SIGTERM", "trap '' TERM; echo \"pids: $$ $$\"; exec sleep 300", (signal.SIGTERM,),
     128 + signal.SIGKILL, "the command sh (process {command}) did not end within 5 s of SIGTERM; killed", True),
    # The shell's wait, unlike a command in the foreground, gives way to its trap at once.
    ("Ctrl-C twice",
     "trap '' TERM; trap 'echo interrupted' INT; echo \"pids: $$ $$\"; while :; do sleep 300 & wait; done",
     (signal.SIGINT, signal.SIGINT), 128 + signal.SIGINT, "interrupted again: sh and all it started are killed",
     False),
]


@pytest.mark.parametrize("command, signals, status, says, waits", [row[1:] for row in ENDINGS],
                         ids=[row[0] for row in ENDINGS])
def test_run_ends_all_the_command_started_and_what_will_not_end(tmp_path, command, signals, status, says, waits):
    errors = tmp_path / "stderr"
    with open(errors, "wb") as error_file:
        kit = subprocess.Popen([sys.executable, "-m", "kestrin_testkit", "run", "--private-display", "--",
                                "sh", "-c", command], stdout=subprocess.PIPE, stderr=error_file,
                               env=dict(os.environ, PIDFILE=str(tmp_path / "daemon")))
    pids = []
    try:
        told = line_containing(kit.stdout, "pids:", READY_LIMIT + GONE_TIMEOUT)
        assert told is not None, errors.read_text()
        command_pid, daemon = pids = [int(pid) for pid in told.split()[1:]]
        for sig in signals[:-1]:
            kit.send_signal(sig)
            assert line_containing(kit.stdout, "interrupted", GONE_TIMEOUT) is not None
            wait_taken(os.getpgid(command_pid), sig)
        for sig in signals[-1:]:
            kit.send_signal(sig)
        started = time.monotonic()
        assert kit.wait(ENDING_GRACE + GONE_TIMEOUT) == status
        took = time.monotonic() - started
        assert [pid for pid in pids if is_alive(pid)] == [], "what the command started ends with the kit"
    finally:
        kit.kill()
        kit.wait()
        kit.stdout.close()
        for pid in pids:
            if is_alive(pid):
                os.kill(pid, signal.SIGKILL)
    print(f"the kit ended {took:.2f} s after the command or the last signal")
    assert (took >= ENDING_GRACE) == waits
    assert took < ENDING_GRACE + GONE_TIMEOUT / 2
    said = [line for line in errors.read_text().splitlines() if "instrument ready" not in line]
    assert said == ([f"kestrin-testkit: {says.format(command=command_pid, daemon=daemon)}"] if says else [])
