"""The process that owns one instrument and its private desktop.

Instrument starts it as the leader of a session of its own, with one JSON object of settings as
its argument. It brings up the desktop and kestrin, works the panel, writes one line,
{"ready": {...}} or {"error": "..."}, then serves the panel driver's calls (panel_driver.py), one JSON line in
and one out: {"call": name, "args": [...]} answered by {"result": ...} or {"error": "..."}.
It logs to its standard error at the level KESTRIN_TESTKIT_LOG names (WARNING unless set).

The end of its input is the end of the instrument: whether the owner closes the pipe or dies,
the supervisor then ends every process of its session and removes the scratch folder the owner
made for it. SIGTERM, SIGINT and SIGHUP do the same. Should kestrin end first, the supervisor says
so at once in one line, {"ended": "kestrin (process ...) was killed by SIGKILL"}, answers no more
calls and ends the same way.
"""

import json
import logging
import os
import select
import selectors
import shutil
import signal
import sys
import traceback
from types import FrameType
from typing import IO, TYPE_CHECKING, Any, Optional

from kestrin_testkit import contract, processes
from kestrin_testkit.supervisor import desktop

if TYPE_CHECKING:
    # Imported for its types only: the library reads the buses' addresses when it loads.
    from kestrin_testkit.supervisor.accessibility import Program
    from kestrin_testkit.supervisor.panel_driver import PanelDriver

READ_SIZE = 65536


class Stop(Exception):
    pass


class Refused(Exception):
    """A setting asked for at start that the instrument's window does not take."""


def on_signal(signum: int, _frame: Optional[FrameType]) -> None:
    raise Stop(f"signal {signum}")


def serial_link(runtime: str) -> str:
    return contract.serial_port(runtime)


def bring_up(settings: dict[str, Any], scratch: str) -> tuple[desktop.Desktop, "Program", "PanelDriver", dict]:
    """Starts the desktop and kestrin and works the panel; returns what the owner needs to know."""
    display = desktop.Desktop(scratch, private_display=settings["private_display"]).start()
    os.environ.update(display.environment(os.environ))
    # Imported only now: the accessibility library reads the buses' addresses from the environment.
    from kestrin_testkit.panelsettings import PanelError
    from kestrin_testkit.supervisor import accessibility
    from kestrin_testkit.supervisor.panel_driver import PanelDriver

    # Failures are told in one line; the panel driver logs the windows' tree itself.
    accessibility.explain_failed_waits = False
    program = accessibility.Program(settings["program"], log_folder=scratch, cwd=scratch)
    driver = PanelDriver(program, serial_link(display.runtime))

    def set_up(setting: str, call: str, *args: Any) -> None:
        try:
            driver.call(call, list(args))
        except PanelError as refused:
            raise Refused(f"{setting}: {refused}") from None
    port = None
    if settings["tcp"]:
        port = settings["tcp_port"] or accessibility.free_port()
        driver.panel.enable_network(port)
    if settings["token_separator"] is not None or settings["line_terminator"] is not None:
        set_up("formats", "set_formats", settings["token_separator"], settings["line_terminator"])
    if settings["serial_settings"] is not None:
        set_up("serial_settings", "set_serial_settings", settings["serial_settings"])
    if settings["switch_on"]:
        # Port 1 is published at On; the owner may open it as soon as it hears of it.
        set_up("switch_on", "switch_on")
    driver.started()
    ready = {
        "display": display.display,
        "runtime": display.runtime,
        "tcp_port": port,
        "serial_port": serial_link(display.runtime),
        "dde_socket": contract.dde_socket(display.runtime),
        "kestrin_pid": program.pid,
        "pids": [os.getpid(), *processes.session_members()],
    }
    return display, program, driver, ready


def answer(driver: "PanelDriver", request: dict[str, Any], replies: IO[str]) -> None:
    name = request.get("call")
    try:
        reply = {"result": driver.call(name, request.get("args", []))}
    except (AssertionError, ValueError, TypeError) as failure:
        reply = {"error": f"{name}: {failure}"}
    replies.write(json.dumps(reply) + "\n")
    replies.flush()


