"""The instrument's main window as a user sees it: its controls found by caption, its settings
made as a person makes them.

Each setting is checked on the window once made. One that cannot be made raises PanelError, in
one line: what the window shows and why.
"""

import os
import time
from typing import Any, Optional, Union

from kestrin_testkit import contract
from kestrin_testkit.panelsettings import (
    BOXES, BOXES_OF_OPTION, CHECK_BOXES, OPTION_PAIRS, SERIAL_LISTS, GenerationCalls, PanelError, format_choices,
    not_offered, serial_entries, why_greyed)
from kestrin_testkit.supervisor import accessibility
from kestrin_testkit.supervisor.accessibility import Node

TITLE = "Tarvolin"
FILE_DIALOG = "Open Data File"
ALL_FILES = "All (*)"
# The file dialog's views hold a control per file and column: lookups stay out of them.
FILE_VIEWS = ("split pane",)
# The views themselves are found without looking into them, or any list.
FILE_LISTS = ("tree", "list")
BACKSPACE = 0xFF08  # the key's X keysym
# The state label is read often while switching; its text changes within the click's handling.
STATE_POLL = 0.005


class Panel(GenerationCalls):
    """The main window of a started kestrin (an accessibility.Program or StartedProgram).

    timeout: how long each step waits for the window to follow (a dialog to open, an option to
    show selected). deadline: a time (time.monotonic()) by which every step must be done."""

    def __init__(self, program: Union[accessibility.Program, accessibility.StartedProgram],
                 timeout: float = accessibility.DEFAULT_TIMEOUT) -> None:
        self.program = program
        self.step_timeout = timeout
        self.deadline = None
        self.window = program.window(TITLE)
        # The main window's controls live as long as the window, and a dialog's as long as the
        # dialog: each is looked up once.
        self._controls = {}
        self._dialog_controls = {}

    @property
    def timeout(self) -> float:
        """How long the next step may wait."""
        if self.deadline is None:
            return self.step_timeout
        return max(0.0, min(self.step_timeout, self.deadline - time.monotonic()))

    def control(self, role: str, name: Optional[str] = None, description: Optional[str] = None) -> Node:
        key = (role, name, description)
        if key not in self._controls:
            self._controls[key] = accessibility.find(self.window, role, name, description, self.timeout)
        return self._controls[key]

    def on_off_button(self) -> Node:
        def lookup():
            found = [node for node in accessibility.find_all(self.window, "push button")
                     if node.name in ("On", "Off")]
            return found[0] if len(found) == 1 else None
        if "on/off" not in self._controls:
            self._controls["on/off"] = accessibility.wait_until(lookup, "the On/Off button", self.timeout)
        return self._controls["on/off"]

    def state(self) -> str:
        return accessibility.text_of(self.control("label", description="State"))

    def status(self) -> str:
        return accessibility.text_of(self.control("label", description="Status"))

    def box(self, caption: str) -> Node:
        return self.control("text", caption)

    def box_text(self, caption: str) -> str:
        return accessibility.text_of(self.box(caption))

    def press(self, caption: str) -> None:
        accessibility.press(self.control("push button", caption))

    def choose(self, caption: str) -> None:
        """Selects an option button by clicking it, as a user does."""
        option = self.enabled("radio button", caption)
        if accessibility.is_checked(option):
            return
        accessibility.click(option, self.timeout)
        accessibility.wait_until(lambda: accessibility.is_checked(option), f"option {caption!r} selected", self.timeout)

    def tick(self, caption: str, ticked: bool) -> None:
        """Ticks or clears a check box of the panel with the pointer."""
        box = self.enabled("check box", caption)
        if accessibility.is_checked(box) != ticked:
            accessibility.click(box, self.timeout)
            accessibility.wait_until(lambda: accessibility.is_checked(box) == ticked,
                                     f"{caption!r} {'ticked' if ticked else 'cleared'}", self.timeout)

    def enabled(self, role: str, caption: str) -> Node:
        """The control, which must not be greyed out."""
        node = self.control(role, caption)
        if not accessibility.is_enabled(node):
            raise PanelError(f"{caption!r} is greyed out: {self.why_greyed(caption)}")
        return node

    def why_greyed(self, caption: str) -> str:
        return why_greyed(caption, self.state() == "Off", self.is_chosen) or "the window greys it out"

    def is_chosen(self, caption: str) -> bool:
        return accessibility.is_checked(self.control("radio button", caption))

    def type_into(self, caption: str, text: str) -> None:
        """Types over a box of the panel and checks that it shows the text."""
        box = self.enabled("text", caption)
        accessibility.set_text(box, text)
        shown = accessibility.text_of(box)
        if shown != text:
            raise PanelError(f"the {caption!r} box shows {shown!r} after typing {text!r}")

    def menu(self, *path: str) -> None:
        """Triggers a menu item given by its captions, e.g. ("Edit", "Network Settings ...")."""
        accessibility.press(self.control("menu item", path[-1]))

    def wait_state(self, expected: str, timeout: Optional[float] = None) -> None:
        accessibility.wait_until(lambda: self.state() == expected, f"state {expected!r} (now {self.state()!r})",
                                 timeout or self.timeout, STATE_POLL)

    def wait_status(self, expected: str, timeout: Optional[float] = None) -> None:
        accessibility.wait_until(lambda: self.status() == expected, f"status {expected!r} (now {self.status()!r})",
                                 timeout or self.timeout)

    def switch_on(self) -> None:
        self._switch("Off", "On", "Idle")

    def switch_off(self) -> None:
        self._switch("On", "Off", "Off")

    def _switch(self, reading_after: str, reading_before: str, state_after: str) -> None:
        """Clicks the On/Off button reading reading_before; done when it reads reading_after and
        the state label state_after. Nothing to do when it reads reading_after already."""
        button = self.on_off_button()
        if accessibility.fresh(button).name == reading_after:
            return
        self.require_no_message()
        accessibility.click(button, self.timeout)
        self.wait_state(state_after)
        accessibility.wait_until(lambda: accessibility.fresh(button).name == reading_after,
                                 f"the button to read {reading_after} (it reads {reading_before})", self.timeout)

    def data_generation_frame(self) -> Node:
        # The frame and its two inner frames all read "Data Generation" in Qt 6.4's tree; the outer
        # one is the direct child of the client area.
        frames = accessibility.find_all(self.window, "panel", "Data Generation")
        outer = [frame for frame in frames
                 if accessibility.fresh(frame.parent).getRoleName() != "panel"
                 or accessibility.fresh(frame.parent).name != "Data Generation"]
        assert len(outer) == 1, f"{len(outer)} outer Data Generation frames"
        return outer[0]

    def application(self) -> Node:
        return self.program.application()

    def dialog(self, menu_item: str, title: str) -> Node:
        self.menu("Edit", menu_item)
        return accessibility.window_of(self.application(), title, self.timeout)

    def _controls_of(self, dialog: Node) -> dict:
        """The controls of a dialog looked up so far, forgotten when the dialog is made anew."""
        known, controls = self._dialog_controls.get(dialog.name, (None, None))
        if known != dialog:
            controls = {}
            self._dialog_controls[dialog.name] = (dialog, controls)
        return controls

    def dialog_control(self, dialog: Node, role: str, name: Optional[str] = None) -> Node:
        controls = self._controls_of(dialog)
        if (role, name) not in controls:
            controls[role, name] = accessibility.find(dialog, role, name, timeout=self.timeout, skipping=FILE_VIEWS)
        return controls[role, name]

    def dialog_lists(self, dialog: Node) -> list[Node]:
        """The lists of a dialog from top to bottom."""
        controls = self._controls_of(dialog)
        if "lists" not in controls:
            controls["lists"] = sorted(accessibility.find_all(dialog, "combo box", skipping=FILE_VIEWS),
                                       key=accessibility.top_edge)
        return controls["lists"]

    def close_dialog(self, dialog: Node, button: str = "OK") -> None:
        accessibility.press(self.dialog_control(dialog, "push button", button))
        accessibility.wait_until(lambda: not accessibility.is_showing(dialog), f"{dialog.name!r} to close",
                                 self.timeout, STATE_POLL)

    def wait_closed(self, dialog: Node) -> None:
        """Waits until a dialog whose OK was pressed closes; a message box it raises instead
        fails the step with its text."""
        accessibility.wait_until(lambda: not accessibility.is_showing(dialog) or self.messages(),
                                 f"{dialog.name!r} to close", self.timeout)
        for _box, text in self.messages():
            raise PanelError(f"{dialog.name!r} says {text!r}")

    # Windows besides the main window: message boxes and dialogs.

    def shown_windows(self) -> list[Node]:
        """The dialogs and message boxes the program shows."""
        return [node for node in accessibility.windows_of(self.application())
                if accessibility.role_name(node) in ("alert", "dialog") and accessibility.is_showing(node)]

    def messages(self) -> list[tuple[Node, str]]:
        """The message boxes shown (a window with OK and nothing to cancel), with their texts."""
        boxes = []
        for window in self.shown_windows():
            buttons = {node.name for node in accessibility.find_all(window, "push button", skipping=FILE_VIEWS)}
            if "OK" in buttons and "Cancel" not in buttons:
                texts = [label.name for label in accessibility.find_all(window, "label", skipping=FILE_VIEWS)
                         if label.name]
                boxes.append((window, " ".join(" ".join(texts).split())))
        return boxes

    def require_no_message(self) -> None:
        """A message box in front of the panel takes the pointer (kestrin's boxes are mostly
        modal): the panel is not worked past one."""
        for _box, text in self.messages():
            raise PanelError(f"the instrument shows the message {text!r}; press OK on it first (reset() does)")

    def close_windows(self) -> list[str]:
        """Dismisses the message boxes and then cancels the dialogs shown besides the main
        window; returns the texts of the boxes."""
        texts = []
        for box, text in self.messages():
            self.close_dialog(box)
            texts.append(text)
        for window in self.shown_windows():
            self.close_dialog(window, "Cancel")
        return texts

    # The network, the formats and the serial line, set in their dialogs.

    def enable_network(self, port: int) -> None:
        """Ticks "Connection Enabled:" in Network Settings with the given port and presses OK."""
        dialog = self.dialog("Network Settings ...", "Network Settings")
        enabled = self.dialog_control(dialog, "check box", "Connection Enabled:")
        if not accessibility.is_checked(enabled):
            accessibility.press(enabled)
            accessibility.wait_until(lambda: accessibility.is_checked(enabled), "Connection Enabled: ticked",
                                     self.timeout)
        accessibility.set_text(self.dialog_control(dialog, "text", "Server Port"), str(port))
        self.close_dialog(dialog)
        self.wait_status(contract.LISTENING)

    def set_formats(self, token_separator: Optional[str] = None, line_terminator: Optional[str] = None) -> None:
        """Transmission Formats for the given characters: the entry that stands for them is
        picked, other printable text typed into the list's field; then OK."""
        wanted = format_choices(token_separator, line_terminator)
        self.require_no_message()
        dialog = self.dialog("Transmission Formats ...", "Transmission Formats")
        lists = self.dialog_lists(dialog)
        assert len(lists) == 2, f"{len(lists)} lists in Transmission Formats"
        for caption, entry, typed in wanted:
            choices = lists[0 if caption == "Token Separator" else 1]
            if entry is not None:
                accessibility.pick(choices, entry, self.timeout)
            else:
                self._type_into_list(choices, caption, typed)
        self.close_dialog(dialog)

    def _type_into_list(self, choices: Node, caption: str, text: str) -> None:
        """Types into an editable list's field with the keyboard, as a person does: the dialog
        takes the field's text only when it was typed."""
        field = accessibility.find(choices, "text", timeout=self.timeout)
        accessibility.set_text(field, "")
        accessibility.click(field, self.timeout)
        # Emptied by the keyboard too, or the dialog would not take it as typed.
        accessibility.type_keys(text or "x")
        if not text:
            accessibility.press_key(BACKSPACE)
        accessibility.wait_until(lambda: accessibility.text_of(field) == text, f"the {caption} field to show {text!r}",
                                 self.timeout, STATE_POLL)

    def set_serial_settings(self, settings: str) -> None:
        """Picks baud rate, parity, data bits and stop bits of a text such as "9600,N,8,1" in
        Communication Settings and presses OK, which opens the port again with them."""
        entries = serial_entries(settings)
        self.require_no_message()
        dialog = self.dialog("RS232 Port Settings ...", "Communication Settings")
        # Below "Port Number:" the lists stand in the order of the settings text.
        lists = self.dialog_lists(dialog)[1:]
        assert len(lists) == len(SERIAL_LISTS), f"{len(lists) + 1} lists in Communication Settings"
        for caption, choices, entry in zip(SERIAL_LISTS, lists, entries):
            offered = [item.name for item in accessibility.find_all(choices, "list item")]
            if entry not in offered:
                raise not_offered(caption, ", ".join(offered), entry)
            accessibility.pick(choices, entry, self.timeout)
        self.close_dialog(dialog)
        # The port opens again while OK is handled; a refusal is reported in a box by then.
        for _box, text in self.messages():
            raise PanelError(f"the instrument refuses {settings!r}: {text!r}")

    # The generation settings.

    def generation_settings(self) -> dict[str, Any]:
        """What the panel shows: each box's text, the chosen option of each pair, each check box."""
        shown = {caption: self.box_text(caption) for caption in BOXES}
        for pair in OPTION_PAIRS:
            chosen = [caption for caption in pair if self.is_chosen(caption)]
            shown[pair[0] + "/" + pair[1]] = chosen[0] if len(chosen) == 1 else None
        for caption in CHECK_BOXES:
            shown[caption] = accessibility.is_checked(self.control("check box", caption))
        return shown

    def restore_generation_settings(self, wanted: dict[str, Any]) -> None:
        """Brings the panel back to what generation_settings() returned, touching only what
        differs, in an order a person can follow: a box is typed into while its option is chosen."""
        shown = self.generation_settings()
        differs = {key for key, value in wanted.items() if shown[key] != value}
        if not differs:
            return
        for pair in OPTION_PAIRS:
            key = pair[0] + "/" + pair[1]
            touched = key in differs
            for option in pair:
                boxes = [caption for caption in BOXES_OF_OPTION.get(option, ()) if caption in differs]
                if boxes:
                    self.choose(option)
                    touched = True
                for caption in boxes:
                    self.type_into(caption, wanted[caption])
            if touched and wanted[key] is not None:
                self.choose(wanted[key])
            if pair == OPTION_PAIRS[0]:
                # Points and Profile can be worked now that the source is chosen again.
                for caption in ("Frequency", "Line Format"):
                    if caption in differs:
                        self.type_into(caption, wanted[caption])
        for caption in CHECK_BOXES:
            if caption in differs:
                self.tick(caption, wanted[caption])

    def choose_data_file(self, path: str) -> None:
        """Picks a data file through "From a file" and the "..." dialog; the File Name box then
        shows its name, and a run replays exactly this file.

        The dialog adds ".txt" to a typed name without an extension, so such a file is selected
        in the dialog's list of all files instead, as a person clicks it there."""
        path = os.path.abspath(path)
        if not os.path.isfile(path):
            why = "a folder" if os.path.isdir(path) else "no such file"
            raise PanelError(f"{path!r} is {why}; the instrument replays a file of lines")
        self.require_no_message()
        self.choose("From a file")
        self.enabled("push button", "Choose data file")
        self.press("Choose data file")
        dialog = accessibility.window_of(self.application(), FILE_DIALOG, self.timeout)
        folder, name = os.path.split(path)
        name_box = self.dialog_control(dialog, "text", "File name:")
        if "." in name:
            accessibility.set_text(name_box, path)
        else:
            self._select_in_file_list(dialog, name_box, folder, name)
        accessibility.press(self.dialog_control(dialog, "push button", "Open"))
        self.wait_closed(dialog)
        shown = self.box_text("File Name")
        if shown != name:
            raise PanelError(f"the file dialog turns {name!r} into {shown!r}; give the file a name with an extension")

    def _select_in_file_list(self, dialog: Node, name_box: Node, folder: str, name: str) -> None:
        """Opens the folder in the file dialog, shows all files and selects the named one."""
        look_in, file_types = self.dialog_lists(dialog)
        accessibility.set_text(name_box, folder)
        accessibility.press(self.dialog_control(dialog, "push button", "Open"))
        accessibility.wait_until(
            lambda: os.path.realpath(accessibility.fresh(look_in).name) == os.path.realpath(folder),
            f"the file dialog to look in {folder!r}", self.timeout)
        accessibility.pick(file_types, ALL_FILES, self.timeout)
        files = accessibility.wait_until(
            lambda: [view for view in accessibility.find_all(dialog, "tree", "Files", skipping=FILE_LISTS)
                     if accessibility.is_showing(view)],
            "the file dialog's list of files", self.timeout)[0].queryTable()

        row, = accessibility.wait_until(
            lambda: [row for row in range(files.nRows) if files.getAccessibleAt(row, 0).name == name],
            f"{name!r} in the file dialog's list of {folder!r}", self.timeout)
        if not files.addRowSelection(row):
            raise PanelError(f"the file dialog does not let {name!r} be selected in {folder!r}")

