"""The leader of the process group that kestrin-testkit run runs a command in.

It runs the command as its child, in its own group, and waits for whichever comes first: the
command ends, or the kit that started it ends (the read end of a pipe whose write end only the
kit holds reports the end of its input, also when the kit is killed). Then it ends every process
left in its group, so that nothing the command started outlives the kit, and exits with the
command's status (128 plus the signal's number if a signal ended it).

The kit forwards the signals it receives to the whole group; the leader lets them pass, since the
command decides whether they end it. When the kit runs in the foreground of a terminal, the group
takes the terminal over while the command runs, so that the command can read from it.
"""

import logging
import os
import selectors
import signal
import subprocess

from kestrin_testkit import desktop

SIGNAL_STATUS_BASE = 128
# The kit's own failures (the command could not be run, the kit ended first), as for a command that
# cannot be run.
NOT_STARTED_STATUS = 125
# Signals the kit forwards to the group: they are meant for the command, not for its leader.
FORWARDED_SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)
# Signals that stop a whole group that reads from or writes to a terminal it does not own: they
# may stop the command, never the leader, which must stay able to end the group.
STOPPING_SIGNALS = (signal.SIGTTIN, signal.SIGTTOU)
STANDARD_INPUT = 0


def end_rest_of_group():
    desktop.end_processes(lambda: desktop.group_members(os.getpgrp()))


def hand_terminal(from_group, to_group):
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
    for sig in FORWARDED_SIGNALS + STOPPING_SIGNALS:
        signal.signal(sig, lambda _signum, _frame: None)
    # What the command leaves behind when it ends is reparented here and reaped by the sweep.
    desktop.adopt_orphans()
    kit_group = os.getpgid(os.getppid())
    hand_terminal(kit_group, os.getpgrp())
    try:
        return run(command, kit)
    finally:
        hand_terminal(os.getpgrp(), kit_group)


def run(command, kit):
    try:
        child = subprocess.Popen(command)
    except OSError as failure:
        logging.error("cannot run %s: %s", command[0], failure.strerror)
        return NOT_STARTED_STATUS
    with selectors.DefaultSelector() as selector:
        child_ended = os.pidfd_open(child.pid)
        selector.register(child_ended, selectors.EVENT_READ)
        selector.register(kit, selectors.EVENT_READ)
        ready = [key.fd for key, _ in selector.select()]
        os.close(child_ended)
    if child_ended not in ready:
        end_rest_of_group()
        return NOT_STARTED_STATUS
    status = child.wait()
    end_rest_of_group()
    return SIGNAL_STATUS_BASE - status if status < 0 else status
