"""The leader of the process group that kestrin-testkit run runs a command in.

It runs the command as its child, in its own group, and waits for whichever comes first: the
command ends, the kit that started it ends (the read end of a pipe whose write end only the kit
holds reports the end of its input, also when the kit is killed), or a signal says to end. Then it
ends every process below it, in its group or not: as a subreaper it adopts what the command's
processes orphan, daemons that left the group and session included. Each gets SIGTERM, and those
still there ENDING_GRACE seconds later SIGKILL, named in one line. It exits with the command's
status (128 plus the signal's number if a signal ended it).

The kit forwards the signals it receives to the whole group; the leader lets them pass, since the
command decides whether they end it. SIGTERM and SIGHUP start the ending above, what the group
received counting as the SIGTERM of its members; a second SIGINT (a second Ctrl-C) kills
everything at once. When the kit runs in the foreground of a terminal, the group takes the
terminal over while the command runs, so that the command can read from it (and its Ctrl-C comes
here).
"""

import errno
import logging
import os
import select
import selectors
import shutil
import signal
import socket
import subprocess
import time
from typing import Optional

from kestrin_testkit import processes

SIGNAL_STATUS_BASE = 128
# The kit's own failures (the command could not be run, the kit ended first), as for a command that
# cannot be run.
NOT_STARTED_STATUS = 125
# A command that cannot be run, as a shell reports it: not found, or found but not executable.
COMMAND_NOT_FOUND_STATUS = 127
COMMAND_NOT_EXECUTABLE_STATUS = 126
# Signals the kit forwards to the group: they are meant for the command, not for its leader.
FORWARDED_SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)
ENDING_SIGNALS = (signal.SIGTERM, signal.SIGHUP)
# Signals that stop a whole group that reads from or writes to a terminal it does not own: they
# may stop the command, never the leader, which must stay able to end the group.
STOPPING_SIGNALS = (signal.SIGTTIN, signal.SIGTTOU)
STANDARD_INPUT = 0
# How long a process has to end on SIGTERM before it is killed.
ENDING_GRACE = 5.0
# How often the processes below are looked at again while they end.
POLL_INTERVAL = 0.05
# How many processes the line about those killed names; the others are counted.
NAMED_LIMIT = 5

log = logging.getLogger("kestrin-testkit")


def why_not_runnable(program: str) -> Optional[tuple[int, str]]:
    """Whether program cannot be run, found on PATH as a shell finds it: the status a shell
    exits with and why, or None."""
    if "/" not in program:
        found = shutil.which(program)
        if found is not None:
            return None
        on_path = [os.path.join(folder, program) for folder in os.environ.get("PATH", os.defpath).split(os.pathsep)]
        if not any(os.path.isfile(candidate) for candidate in on_path):
            return COMMAND_NOT_FOUND_STATUS, os.strerror(errno.ENOENT)
        return COMMAND_NOT_EXECUTABLE_STATUS, os.strerror(errno.EACCES)
    if not os.path.exists(program):
        return COMMAND_NOT_FOUND_STATUS, os.strerror(errno.ENOENT)
    if os.path.isdir(program) or not os.access(program, os.X_OK):
        return COMMAND_NOT_EXECUTABLE_STATUS, os.strerror(errno.EACCES)
    return None


def hand_terminal(from_group: int, to_group: int) -> None:
    """Makes to_group the foreground of the terminal on standard input, if from_group has it."""
    # A process outside the foreground may take the terminal only while it ignores SIGTTOU.
    previous = signal.signal(signal.SIGTTOU, signal.SIG_IGN)
    try:
        if os.tcgetpgrp(STANDARD_INPUT) == from_group:
            os.tcsetpgrp(STANDARD_INPUT, to_group)
    except OSError:
        pass  # no terminal, or the kit's group is gone and its shell takes the terminal back
    finally:
        signal.signal(signal.SIGTTOU, previous)


def main(arguments: list) -> int:
    """arguments: the pipe's read end, then the command and its arguments."""
    logging.basicConfig(format="kestrin-testkit: %(message)s")
    kit = int(arguments[0])
    command = arguments[1:]
    # The handlers do nothing: a signal is told through the wake-up socket, so that a wait sees it.
    signals, signal_writer = socket.socketpair()
    for end in (signals, signal_writer):
        end.setblocking(False)
    signal.set_wakeup_fd(signal_writer.fileno(), warn_on_full_buffer=False)
    for sig in FORWARDED_SIGNALS + STOPPING_SIGNALS:
        signal.signal(sig, lambda _signum, _frame: None)
    # The kit starts this process with SIGINT held, so that a Ctrl-C while Python loads it is told too.
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    # What the command leaves behind is reparented here, so that the ending finds it.
    processes.adopt_orphans()
    kit_group = os.getpgid(os.getppid())
    hand_terminal(kit_group, os.getpgrp())
    try:
        return CommandGroup(command, kit, signals).run()
    finally:
        hand_terminal(os.getpgrp(), kit_group)


