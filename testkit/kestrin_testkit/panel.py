"""The instrument's main window as a user sees it: its controls found by caption, its settings
made as a person makes them."""

from kestrin_testkit import accessibility as desktop

TITLE = "Tarvolin"
# The entries of the Transmission Formats lists, by the characters they stand for.
TOKEN_SEPARATORS = {",": "<Comma>", "\t": "<Tab>", " ": "<Space>"}
LINE_TERMINATORS = {"\r": "<CR>", "\n": "<LF>", "\r\n": "<CR><LF>"}


class Panel:
    """The main window of a started kestrin (an accessibility.Program or StartedProgram)."""

    def __init__(self, program):
        self.program = program
        self.window = program.window(TITLE)

    def control(self, role, name=None, description=None):
        return desktop.find(self.window, role, name, description)

    def on_off_button(self):
        def lookup():
            found = [node for node in desktop.find_all(self.window, "push button")
                     if node.name in ("On", "Off")]
            return found[0] if len(found) == 1 else None
        return desktop.wait_until(lookup, "the On/Off button")

    def state(self):
        return desktop.text_of(self.control("label", description="State"))

    def status(self):
        return desktop.text_of(self.control("label", description="Status"))

    def box(self, caption):
        return self.control("text", caption)

    def box_text(self, caption):
        return desktop.text_of(self.box(caption))

    def press(self, caption):
        desktop.press(self.control("push button", caption))

    def choose(self, caption):
        """Selects an option button by clicking it, as a user does."""
        option = self.control("radio button", caption)
        desktop.click(option)
        desktop.wait_until(lambda: desktop.is_checked(option), f"option {caption!r} selected")

    def menu(self, *path):
        desktop.choose_menu(self.window, *path)

    def wait_state(self, expected, timeout=desktop.DEFAULT_TIMEOUT):
        desktop.wait_until(lambda: self.state() == expected, f"state {expected!r} (now {self.state()!r})",
                           timeout)

    def wait_status(self, expected, timeout=desktop.DEFAULT_TIMEOUT):
        desktop.wait_until(lambda: self.status() == expected, f"status {expected!r} (now {self.status()!r})",
                           timeout)

    def switch_on(self):
        button = self.on_off_button()
        desktop.wait_until(lambda: button.name == "On", "the button to read On")
        desktop.press(button)
        self.wait_state("Idle")
        desktop.wait_until(lambda: desktop.fresh(button).name == "Off", "the button to read Off")

    def data_generation_frame(self):
        # The frame and its two inner frames all read "Data Generation" in Qt 6.4's tree; the outer
        # one is the direct child of the client area.
        frames = desktop.find_all(self.window, "panel", "Data Generation")
        outer = [frame for frame in frames
                 if desktop.fresh(frame.parent).getRoleName() != "panel"
                 or desktop.fresh(frame.parent).name != "Data Generation"]
        assert len(outer) == 1, f"{len(outer)} outer Data Generation frames"
        return outer[0]

    def dialog(self, menu_item, title):
        self.menu("Edit", menu_item)
        return desktop.window_of(self.program.application(), title)

    def close_dialog(self, dialog, button="OK"):
        desktop.press(desktop.find(dialog, "push button", button))
        desktop.wait_until(lambda: not desktop.is_showing(dialog), f"{dialog.name!r} to close")

    def enable_network(self, port):
        """Ticks "Connection Enabled:" in Network Settings with the given port and presses OK."""
        dialog = self.dialog("Network Settings ...", "Network Settings")
        enabled = desktop.find(dialog, "check box", "Connection Enabled:")
        if not desktop.is_checked(enabled):
            desktop.press(enabled)
            desktop.wait_until(lambda: desktop.is_checked(enabled), "Connection Enabled: ticked")
        desktop.set_text(desktop.find(dialog, "text", "Server Port"), str(port))
        self.close_dialog(dialog)
        self.wait_status("Listening ...")

    def choose_data_file(self, path):
        """Picks a data file through "From a file" and the "..." dialog, typing its full path."""
        self.choose("From a file")
        self.press("Choose data file")
        dialog = desktop.window_of(self.program.application(), "Open Data File")
        desktop.set_text(desktop.find(dialog, "text", "File name:"), path)
        desktop.press(desktop.find(dialog, "push button", "Open"))
        desktop.wait_until(lambda: not desktop.is_showing(dialog), "the file dialog to close")

    def set_formats(self, token_separator=None, line_terminator=None):
        """Picks the entries of Transmission Formats for the given characters, and presses OK."""
        wanted = []
        for caption, entries, value in (("Token Separator", TOKEN_SEPARATORS, token_separator),
                                        ("Line Terminator", LINE_TERMINATORS, line_terminator)):
            if value is not None and value not in entries:
                raise ValueError(f"{caption} offers {', '.join(map(repr, entries))}, not {value!r}")
            if value is not None:
                wanted.append((caption, entries[value]))
        dialog = self.dialog("Transmission Formats ...", "Transmission Formats")
        lists = sorted(desktop.find_all(dialog, "combo box"), key=desktop.top_edge)
        assert len(lists) == 2, f"{len(lists)} lists in Transmission Formats"
        for caption, entry in wanted:
            desktop.pick(lists[0 if caption == "Token Separator" else 1], entry)
        self.close_dialog(dialog)

    def set_frequency(self, lines_per_second):
        desktop.set_text(self.box("Frequency"), str(lines_per_second))

    def set_points_per_line(self, points):
        desktop.set_text(self.box("Line Format"), str(points))

    def choose_continuous(self):
        self.choose("Continuous")

    def choose_finite(self, lines):
        self.choose("Finite")
        desktop.set_text(self.box("No. Lines"), str(lines))

    def choose_flat(self, minimum, maximum):
        """Random data spread evenly between minimum and maximum."""
        self.choose("Random")
        self.choose("Flat")
        desktop.set_text(self.box("Min"), f"{minimum:g}")
        desktop.set_text(self.box("Max"), f"{maximum:g}")

    def choose_gaussian(self, mean, st_dev):
        """Random data around mean; the instrument uses the St Dev entry squared."""
        self.choose("Random")
        self.choose("Gaussian")
        desktop.set_text(self.box("Mean"), f"{mean:g}")
        desktop.set_text(self.box("St Dev"), f"{st_dev:g}")
