"""The instrument alone, at its front panel: start-up, On, the Edit dialogs, Exit during a run."""

import unittest

import desktop
from kestrin_window import KestrinWindow

DIALOGS = (
    ("Transmission Formats ...", "Transmission Formats"),
    ("RS232 Port Settings ...", "Communication Settings"),
    ("Network Settings ...", "Network Settings"),
)


class KestrinPanelTest(unittest.TestCase):
    def setUp(self):
        self.program = desktop.Program("kestrin")
        self.addCleanup(self.program.stop)
        self.panel = KestrinWindow(self.program)

    def test_starts_off_and_on_switches_to_idle(self):
        panel = self.panel
        button = panel.on_off_button()
        self.assertEqual(button.name, "On")
        self.assertEqual(panel.state(), "")
        self.assertEqual(panel.box_text("Input"), "")
        self.assertEqual(panel.box_text("Output"), "")
        frame = panel.data_generation_frame()
        self.assertFalse(desktop.is_enabled(frame), "the Data Generation frame is greyed at start-up")
        self.assertFalse(desktop.is_enabled(panel.control("push button", "Start")))
        self.assertTrue(desktop.is_showing(panel.control("image", "Lamp off")))
        self.assertFalse(desktop.is_showing(panel.control("image", "Lamp on")))

        panel.switch_on()

        desktop.wait_until(lambda: desktop.is_enabled(frame), "the Data Generation frame to be enabled")
        self.assertTrue(desktop.is_enabled(panel.control("push button", "Start")))
        self.assertTrue(desktop.is_checked(panel.control("radio button", "Random")))
        self.assertFalse(desktop.is_enabled(panel.box("File Name")))
        self.assertTrue(desktop.is_showing(panel.control("image", "Lamp on")))
        self.assertFalse(desktop.is_showing(panel.control("image", "Lamp off")))
        self.assertEqual(panel.box_text("Output"), "OK")

    def test_each_edit_dialog_opens_once(self):
        application = self.program.application()
        for item, title in DIALOGS:
            with self.subTest(dialog=title):
                self.panel.menu("Edit", item)
                desktop.window_of(application, title)
                self.panel.menu("Edit", item)
                # The second choice brings the one dialog forward; a second copy would show up as
                # another window with the same title.
                desktop.wait_until(lambda: desktop.is_showing(desktop.window_of(application, title)),
                                   f"{title} still shown")
                self.assertEqual(len(desktop.shown_windows(application, title)), 1)
                self.assertEqual(len([window for window in desktop.windows_of(application)
                                      if window.name == title]), 1,
                                 f"one {title} window exists, shown or hidden")

    def test_about_box(self):
        desktop.click_menu(self.panel.window, "Help", "About the Tarvolin")
        box, text = desktop.message_box(self.program.application())
        self.assertEqual(box.name, "kestrin")
        self.assertEqual(text.splitlines()[0], "Tarvolin - Version 1.3, Date 06/12/1998")
        desktop.dismiss(box)

    def test_exit_during_a_run_closes_everything(self):
        panel = self.panel
        panel.switch_on()
        panel.press("Start")
        panel.wait_state("Analyzing ...")
        # Wait for a data line to prove the run streams before the window is closed.
        desktop.wait_until(lambda: panel.box_text("Output") not in ("", "OK"), "a data line in Output")
        for item, title in DIALOGS[1:]:
            panel.menu("Edit", item)
            desktop.window_of(self.program.application(), title)

        panel.menu("File", "Exit")

        self.assertEqual(self.program.wait_exit(), 0, self.program.output())


if __name__ == "__main__":
    unittest.main()
