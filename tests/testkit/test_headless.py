"""The kit with the windowless instrument, its default: it needs no display or bus, many run side by
side, nothing outlives the kit however it ends, and what only the window has is refused in one
line. Run with kestrin-headless on PATH and testkit/ on PYTHONPATH."""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from kestrin_testkit import Instrument, InstrumentError
from kitsupport import start_together
from kestrin_testkit.processes import descendants, is_alive

GONE_TIMEOUT = 20.0
RUN_TIMEOUT = 120
REPLY_TIMEOUT = 10.0
NOTICE_LIMIT = 1.0
SIDE_BY_SIDE = 8
# The command tells the test where it runs, then outlives any test.
REPORTING_COMMAND = 'echo "$$ $PPID $KESTRIN_DDE_SOCKET"; exec sleep 60'
# What a desktop needs, which the windowless kit must never look for.
DESKTOP_PROGRAMS = ("Xvfb", "dbus-daemon", "dbus-launch")


def wait_until(condition, timeout=GONE_TIMEOUT):
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)
    return condition()


def answer(port, command="ABORT"):
    """The instrument's first reply over TCP."""
    with socket.create_connection(("127.0.0.1", port), timeout=REPLY_TIMEOUT) as connection:
        connection.sendall(command.encode() + b"\r")
        received = b""
        while b"\r" not in received:
            chunk = connection.recv(4096)
            assert chunk, f"the connection ended after {received!r}"
            received += chunk
    return received.decode().split("\r")[0]


def kit_folder(instrument_runtime):
    """The private folder of an instrument, from the runtime folder its clients are handed."""
    return os.path.dirname(os.path.dirname(instrument_runtime))


