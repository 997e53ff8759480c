"""The panel of a started kestrin-headless, worked through a conversation of the kit's own.

Its panel is its conversation topic: every control of the window's panel and settings dialogs is
an item under the window's name for it. The calls here make the settings the window's panel makes
(supervisor/window_panel.py), with the same checks and the same one-line refusals, so that a test
reads the same whichever face the instrument shows.
"""

import logging
import os
import time
from typing import Any, Callable, Optional

from kestrin_testkit import contract
from kestrin_testkit.conversation import Conversation, NackError, TerminatedError, take_frequency_as_pace
from kestrin_testkit.headless.program import HeadlessInstrument
from kestrin_testkit.panelsettings import (
    BOXES, CHECK_BOXES, OPTION_PAIRS, SERIAL_LISTS, GenerationCalls, PanelError, format_choices, free_port, not_offered,
    serial_entries, why_greyed)

# How long each conversation call has to be answered.
CALL_TIMEOUT = 5.0
# Ports the kit picked itself that another process took first before the instrument listened.
LISTEN_TRIES = 5
OFF_STATES = ("", "Off")
TICKED = "1"
CLEAR = "0"

ITEMS = contract.PANEL_ITEMS
SERIAL_ITEMS = {caption: contract.SERIAL_LIST_ITEMS[caption] for caption in SERIAL_LISTS}
# What reset() brings back, in an order whose every poke the instrument takes: an option pair by its
# first option ("0" chooses the second), the serial line last but one, so that it opens once with all
# its settings, and the network last.
RESET_ITEMS = (
    *(ITEMS[caption] for caption in BOXES), *(ITEMS[pair[0]] for pair in OPTION_PAIRS),
    *(ITEMS[caption] for caption in CHECK_BOXES), *contract.FORMAT_ITEMS.values(),
    contract.SERIAL_PORT_ITEM, *SERIAL_ITEMS.values(), contract.SERIAL_ENABLED_ITEM, contract.NETWORK_PORT_ITEM,
    contract.NETWORK_ENABLED_ITEM,
)
# What a random run reads its pace from: Random chosen, the Frequency box.
PACE_CONTROLS = ("Random", "Frequency")
NACK_NOT_AN_ENTRY = "Not an entry of the list: "

log = logging.getLogger(__name__)


