"""Drives the programs' windows from the outside, through the accessibility tree (AT-SPI).

Controls are found by role and accessible name: a button or option by its caption, a box by the
caption of the label tied to it, a window by its title. Qt 6.4 does not publish object names
over AT-SPI, so names and captions are the handles; where a control has no caption (the state
label, the status bar text) the programs give it an accessible description, which is used instead.

Everything that waits polls a condition until a deadline; nothing sleeps for a fixed time.
"""

import os
import signal
import subprocess
import time
from typing import Any, Callable, Iterable, Iterator, Optional, Union

import pyatspi

from kestrin_testkit.processes import end_with_parent, is_zombie
from kestrin_testkit.panelsettings import free_port  # noqa: F401 (the suites' way to a port)

DEFAULT_TIMEOUT = float(os.environ.get("KESTRIN_TESTKIT_WAIT", "20"))
POLL_INTERVAL = 0.05
# A list picked from shows the entry within this time, or the click missed it.
PICK_RETRY_INTERVAL = 0.5
PICK_POLL = 0.01
# A node of the accessibility tree as pyatspi hands it out, which carries no type hints.
Node = Any
# A failed wait tells what the windows showed. The test kit's supervisor turns this off: its
# failures are one line, and it logs the tree itself.
explain_failed_waits = True


class WaitTimeout(AssertionError):
    pass


# Programs still running, whose windows a failure report shows.
_live_programs: list[Union["Program", "StartedProgram"]] = []


def snapshot_of_desktop() -> str:
    """The accessibility trees of the running programs, and a screenshot of the display when an
    artifacts folder is given, to explain a failed wait."""
    report = []
    for program in list(_live_programs):
        if program.running() and program.known_application() is not None:
            report.append(describe(program.known_application()))
    folder = os.environ.get("TARVOLIN_E2E_ARTIFACTS")
    if folder:
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, f"failure-{time.strftime('%H%M%S')}-{time.monotonic_ns() % 10**6}.png")
        if subprocess.run(["import", "-window", "root", path], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=30).returncode == 0:
            report.append(f"screenshot: {path}")
    return "\n".join(report)


def wait_until(condition: Callable[[], Any], what: str, timeout: float = DEFAULT_TIMEOUT,
               poll: float = POLL_INTERVAL) -> Any:
    """Returns the first truthy result of condition(), or fails naming what was awaited."""
    deadline = time.monotonic() + timeout
    last = None
    while True:
        try:
            last = condition()
        except AssertionError:
            raise
        except Exception as failure:  # the tree changes under us while windows come and go
            last = failure
        else:
            if last:
                return last
        if time.monotonic() > deadline:
            summary = f"waited {timeout:g} s for {what}; last seen: {last!r}"
            raise WaitTimeout(f"{summary}\n{snapshot_of_desktop()}" if explain_failed_waits else summary)
        time.sleep(poll)


def fresh(node: Node) -> Node:
    """Drops what the accessibility library remembers about a node, so the next read asks the program."""
    try:
        node.clear_cache()
    except Exception:
        pass
    return node


def role_name(node: Node) -> str:
    return fresh(node).getRoleName()


def children(node: Node) -> list[Node]:
    try:
        return [child for child in fresh(node) if child is not None]
    except Exception:
        return []


def descendants(node: Node, skipping: Iterable[str] = ()) -> Iterator[Node]:
    """The controls below node, nearest first; those below a control of a role in skipping
    (a file dialog's views hold a control per file and column) are left out."""
    pending = [node]
    while pending:
        current = pending.pop(0)
        for child in children(current):
            yield child
            if not skipping or role_name(child) not in skipping:
                pending.append(child)


def matches(node: Node, role: Optional[str], name: Optional[str], description: Optional[str]) -> bool:
    try:
        fresh(node)
        if role is not None and node.getRoleName() != role:
            return False
        if name is not None and node.name != name:
            return False
        if description is not None and node.description != description:
            return False
        return True
    except Exception:
        return False


