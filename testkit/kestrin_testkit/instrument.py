"""A running, switched-on instrument for a test: Instrument brings it up, hands out its resource
strings and takes it all down again.

By default the instrument is the windowless kestrin-headless, started from here and worked through
a conversation of the kit's own (headless/). With window=True it is kestrin's window on a private
desktop, which a supervisor process owns and works through accessibility (supervisor/).

Should the instrument or the supervisor that owns it die, the Instrument hears of it at once: the
next call fails naming what ended, and whatever a killed supervisor left (processes, the scratch
folder) is cleared away here.
"""

import atexit
import json
import math
import numbers
import os
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from typing import Any, Callable, Iterable, Optional, Union

from kestrin_testkit import processes
from kestrin_testkit.headless import program as headless
from kestrin_testkit.headless.panel import HeadlessPanel, bring_up
from kestrin_testkit.conversation import ConversationError, NackError
from kestrin_testkit.faultlayer.control import CONTROL_VARIABLE
from kestrin_testkit.faultlayer.handle import ChannelFaults
from kestrin_testkit.faultlayer.owner import FaultChannels
from kestrin_testkit.supervisor import desktop
from kestrin_testkit.transcript import Transcript

READY_TIMEOUT = 60.0
# The largest count the panel's boxes take for a run.
MAXIMUM_COUNT = 32767
# The ports the instrument's Network Settings accept.
TCP_PORTS = range(1, 32768)
CLOSE_TIMEOUT = 30.0
# How long a failed call waits to learn whether the instrument's end caused it.
ENDING_GRACE = 1.0
# The interpreter that has pyatspi from Debian's packages, whatever interpreter runs the tests.
SUPERVISOR_PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
KIT_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class InstrumentError(RuntimeError):
    """The instrument could not be brought up or did not do what it was asked."""


def current_test() -> Optional[str]:
    """The node id of the pytest test running ("tests/test_client.py::test_analyze"), or None."""
    running = os.environ.get("PYTEST_CURRENT_TEST")
    # pytest adds the phase: "tests/test_client.py::test_analyze (setup)".
    return running.rsplit(" (", 1)[0] if running else None


def check_number(call: str, name: str, value: Any, allowed: str = "a number",
                 holds: Callable[[float], bool] = lambda _value: True) -> None:
    """Refuses, in one line naming what is allowed, a value that is no finite number (a bool is
    none either) or for which `holds` is false."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not math.isfinite(value) \
            or not holds(value):
        raise ValueError(f"{call}: {name} must be {allowed}, not {value!r}")


def check_count(call: str, name: str, value: Any) -> None:
    """A whole number of points or lines, as the panel's boxes take them."""
    check_number(call, name, value, f"a whole number from 1 to {MAXIMUM_COUNT}",
                 lambda count: count == int(count) and 1 <= count <= MAXIMUM_COUNT)


class RemotePanel:
    """The instrument's settings, made on its panel and in its dialogs as a person makes them.

    Each call checks the window once done; one the window does not take raises InstrumentError
    within seconds, in one line, and leaves no dialog open."""

    def __init__(self, instrument: "Instrument") -> None:
        self._instrument = instrument

    def settings(self) -> dict:
        """What the generation panel shows: each box's text by its caption ("Frequency",
        "No. Lines", ...), the chosen option of each pair ("Random/From a file": "Random"), and
        each check box (True when ticked)."""
        return self._instrument._call("generation_settings")

    def set_formats(self, token_separator: Optional[str] = None, line_terminator: Optional[str] = None) -> None:
        """Transmission Formats, as the characters: those of an entry ("," "\\t" " "; "\\r" "\\n"
        "\\r\\n") are picked, other printable text is typed (";", or "" for no separator)."""
        self._instrument._call("set_formats", token_separator, line_terminator)

    def set_serial_settings(self, settings: str) -> None:
        """Baud rate, parity, data bits and stop bits of port 1, as in "9600,N,8,1"."""
        self._instrument._call("set_serial_settings", settings)

    def set_frequency(self, lines_per_second: float) -> None:
        """Lines a second, a number greater than 0."""
        check_number("set_frequency", "lines_per_second", lines_per_second, "a number greater than 0",
                     lambda value: value > 0)
        self._instrument._call("set_frequency", lines_per_second)

    def set_points_per_line(self, points: int) -> None:
        check_count("set_points_per_line", "points", points)
        self._instrument._call("set_points_per_line", points)

    def choose_continuous(self) -> None:
        self._instrument._call("choose_continuous")

    def choose_finite(self, lines: int) -> None:
        check_count("choose_finite", "lines", lines)
        self._instrument._call("choose_finite", lines)

    def choose_flat(self, minimum: float, maximum: float) -> None:
        for name, value in (("minimum", minimum), ("maximum", maximum)):
            check_number("choose_flat", name, value)
        self._instrument._call("choose_flat", minimum, maximum)

    def choose_gaussian(self, mean: float, st_dev: float) -> None:
        """st_dev is the panel's entry, which the instrument uses squared."""
        for name, value in (("mean", mean), ("st_dev", st_dev)):
            check_number("choose_gaussian", name, value)
        self._instrument._call("choose_gaussian", mean, st_dev)

    def choose_data_file(self, path: str) -> None:
        """A file of lines the instrument replays instead of random data, exactly this one,
        with or without an extension."""
        self._instrument._call("choose_data_file", os.path.abspath(path))

    def windows(self) -> list:
        """The titles of the dialogs and message boxes the window shows (window=True only)."""
        self._instrument._require_window("windows()", "the windowless instrument shows no dialogs")
        return self._instrument._call("shown_windows")


