"""The kit's panel calls do exactly what was asked or fail within seconds in one line, leaving no
dialog open, the same whether the instrument has a window or not; a shared instrument is reset
between tests; the serial line runs at the settings the kit was given. Run with kestrin and
kestrin-headless on PATH, testkit/ on PYTHONPATH and -p kestrin_testkit.pytest_plugin."""

import os
import select
import socket
import statistics
import time

import pytest

from kestrin_testkit import Instrument, InstrumentError

FAIL_LIMIT = 3.0
RESET_LIMIT = 0.5
# 956 characters at 19200 baud, less the 50 ms a line saves up for the first look.
SLOWEST_AT_19200 = 0.45
REPLY_TIMEOUT = 10.0
# Both faces of the instrument, by Instrument's window argument.
MODES = pytest.mark.parametrize("window", [False, True], ids=["headless", "window"])


def exchange(port, command, replies=2, terminator=b"\r"):
    """Sends a command over TCP and returns the first lines that come back."""
    with socket.create_connection(("127.0.0.1", port), timeout=REPLY_TIMEOUT) as connection:
        connection.sendall(command.encode() + terminator)
        received = b""
        while received.count(terminator) < replies:
            chunk = connection.recv(4096)
            assert chunk, f"the connection ended after {received!r}"
            received += chunk
    return received.decode().split(terminator.decode())[:replies]


def data_file(folder, name, text="7,8"):
    path = os.path.join(folder, name)
    with open(path, "w") as file:
        file.write(text + "\n")
    return path


# Calls the window cannot follow: (preparation, call, the message; one ending in * gives its start,
# where the rest is the instrument's own text). Paths are in the test's folder.
CANNOT_BE_DONE = {
    "finite while a file is chosen": (
        lambda instrument, folder: instrument.panel.choose_data_file(data_file(folder, "lines.txt")),
        lambda instrument, folder: instrument.panel.choose_finite(5),
        "choose_finite: 'Finite' is greyed out: 'From a file' is chosen, which greys out Points and Profile; "
        "choose_flat() or choose_gaussian() chooses random data"),
    "a data file that is missing": (
        None,
        lambda instrument, folder: instrument.panel.choose_data_file(os.path.join(folder, "missing.txt")),
        "choose_data_file: '{folder}/missing.txt' is no such file; the instrument replays a file of lines"),
    "a frequency while off": (
        lambda instrument, folder: instrument.switch_off(),
        lambda instrument, folder: instrument.panel.set_frequency(5),
        "set_frequency: 'Frequency' is greyed out: the instrument is Off; switch it on first (switch_on())"),
    "a baud rate the dialog does not offer": (
        None,
        lambda instrument, folder: instrument.panel.set_serial_settings("115200,N,8,1"),
        "set_serial_settings: Communication Settings offers Baud Rate 1200, 2400, 9600, 14400, 19200, "
        "not '115200'"),
    "serial settings the port refuses": (
        None,
        lambda instrument, folder: instrument.panel.set_serial_settings("9600,E,7,1"),
        "set_serial_settings: the instrument refuses '9600,E,7,1': 'Error (frmMain - ResetRS232Port) 380: *"),
    "a token separator with spaces the dialog drops": (
        None,
        lambda instrument, folder: instrument.panel.set_formats(" ; "),
        "set_formats: the Token Separator field drops the spaces around typed text: ' ; ' would be ';'"),
    "an empty line terminator": (
        None,
        lambda instrument, folder: instrument.panel.set_formats(line_terminator=""),
        "set_formats: the Line Terminator field left empty keeps the terminator in force"),
}


@pytest.fixture(scope="module", params=[False, True], ids=["headless", "window"])
def shared_by_mode(request):
    with Instrument(window=request.param) as instrument:
        yield instrument


@pytest.fixture
def instrument(shared_by_mode):
    """The module's instrument of each face, reset before the test."""
    shared_by_mode.reset()
    return shared_by_mode


@pytest.mark.parametrize("prepare, call, says", CANNOT_BE_DONE.values(), ids=CANNOT_BE_DONE.keys())
def test_a_call_that_cannot_be_done_fails_fast_in_one_line_and_leaves_no_dialog(instrument, tmp_path, prepare, call,
                                                                                 says):
    folder = str(tmp_path)
    if prepare is not None:
        prepare(instrument, folder)
    called = time.monotonic()
    with pytest.raises(InstrumentError) as failure:
        call(instrument, folder)
    took = time.monotonic() - called
    print(f"failed in {took:.2f} s: {failure.value}")
    expected = says.format(folder=folder)
    if expected.endswith("*"):
        assert str(failure.value).startswith(expected[:-1]) and "\n" not in str(failure.value)
    else:
        assert str(failure.value) == expected
    assert took <= FAIL_LIMIT
    if instrument.window:
        assert instrument.panel.windows() == []


