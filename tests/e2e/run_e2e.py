#!/usr/bin/python3
"""Runs end-to-end test modules against the built programs on a private desktop.

Each run gets its own virtual X display (Xvfb), its own session bus (dbus-run-session, which
also activates the accessibility bus of at-spi2-core on demand), its own runtime folder (so the
DDE sockets of one run never meet another's) and its own home folder. Qt's accessibility bridge
is switched on for every program started under it.

Nothing outlives the run: the runner makes itself a session leader, marks every process it
starts through an environment variable, and at the end, also after a failure or a time-out,
ends every process of its session or carrying its mark.

Usage: run_e2e.py --programs DIR [--timeout SECONDS] MODULE [MODULE ...]
       run_e2e.py --programs DIR [--timeout SECONDS] --script SCRIPT [ARGUMENT ...]
"""

import argparse
import ctypes
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import uuid

E2E_DIR = os.path.dirname(os.path.abspath(__file__))
MARKER_VARIABLE = "TARVOLIN_E2E_RUN"
PR_SET_CHILD_SUBREAPER = 36
PR_SET_PDEATHSIG = 1


def end_with_parent():
    """Run in a child before it starts: the child gets SIGTERM should the runner be killed
    outright (SIGKILL leaves the runner no chance to sweep)."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
SCREEN = "1280x1024x24"
XVFB_START_TIMEOUT = 30
TERMINATE_GRACE = 3.0


class RunTimeout(Exception):
    pass


def on_signal(signum, _frame):
    raise RunTimeout(f"stopped by signal {signum}")


def start_xvfb(log):
    """Starts Xvfb on a display number it picks itself and returns (process, display)."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", SCREEN, "-nolisten", "tcp"],
        pass_fds=(write_end,), stdout=log, stderr=log, preexec_fn=end_with_parent)
    os.close(write_end)
    deadline = time.monotonic() + XVFB_START_TIMEOUT
    number = b""
    with os.fdopen(read_end, "rb", buffering=0) as pipe:
        os.set_blocking(pipe.fileno(), False)
        while not number.endswith(b"\n"):
            if time.monotonic() > deadline or xvfb.poll() is not None:
                raise RuntimeError("Xvfb did not report its display")
            try:
                chunk = pipe.read(16)
            except BlockingIOError:
                chunk = None
            if chunk:
                number += chunk
            else:
                time.sleep(0.02)
    return xvfb, ":" + number.decode().strip()


def session_of(pid):
    with open(f"/proc/{pid}/stat", "rb") as stat:
        fields = stat.read().rsplit(b")", 1)[1].split()
    return int(fields[3])


def carries_marker(pid, marker):
    try:
        with open(f"/proc/{pid}/environ", "rb") as environ:
            return f"{MARKER_VARIABLE}={marker}".encode() in environ.read().split(b"\0")
    except OSError:
        return False


def leftover_processes(marker):
    own = os.getpid()
    own_session = os.getsid(0)
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == own:
            continue
        pid = int(entry)
        try:
            if session_of(pid) == own_session or carries_marker(pid, marker):
                found.append(pid)
        except (OSError, IndexError, ValueError):
            continue
    return found


