#!/usr/bin/python3
"""Runs end-to-end test modules against the built programs on a private desktop.

Each run gets the test kit's private desktop (testkit/kestrin_testkit/supervisor/desktop.py): its
own virtual X display (Xvfb), session bus and accessibility bus, its own runtime folder (so the DDE
sockets of one run never meet another's) and its own home folder. Qt's accessibility bridge is switched on
for every program started under it.

Nothing outlives the run: the runner makes itself a session leader, marks every process it
starts through an environment variable, and at the end, also after a failure or a time-out,
ends every process of its session or carrying its mark.

Usage: run_e2e.py --programs DIR [--timeout SECONDS] MODULE [MODULE ...]
       run_e2e.py --programs DIR [--timeout SECONDS] --script SCRIPT [ARGUMENT ...]
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import uuid

E2E_DIR = os.path.dirname(os.path.abspath(__file__))
KIT_DIR = os.path.join(os.path.dirname(os.path.dirname(E2E_DIR)), "testkit")
sys.path.insert(0, KIT_DIR)

from kestrin_testkit import processes  # noqa: E402 - found through the line above
from kestrin_testkit.supervisor.desktop import Desktop  # noqa: E402

MARKER_VARIABLE = "TARVOLIN_E2E_RUN"


class RunTimeout(Exception):
    pass


def on_signal(signum, _frame):
    raise RunTimeout(f"stopped by signal {signum}")


def carries_marker(pid, marker):
    try:
        with open(f"/proc/{pid}/environ", "rb") as environ:
            return f"{MARKER_VARIABLE}={marker}".encode() in environ.read().split(b"\0")
    except OSError:
        return False


def leftover_processes(marker):
    """Every process of this run: of its session, or carrying its mark."""
    session = os.getsid(0)
    return processes.processes_where(lambda pid: processes.session_of(pid) == session or carries_marker(pid, marker))


def program_environment(base, private_desktop, marker, scratch, programs):
    env = private_desktop.environment(base)
    env.update({
        "TARVOLIN_PROGRAM_DIR": programs,
        "TARVOLIN_E2E_SCRATCH": scratch,
        "PYTHONPATH": os.pathsep.join((E2E_DIR, KIT_DIR)),
        "PYTHONUNBUFFERED": "1",
        "PYTHONDONTWRITEBYTECODE": "1",
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
    processes.adopt_orphans()

    marker = uuid.uuid4().hex
    os.environ[MARKER_VARIABLE] = marker
    scratch = tempfile.mkdtemp(prefix="tarvolin-e2e-")
    status = 1
    try:
        private_desktop = Desktop(scratch).start()
        env = program_environment(os.environ, private_desktop, marker, scratch, os.path.abspath(args.programs))
        if args.script:
            command = [sys.executable, os.path.abspath(args.script), *args.modules]
        else:
            command = [sys.executable, "-m", "unittest", "-v", *args.modules]
        tests = subprocess.Popen(command, cwd=E2E_DIR, env=env, preexec_fn=processes.end_with_parent)
        try:
            status = tests.wait(timeout=args.timeout)
        except subprocess.TimeoutExpired:
            print(f"e2e: the run did not finish within {args.timeout:.0f} s; ending it", file=sys.stderr)
            status = 1
    except RunTimeout as stop:
        print(f"e2e: {stop}; ending the run", file=sys.stderr)
        status = 1
    except RuntimeError as failure:
        print(f"e2e: {failure}", file=sys.stderr)
        status = 1
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        processes.end_processes(lambda: leftover_processes(marker))
        if args.keep:
            print(f"e2e: scratch folder kept at {scratch}", file=sys.stderr)
        else:
            shutil.rmtree(scratch, ignore_errors=True)
        left = [pid for pid in leftover_processes(marker) if not processes.is_zombie(pid)]
        if left:
            print(f"e2e: processes still running after the run: {left}", file=sys.stderr)
            status = status or 1
    return status


if __name__ == "__main__":
    sys.exit(main())