class Instrument:
    """A switched-on instrument for the length of a with block.

    window: kestrin's window on a private desktop of its own (a virtual display, a session bus and
    an accessibility bus), for tests of the panel itself and screenshots; by default the windowless
    kestrin-headless, which needs none of them. private_display: the same as window=True, as earlier
    releases wrote it. program: the program to start (default: kestrin-headless, or kestrin with
    window=True, on PATH); given a kestrin without a window, the kestrin-headless beside it.
    tcp: enable its network server, on tcp_port or a free port. token_separator,
    line_terminator: Transmission Formats, as the characters ("," "\\t" " "; "\\r" "\\n" "\\r\\n").
    serial_settings: port 1's line, as in "9600,N,8,1" (default "19200,N,8,1"). reset() brings
    these settings back.

    Clients reach the instrument through the kit's fault layer: tcp, serial and dde set faults on
    each channel (instrument.tcp.latency(50)); faults: faults set from the start, as the command
    line writes them, one text or several ("serial:line_speed"). transcript_dir: where the transcripts of what passed
    are kept (tcp.txt, serial.txt, dde.txt, panel.txt).
    """

    def __init__(self, program: Optional[str] = None, *, window: bool = False, tcp: bool = True,
                 tcp_port: Optional[int] = None, token_separator: Optional[str] = None,
                 line_terminator: Optional[str] = None, serial_settings: Optional[str] = None,
                 switch_on: bool = True, private_display: bool = False, transcript_dir: Optional[str] = None,
                 faults: Union[str, Iterable[str]] = ()) -> None:
        if tcp_port is not None and tcp_port not in TCP_PORTS:
            raise InstrumentError(f"the instrument's TCP port must be 1 to 32767, not {tcp_port}")
        self.program = program
        self.window = bool(window or private_display)
        # A window always gets a display of its own: instruments never meet on a shared one.
        self.settings = {"tcp": tcp, "tcp_port": tcp_port, "token_separator": token_separator,
                         "line_terminator": line_terminator, "serial_settings": serial_settings,
                         "switch_on": switch_on, "private_display": True}
        self.panel = RemotePanel(self)
        self.transcript_dir = transcript_dir
        # One text is one fault, not one per character.
        self._start_faults = (faults,) if isinstance(faults, str) else tuple(faults)
        self._faults = None
        self._supervisor = None
        self._watcher = None
        self._headless = None
        self._headless_panel: Optional[HeadlessPanel] = None
        # One call at a time: the instrument answers them in turn.
        self._lock = threading.Lock()
        self._ready = None
        self._replies = queue.Queue()
        self._ended = threading.Event()
        self._ending = None

    def __enter__(self) -> "Instrument":
        self.start()
        return self

    def __exit__(self, *_failure: object) -> None:
        self.close()

    @property
    def tcp_resource(self) -> Optional[str]:
        port = self._info("tcp_port")
        return None if port is None else f"TCPIP::127.0.0.1::{port}::SOCKET"

    @property
    def tcp_port(self) -> Optional[int]:
        return self._info("tcp_port")

    @property
    def serial_port(self) -> str:
        """The path of the instrument's virtual serial port 1."""
        return self._info("serial_port")

    @property
    def serial_resource(self) -> str:
        return f"ASRL{self.serial_port}::INSTR"

    @property
    def dde_socket(self) -> str:
        return self._info("dde_socket")

    @property
    def runtime_dir(self) -> str:
        return self._info("runtime")

    @property
    def tcp(self) -> ChannelFaults:
        """The TCP channel's faults."""
        return self._channel("tcp")

    @property
    def serial(self) -> ChannelFaults:
        """The serial channel's faults."""
        return self._channel("serial")

    @property
    def dde(self) -> ChannelFaults:
        """The conversation socket's faults."""
        return self._channel("dde")

    @property
    def faults(self) -> list:
        """The faults set now, a line each: channel, direction, the fault with its parameters and
        what remains of its count and duration, as in
        "tcp to_client: replace(match='^OK$', text='Error 2'), 1 of 2 left, 4.2 s of 5 s left"."""
        if self._faults is None:
            raise InstrumentError("the instrument is not started")
        return self._faults.layer.listing()

    @property
    def status(self) -> str:
        """The text the status bar shows now."""
        return self._call("status")

    @property
    def state(self) -> str:
        """What the State label shows now: "Off", "Idle", "Analyzing ..." or "Paused"; "" (the label
        blank) until the first command, when the kit started the instrument with switch_on=False."""
        return self._call("state")

    @property
    def transcript(self) -> Optional[Transcript]:
        """What passed on each channel so far (transcript.tail(), transcript.path("tcp"))."""
        return self._faults.transcript if self._faults is not None else None

    @property
    def display(self) -> str:
        """The window's private display (window=True only)."""
        self._require_window("display", "the windowless instrument has no display")
        return self._info("display")

    @property
    def pids(self) -> tuple[int, ...]:
        """kestrin-headless; or the supervisor and the processes it had started once the window was ready."""
        return tuple(self._info("pids"))

    @property
    def ready_seconds(self) -> float:
        """From start() until the instrument was switched on and its ports open."""
        return self._info("seconds")

    def environment(self) -> dict[str, str]:
        """The variables kestrin-testkit run hands to a command."""
        variables = {"KESTRIN_SERIAL_RESOURCE": self.serial_resource, "KESTRIN_DDE_SOCKET": self.dde_socket,
                     "KESTRIN_RUNTIME_DIR": self.runtime_dir, CONTROL_VARIABLE: self._faults.control_path}
        if self.tcp_resource is not None:
            variables["KESTRIN_TCP_RESOURCE"] = self.tcp_resource
        return variables

    @property
    def _started(self) -> bool:
        return self._supervisor is not None or self._headless is not None

    def start(self) -> None:
        if self._started:
            raise InstrumentError("the instrument is already started")
        started = time.monotonic()
        self._replies = queue.Queue()
        self._ended = threading.Event()
        self._ending = None
        folder = self._start_window() if self.window else self._start_headless()
        self._ready["seconds"] = round(time.monotonic() - started, 2)
        try:
            self._faults = FaultChannels(self._ready, os.path.join(folder, "kit"), self.transcript_dir,
                                         self._start_faults, self.settings["line_terminator"])
        except (OSError, ValueError) as failure:
            self.close()
            raise InstrumentError(f"the kit's fault layer did not start: {failure}") from None
        # Clients are handed the fault layer's stand-ins; the instrument's own stay known to it alone.
        self._ready.update(self._faults.published())

    def _start_headless(self) -> str:
        """Starts kestrin-headless and works its panel; returns its private folder."""
        program = headless.program_for(self.program)
        if program is None:
            raise InstrumentError(f"{headless.PROGRAM} not found ({self.program or 'not on PATH'}): install the "
                                  f"Debian package tarvolin, or give the path of a built {headless.PROGRAM}")
        try:
            self._headless = headless.HeadlessInstrument(os.path.abspath(program), self._end)
        except OSError as failure:
            raise InstrumentError(f"the instrument did not start: {program}: {failure}") from None
        atexit.register(self.close)
        instrument = self._headless
        try:
            self._headless_panel, port = bring_up(instrument, self.settings)
        except AssertionError as refused:  # a setting the instrument refuses, said in one line
            self.close()
            raise InstrumentError(f"the instrument did not start: {refused}") from None
        except (ConversationError, headless.Ended, OSError) as failure:
            why = self._ending if instrument.has_ended(ENDING_GRACE) else failure
            tail = instrument.log_tail()
            self.close()
            raise InstrumentError(f"the instrument did not start: {why}{tail}") from None
        self._ready = {"display": None, "runtime": instrument.runtime, "tcp_port": port,
                       "serial_port": instrument.serial_port, "dde_socket": instrument.dde_socket,
                       "kestrin_pid": instrument.pid, "pids": [instrument.pid]}
        return instrument.folder

    def _start_window(self) -> str:
        """Starts the supervisor, which brings up the desktop and the window; returns its scratch folder."""
        program = shutil.which(self.program or "kestrin")
        if program is None:
            raise InstrumentError(f"kestrin not found ({self.program or 'not on PATH'}): install the Debian "
                                  "package tarvolin, or give the path of a built kestrin")
        try:
            desktop.require_programs(self.settings["private_display"])
        except desktop.MissingPiece as missing:
            raise InstrumentError(str(missing)) from None
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [KIT_PARENT, env.get("PYTHONPATH")]))
        # Made here, so that it is known here and removed here should the supervisor be killed.
        scratch = tempfile.mkdtemp(prefix="kestrin-testkit-")
        arguments = dict(self.settings, program=os.path.abspath(program), scratch=scratch)
        # A session of its own: the supervisor outlives no owner (it watches its input) and
        # takes all it started with it.
        self._supervisor = subprocess.Popen(
            [SUPERVISOR_PYTHON, "-m", "kestrin_testkit.supervisor", json.dumps(arguments)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, start_new_session=True)
        self._watcher = threading.Thread(target=self._watch, args=(self._supervisor, scratch), daemon=True,
                                         name="kestrin_testkit supervisor watcher")
        self._watcher.start()
        atexit.register(self.close)
        try:
            reply = self._receive(READY_TIMEOUT)
        except InstrumentError:
            self.close()
            raise
        if "ready" not in reply:
            self.close()
            raise InstrumentError(f"the instrument did not start: {reply.get('error', reply)}")
        self._ready = dict(reply["ready"])
        return scratch

    def close(self) -> None:
        """Ends the instrument and everything started for it; waits until they are gone."""
        if not self._started:
            return
        atexit.unregister(self.close)
        faults, self._faults = self._faults, None
        if faults is not None:
            faults.close()
        if self._headless is not None:
            self._close_headless()
        else:
            self._close_window()

    def _close_headless(self) -> None:
        panel, self._headless_panel = self._headless_panel, None
        if panel is not None:
            panel.close()
        instrument, self._headless = self._headless, None
        instrument.close()

    def _close_window(self) -> None:
        supervisor, self._supervisor = self._supervisor, None
        try:
            supervisor.stdin.close()
        except BrokenPipeError:
            pass  # the supervisor is gone already; the watcher clears up after it
        self._watcher.join(CLOSE_TIMEOUT)
        if self._watcher.is_alive():
            os.killpg(supervisor.pid, signal.SIGKILL)
            self._watcher.join()
        supervisor.stdout.close()

    def switch_on(self) -> None:
        """Presses On on the panel; returns once port 1 and the TCP port are open."""
        self._call("switch_on")

    def switch_off(self) -> None:
        """Presses Off on the panel: the instrument closes its ports and ends its conversations."""
        self._call("switch_off")

    def reset(self, mark: Optional[str] = None) -> None:
        """Brings the instrument back to how the kit brought it up, in well under a second: every
        fault on every channel cleared (those given as faults= set again), its panel, Transmission
        Formats and serial settings as the kit started it, the pace a file run goes at too (a file
        run keeps that of the last random run), switched off and on, so that no connection of
        before is left; the window's message boxes left open are dismissed.

        Then writes a mark into every transcript, "==== mark ====", where what follows begins:
        by default the name of the pytest test running (from PYTEST_CURRENT_TEST), else "reset()"."""
        if self._faults is not None:
            for channel in self._faults.channels.values():
                channel.clear()
            for text in self._start_faults:
                self._faults.set_text(text)
        self._call("reset")
        if self._faults is not None:
            self._faults.transcript.mark(mark if mark is not None else current_test() or "reset()")

    def wait_ended(self) -> str:
        """Waits until the instrument has ended, on its own (the instrument or its supervisor died)
        or closed; returns why, e.g. "kestrin-headless (process 4711) was killed by SIGKILL"."""
        self._ended.wait()
        return self._ending

    def _info(self, key: str) -> Any:
        if self._ready is None:
            raise InstrumentError("the instrument is not started")
        return self._ready[key]

    def _channel(self, name: str) -> ChannelFaults:
        if self._faults is None:
            raise InstrumentError("the instrument is not started")
        try:
            return self._faults.channel(name)
        except ValueError as failure:
            raise InstrumentError(str(failure)) from None

    def _require_window(self, call: str, why: str) -> None:
        if not self.window:
            raise InstrumentError(f"{call}: {why}; start the instrument with window=True")

    def _call(self, name: str, *args: Any) -> Any:
        if self._faults is not None:
            self._faults.note_panel(f"{name}({', '.join(map(repr, args))})")
        with self._lock:
            if not self._started:
                raise InstrumentError("the instrument is not started")
            failing = f"{name}: the instrument has ended"
            if self._ended.is_set():
                raise self._ended_error(failing)
            reply = self._ask_window(name, args, failing) if self.window else self._ask_headless(name, args, failing)
        if "error" in reply:
            if self._faults is not None:
                self._faults.note_panel(f"{name}: {reply['error']}")
            raise InstrumentError(reply["error"])
        if name in ("status", "state") and self._faults is not None:
            self._faults.note_panel(f"{name}: {reply['result']!r}")
        return reply["result"]

    def _ask_window(self, name: str, args: tuple, failing: str) -> dict[str, Any]:
        try:
            self._supervisor.stdin.write((json.dumps({"call": name, "args": args}) + "\n").encode())
            self._supervisor.stdin.flush()
        except BrokenPipeError:
            self._ended.wait(CLOSE_TIMEOUT)
            raise self._ended_error(failing) from None
        return self._receive(None, failing)

    def _ask_headless(self, name: str, args: tuple, failing: str) -> dict[str, Any]:
        """The call's reply in the supervisor's words; a call the instrument's end cut short fails naming the end."""
        try:
            return {"result": self._headless_panel.call(name, list(args))}
        except (AssertionError, ValueError, TypeError, ConversationError, OSError) as failure:
            # A call may meet the instrument's end halfway: the owner hears of the end, not of what it tripped over.
            cut_short = isinstance(failure, (ConversationError, OSError)) and not isinstance(failure, NackError)
            if self._headless.has_ended(ENDING_GRACE if cut_short else 0):
                raise self._ended_error(failing) from None
            return {"error": f"{name}: {failure}"}

    def _ended_error(self, failing: str) -> InstrumentError:
        return InstrumentError(f"{failing}: {self._ending}")

    def _receive(self, timeout: Optional[float], failing: str = "the instrument did not start") -> dict[str, Any]:
        """The supervisor's next reply."""
        try:
            reply = self._replies.get(timeout=timeout)
        except queue.Empty:
            raise InstrumentError(f"the instrument was not ready within {timeout:.0f} s") from None
        if reply is None:
            raise self._ended_error(failing)
        return reply

    def _end(self, why: str) -> None:
        """Notes the first word of the instrument's end and wakes a call waiting for its reply."""
        if not self._ended.is_set():
            self._ending = why
            self._ended.set()
            self._replies.put(None)

    def _watch(self, supervisor: subprocess.Popen, scratch: str) -> None:
        """Hands the supervisor's replies on and hears of the instrument's end the moment the
        supervisor tells of it or is gone; then ends what a killed supervisor left running and
        removes its scratch folder (after a supervisor that ended as it should, there is none)."""
        for line in supervisor.stdout:
            message = json.loads(line)
            if "ended" in message:
                self._end(message["ended"])
            else:
                self._replies.put(message)
        self._end(f"its supervisor (process {supervisor.pid}) {processes.how_ended(supervisor.wait())}")
        processes.end_processes(lambda: processes.session_members(supervisor.pid), reap=False)
        shutil.rmtree(scratch, ignore_errors=True)
