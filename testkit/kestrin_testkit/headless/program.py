"""kestrin-headless as the kit starts it: the program found, started in a private folder of its
own (its runtime folder and log there), watched for its end and taken down again. Private folders
left by a kit that was killed are cleared by the next one to start.
"""

import concurrent.futures
import logging
import os
import queue
import shutil
import socket
import subprocess
import tempfile
import threading
import time
from typing import Any, Callable, Optional

from kestrin_testkit import contract, processes

PROGRAM = "kestrin-headless"
WINDOW_PROGRAM = "kestrin"
# How long the program has to publish its conversation socket.
START_TIMEOUT = 10.0
START_POLL = 0.005
# The private folders, named after the process that owns them, so that one whose owner was killed
# is recognised and cleared by the next kit to start.
FOLDER_PREFIX = "kestrin-headless-"
# The end of the program's log that explains a failed start.
LOG_TAIL = 2000

# Variables that would map the instrument's serial ports to devices.
FOREIGN_VARIABLES = ("KESTRIN_COM1", "KESTRIN_COM2")

log = logging.getLogger(__name__)


class Ended(Exception):
    """The program has ended; the text says how."""


def program_for(program: Optional[str]) -> Optional[str]:
    """The kestrin-headless to start: the one given, the one beside a given kestrin, the one on
    PATH, else the one beside the kestrin on PATH; None when there is none."""
    if program is not None:
        if os.path.basename(program) == WINDOW_PROGRAM:
            program = os.path.join(os.path.dirname(shutil.which(program) or program), PROGRAM)
        return shutil.which(program)
    found = shutil.which(PROGRAM)
    window = shutil.which(WINDOW_PROGRAM)
    if found is None and window is not None:
        found = shutil.which(os.path.join(os.path.dirname(os.path.realpath(window)), PROGRAM))
    return found


def clear_abandoned_folders() -> None:
    """Removes the private folders of kits whose process has died (killed before it could)."""
    parent = tempfile.gettempdir()
    for entry in os.listdir(parent):
        owner = entry[len(FOLDER_PREFIX):].split("-", 1)[0]
        if not entry.startswith(FOLDER_PREFIX) or not owner.isdigit() or processes.is_alive(int(owner)):
            continue
        path = os.path.join(parent, entry)
        try:
            if os.lstat(path).st_uid != os.geteuid():
                continue
        except FileNotFoundError:
            continue  # another kit cleared it meanwhile
        log.info("removing %s, left by process %s", path, owner)
        shutil.rmtree(path, ignore_errors=True)


class _Launcher:
    """Starts the instruments from one thread that lasts as long as the process: the signal the
    kernel sends a child when its parent dies follows the thread that started it, not the process,
    and a test may start an instrument from a thread that ends before the instrument does."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._thread: Optional[threading.Thread] = None
        self._requests: queue.Queue[tuple[tuple, dict[str, Any], concurrent.futures.Future]] = queue.Queue()

    def popen(self, *args: Any, **kwargs: Any) -> subprocess.Popen:
        with self._lock:
            if self._thread is None or not self._thread.is_alive():
                self._thread = threading.Thread(target=self._serve, daemon=True, name="kestrin_testkit launcher")
                self._thread.start()
        started: concurrent.futures.Future[subprocess.Popen] = concurrent.futures.Future()
        self._requests.put((args, kwargs, started))
        try:
            return started.result()
        except BaseException:
            # The wait cut short (Ctrl-C): a process started all the same is ended, not left running.
            if started.exception() is None:
                process = started.result()
                process.kill()
                process.wait()
            raise

    def _serve(self) -> None:
        while True:
            args, kwargs, started = self._requests.get()
            try:
                started.set_result(subprocess.Popen(*args, **kwargs))
            except BaseException as failure:  # handed to the caller, who raises it
                started.set_exception(failure)


_launcher = _Launcher()


class HeadlessInstrument:
    """One kestrin-headless in a private folder (folder/runtime is its XDG_RUNTIME_DIR, its log
    beside it). on_end(why) is called once, from a thread of its own, when the program ends."""

    def __init__(self, program: str, on_end: Callable[[str], None]) -> None:
        clear_abandoned_folders()
        self.folder = tempfile.mkdtemp(prefix=f"{FOLDER_PREFIX}{os.getpid()}-")
        self.runtime = os.path.join(self.folder, "runtime")
        os.mkdir(self.runtime, 0o700)
        self.log_path = os.path.join(self.folder, f"{PROGRAM}.log")
        env = {name: value for name, value in os.environ.items() if name not in FOREIGN_VARIABLES}
        env.update(XDG_RUNTIME_DIR=self.runtime, TMPDIR=self.folder, LC_ALL="C.UTF-8")
        self.process: Optional[subprocess.Popen] = None
        try:
            with open(self.log_path, "wb") as output:
                # A session of its own: a Ctrl-C meant for the tests is not the instrument's.
                self.process = _launcher.popen([program], stdin=subprocess.DEVNULL, stdout=output, stderr=output,
                                               env=env, cwd=self.folder, start_new_session=True,
                                               preexec_fn=processes.end_with_parent)
            self.pid = self.process.pid
            self.ending: Optional[str] = None
            self._ended = threading.Event()
            self._on_end = on_end
            self._watcher = threading.Thread(target=self._watch, daemon=True, name=f"{PROGRAM} {self.pid} watcher")
            self._watcher.start()
        except BaseException:  # a start cut short (Ctrl-C) leaves no process or folder either
            if self.process is not None:
                self.process.kill()
                self.process.wait()
            shutil.rmtree(self.folder, ignore_errors=True)
            raise

    @property
    def dde_socket(self) -> str:
        return contract.dde_socket(self.runtime)

    @property
    def serial_port(self) -> str:
        return contract.serial_port(self.runtime)

    def has_ended(self, within: float = 0.0) -> bool:
        return self._ended.wait(within)

    def wait_serving(self) -> None:
        """Waits until the program takes connections on its conversation socket."""
        deadline = time.monotonic() + START_TIMEOUT
        while not self._answers():
            if self._ended.wait(START_POLL):
                raise Ended(f"{self.ending}{self.log_tail()}")
            if time.monotonic() > deadline:
                raise Ended(f"{PROGRAM} took no conversation within {START_TIMEOUT:.0f} s{self.log_tail()}")

    def _answers(self) -> bool:
        with socket.socket(socket.AF_UNIX) as probe:
            return probe.connect_ex(self.dde_socket) == 0

    def log_tail(self) -> str:
        with open(self.log_path, "rb") as output:
            output.seek(max(0, os.fstat(output.fileno()).st_size - LOG_TAIL))
            text = output.read().decode(errors="replace").strip()
        return f"\n{PROGRAM}'s output:\n{text}" if text else ""

    def close(self) -> None:
        """Ends the program (SIGTERM, then SIGKILL after a grace) and removes the folder."""
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(processes.TERMINATE_GRACE)
            except subprocess.TimeoutExpired:
                log.warning("%s (process %d) did not end within %.0f s of SIGTERM; killed", PROGRAM, self.pid,
                            processes.TERMINATE_GRACE)
                self.process.kill()
        self._watcher.join()
        shutil.rmtree(self.folder, ignore_errors=True)

    def _watch(self) -> None:
        status = self.process.wait()
        self.ending = f"{PROGRAM} (process {self.pid}) {processes.how_ended(status)}"
        self._ended.set()
        self._on_end(self.ending)


