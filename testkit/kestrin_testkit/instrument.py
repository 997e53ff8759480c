"""A running, switched-on instrument for a test: Instrument brings it up, hands out its resource
strings and takes it all down again.

Should kestrin or the supervisor that owns it die, the Instrument hears of it at once: the next
call fails naming what ended, and whatever a killed supervisor left (processes, the scratch
folder) is cleared away here.
"""

import atexit
import json
import os
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

from kestrin_testkit import desktop
from kestrin_testkit.faultchannels import CONTROL_VARIABLE, ChannelFaults, FaultChannels

READY_TIMEOUT = 60.0
# The ports the instrument's Network Settings accept.
TCP_PORTS = range(1, 32768)
CLOSE_TIMEOUT = 30.0
# The interpreter that has pyatspi from Debian's packages, whatever interpreter runs the tests.
SUPERVISOR_PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
KIT_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class InstrumentError(RuntimeError):
    """The instrument could not be brought up or did not do what it was asked."""


class RemotePanel:
    """The instrument's settings, made on its panel and in its dialogs as a person makes them.

    Each call checks the window once done; one the window does not take raises InstrumentError
    within seconds, in one line, and leaves no dialog open."""

    def __init__(self, instrument):
        self._instrument = instrument

    def settings(self) -> dict:
        """What the generation panel shows: each box's text by its caption ("Frequency",
        "No. Lines", ...), the chosen option of each pair ("Random/From a file": "Random"), and
        each check box (True when ticked)."""
        return self._instrument._call("generation_settings")

    def set_formats(self, token_separator=None, line_terminator=None):
        """Transmission Formats, as the characters: those of an entry ("," "\\t" " "; "\\r" "\\n"
        "\\r\\n") are picked, other printable text is typed (";", or "" for no separator)."""
        self._instrument._call("set_formats", token_separator, line_terminator)

    def set_serial_settings(self, settings):
        """Baud rate, parity, data bits and stop bits of port 1, as in "9600,N,8,1"."""
        self._instrument._call("set_serial_settings", settings)

    def set_frequency(self, lines_per_second):
        self._instrument._call("set_frequency", lines_per_second)

    def set_points_per_line(self, points):
        self._instrument._call("set_points_per_line", points)

    def choose_continuous(self):
        self._instrument._call("choose_continuous")

    def choose_finite(self, lines):
        self._instrument._call("choose_finite", lines)

    def choose_flat(self, minimum, maximum):
        self._instrument._call("choose_flat", minimum, maximum)

    def choose_gaussian(self, mean, st_dev):
        """st_dev is the panel's entry, which the instrument uses squared."""
        self._instrument._call("choose_gaussian", mean, st_dev)

    def choose_data_file(self, path):
        """A file of lines the instrument replays instead of random data, exactly this one,
        with or without an extension."""
        self._instrument._call("choose_data_file", os.path.abspath(path))

    def windows(self) -> list:
        """The titles of the dialogs and message boxes the instrument shows."""
        return self._instrument._call("shown_windows")