class CommandGroup:
    """The command, run until it or the kit ends or a signal says to end, then everything below
    this process ended."""

    def __init__(self, command: list, kit: int, signals: socket.socket) -> None:
        self.command = command
        self.kit = kit
        self.signals = signals
        self.interrupts = 0
        self.status = None
        self.child = None

    def run(self) -> int:
        # A signal the kit forwarded before the command started is no one's but the command's.
        forwarded = [signum for signum in self._received() if signum in FORWARDED_SIGNALS]
        if forwarded:
            return SIGNAL_STATUS_BASE + forwarded[0]
        try:
            self.child = subprocess.Popen(self.command)
        except OSError as failure:
            log.error("cannot run %s: %s", self.command[0], failure.strerror)
            return COMMAND_NOT_FOUND_STATUS if failure.errno == errno.ENOENT else COMMAND_NOT_EXECUTABLE_STATUS
        with selectors.DefaultSelector() as selector:
            child_ended = os.pidfd_open(self.child.pid)
            selector.register(child_ended, selectors.EVENT_READ, "command")
            selector.register(self.kit, selectors.EVENT_READ, "kit")
            selector.register(self.signals, selectors.EVENT_READ, "signal")
            why = None
            while why is None:
                for key, _ in selector.select():
                    if key.data == "signal":
                        why = self._signalled()
                    else:
                        why = key.data
                    if why is not None:
                        break
            os.close(child_ended)
        # Members of the group took the signal that started the ending with the command.
        self.end_everything(signalled_group=why == "signal")
        if why == "kit":
            return NOT_STARTED_STATUS
        return SIGNAL_STATUS_BASE - self.status if self.status < 0 else self.status

    def _signalled(self):
        """Takes the signals that came; "signal" once they say to end, else None."""
        received = self._received()
        if self.interrupts >= 2 or any(signum in received for signum in ENDING_SIGNALS):
            return "signal"
        return None

    def _received(self) -> bytes:
        try:
            received = self.signals.recv(4096)
        except BlockingIOError:
            return b""
        self.interrupts += received.count(signal.SIGINT)
        return received

    def end_everything(self, signalled_group: bool) -> None:
        """Ends every process below this one, those it orphans as they come here, until this
        process has no child left; the command's status is kept as it is reaped."""
        deadline = time.monotonic() + ENDING_GRACE
        told = set()
        killing = False
        group = os.getpgrp()
        while self._reap():
            if self.interrupts >= 2 and not killing:
                killing = True
                log.error("interrupted again: %s and all it started are killed", self.command[0])
            below = processes.descendants(os.getpid())
            if below and not killing and time.monotonic() >= deadline:
                killing = True
                log.error("%s did not end within %g s of SIGTERM; killed",
                          named(list(below), self.child.pid, self.command[0]), ENDING_GRACE)
            for pid, its_group in below.items():
                if killing:
                    send(pid, signal.SIGKILL)
                elif pid not in told:
                    told.add(pid)
                    if not (signalled_group and its_group == group):
                        send(pid, signal.SIGTERM)
                    # A stopped process takes SIGTERM only once continued.
                    send(pid, signal.SIGCONT)
            # A second Ctrl-C while they end is heard at once.
            if select.select([self.signals], [], [], POLL_INTERVAL)[0]:
                self._received()

    def _reap(self) -> bool:
        """Reaps the children that ended; whether any is left."""
        while True:
            try:
                pid, status = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                return False
            if pid == 0:
                return True
            if pid == self.child.pid:
                self.status = self.child.returncode = os.waitstatus_to_exitcode(status)


def send(pid: int, signum: int) -> None:
    try:
        os.kill(pid, signum)
    except ProcessLookupError:
        pass  # it ended meanwhile


def named(pids: list, command_pid: int, command_name: str) -> str:
    """The processes a line names: "the command sh (process 12), sleep (process 14) and 3 more"."""
    names = []
    for pid in pids[:NAMED_LIMIT]:
        if pid == command_pid:
            names.append(f"the command {command_name} (process {pid})")
        else:
            names.append(f"{processes.name_of(pid)} (process {pid})")
    more = len(pids) - NAMED_LIMIT
    return ", ".join(names) + (f" and {more} more" if more > 0 else "")
