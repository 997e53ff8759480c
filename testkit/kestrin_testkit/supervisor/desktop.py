"""A private desktop for the instrument: a virtual display (Xvfb), a session bus that activates
the accessibility bus, and a runtime and home folder of its own. Runs in the supervisor (and in
the end-to-end suites' runner); the kit's process only checks, before it starts a supervisor, that
the desktop's programs are installed (require_programs).
"""

import importlib.util
import os
import shutil
import subprocess
import time
from typing import IO, Mapping, Optional

from kestrin_testkit.processes import POLL_INTERVAL, TERMINATE_GRACE, end_with_parent

SCREEN = "1280x1024x24"
START_TIMEOUT = 30.0
ACCESSIBILITY_BUS_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
ACCESSIBILITY_BUS_TIMEOUT_MS = 10000

# Settings of the surrounding desktop that would lead the programs to another display, bus,
# platform or look, or map their serial ports to devices.
FOREIGN_VARIABLES = (
    "DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS", "NO_AT_BRIDGE", "QT_QPA_PLATFORM",
    "KESTRIN_COM1", "KESTRIN_COM2", "WAYLAND_DISPLAY", "SESSION_MANAGER", "QT_ACCESSIBILITY",
    "XDG_CURRENT_DESKTOP", "QT_QPA_PLATFORMTHEME", "QT_STYLE_OVERRIDE", "QT_SCALE_FACTOR",
)


class MissingPiece(RuntimeError):
    """A program or module the desktop needs is not installed."""


def require_program(path_or_name: str, what: str, package: str) -> str:
    found = shutil.which(path_or_name)
    if found is None:
        raise MissingPiece(f"{what} ({path_or_name}) is missing: install the Debian package {package}")
    return found


def require_module(name: str, what: str, package: str) -> None:
    if importlib.util.find_spec(name) is None:
        raise MissingPiece(f"{what} (Python module {name}) is missing: install the Debian package {package}")


def require_programs(private_display: bool) -> None:
    """Fails naming the first missing program and the package that brings it."""
    if private_display:
        require_program("Xvfb", "the virtual display", "xvfb")
    require_program("dbus-daemon", "the session bus", "dbus")
    require_program(ACCESSIBILITY_BUS_LAUNCHER, "the accessibility bus", "at-spi2-core")


def _read_line(process: subprocess.Popen, pipe: IO[bytes], what: str) -> str:
    """One line a starting process writes to a non-blocking pipe, within the start time-out."""
    deadline = time.monotonic() + START_TIMEOUT
    line = b""
    os.set_blocking(pipe.fileno(), False)
    while not line.endswith(b"\n"):
        if process.poll() is not None:
            raise RuntimeError(f"{what} ended with status {process.returncode} before it was ready")
        if time.monotonic() > deadline:
            raise RuntimeError(f"{what} was not ready within {START_TIMEOUT:.0f} s")
        try:
            chunk = pipe.read(256)
        except BlockingIOError:
            chunk = None
        if chunk:
            line += chunk
        else:
            time.sleep(POLL_INTERVAL)
    return line.decode().strip()


class Desktop:
    """Starts and ends the pieces of a private desktop below a scratch folder.

    With private_display false and a DISPLAY set, the programs appear on that display; the buses
    and folders are private all the same.
    """

    def __init__(self, scratch: str, *, private_display: bool = True) -> None:
        self.scratch = scratch
        self.private_display = private_display or not os.environ.get("DISPLAY")
        self.runtime = os.path.join(scratch, "runtime")
        self.home = os.path.join(scratch, "home")
        self.display: Optional[str] = None
        self.session_bus: Optional[str] = None
        self.processes: list[subprocess.Popen] = []

    def start(self) -> "Desktop":
        require_programs(self.private_display)
        require_module("pyatspi", "the accessibility library", "python3-pyatspi")
        os.makedirs(self.runtime, mode=0o700)
        os.makedirs(self.home, mode=0o700)
        self.display = self._start_xvfb() if self.private_display else os.environ["DISPLAY"]
        self.session_bus = self._start_session_bus()
        self._start_accessibility_bus()
        return self

    def environment(self, base: Mapping[str, str]) -> dict[str, str]:
        """base with the desktop's display, buses, folders and Qt's accessibility bridge on."""
        env = {name: value for name, value in base.items() if name not in FOREIGN_VARIABLES}
        env.update({
            "DISPLAY": self.display,
            "DBUS_SESSION_BUS_ADDRESS": self.session_bus,
            "XDG_RUNTIME_DIR": self.runtime,
            "HOME": self.home,
            "TMPDIR": self.scratch,
            "LC_ALL": "C.UTF-8",
            "QT_QPA_PLATFORM": "xcb",
            "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1",
            # pyatspi calls interfaces of the accessibility library that it marks as deprecated.
            "PYTHONWARNINGS": "ignore::DeprecationWarning",
        })
        if not self.private_display and "XAUTHORITY" in base:
            env["XAUTHORITY"] = base["XAUTHORITY"]
        else:
            env.pop("XAUTHORITY", None)
        return env

    def close(self) -> None:
        """Ends the processes this desktop started, the last started first."""
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
        for process in reversed(self.processes):
            try:
                process.wait(timeout=TERMINATE_GRACE)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        self.processes.clear()

    def _log(self, name: str) -> IO[bytes]:
        return open(os.path.join(self.scratch, f"{name}.log"), "wb")

    def _start_xvfb(self) -> str:
        """Xvfb on a display number it picks itself (-displayfd), so that desktops never collide."""
        read_end, write_end = os.pipe()
        with self._log("xvfb") as log:
            xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", SCREEN, "-nolisten", "tcp"],
                pass_fds=(write_end,), stdout=log, stderr=log, preexec_fn=end_with_parent)
        self.processes.append(xvfb)
        os.close(write_end)
        with os.fdopen(read_end, "rb", buffering=0) as pipe:
            return ":" + _read_line(xvfb, pipe, "Xvfb")

    def _start_session_bus(self) -> str:
        """A session bus whose activated services (the accessibility bus) see this display."""
        env = dict(os.environ, DISPLAY=self.display, XDG_RUNTIME_DIR=self.runtime, HOME=self.home)
        for name in ("DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS", "WAYLAND_DISPLAY"):
            env.pop(name, None)
        with self._log("session-bus") as log:
            bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                   stdout=subprocess.PIPE, stderr=log, env=env, preexec_fn=end_with_parent)
        self.processes.append(bus)
        return _read_line(bus, bus.stdout, "the session bus")

    def _start_accessibility_bus(self) -> None:
        """Asks the session bus for the accessibility bus's address, which starts it, so that the
        programs find it running and a bus that cannot start is reported here. The programs and
        the accessibility library look the bus up themselves: Qt 6.4's bridge stays silent when
        handed its address in AT_SPI_BUS_ADDRESS."""
        from gi.repository import Gio, GLib
        flags = Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION
        try:
            bus = Gio.DBusConnection.new_for_address_sync(self.session_bus, flags, None, None)
            reply = bus.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", None,
                                  GLib.VariantType("(s)"), Gio.DBusCallFlags.NONE,
                                  ACCESSIBILITY_BUS_TIMEOUT_MS, None)
            bus.close_sync(None)
        except GLib.Error as failure:
            raise RuntimeError(f"the accessibility bus did not start: {failure.message}") from None
        if not reply.unpack()[0]:
            raise RuntimeError("the session bus gave no address for the accessibility bus")
