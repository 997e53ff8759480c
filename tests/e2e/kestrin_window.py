"""The instrument's main window as a user sees it: its controls found by caption."""

import desktop

TITLE = "Tarvolin"


class KestrinWindow:
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
        """Selects an option button or ticks a check box by its caption."""
        desktop.press(self.control("radio button", caption))

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
