"""kestrin-testkit run [options] -- COMMAND [ARGUMENT ...]
kestrin-testkit fault CHANNEL:FAULT[=VALUES][@DIRECTION] ...
kestrin-testkit faults

Brings up a switched-on instrument (windowless, or with --window kestrin's window on a private
virtual display), runs the command with KESTRIN_TCP_RESOURCE, KESTRIN_SERIAL_RESOURCE and
KESTRIN_DDE_SOCKET in its environment, takes the instrument down and exits with the command's exit
status (128 + the signal's number if a signal ended it).

The command runs in a process group of its own. When it ends, or the kit does whatever ends it,
every process the command started ends too, daemons that left its group included: SIGTERM, then
SIGKILL 5 s later for what is still there, named in one line. A second Ctrl-C kills it all at once.
Should the instrument end first, the kit says so in one line, ends the command and exits with 125.
Ctrl-C (SIGINT) at any moment, the instrument still starting included, ends what the kit started,
says so in one line and exits with 130; while the command runs it goes to the command first.

The command reaches the instrument through the kit's fault layer; --fault sets faults from the
start and `kestrin-testkit fault`, run by the command, sets and clears them while it runs, finding
its kit through KESTRIN_TESTKIT_CONTROL; `kestrin-testkit faults` prints those set, a line each.
"""

import argparse
import logging
import os
import selectors
import signal
import socket
import subprocess
import sys
import threading
from types import FrameType
from typing import Iterable, Optional, Sequence

from kestrin_testkit.commandgroup import (ENDING_GRACE, FORWARDED_SIGNALS, NOT_STARTED_STATUS, SIGNAL_STATUS_BASE,
                                         why_not_runnable)
from kestrin_testkit.faultlayer import control, parameters
from kestrin_testkit.instrument import KIT_PARENT, Instrument, InstrumentError

# How long the command's group leader has to end everything on SIGTERM (it kills what is left after
# its own grace) before the kit kills the group itself.
LEADER_GRACE = ENDING_GRACE + 5.0
# Starts the command's group leader, kestrin_testkit.commandgroup, isolated from the variables
# meant for the command (PYTHONPATH, PYTHONSTARTUP), which it hands on untouched.
GROUP_LEADER = (f"import sys; sys.path.insert(0, {KIT_PARENT!r}); "
                "from kestrin_testkit.commandgroup import main; sys.exit(main(sys.argv[1:]))")
TOKEN_SEPARATORS = {"comma": ",", "tab": "\t", "space": " "}
LINE_TERMINATORS = {"CR": "\r", "LF": "\n", "CRLF": "\r\n"}
INTERRUPTED_STATUS = SIGNAL_STATUS_BASE + signal.SIGINT
NO_FAULTS = "no faults set"

log = logging.getLogger("kestrin-testkit")


class Interrupted(BaseException):
    """Ctrl-C while the kit brings the instrument up. Not an Exception: no handler of a failure on
    the way up may take it for one."""


class Interruption:
    """What Ctrl-C does to the kit at each moment. While it starts the instrument (or reads its
    arguments), the start is cut short at once by Interrupted; while the command runs, the signal
    goes to the command's group, which decides; while the kit takes everything down, it is only
    noted, so that nothing is left half done. Either way the kit then says so once and exits 130.

    The kestrin-testkit launcher holds SIGINT blocked while Python loads the kit; let_through()
    takes a Ctrl-C that came meanwhile. A kit started with SIGINT ignored (a background job of a
    script) leaves it ignored."""

    def __init__(self) -> None:
        self.received = False
        # Ctrl-Cs the command's group has been sent: at the second its leader kills the group and
        # says so itself.
        self.forwarded = 0
        self._raising = True
        self._group: Optional[int] = None
        if signal.getsignal(signal.SIGINT) is not signal.SIG_IGN:
            signal.signal(signal.SIGINT, self._handle)

    def let_through(self) -> None:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})

    def forward_to(self, group: Optional[int]) -> None:
        """From now on Ctrl-C goes to the process group (None: it is only noted); one that came
        before goes there now."""
        self._raising = False
        self._group = group
        if group is not None and self.received:
            self.forwarded += 1
            signal_group(group, signal.SIGINT)

    def _handle(self, signum: int, _frame: Optional[FrameType]) -> None:
        self.received = True
        if self._group is not None:
            self.forwarded += 1
            signal_group(self._group, signum)
        if self._raising:
            self._raising = False
            raise Interrupted()