def test_a_data_file_without_extension_is_replayed_exactly(instrument, tmp_path):
    """The file dialog would make "data" into "data.txt", which lies beside it."""
    data_file(str(tmp_path), "data.txt", "5,6")
    instrument.panel.choose_data_file(data_file(str(tmp_path), "data", "1,2"))
    assert instrument.panel.settings()["File Name"] == "data"
    assert exchange(instrument.tcp_port, "ANALYZE") == ["OK", "1,2"]


def test_reset_brings_back_what_the_kit_started_with(instrument, tmp_path):
    """Both faces come back alike, whatever the last test left: generation, formats and serial line."""
    started = instrument.panel.settings()
    instrument.panel.choose_data_file(data_file(str(tmp_path), "lines.txt", "3,4"))
    instrument.panel.set_formats(";", "\n")
    with pytest.raises(InstrumentError):
        instrument.panel.set_serial_settings("9600,E,7,1")
    instrument.reset()
    assert instrument.panel.settings() == started
    assert exchange(instrument.tcp_port, "ANALYZE 2")[0] == "OK"
    assert os.path.exists(instrument.serial_port)


# What the first session test saw at its start, for the second to compare with.
first_session_test = {}


def test_a_session_instrument_changed_by_one_test(kestrin_instrument_session):
    instrument = kestrin_instrument_session
    first_session_test.update(pids=instrument.pids, settings=instrument.panel.settings())
    instrument.panel.choose_gaussian(3, 2)
    instrument.panel.choose_finite(7)
    instrument.panel.set_formats(";", "\n")
    reply, line = exchange(instrument.tcp_port, "ANALYZE 4", terminator=b"\n")
    assert reply == "OK" and len(line.split(";")) == 4, line
    assert instrument.panel.settings() != first_session_test["settings"]


def test_is_reset_for_the_next(kestrin_instrument_session):
    instrument = kestrin_instrument_session
    assert instrument.pids == first_session_test["pids"], "one instrument for the session"
    assert instrument.panel.settings() == first_session_test["settings"]
    reply, line = exchange(instrument.tcp_port, "ANALYZE 2")
    assert reply == "OK" and all(0.0 <= float(value) <= 1.0 for value in line.split(",")), line
    assert len(line.split(",")) == 2
    took = []
    for lines in (3, 4, 5):
        instrument.panel.choose_finite(lines)
        reset = time.monotonic()
        instrument.reset()
        took.append(time.monotonic() - reset)
    print(f"reset in {', '.join(f'{seconds:.3f}' for seconds in took)} s")
    assert statistics.median(took) < RESET_LIMIT


def answers(port):
    """Whether the instrument answers over TCP: a connection refused, reset or ended says no."""
    try:
        return exchange(port, "ANALYZE 1")[0] == "OK"
    except (OSError, AssertionError):
        return False


def test_switched_off_and_on_again(kestrin_instrument_session):
    instrument = kestrin_instrument_session
    instrument.switch_off()
    assert not answers(instrument.tcp_port)
    instrument.switch_on()
    assert answers(instrument.tcp_port)


@MODES
def test_serial_settings_pace_the_line(window):
    """A line at 9600 baud carries 960 characters a second (a start bit, 8 data bits, a stop bit
    each); at the 19200 the instrument starts with, twice that. The kit's line_speed fault paces
    the published port at the instrument's own settings (one fault given as one text); a command
    led by spaces is answered once all of it has come."""
    command = b" " * 950 + b"ABORT\r"
    with Instrument(serial_settings="9600,N,8,1", tcp=False, window=window,
                    faults="serial:line_speed") as instrument:
        line = os.open(instrument.serial_port, os.O_RDWR | os.O_NOCTTY)
        try:
            sent = time.monotonic()
            os.write(line, command)
            received = b""
            deadline = sent + REPLY_TIMEOUT
            while b"\r" not in received and select.select([line], [], [], max(0.0, deadline - time.monotonic()))[0]:
                received += os.read(line, 65536)
            took = time.monotonic() - sent
        finally:
            os.close(line)
    print(f"{len(command)} characters taken in {took:.2f} s")
    assert received.endswith(b"\r"), received
    assert took >= SLOWEST_AT_19200 * 1.6


@MODES
def test_serial_settings_the_dialog_does_not_offer_fail_the_start_in_one_line(window):
    with pytest.raises(InstrumentError) as failure:
        Instrument(serial_settings="115200,N,8,1", tcp=False, window=window).start()
    assert str(failure.value) == ("the instrument did not start: serial_settings: Communication Settings offers "
                                  "Baud Rate 1200, 2400, 9600, 14400, 19200, not '115200'")
