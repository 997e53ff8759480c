"""A reader of kestrin's window, a screen reader or a GUI test, hears every line of a short run
in the Output box: at 20 lines a second each line shows, in order. Read through the accessibility
bus of the kit's window mode. Run with kestrin on PATH and testkit/ on PYTHONPATH; run as a
script (--read PID COUNT) it is the reader, beside the instrument on its private desktop."""

import json
import os
import select
import socket
import subprocess
import sys

import pytest

from kestrin_testkit import Instrument
from kestrin_testkit.instrument import SUPERVISOR_PYTHON

LINES = 10
LINES_PER_SECOND = 20
POINTS = 3
REPLY_TIMEOUT = 10.0
READ_TIMEOUT = 30
# Shown in the box by commands the Idle instrument refuses, taking turns until the reader hears
# one: it may start listening a moment after it says so.
MARKERS = {"RESUME": "Error 2: Illegal Command - RESUME", "ON": "Error 2: Illegal Command - ON"}
MARKER_WAIT = 1.0
MARKER_TRIES = 20
# What the reader needs of the instrument's environment to reach its desktop.
DESKTOP_VARIABLES = ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "HOME")


def read_output_box(pid: int, count: int) -> None:
    """Prints "listening", "marked" once a marker showed, then every later text of the Output box
    as one JSON list when `count` data lines have shown, or at the time-out."""
    import pyatspi
    from gi.repository import GLib

    from kestrin_testkit.supervisor import accessibility

    application = accessibility.application_of(pid, "kestrin")
    window = accessibility.window_of(application, "Tarvolin")
    accessibility.find(window, "text", "Output")
    shown = []
    marked = []

    def on_insert(event):
        try:
            if event.source.name != "Output":
                return
        except Exception:  # a box gone meanwhile is no Output box
            return
        text = event.any_data
        if not marked:
            if text in MARKERS.values():
                marked.append(text)
                print("marked", flush=True)
            return
        shown.append(text)
        if sum(1 for value in shown if value != "OK") >= count:
            pyatspi.Registry.stop()

    pyatspi.Registry.registerEventListener(on_insert, "object:text-changed:insert")
    GLib.timeout_add_seconds(READ_TIMEOUT, lambda: pyatspi.Registry.stop())
    GLib.idle_add(lambda: print("listening", flush=True))
    pyatspi.Registry.start()
    print(json.dumps({"shown": shown}), flush=True)


def kestrin_pid(instrument) -> int:
    for pid in instrument.pids:
        try:
            with open(f"/proc/{pid}/comm") as comm:
                if comm.read().strip() == "kestrin":
                    return pid
        except OSError:
            continue
    raise AssertionError(f"no kestrin among the processes {instrument.pids}")


def desktop_of(pid: int) -> dict:
    with open(f"/proc/{pid}/environ", "rb") as environ:
        variables = dict(entry.decode().split("=", 1) for entry in environ.read().split(b"\0") if b"=" in entry)
    return {name: variables[name] for name in DESKTOP_VARIABLES if name in variables}


def send(connection, command: str) -> None:
    connection.sendall(command.encode() + b"\r")


def receive_lines(connection, count: int) -> list:
    received = b""
    while received.count(b"\r") < count:
        chunk = connection.recv(4096)
        assert chunk, f"the connection ended after {received!r}"
        received += chunk
    return received.decode().split("\r")[:count]


@pytest.fixture
def instrument():
    with Instrument(window=True) as started:
        started.panel.set_frequency(LINES_PER_SECOND)
        started.panel.set_points_per_line(POINTS)
        started.panel.choose_finite(LINES)
        yield started


def test_every_line_of_a_short_run_at_20_a_second_shows_in_order(instrument):
    pid = kestrin_pid(instrument)
    env = dict(os.environ, **desktop_of(pid))
    reader = subprocess.Popen([SUPERVISOR_PYTHON, os.path.abspath(__file__), "--read", str(pid), str(LINES)],
                              env=env, stdout=subprocess.PIPE, text=True)
    try:
        assert reader.stdout.readline().strip() == "listening"
        with socket.create_connection(("127.0.0.1", instrument.tcp_port), timeout=REPLY_TIMEOUT) as connection:
            for attempt in range(MARKER_TRIES):
                command = list(MARKERS)[attempt % len(MARKERS)]
                send(connection, command)
                assert receive_lines(connection, 1) == [MARKERS[command]]
                if select.select([reader.stdout], [], [], MARKER_WAIT)[0]:
                    break
            assert reader.stdout.readline().strip() == "marked", "the reader never heard a marker in the Output box"
            send(connection, "ANALYZE")
            replies = receive_lines(connection, 1 + LINES)
        assert replies[0] == "OK"
        data_lines = replies[1:]
        heard = json.loads(reader.stdout.readline())
    finally:
        reader.wait(timeout=READ_TIMEOUT + REPLY_TIMEOUT)
    assert [text for text in heard["shown"] if text != "OK"] == data_lines


if __name__ == "__main__" and sys.argv[1:2] == ["--read"]:
    read_output_box(int(sys.argv[2]), int(sys.argv[3]))