# How long a failed call waits to learn whether kestrin's end caused it.
ENDING_GRACE = 1.0


def has_ended(pidfd: int, within: float = 0.0) -> bool:
    return bool(select.select([pidfd], [], [], within)[0])


def how_program_ended(program: "Program") -> str:
    return f"kestrin (process {program.pid}) {processes.how_ended(program.process.wait())}"


def serve(driver: "PanelDriver", program: "Program", commands: int, replies: IO[str]) -> Optional[str]:
    """Answers the owner's calls until the owner closes its end. Should kestrin end first, returns
    how it ended."""
    pending = b""
    with selectors.DefaultSelector() as selector:
        program_ended = os.pidfd_open(program.pid)
        try:
            selector.register(program_ended, selectors.EVENT_READ)
            selector.register(commands, selectors.EVENT_READ)
            while True:
                ready = [key.fd for key, _ in selector.select()]
                if program_ended in ready:
                    return how_program_ended(program)
                chunk = os.read(commands, READ_SIZE)
                if not chunk:
                    return None
                *lines, pending = (pending + chunk).split(b"\n")
                for line in lines:
                    # A call may arrive together with kestrin's end, or meet it halfway: either way
                    # the owner hears of the end, not of what the call tripped over.
                    if has_ended(program_ended):
                        return how_program_ended(program)
                    try:
                        answer(driver, json.loads(line), replies)
                    except Exception:
                        # The accessibility bus may learn of the end a moment before the kernel says so.
                        if has_ended(program_ended, within=ENDING_GRACE):
                            return how_program_ended(program)
                        raise
        finally:
            os.close(program_ended)


def log_tail(scratch: str, name: str) -> str:
    """The end of a program's log, to explain a failed start."""
    logs = sorted(entry for entry in os.listdir(scratch) if entry.startswith(name) and entry.endswith(".log"))
    if not logs:
        return ""
    with open(os.path.join(scratch, logs[-1]), "rb") as log:
        text = log.read()[-2000:].decode(errors="replace").strip()
    return f"\n{name}'s output:\n{text}" if text else ""


def main() -> int:
    settings = json.loads(sys.argv[1])
    logging.basicConfig(format="kestrin_testkit supervisor: %(message)s",
                        level=os.environ.get("KESTRIN_TESTKIT_LOG", "WARNING").upper())
    # The replies go out on the original standard output; the programs' chatter must never mix in.
    replies = os.fdopen(os.dup(sys.stdout.fileno()), "w")
    os.dup2(sys.stderr.fileno(), sys.stdout.fileno())
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, on_signal)
    processes.adopt_orphans()
    scratch = settings["scratch"]
    display = program = None
    try:
        try:
            display, program, driver, ready = bring_up(settings, scratch)
        except Stop:
            raise
        except Refused as refused:  # said in one line: no log, no traceback
            replies.write(json.dumps({"error": str(refused)}) + "\n")
            replies.flush()
            return 1
        except Exception as failure:  # every failure to start is reported to the owner, whatever its kind
            detail = "" if isinstance(failure, (AssertionError, RuntimeError, ValueError)) else traceback.format_exc()
            replies.write(json.dumps({"error": f"{failure}{log_tail(scratch, 'kestrin')}{detail}"}) + "\n")
            replies.flush()
            return 1
        replies.write(json.dumps({"ready": ready}) + "\n")
        replies.flush()
        ended = serve(driver, program, sys.stdin.fileno(), replies)
        if ended is None:
            return 0
        replies.write(json.dumps({"ended": ended}) + "\n")
        replies.flush()
        return 1
    except (Stop, BrokenPipeError):
        return 1
    finally:
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)
        if program is not None:
            program.stop()
        if display is not None:
            display.close()
        processes.end_processes(processes.session_members)
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
