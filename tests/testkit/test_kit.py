"""The test kit's promises: the run command passes the command's exit status on, two kits run
side by side on desktops of their own, and no process the kit started outlives it, even when the
test process is killed. Run with kestrin on PATH and testkit/ on PYTHONPATH."""

import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time

from kestrin_testkit import Instrument
from kestrin_testkit.desktop import is_alive

GONE_TIMEOUT = 20.0
READY_LIMIT = 10.0
REPLY_TIMEOUT = 10.0


def wait_gone(pids):
    deadline = time.monotonic() + GONE_TIMEOUT
    while any(is_alive(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(0.1)
    return [pid for pid in pids if is_alive(pid)]


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


def test_two_kits_side_by_side_each_on_its_own_desktop_and_nothing_left_after():
    kits = [Instrument(private_display=True), Instrument(private_display=True)]
    failures = []

    def start(kit):
        try:
            kit.start()
        except Exception as failure:  # reported below, with the other kit closed first
            failures.append(failure)
    threads = [threading.Thread(target=start, args=(kit,)) for kit in kits]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
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