def find_all(root: Node, role: Optional[str] = None, name: Optional[str] = None, description: Optional[str] = None,
             skipping: Iterable[str] = ()) -> list[Node]:
    return [node for node in descendants(root, skipping) if matches(node, role, name, description)]


def find(root: Node, role: Optional[str] = None, name: Optional[str] = None, description: Optional[str] = None,
         timeout: float = DEFAULT_TIMEOUT, skipping: Iterable[str] = ()) -> Node:
    """Waits for exactly one control below root with the given role, name and/or description."""
    def lookup():
        found = find_all(root, role, name, description, skipping)
        if len(found) > 1:
            raise AssertionError(f"{len(found)} controls match role={role!r} name={name!r} "
                                 f"description={description!r}; the handle is ambiguous")
        return found[0] if found else None
    return wait_until(lookup, f"{role or 'control'} {name or description!r}", timeout)


def states(node: Node) -> Any:
    return fresh(node).getState()


def is_enabled(node: Node) -> bool:
    return states(node).contains(pyatspi.STATE_ENABLED)


def is_showing(node: Node) -> bool:
    return states(node).contains(pyatspi.STATE_SHOWING)


def is_checked(node: Node) -> bool:
    return states(node).contains(pyatspi.STATE_CHECKED)


def text_of(node: Node) -> str:
    """The text of a box, or the caption of a label or button."""
    fresh(node)
    try:
        text = node.queryText()
        return text.getText(0, -1)
    except NotImplementedError:
        return node.name


def do_action(node: Node, *names: str, timeout: float = DEFAULT_TIMEOUT) -> None:
    """Performs the first of the named actions that the control offers, once it is enabled
    (a greyed control offers none)."""
    def offered():
        if not is_enabled(node):
            return None
        actions = fresh(node).queryAction()
        available = [actions.getName(index) for index in range(actions.nActions)]
        for wanted in names:
            for index, action in enumerate(available):
                if action.lower() == wanted.lower():
                    return actions, index
        raise AssertionError(f"{node.getRoleName()} {node.name!r} offers {available}, none of {names}")
    actions, index = wait_until(offered, f"{node.name!r} to be enabled", timeout)
    if not actions.doAction(index):
        raise AssertionError(f"action {names} on {node.name!r} was refused")


def press(node: Node) -> None:
    do_action(node, "Press", "press", "click", "Toggle")


def click(node: Node, timeout: float = DEFAULT_TIMEOUT) -> None:
    """Clicks the middle of a control with the pointer, where it is on the screen now.

    Option buttons need this: their accessibility action only toggles the checked state,
    which a program that reacts to the click, as a user's selection does, never sees."""
    wait_until(lambda: is_enabled(node) and is_showing(node), f"{node.name!r} to be enabled and shown", timeout)
    extents = fresh(node).queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    x, y = extents.x + extents.width // 2, extents.y + extents.height // 2
    pyatspi.Registry.generateMouseEvent(x, y, pyatspi.MOUSE_B1C)


def set_text(node: Node, value: str) -> None:
    """Replaces the text of a box, as typing over it would."""
    editable = fresh(node).queryEditableText()
    if not editable.setTextContents(value):
        raise AssertionError(f"box {node.name!r} refused the text {value!r}")


def type_keys(text: str) -> None:
    """Types text on the keyboard into the control that has the focus."""
    pyatspi.Registry.generateKeyboardEvent(0, text, pyatspi.KEY_STRING)


def press_key(keysym: int) -> None:
    """Presses and releases the key of an X keysym (such as 0xFF08, BackSpace)."""
    pyatspi.Registry.generateKeyboardEvent(keysym, None, pyatspi.KEY_SYM)


def top_edge(node: Node) -> int:
    return fresh(node).queryComponent().getExtents(pyatspi.DESKTOP_COORDS).y


