"""The window's panel driver: the calls an owner may make on the instrument's panel, and the way back
to the instrument as the kit brought it up.

Runs in the supervisor, beside the instrument's window. A call that cannot be done leaves no
dialog or message box it opened, logs the window's accessibility tree at DEBUG, and fails in one
line.
"""

import logging
import os
import time
from typing import Any, Optional, Union

from kestrin_testkit import contract
from kestrin_testkit.conversation import Conversation, take_frequency_as_pace
from kestrin_testkit.panelsettings import DEFAULT_FORMATS, DEFAULT_SERIAL_SETTINGS
from kestrin_testkit.supervisor import accessibility
from kestrin_testkit.supervisor.window_panel import Panel

# How long one step of a call waits for the window to follow before the call fails. Bringing the
# instrument up, on a machine busy starting it, waits longer.
STEP_TIMEOUT = 1.5
# A setting that cannot be made fails within this time, the dialogs it opened closed after it.
CALL_TIMEOUT = 2.5
# Generation settings set on the panel as a person sets them.
PANEL_CALLS = (
    "set_frequency", "set_points_per_line", "choose_continuous", "choose_finite", "choose_flat",
    "choose_gaussian", "choose_data_file",
)
DRIVER_CALLS = ("set_formats", "set_serial_settings", "switch_on", "switch_off", "reset", "generation_settings",
                "shown_windows", "status", "state")
# The State label while off: blank before the first command.
OFF_STATES = ("", "Off")
# Settings made in a dialog, held to CALL_TIMEOUT like those of the panel.
DIALOG_CALLS = ("set_formats", "set_serial_settings")

log = logging.getLogger(__name__)


class PanelDriver:
    """program: the started kestrin; serial_link: where its port 1 is published while open."""

    def __init__(self, program: Union[accessibility.Program, accessibility.StartedProgram], serial_link: str) -> None:
        self.panel = Panel(program)
        self.serial_link = serial_link
        self._formats = DEFAULT_FORMATS
        self._serial_settings = DEFAULT_SERIAL_SETTINGS
        # What reset() goes back to; set by started().
        self._start_formats = self._formats
        self._start_serial_settings = self._serial_settings
        self._start_panel = None
        self._started = False

    def started(self) -> None:
        """Notes the instrument as it is now as the one reset() brings back; from now on a
        call that cannot be done fails within seconds."""
        self.panel.step_timeout = STEP_TIMEOUT
        self._started = True
        self._start_formats = self._formats
        self._start_serial_settings = self._serial_settings
        self._start_panel = self.panel.generation_settings()

    def call(self, name: str, args: list) -> Any:
        """Runs one call; a failure is raised in one line, after what it opened is closed."""
        if name not in PANEL_CALLS + DRIVER_CALLS:
            raise ValueError(f"the panel has no setting {name!r}; it has {', '.join(PANEL_CALLS + DRIVER_CALLS)}")
        shown_before = self.panel.shown_windows()
        if self._started and name in PANEL_CALLS + DIALOG_CALLS:
            self.panel.deadline = time.monotonic() + CALL_TIMEOUT
        try:
            if name in PANEL_CALLS:
                self.panel.require_no_message()
                return getattr(self.panel, name)(*args)
            return getattr(self, name)(*args)
        except AssertionError:
            # Closing what the call opened takes steps of its own.
            self.panel.deadline = None
            if log.isEnabledFor(logging.DEBUG):
                log.debug("%s%s failed; the instrument's windows:\n%s", name, tuple(args),
                          accessibility.describe(self.panel.application()))
            self._close_opened(shown_before)
            raise
        finally:
            self.panel.deadline = None

    def _close_opened(self, shown_before: list) -> None:
        """Closes the windows a failed call opened, message boxes first, since they hold the
        dialog under them."""
        for box, text in self.panel.messages():
            if box not in shown_before:
                log.info("dismissed the message %r", text)
                self.panel.close_dialog(box)
        for window in self.panel.shown_windows():
            if window not in shown_before:
                self.panel.close_dialog(window, "Cancel")

    def set_formats(self, token_separator: Optional[str] = None, line_terminator: Optional[str] = None) -> None:
        self.panel.set_formats(token_separator, line_terminator)
        self._formats = (self._formats[0] if token_separator is None else token_separator,
                         self._formats[1] if line_terminator is None else line_terminator)

    def set_serial_settings(self, settings: str) -> None:
        # Whatever the dialog took before a refusal is in force: reset() must set it again.
        self._serial_settings = None
        self.panel.set_serial_settings(settings)
        self._serial_settings = settings
        self._wait_serial_port()

    def switch_on(self) -> None:
        self.panel.switch_on()
        self._wait_serial_port()

    def switch_off(self) -> None:
        self.panel.switch_off()

    def reset(self) -> None:
        """Brings panel, the pace of a file run, formats and serial settings back to how the kit
        started the instrument, and switches it off and on. The panel is worked while on, as
        only then does it take settings, and before switching off, which clears what the run
        that sets the pace showed."""
        started = time.monotonic()
        for text in self.panel.close_windows():
            log.info("reset dismissed the message %r", text)
        if self.panel.state() in OFF_STATES:
            self.panel.switch_on()
        self.panel.restore_generation_settings(self._start_panel)
        self._restore_pace()
        self.panel.switch_off()
        if self._formats != self._start_formats:
            self.set_formats(*self._start_formats)
        if self._serial_settings != self._start_serial_settings:
            self.set_serial_settings(self._start_serial_settings)
        self.switch_on()
        log.info("reset in %.3f s", time.monotonic() - started)

    def _restore_pace(self) -> None:
        """A random run started with the panel as the kit started it and aborted before its first
        line: a file run goes at the pace of the last random run, which the panel does not show.
        Through the instrument's own conversation, as the Start and Abort buttons would do it,
        in a fraction of the time."""
        runtime = os.path.dirname(os.path.dirname(self.serial_link))
        with Conversation(contract.APPLICATION, contract.TOPIC, runtime, timeout=STEP_TIMEOUT) as instrument:
            take_frequency_as_pace(instrument.execute)

    def generation_settings(self) -> dict[str, Any]:
        return self.panel.generation_settings()

    def status(self) -> str:
        return self.panel.status()

    def state(self) -> str:
        return self.panel.state()

    def shown_windows(self) -> list[str]:
        """The titles of the dialogs and message boxes shown."""
        return [window.name for window in self.panel.shown_windows()]

    def _wait_serial_port(self) -> None:
        """Port 1 is published while open; a client may open it as soon as the call returns."""
        if self.panel.state() != "Off":
            accessibility.wait_until(lambda: os.path.exists(self.serial_link), "the virtual serial port",
                                     self.panel.timeout)