def test_run_needs_no_display_and_no_bus(tmp_path):
    """PATH holds the shell, the kit's programs and kestrin-headless, and nothing of a desktop."""
    tools = tmp_path / "bin"
    tools.mkdir()
    for name in ("sh", "sleep"):
        os.symlink(shutil.which(name), tools / name)
    headless = shutil.which("kestrin-headless")
    assert headless, "kestrin-headless is not on PATH"
    path = os.pathsep.join([str(tools), os.path.dirname(headless)])
    assert not any(shutil.which(name, path=path) for name in DESKTOP_PROGRAMS)
    env = {name: value for name, value in os.environ.items() if name not in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS")}
    command = 'serial=${KESTRIN_SERIAL_RESOURCE#ASRL}; test -S "$KESTRIN_DDE_SOCKET" -a -e "${serial%::INSTR}" && exit 3'
    run = subprocess.run([sys.executable, "-m", "kestrin_testkit", "run", "--", "sh", "-c", command],
                         env=dict(env, PATH=path), capture_output=True, text=True, timeout=RUN_TIMEOUT)
    assert run.returncode == 3, run.stderr


@pytest.mark.parametrize("command, status, says", [
    ("no-such-command-here", 127, "cannot run no-such-command-here: No such file or directory"),
    ("/dev/null", 126, "cannot run /dev/null: Permission denied"),
    ("/", 126, "cannot run /: Permission denied"),
], ids=["not found", "not executable", "a folder"])
def test_run_says_why_a_command_cannot_run_as_a_shell_does(command, status, says):
    # Said at once: no instrument is brought up for it.
    run = subprocess.run([sys.executable, "-m", "kestrin_testkit", "run", "--", command], capture_output=True,
                         text=True, timeout=RUN_TIMEOUT)
    assert (run.returncode, run.stderr.strip().splitlines()) == (status, [f"kestrin-testkit: {says}"])


def test_many_side_by_side_each_with_its_own_folder_and_port():
    kits = [Instrument() for _ in range(SIDE_BY_SIDE)]
    failures = start_together(kits)
    try:
        assert not failures, failures
        assert len({kit.runtime_dir for kit in kits}) == len({kit.tcp_port for kit in kits}) == SIDE_BY_SIDE
        for kit in kits:
            assert answer(kit.tcp_port) == "OK"
    finally:
        for kit in kits:
            kit.close()
    pids = [pid for kit in kits for pid in kit.pids]
    assert wait_until(lambda: not any(map(is_alive, pids)))
    assert not any(os.path.exists(kit_folder(kit.runtime_dir)) for kit in kits)


# Calls that only the window can answer: each fails in one line naming the call and window=True.
WINDOW_ONLY = [
    ("windows()", lambda kit: kit.panel.windows()),
    ("display", lambda kit: kit.display),
]


@pytest.mark.parametrize("call, make", WINDOW_ONLY, ids=[row[0] for row in WINDOW_ONLY])
def test_what_only_the_window_has_is_refused_in_one_line(kestrin_instrument, call, make):
    with pytest.raises(InstrumentError) as refused:
        make(kestrin_instrument)
    assert str(refused.value).startswith(f"{call}: ") and str(refused.value).endswith("window=True")


def test_a_killed_instrument_fails_the_next_call_at_once_naming_it():
    with Instrument() as kit:
        pid, = kit.pids
        os.kill(pid, signal.SIGKILL)
        kit.wait_ended()
        called = time.monotonic()
        with pytest.raises(InstrumentError) as failure:
            kit.panel.set_frequency(10)
        assert time.monotonic() - called < NOTICE_LIMIT
        assert str(failure.value) == ("set_frequency: the instrument has ended: "
                                      f"kestrin-headless (process {pid}) was killed by SIGKILL")
        folder = kit_folder(kit.runtime_dir)
    assert not os.path.exists(folder)


OWNER = textwrap.dedent("""
    import json, threading, time
    from kestrin_testkit import Instrument
    kit = Instrument()
    starter = threading.Thread(target=kit.start)
    starter.start()
    starter.join()
    print(json.dumps([kit.pids, kit.runtime_dir]), flush=True)
    time.sleep(600)
""")


def test_nothing_outlives_a_killed_test_process():
    """The instrument ends with its owner; the folder the owner could not remove goes at the next start."""
    owner = subprocess.Popen([sys.executable, "-c", OWNER], stdout=subprocess.PIPE,
                             env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    try:
        pids, runtime = json.loads(owner.stdout.readline())
    finally:
        owner.kill()
        owner.wait()
        owner.stdout.close()
    assert wait_until(lambda: not any(map(is_alive, pids)))
    with Instrument(tcp=False):
        assert not os.path.exists(kit_folder(runtime))


# Each process of `kestrin-testkit run` killed: the kit's exit status, and the line it ends with.
KILLED_UNDER_RUN = [
    ("kestrin-headless", 125,
     "the instrument ended before the command: kestrin-headless (process {pid}) was killed by SIGKILL"),
    ("kit", -signal.SIGKILL, None),
]


@pytest.mark.parametrize("victim, status, says", KILLED_UNDER_RUN, ids=[row[0] for row in KILLED_UNDER_RUN])
def test_run_leaves_no_instrument_whichever_of_its_processes_is_killed(victim, status, says):
    kit = subprocess.Popen([sys.executable, "-m", "kestrin_testkit", "run", "--", "sh", "-c", REPORTING_COMMAND],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        shell, leader, _dde_socket = kit.stdout.readline().decode().split()
        instrument, = (pid for pid in descendants(kit.pid) if pid != int(leader) and pid not in descendants(int(leader)))
        os.kill(instrument if victim == "kestrin-headless" else kit.pid, signal.SIGKILL)
        if says is not None:
            said = next(line for line in map(bytes.decode, kit.stderr) if "ready" not in line).strip()
            assert said == f"kestrin-testkit: {says.format(pid=instrument)}; ending the command"
        assert kit.wait(GONE_TIMEOUT) == status
    finally:
        kit.kill()
        kit.wait()
        kit.stdout.close()
        kit.stderr.close()
    assert wait_until(lambda: not is_alive(instrument))
    if victim == "kestrin-headless":
        assert wait_until(lambda: not is_alive(int(shell)))


XDIST_SUITE = textwrap.dedent("""
    import socket
    import pytest

    @pytest.mark.parametrize("run", range(4))
    def test_analyze(kestrin_instrument, run):
        with socket.create_connection(("127.0.0.1", kestrin_instrument.tcp_port), timeout=10) as connection:
            connection.sendall(b"ABORT\\r")
            assert connection.recv(100) == b"OK\\r"
""")


@pytest.mark.parametrize("options", [[], ["--kestrin-window"]], ids=["headless", "window"])
def test_pytest_xdist_needs_no_options(tmp_path, options):
    """Workers side by side, whatever DISPLAY says: a window has a display of its own."""
    (tmp_path / "test_client.py").write_text(XDIST_SUITE)
    run = subprocess.run([sys.executable, "-m", "pytest", "-p", "kestrin_testkit.pytest_plugin", "-n", "2", *options,
                          "test_client.py"], cwd=tmp_path, capture_output=True, text=True, timeout=RUN_TIMEOUT,
                         env=dict(os.environ, DISPLAY=":0"))
    assert run.returncode == 0, run.stdout + run.stderr
    assert "4 passed" in run.stdout