def parser() -> argparse.ArgumentParser:
    commands = argparse.ArgumentParser(prog="kestrin-testkit", description=__doc__.splitlines()[0])
    actions = commands.add_subparsers(dest="action", required=True)
    run = actions.add_parser("run", help="run a command beside a switched-on instrument")
    run.add_argument("--kestrin", metavar="PATH",
                     help="the program (default: kestrin-headless, or kestrin with --window, on PATH)")
    run.add_argument("--window", action="store_true",
                     help="kestrin's window on a private virtual display instead of the windowless instrument")
    run.add_argument("--private-display", action="store_true", help="the same as --window")
    run.add_argument("--tcp-port", type=int, metavar="PORT", help="the instrument's TCP port (default: a free one)")
    run.add_argument("--token-separator", choices=sorted(TOKEN_SEPARATORS))
    run.add_argument("--line-terminator", choices=sorted(LINE_TERMINATORS))
    run.add_argument("--serial-settings", metavar="SETTINGS",
                     help='serial port 1\'s line, as in "9600,N,8,1" (default "19200,N,8,1")')
    run.add_argument("--fault", action="append", default=[], metavar="CHANNEL:FAULT[=VALUES][@DIRECTION]",
                     help="a fault set from the start, as in tcp:latency=50 or serial:line_speed (repeatable)")
    run.add_argument("--transcript", metavar="DIR", help="keep the transcripts of what passed in DIR")
    run.add_argument("command", nargs=argparse.REMAINDER, help="-- then the command and its arguments")
    fault = actions.add_parser("fault", help="set or clear faults of the kit this command runs under")
    fault.add_argument("faults", nargs="+", metavar="CHANNEL:FAULT[=VALUES][@DIRECTION]",
                       help="as in tcp:disconnect, tcp:clear, serial:slice=1,gap_ms=2, dde:stall=2, "
                            "'tcp:replace=^OK$,Error 2: Illegal Command - ABORT,count=1' (a comma in a value: \\,)")
    actions.add_parser("faults", help="print the faults set on the kit this command runs under, a line each")
    return commands


def set_faults(texts: Iterable[str]) -> int:
    """kestrin-testkit fault: exits 0 once every fault is set, 2 naming each one refused."""
    try:
        errors = control.send(os.environ.get(control.CONTROL_VARIABLE), texts)
    except ValueError as failure:
        log.error("%s", failure)
        return 2
    for error in errors:
        log.error("%s", error)
    return 2 if errors else 0


def list_faults() -> int:
    """kestrin-testkit faults: prints the faults set, a line each, or that there are none; exits 2
    when no kit answers."""
    try:
        listed = control.listed(os.environ.get(control.CONTROL_VARIABLE))
    except (ValueError, OSError) as failure:
        log.error("%s", failure)
        return 2
    print("\n".join(listed) if listed else NO_FAULTS)
    return 0


def signal_group(group: int, signum: int) -> None:
    try:
        os.killpg(group, signum)
    except ProcessLookupError:
        pass  # the group has ended


def wait_forwarding(leader: subprocess.Popen) -> None:
    """Waits for the leader to end, leaving it unreaped, while the handlers forward the signals
    that come. Any of the kit's threads may take a signal, and then a wait in the main thread goes
    on undisturbed and the handler would not run: the wake-up socket ends the wait instead."""
    try:
        ended = os.pidfd_open(leader.pid)
    except ProcessLookupError:
        return  # reaped already, by the thread that ends the command with the instrument
    signals, wake_up = socket.socketpair()
    for end in (signals, wake_up):
        end.setblocking(False)
    previous = signal.set_wakeup_fd(wake_up.fileno(), warn_on_full_buffer=False)
    try:
        with selectors.DefaultSelector() as selector:
            selector.register(ended, selectors.EVENT_READ)
            selector.register(signals, selectors.EVENT_READ)
            # The handlers run as soon as this thread runs again.
            while not any(key.fd == ended for key, _ in selector.select()):
                signals.recv(4096)
    finally:
        signal.set_wakeup_fd(previous)
        os.close(ended)
        signals.close()
        wake_up.close()