def end_everything(marker):
    """Terminates every process of this run, then kills what is still there after a grace."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        pids = leftover_processes(marker)
        for pid in pids:
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + TERMINATE_GRACE
        while time.monotonic() < deadline:
            # Reap our own children so that they stop showing up as zombies.
            try:
                while os.waitpid(-1, os.WNOHANG)[0] > 0:
                    pass
            except ChildProcessError:
                pass
            remaining = [pid for pid in pids if os.path.exists(f"/proc/{pid}") and not is_zombie(pid)]
            if not remaining:
                break
            time.sleep(0.05)


def is_zombie(pid):
    try:
        with open(f"/proc/{pid}/stat", "rb") as stat:
            return stat.read().rsplit(b")", 1)[1].split()[0] == b"Z"
    except OSError:
        return True


def program_environment(base, display, marker, scratch, programs):
    env = dict(base)
    for variable in ("DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS", "NO_AT_BRIDGE", "QT_QPA_PLATFORM",
                     "KESTRIN_COM1", "KESTRIN_COM2", "WAYLAND_DISPLAY", "XAUTHORITY",
                     "SESSION_MANAGER", "QT_ACCESSIBILITY", "XDG_CURRENT_DESKTOP",
                     "QT_QPA_PLATFORMTHEME", "QT_STYLE_OVERRIDE", "QT_SCALE_FACTOR"):
        env.pop(variable, None)
    runtime = os.path.join(scratch, "runtime")
    home = os.path.join(scratch, "home")
    os.makedirs(runtime, mode=0o700)
    os.makedirs(home, mode=0o700)
    env.update({
        "DISPLAY": display,
        "XDG_RUNTIME_DIR": runtime,
        "HOME": home,
        "TMPDIR": scratch,
        "LC_ALL": "C.UTF-8",
        "QT_QPA_PLATFORM": "xcb",
        "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1",
        "TARVOLIN_PROGRAM_DIR": programs,
        "TARVOLIN_E2E_SCRATCH": scratch,
        "PYTHONPATH": E2E_DIR,
        "PYTHONUNBUFFERED": "1",
        "PYTHONDONTWRITEBYTECODE": "1",
        # pyatspi calls interfaces of the accessibility library that it marks as deprecated.
        "PYTHONWARNINGS": "ignore::DeprecationWarning",
        MARKER_VARIABLE: marker,
    })
    return env


def relay_to_session_leader():
    child = subprocess.Popen([sys.executable, os.path.abspath(__file__), *sys.argv[1:]], start_new_session=True)
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, lambda signum, _frame: child.send_signal(signum))
    return child.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--programs", required=True, help="folder of the built programs")
    parser.add_argument("--timeout", type=float, default=300, help="limit for the whole run, in seconds")
    parser.add_argument("--keep", action="store_true", help="keep the scratch folder for inspection")
    parser.add_argument("--script", help="a Python script to run on the desktop instead of test modules")
    parser.add_argument("modules", nargs="*", help="test modules, optionally Module.Class.test "
                                                   "(with --script: the script's arguments)")
    args = parser.parse_args()
    if not args.script and not args.modules:
        parser.error("name the test modules to run, or a script")

    if os.getsid(0) != os.getpid():
        try:
            os.setsid()
        except PermissionError:
            # A process group leader (a job of an interactive shell) cannot found a session:
            # run again as a child that can, so the shell's session is never swept.
            return relay_to_session_leader()
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, on_signal)
    # Processes orphaned during the run (the buses' helpers, a program another one started)
    # become our children, so that the sweep at the end also reaps them.
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)

    marker = uuid.uuid4().hex
    os.environ[MARKER_VARIABLE] = marker
    scratch = tempfile.mkdtemp(prefix="tarvolin-e2e-")
    status = 1
    try:
        with open(os.path.join(scratch, "xvfb.log"), "wb") as xvfb_log:
            _xvfb, display = start_xvfb(xvfb_log)
        env = program_environment(os.environ, display, marker, scratch, os.path.abspath(args.programs))
        if args.script:
            command = ["dbus-run-session", "--", sys.executable, os.path.abspath(args.script), *args.modules]
        else:
            command = ["dbus-run-session", "--", sys.executable, "-m", "unittest", "-v", *args.modules]
        tests = subprocess.Popen(command, cwd=E2E_DIR, env=env, preexec_fn=end_with_parent)
        try:
            status = tests.wait(timeout=args.timeout)
        except subprocess.TimeoutExpired:
            print(f"e2e: the run did not finish within {args.timeout:.0f} s; ending it", file=sys.stderr)
            status = 1
    except RunTimeout as stop:
        print(f"e2e: {stop}; ending the run", file=sys.stderr)
        status = 1
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        end_everything(marker)
        if args.keep:
            print(f"e2e: scratch folder kept at {scratch}", file=sys.stderr)
        else:
            shutil.rmtree(scratch, ignore_errors=True)
        left = [pid for pid in leftover_processes(marker) if not is_zombie(pid)]
        if left:
            print(f"e2e: processes still running after the run: {left}", file=sys.stderr)
            status = status or 1
    return status


if __name__ == "__main__":
    sys.exit(main())