def pick(combo_box: Node, entry: str, timeout: float = DEFAULT_TIMEOUT) -> None:
    """Opens a list and clicks one of its entries with the pointer, as a user picks it. Qt names
    a list after its current entry."""
    if fresh(combo_box).name == entry:
        return
    deadline = time.monotonic() + timeout
    item = find(combo_box, "list item", entry, timeout=timeout)
    popup = find(combo_box, "list", timeout=timeout)

    def shows_entry():
        # The list folds away after the name changes; a click meant for the window under it
        # must not land on it.
        return fresh(combo_box).name == entry and not is_showing(popup)
    # A click while the list still unfolds can miss the entry and fold the list away: open it
    # and click again.
    while time.monotonic() < deadline:
        do_action(combo_box, "Press", "showMenu", timeout=timeout)
        click(item, max(0.0, deadline - time.monotonic()))
        retry = min(deadline, time.monotonic() + PICK_RETRY_INTERVAL)
        while time.monotonic() < retry:
            if shows_entry():
                return
            time.sleep(PICK_POLL)
    wait_until(shows_entry, f"the list {combo_box.name!r} to show {entry!r}", 0)


def choose_menu(window: Node, *path: str) -> None:
    """Triggers a menu item given by its captions without access keys, e.g. ("Edit", "Network Settings ...")."""
    menu_bar = find(window, "menu bar")
    node = menu_bar
    for caption in path:
        node = find(node, "menu item", caption)
    press(node)


def accessibility_bus_ready() -> bool:
    """Starts the accessibility bus and its registry (the session bus activates them on the first
    call), so that a program started afterwards finds them and registers its windows."""
    return wait_until(lambda: pyatspi.Registry.getDesktop(0) is not None and
                      pyatspi.Registry.getDesktop(0).childCount >= 0, "the accessibility registry")


def click_menu(window: Node, menu: str, item: str) -> None:
    """Opens a menu and chooses an item with the pointer. For items whose action opens a modal
    box: their accessibility action would only return once the box is closed."""
    entry = find(find(window, "menu bar"), "menu item", menu)
    click(entry)
    click(find(entry, "menu item", item))


class Program:
    """One program started from here, its output kept in a log file of the given folder."""

    def __init__(self, path: str, *, log_folder: str, env: Optional[dict[str, Optional[str]]] = None,
                 cwd: Optional[str] = None, args: Iterable[str] = ()) -> None:
        accessibility_bus_ready()
        self.name = os.path.basename(path)
        log_path = os.path.join(log_folder, f"{self.name}-{time.monotonic_ns()}.log")
        self.log = open(log_path, "wb")
        environment = dict(os.environ)
        # A variable given as None is taken out: KESTRIN_COM1=None leaves port 1 virtual.
        for variable, value in (env or {}).items():
            if value is None:
                environment.pop(variable, None)
            else:
                environment[variable] = value
        self.process = subprocess.Popen([path, *args], env=environment, cwd=cwd or log_folder,
                                        stdout=self.log, stderr=subprocess.STDOUT, preexec_fn=end_with_parent)
        self._application: Optional[Node] = None
        _live_programs.append(self)

    @property
    def pid(self) -> int:
        return self.process.pid

    def known_application(self) -> Optional[Node]:
        return self._application

    def application(self, timeout: float = DEFAULT_TIMEOUT) -> Node:
        if self._application is None:
            self._application = application_of(self.pid, self.name, timeout)
        return self._application

    def window(self, title: str, timeout: float = DEFAULT_TIMEOUT) -> Node:
        return window_of(self.application(timeout), title, timeout)

    def wait_exit(self, timeout: float = DEFAULT_TIMEOUT) -> int:
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise WaitTimeout(f"{self.name} did not end within {timeout:.0f} s") from None

    def running(self) -> bool:
        return self.process.poll() is None

    def output(self) -> str:
        if not self.log.closed:
            self.log.flush()
        with open(self.log.name, "rb") as log:
            return log.read().decode(errors="replace")

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        if self in _live_programs:
            _live_programs.remove(self)