class Instrument:
    """kestrin on a private desktop, switched on, for the length of a with block.

    program: the kestrin to start (default: kestrin on PATH). tcp: enable its network server, on
    tcp_port or a free port. token_separator, line_terminator: Transmission Formats, as the
    characters ("," "\\t" " "; "\\r" "\\n" "\\r\\n"). serial_settings: port 1's line, as in
    "9600,N,8,1" (default "19200,N,8,1"). private_display: a virtual display even when a DISPLAY
    is set. reset() brings these settings back.

    Clients reach the instrument through the kit's fault layer: tcp, serial and dde set faults on
    each channel (instrument.tcp.latency(50)); faults: faults set from the start, as the command
    line writes them ("serial:line_speed"). transcript_dir: where the transcripts of what passed
    are kept (tcp.txt, serial.txt, dde.txt, panel.txt).
    """

    def __init__(self, program=None, *, tcp=True, tcp_port=None, token_separator=None, line_terminator=None,
                 serial_settings=None, switch_on=True, private_display=False, transcript_dir=None, faults=()):
        if tcp_port is not None and tcp_port not in TCP_PORTS:
            raise InstrumentError(f"the instrument's TCP port must be 1 to 32767, not {tcp_port}")
        self.program = program
        self.settings = {"tcp": tcp, "tcp_port": tcp_port, "token_separator": token_separator,
                         "line_terminator": line_terminator, "serial_settings": serial_settings,
                         "switch_on": switch_on,
                         "private_display": private_display}
        self.panel = RemotePanel(self)
        self.transcript_dir = transcript_dir
        self._start_faults = tuple(faults)
        self._faults = None
        self._supervisor = None
        self._watcher = None
        # One call at a time: the supervisor answers them in turn.
        self._lock = threading.Lock()
        self._ready = None
        self._replies = queue.Queue()
        self._ended = threading.Event()
        self._ending = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *_failure):
        self.close()

    @property
    def tcp_resource(self):
        port = self._info("tcp_port")
        return None if port is None else f"TCPIP::127.0.0.1::{port}::SOCKET"

    @property
    def tcp_port(self):
        return self._info("tcp_port")

    @property
    def serial_port(self):
        """The path of the instrument's virtual serial port 1."""
        return self._info("serial_port")

    @property
    def serial_resource(self):
        return f"ASRL{self.serial_port}::INSTR"

    @property
    def dde_socket(self):
        return self._info("dde_socket")

    @property
    def runtime_dir(self):
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
    def status(self) -> str:
        """The text the status bar shows now."""
        return self._call("status")

    @property
    def state(self) -> str:
        """What the State label shows now: "On", "Off", "Running" ..."""
        return self._call("state")

    @property
    def transcript(self):
        """What passed on each channel so far (transcript.tail(), transcript.path("tcp"))."""
        return self._faults.transcript if self._faults is not None else None

    @property
    def display(self):
        return self._info("display")

    @property
    def pids(self):
        """The supervisor and the processes it had started once the instrument was ready."""
        return tuple(self._info("pids"))

    @property
    def ready_seconds(self):
        """From start() until the instrument was switched on and its ports open."""
        return self._info("seconds")

    def environment(self):
        """The variables kestrin-testkit run hands to a command."""
        variables = {"KESTRIN_SERIAL_RESOURCE": self.serial_resource, "KESTRIN_DDE_SOCKET": self.dde_socket,
                     "KESTRIN_RUNTIME_DIR": self.runtime_dir, CONTROL_VARIABLE: self._faults.control_path}
        if self.tcp_resource is not None:
            variables["KESTRIN_TCP_RESOURCE"] = self.tcp_resource
        return variables

    def start(self):
        if self._supervisor is not None:
            raise InstrumentError("the instrument is already started")
        started = time.monotonic()
        program = shutil.which(self.program or "kestrin")
        if program is None:
            raise InstrumentError(f"kestrin not found ({self.program or 'not on PATH'}): install the Debian "
                                  "package tarvolin, or give the path of a built kestrin")
        try:
            desktop.require_programs(self.settings["private_display"] or not os.environ.get("DISPLAY"))
        except desktop.MissingPiece as missing:
            raise InstrumentError(str(missing)) from None
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [KIT_PARENT, env.get("PYTHONPATH")]))
        # Made here, so that it is known here and removed here should the supervisor be killed.
        scratch = tempfile.mkdtemp(prefix="kestrin-testkit-")
        arguments = dict(self.settings, program=os.path.abspath(program), scratch=scratch)
        self._replies = queue.Queue()
        self._ended = threading.Event()
        self._ending = None
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
        self._ready = dict(reply["ready"], seconds=round(time.monotonic() - started, 2))
        try:
            self._faults = FaultChannels(self._ready, os.path.join(scratch, "kit"), self.transcript_dir,
                                         self._start_faults)
        except (OSError, ValueError) as failure:
            self.close()
            raise InstrumentError(f"the kit's fault layer did not start: {failure}") from None
        # Clients are handed the fault layer's stand-ins; the instrument's own stay known to it alone.
        self._ready.update(self._faults.published())

    def close(self):
        """Ends the instrument and everything started for it; waits until they are gone."""
        supervisor, self._supervisor = self._supervisor, None
        if supervisor is None:
            return
        atexit.unregister(self.close)
        faults, self._faults = self._faults, None
        if faults is not None:
            faults.close()
        try:
            supervisor.stdin.close()
        except BrokenPipeError:
            pass  # the supervisor is gone already; the watcher clears up after it
        self._watcher.join(CLOSE_TIMEOUT)
        if self._watcher.is_alive():
            os.killpg(supervisor.pid, signal.SIGKILL)
            self._watcher.join()
        supervisor.stdout.close()

    def switch_on(self):
        """Presses On on the panel; returns once port 1 and the TCP port are open."""
        self._call("switch_on")

    def switch_off(self):
        """Presses Off on the panel: the instrument closes its ports and ends its conversations."""
        self._call("switch_off")

    def reset(self):
        """Switches the instrument off and on and brings its panel, Transmission Formats and
        serial settings back to how the kit started it, in well under a second. Message boxes
        left open are dismissed."""
        self._call("reset")

    def wait_ended(self) -> str:
        """Waits until the instrument has ended, on its own (kestrin or its supervisor died) or
        closed; returns why, e.g. "kestrin (process 4711) was killed by SIGKILL"."""
        self._ended.wait()
        return self._ending

    def _info(self, key):
        if self._ready is None:
            raise InstrumentError("the instrument is not started")
        return self._ready[key]

    def _channel(self, name):
        if self._faults is None:
            raise InstrumentError("the instrument is not started")
        try:
            return self._faults.channel(name)
        except ValueError as failure:
            raise InstrumentError(str(failure)) from None

    def _call(self, name, *args):
        if self._faults is not None:
            self._faults.note_panel(f"{name}({', '.join(map(repr, args))})")
        with self._lock:
            if self._supervisor is None:
                raise InstrumentError("the instrument is not started")
            failing = f"{name}: the instrument has ended"
            if self._ended.is_set():
                raise self._ended_error(failing)
            try:
                self._supervisor.stdin.write((json.dumps({"call": name, "args": args}) + "\n").encode())
                self._supervisor.stdin.flush()
            except BrokenPipeError:
                self._ended.wait(CLOSE_TIMEOUT)
                raise self._ended_error(failing) from None
            reply = self._receive(None, failing)
        if "error" in reply:
            if self._faults is not None:
                self._faults.note_panel(f"{name}: {reply['error']}")
            raise InstrumentError(reply["error"])
        if name in ("status", "state") and self._faults is not None:
            self._faults.note_panel(f"{name}: {reply['result']!r}")
        return reply["result"]

    def _ended_error(self, failing):
        return InstrumentError(f"{failing}: {self._ending}")

    def _receive(self, timeout, failing="the instrument did not start"):
        """The supervisor's next reply."""
        try:
            reply = self._replies.get(timeout=timeout)
        except queue.Empty:
            raise InstrumentError(f"the instrument was not ready within {timeout:.0f} s") from None
        if reply is None:
            raise self._ended_error(failing)
        return reply

    def _end(self, why):
        """Notes the first word of the instrument's end and wakes a call waiting for its reply."""
        if not self._ended.is_set():
            self._ending = why
            self._ended.set()
            self._replies.put(None)

    def _watch(self, supervisor, scratch):
        """Hands the supervisor's replies on and hears of the instrument's end the moment the
        supervisor tells of it or is gone; then ends what a killed supervisor left running and
        removes its scratch folder (after a supervisor that ended as it should, there is none)."""
        for line in supervisor.stdout:
            message = json.loads(line)
            if "ended" in message:
                self._end(message["ended"])
            else:
                self._replies.put(message)
        self._end(f"its supervisor (process {supervisor.pid}) {desktop.how_ended(supervisor.wait())}")
        desktop.end_processes(lambda: desktop.session_members(supervisor.pid), reap=False)
        shutil.rmtree(scratch, ignore_errors=True)