def run_beside(instrument: Instrument, command: Sequence[str], interruption: Interruption) -> int:
    env = dict(os.environ, **instrument.environment())
    # A Ctrl-C from here on is the command's to hear, once it has a group to be sent to; the leader
    # starts with it held, as this launcher does, and runs no command after one.
    interruption.forward_to(None)
    if interruption.received:
        return INTERRUPTED_STATUS
    # The leader watches the read end: its end of input is the end of this process, however it ends.
    kit_alive, kit_ends = os.pipe()
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        leader = subprocess.Popen([sys.executable, "-I", "-c", GROUP_LEADER, str(kit_alive), *command],
                                  env=env, pass_fds=(kit_alive,), process_group=0)
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    os.close(kit_alive)
    for sig in FORWARDED_SIGNALS:
        if sig != signal.SIGINT:
            signal.signal(sig, lambda signum, _frame: signal_group(leader.pid, signum))
    interruption.forward_to(leader.pid)
    instrument_ended_first = threading.Event()

    def end_command_with_instrument() -> None:
        why = instrument.wait_ended()
        if leader.poll() is None:
            instrument_ended_first.set()
            log.error("the instrument ended before the command: %s; ending the command", why)
            signal_group(leader.pid, signal.SIGTERM)
            # A stopped command would take SIGTERM only once continued.
            signal_group(leader.pid, signal.SIGCONT)
            try:
                leader.wait(LEADER_GRACE)
            except subprocess.TimeoutExpired:
                signal_group(leader.pid, signal.SIGKILL)
    threading.Thread(target=end_command_with_instrument, daemon=True).start()
    # Not reaped yet: while the leader is a zombie its group's number cannot go to another group.
    wait_forwarding(leader)
    interruption.forward_to(None)
    # Whatever a killed leader could not end; after a leader that ended as it should there is none.
    signal_group(leader.pid, signal.SIGKILL)
    status = leader.wait()
    os.close(kit_ends)
    if instrument_ended_first.is_set():
        return NOT_STARTED_STATUS
    return SIGNAL_STATUS_BASE - status if status < 0 else status


def main(argv: Optional[Sequence[str]] = None) -> int:
    logging.basicConfig(format="kestrin-testkit: %(message)s", level=logging.INFO)
    interruption = Interruption()
    try:
        interruption.let_through()
        status = run_command_line(argv, interruption)
    except Interrupted:
        status = INTERRUPTED_STATUS
    if interruption.received:
        if interruption.forwarded < 2:
            log.error("interrupted: everything the kit started has ended")
        return INTERRUPTED_STATUS
    return status


def run_command_line(argv: Optional[Sequence[str]], interruption: Interruption) -> int:
    args = parser().parse_args(argv)
    if args.action == "fault":
        return set_faults(args.faults)
    if args.action == "faults":
        return list_faults()
    for text in args.fault:
        try:
            parameters.parse(text)
        except ValueError as failure:
            parser().error(str(failure))
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser().error("give the command to run after --")
    # Said before an instrument is brought up for a command that could never use it.
    unrunnable = why_not_runnable(command[0])
    if unrunnable is not None:
        log.error("cannot run %s: %s", command[0], unrunnable[1])
        return unrunnable[0]
    instrument = None
    try:
        instrument = Instrument(args.kestrin, tcp_port=args.tcp_port, window=args.window or args.private_display,
                                token_separator=TOKEN_SEPARATORS.get(args.token_separator),
                                line_terminator=LINE_TERMINATORS.get(args.line_terminator),
                                serial_settings=args.serial_settings, faults=args.fault,
                                transcript_dir=args.transcript)
        instrument.start()
        log.info("instrument ready in %.1f s at %s and %s", instrument.ready_seconds,
                 instrument.tcp_resource, instrument.serial_resource)
        return run_beside(instrument, command, interruption)
    except InstrumentError as failure:
        log.error("%s", failure)
        return NOT_STARTED_STATUS
    finally:
        # Taken down whole, however the run ended: a Ctrl-C now is only noted.
        interruption.forward_to(None)
        if instrument is not None:
            instrument.close()


if __name__ == "__main__":
    sys.exit(main())
