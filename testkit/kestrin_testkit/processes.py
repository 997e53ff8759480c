"""What keeps processes from outliving whoever started them: children that end with their parent,
a process that adopts its orphans, and a sweep of every process of a session or group. Used in
every process of the kit: the test's, the supervisor's and the command group's leader.
"""

import ctypes
import os
import signal
import time
from typing import Callable, Optional

TERMINATE_GRACE = 3.0
POLL_INTERVAL = 0.02
PR_SET_PDEATHSIG = 1
PR_SET_CHILD_SUBREAPER = 36


def end_with_parent() -> None:
    """Run in a child before it starts: it gets SIGTERM should its parent die, even by SIGKILL."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)


def adopt_orphans() -> None:
    """Processes orphaned below this one (the buses' helpers) become its children, so that a
    sweep also reaps them."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def _stat_fields(pid: object) -> list[bytes]:
    """The fields of /proc/<pid>/stat after the command name: state, parent, group, session, ..."""
    with open(f"/proc/{pid}/stat", "rb") as stat:
        return stat.read().rsplit(b")", 1)[1].split()


def session_of(pid: int) -> int:
    return int(_stat_fields(pid)[3])


def group_of(pid: int) -> int:
    return int(_stat_fields(pid)[2])


def is_zombie(pid: int) -> bool:
    try:
        return _stat_fields(pid)[0] == b"Z"
    except OSError:
        return True


def is_alive(pid: int) -> bool:
    return os.path.exists(f"/proc/{pid}") and not is_zombie(pid)


def processes_where(belongs: Callable[[int], bool]) -> list[int]:
    """Process ids, other than this process's, for which belongs(pid) is true."""
    own = os.getpid()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == own:
            continue
        try:
            if belongs(int(entry)):
                found.append(int(entry))
        except (OSError, IndexError, ValueError):
            continue  # the process ended while it was looked at
    return found


def session_members(session: Optional[int] = None) -> list[int]:
    """The processes of a session, by default this process's own."""
    session = os.getsid(0) if session is None else session
    return processes_where(lambda pid: session_of(pid) == session)


def group_members(group: int) -> list[int]:
    return processes_where(lambda pid: group_of(pid) == group)


def descendants(ancestor: int) -> dict[int, int]:
    """The living processes below ancestor, in its group or not, the nearest first, each with
    its process group."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            fields = _stat_fields(entry)
        except (OSError, IndexError):
            continue  # the process ended while it was looked at
        if fields[0] != b"Z":
            children.setdefault(int(fields[1]), []).append((int(entry), int(fields[2])))
    found = {}
    level = [ancestor]
    while level:
        below = [child for parent in level for child in children.get(parent, ())]
        found.update(below)
        level = [pid for pid, _ in below]
    return found


def name_of(pid: int) -> str:
    """The process's command name, or "?" once it has ended."""
    try:
        with open(f"/proc/{pid}/comm") as comm:
            return comm.read().strip()
    except OSError:
        return "?"


def how_ended(status: int) -> str:
    """A Popen return code in words: "exited with status 3", "was killed by SIGKILL"."""
    if status >= 0:
        return f"exited with status {status}"
    try:
        return f"was killed by {signal.Signals(-status).name}"
    except ValueError:
        return f"was killed by signal {-status}"


def end_processes(find: Callable[[], list[int]], *, reap: bool = True) -> None:
    """Terminates the processes find() returns, then kills those still there after a grace,
    reaping this process's children meanwhile unless told not to (a process whose children
    are reaped through subprocess must leave that to it)."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        pids = find()
        for pid in pids:
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + TERMINATE_GRACE
        while time.monotonic() < deadline:
            if reap:
                reap_children()
            if not any(is_alive(pid) for pid in pids):
                break
            time.sleep(POLL_INTERVAL)


def reap_children() -> None:
    try:
        while os.waitpid(-1, os.WNOHANG)[0] > 0:
            pass
    except ChildProcessError:
        pass