class HeadlessPanel(GenerationCalls):
    """The panel of a started kestrin-headless, worked through a conversation of the kit's own.
    Offers the calls of the window's panel driver (supervisor/panel_driver.py) by the same names."""

    def __init__(self, instrument: HeadlessInstrument) -> None:
        self.instrument = instrument
        self._conversation: Optional[Conversation] = None
        # What reset() brings back; set by started().
        self._start_items: dict = {}

    # The conversation: opened anew after OFF, which ends every conversation.

    def request(self, item: str) -> str:
        return self._talk(lambda conversation: conversation.request(item))

    def poke(self, item: str, text: str) -> None:
        self._talk(lambda conversation: conversation.poke(item, text))

    def execute(self, command: str) -> None:
        self._talk(lambda conversation: conversation.execute(command))

    def _talk(self, call: Callable[[Conversation], Any]) -> Any:
        for attempt in (1, 2):
            if self._conversation is None:
                conversation = Conversation(contract.APPLICATION, contract.TOPIC, self.instrument.runtime,
                                            timeout=CALL_TIMEOUT)
                conversation.open()
                self._conversation = conversation
            try:
                return call(self._conversation)
            except TerminatedError:
                self._conversation.close()
                self._conversation = None
                # OFF ends every conversation, whoever sent it; the message was not taken.
                if attempt == 2 or self.instrument.has_ended():
                    raise

    def close(self) -> None:
        if self._conversation is not None:
            self._conversation.close()
            self._conversation = None

    # The panel driver's calls.

    def call(self, name: str, args: list) -> Any:
        calls = {"set_formats", "set_serial_settings", "switch_on", "switch_off", "reset", "generation_settings",
                 "status", "state", "set_frequency", "set_points_per_line", "choose_continuous", "choose_finite",
                 "choose_flat", "choose_gaussian", "choose_data_file"}
        if name not in calls:
            raise ValueError(f"the panel has no setting {name!r}; it has {', '.join(sorted(calls))}")
        return getattr(self, name)(*args)

    def started(self) -> None:
        """Notes the instrument as it is now as the one reset() brings back."""
        self._start_items = {item: self.request(item) for item in RESET_ITEMS}

    def state(self) -> str:
        return self.request(contract.STATE_ITEM)

    def status(self) -> str:
        return self.request(contract.STATUS_ITEM)

    def is_off(self) -> bool:
        return self.state() in OFF_STATES

    def switch_on(self) -> None:
        """As the On button: nothing to do when on already. Port 1 is open once it returns."""
        if not self.is_off():
            return
        self.execute("ON")
        self._check_serial_port()

    def switch_off(self) -> None:
        if not self.is_off():
            self.execute("OFF")

    def enable_network(self, port: Optional[int]) -> int:
        """Enables the network server on the port, or on a free one picked here; returns the port
        it listens on."""
        for _ in range(LISTEN_TRIES):
            listening = port or free_port()
            self.poke(contract.NETWORK_PORT_ITEM, str(listening))
            self.poke(contract.NETWORK_ENABLED_ITEM, TICKED)
            status = self.status()
            if status == contract.LISTENING:
                return listening
            if port is not None:
                break
            log.info("port %d taken before the instrument listened on it: %s", listening, status)
        raise PanelError(f"the instrument does not listen on port {port or listening}: {status!r}")

    def reset(self) -> None:
        """Brings back the pace of a file run, switches off, brings back every setting the kit
        started with, switches on."""
        started = time.monotonic()
        self._restore_pace()
        self.switch_off()
        differs = [item for item in RESET_ITEMS if self.request(item) != self._start_items[item]]
        serial_differs = any(item.startswith("frmCommSettings.") for item in differs)
        if serial_differs:
            # Port 1 opens once, with all its settings back.
            self.poke(contract.SERIAL_ENABLED_ITEM, CLEAR)
        for item in RESET_ITEMS:
            if item in differs or (item == contract.SERIAL_ENABLED_ITEM and serial_differs):
                self.poke(item, self._start_items[item])
        self.switch_on()
        log.info("reset in %.3f s", time.monotonic() - started)

    def _restore_pace(self) -> None:
        """A file run goes at the pace of the last random run, which no item shows: a random run
        at the Frequency the kit started with, aborted before its first line, sets it back.
        Done while on, so that switching off afterwards clears what the run showed."""
        for caption in PACE_CONTROLS:
            item = ITEMS[caption]
            if self.request(item) != self._start_items[item]:
                self.poke(item, self._start_items[item])
        if self.is_off():
            self.execute("ON")
        take_frequency_as_pace(self.execute)

    def set_formats(self, token_separator: Optional[str] = None, line_terminator: Optional[str] = None) -> None:
        for caption, entry, typed in format_choices(token_separator, line_terminator):
            item = contract.FORMAT_ITEMS[caption]
            wanted = entry if entry is not None else typed
            self.poke(item, wanted)
            shown = self.request(item)
            if shown != wanted:
                raise PanelError(f"the {caption} list shows {shown!r} after {wanted!r} was chosen")

    def set_serial_settings(self, settings: str) -> None:
        """Sets the four lists with port 1 closed, then opens it once with them all, as the
        dialog's OK does. An entry the list does not offer leaves the settings as they were."""
        entries = serial_entries(settings)
        before = {item: self.request(item) for item in SERIAL_ITEMS.values()}
        self.poke(contract.SERIAL_ENABLED_ITEM, CLEAR)
        try:
            for caption, entry in zip(SERIAL_LISTS, entries):
                try:
                    self.poke(SERIAL_ITEMS[caption], entry)
                except NackError as refusal:
                    if not refusal.reason.startswith(NACK_NOT_AN_ENTRY):
                        raise
                    for item, text in before.items():
                        self.poke(item, text)
                    raise not_offered(caption, refusal.reason[len(NACK_NOT_AN_ENTRY):].rstrip("."), entry) from None
        finally:
            self.poke(contract.SERIAL_ENABLED_ITEM, TICKED)
        # Whatever the lists took is in force, refused by the port or not, until reset().
        if not os.path.exists(self.instrument.serial_port):
            raise PanelError(f"the instrument refuses {settings!r}: {self.status()!r}")

    def generation_settings(self) -> dict:
        """As the window's panel shows them: the File Name box shows the file's name alone."""
        shown = {caption: self.request(ITEMS[caption]) for caption in BOXES}
        shown["File Name"] = os.path.basename(shown["File Name"])
        for pair in OPTION_PAIRS:
            shown[pair[0] + "/" + pair[1]] = pair[0] if self.request(ITEMS[pair[0]]) == TICKED else pair[1]
        for caption in CHECK_BOXES:
            shown[caption] = self.request(ITEMS[caption]) == TICKED
        return shown

    def choose_data_file(self, path: str) -> None:
        """The instrument replays exactly this file, whatever its name."""
        path = os.path.abspath(path)
        if not os.path.isfile(path):
            why = "a folder" if os.path.isdir(path) else "no such file"
            raise PanelError(f"{path!r} is {why}; the instrument replays a file of lines")
        self.choose("From a file")
        self.poke(ITEMS["File Name"], path)

    def _is_chosen(self, caption: str) -> bool:
        return self.request(ITEMS[caption]) == TICKED

    def _require_enabled(self, caption: str) -> None:
        """The window greys out what its panel does not take now; so does this face."""
        why = why_greyed(caption, self.is_off(), self._is_chosen)
        if why is not None:
            raise PanelError(f"{caption!r} is greyed out: {why}")

    def choose(self, caption: str) -> None:
        self._require_enabled(caption)
        self.poke(ITEMS[caption], TICKED)

    def type_into(self, caption: str, text: str) -> None:
        self._require_enabled(caption)
        self.poke(ITEMS[caption], text)

    def _check_serial_port(self) -> None:
        if self.request(contract.SERIAL_ENABLED_ITEM) == TICKED and not os.path.exists(self.instrument.serial_port):
            raise PanelError(f"port 1 did not open: {self.status()!r}")


def bring_up(instrument: HeadlessInstrument, settings: dict) -> tuple:
    """Works the panel of a started instrument as the kit's settings say; returns the panel and
    the port the network listens on (None without it). A setting the instrument refuses raises
    PanelError naming it."""
    instrument.wait_serving()
    panel = HeadlessPanel(instrument)

    def set_up(setting: str, call: Callable[..., Any], *args: Any) -> Any:
        try:
            return call(*args)
        except PanelError as refused:
            raise PanelError(f"{setting}: {refused}") from None
    if settings["token_separator"] is not None or settings["line_terminator"] is not None:
        set_up("formats", panel.set_formats, settings["token_separator"], settings["line_terminator"])
    if settings["serial_settings"] is not None:
        set_up("serial_settings", panel.set_serial_settings, settings["serial_settings"])
    port = set_up("tcp", panel.enable_network, settings["tcp_port"]) if settings["tcp"] else None
    if settings["switch_on"]:
        set_up("switch_on", panel.switch_on)
    panel.started()
    return panel, port