class StartedProgram:
    """A program that another program under test started, found by its accessible name."""

    def __init__(self, name: str, timeout: float = DEFAULT_TIMEOUT) -> None:
        self.name = name
        self._application = application_named(name, timeout)
        self.pid = self._application.get_process_id()
        _live_programs.append(self)

    def known_application(self) -> Optional[Node]:
        return self._application

    def application(self, timeout: float = DEFAULT_TIMEOUT) -> Node:
        return self._application

    def window(self, title: str, timeout: float = DEFAULT_TIMEOUT) -> Node:
        return window_of(self._application, title, timeout)

    def running(self) -> bool:
        return os.path.exists(f"/proc/{self.pid}")

    def stop(self) -> None:
        """Ends the program by its process id; it is not our child, so wait for it to vanish."""
        if self.running():
            try:
                os.kill(self.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            wait_until(lambda: not self.running() or is_zombie(self.pid), f"{self.name} to end")
        if self in _live_programs:
            _live_programs.remove(self)


def application_of(pid: int, name: str, timeout: float = DEFAULT_TIMEOUT) -> Node:
    """The accessible application of a process, once it has joined the accessibility bus."""
    def lookup():
        desktop = pyatspi.Registry.getDesktop(0)
        for application in children(desktop):
            try:
                if application.get_process_id() == pid:
                    return application
            except Exception:
                continue
        return None
    return wait_until(lookup, f"{name} (process {pid}) on the accessibility bus", timeout)


def application_named(name: str, timeout: float = DEFAULT_TIMEOUT) -> Node:
    def lookup():
        found = [application for application in children(pyatspi.Registry.getDesktop(0))
                 if matches(application, None, name, None)]
        return found[0] if len(found) == 1 else None
    return wait_until(lookup, f"exactly one application {name!r} on the accessibility bus", timeout)


def windows_of(application: Node) -> list[Node]:
    """The program's top-level windows: main windows, dialogs, message boxes and plain widgets
    shown as windows (which Qt reports as fillers)."""
    return children(application)


def window_of(application: Node, title: str, timeout: float = DEFAULT_TIMEOUT) -> Node:
    def lookup():
        found = [node for node in windows_of(application) if node.name == title and is_showing(node)]
        if len(found) > 1:
            raise AssertionError(f"{len(found)} windows titled {title!r} are shown")
        return found[0] if found else None
    return wait_until(lookup, f"window {title!r}", timeout)


def message_box(application: Node, timeout: float = DEFAULT_TIMEOUT) -> tuple[Node, str]:
    """Waits for the program's message box and returns it with its text."""
    def lookup():
        for node in windows_of(application):
            if role_name(node) in ("alert", "dialog") and is_showing(node):
                if find_all(node, "push button", "OK"):
                    return node
        return None
    box = wait_until(lookup, f"a message box of {application.name}", timeout)
    texts = [label.name for label in find_all(box, "label") if label.name]
    return box, "\n".join(texts)


def dismiss(box: Node) -> None:
    press(find(box, "push button", "OK"))
    wait_until(lambda: not is_showing(box), "the message box to close")


def no_message_box(application: Node) -> bool:
    return not any(role_name(node) == "alert" and is_showing(node) for node in windows_of(application))


def shown_windows(application: Node, title: str) -> list[Node]:
    return [node for node in windows_of(application) if node.name == title and is_showing(node)]


def describe(node: Node, depth: int = 0) -> str:
    """The accessibility tree below node as indented text, for failure reports."""
    try:
        fresh(node)
        line = f"{'  ' * depth}{node.getRoleName()} {node.name!r}"
        if node.description:
            line += f" ({node.description!r})"
        try:
            line += f" text={node.queryText().getText(0, -1)!r}"
        except NotImplementedError:
            pass
        flags = [name for name, state in (("enabled", pyatspi.STATE_ENABLED), ("showing", pyatspi.STATE_SHOWING),
                                          ("checked", pyatspi.STATE_CHECKED)) if node.getState().contains(state)]
        line += f" [{' '.join(flags)}]"
    except Exception as failure:
        return f"{'  ' * depth}<gone: {failure}>"
    return "\n".join([line] + [describe(child, depth + 1) for child in children(node)])
