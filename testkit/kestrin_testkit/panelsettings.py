"""The instrument's settings as both of its faces take them, the window and the windowless
instrument's conversation items: the entries of its lists, the checks a setting passes before it
is tried, which controls the panel greys out and why, and the ports its network takes.

Nothing here needs a desktop, so that the windowless instrument runs without one.
"""

import errno
import random
import socket
from typing import Callable, Optional

# The entries of the Transmission Formats lists, by the characters they stand for.
TOKEN_SEPARATORS = {",": "<Comma>", "\t": "<Tab>", " ": "<Space>"}
LINE_TERMINATORS = {"\r": "<CR>", "\n": "<LF>", "\r\n": "<CR><LF>"}
DEFAULT_FORMATS = (",", "\r")
# Communication Settings: the lists a settings text such as "19200,N,8,1" chooses, from top to
# bottom below "Port Number:", and the parity entries by the letter the text gives them.
SERIAL_LISTS = ("Baud Rate", "Parity", "Data Bits", "Stop Bits")
PARITIES = {"E": "Even", "M": "Mark", "N": "None", "O": "Odd", "S": "Space"}
DEFAULT_SERIAL_SETTINGS = "19200,N,8,1"
# What makes up the generation settings: the boxes, each option pair, the check boxes.
BOXES = ("Frequency", "Line Format", "No. Lines", "Min", "Max", "Mean", "St Dev", "File Name")
OPTION_PAIRS = (("Random", "From a file"), ("Continuous", "Finite"), ("Flat", "Gaussian"))
CHECK_BOXES = ("Include data point number", "Absolute Value")
# The boxes an option enables (the others of its frame it greys out).
BOXES_OF_OPTION = {"From a file": ("File Name",), "Finite": ("No. Lines",), "Flat": ("Min", "Max"),
                   "Gaussian": ("Mean", "St Dev")}
# Controls of the Points and Profile frames, which "From a file" greys out.
RANDOM_DATA_CONTROLS = frozenset(("Frequency", "Line Format", "Continuous", "Finite", "No. Lines", "Flat",
                                  "Gaussian", "Min", "Max", "Mean", "St Dev", "Absolute Value"))
# The instrument's port setting is a 16-bit signed number, so its ports lie below the range the
# system hands out for port 0.
PORT_RANGE = (20000, 32767)
PORT_TRIES = 200


class PanelError(AssertionError):
    """A setting the instrument does not take: what it shows and why, in one line."""


def why_greyed(caption: str, off: bool, is_chosen: Callable[[str], bool]) -> Optional[str]:
    """Why the panel greys out a control, or None when nothing the kit knows of does."""
    if off:
        return "the instrument is Off; switch it on first (switch_on())"
    if caption in RANDOM_DATA_CONTROLS and is_chosen("From a file"):
        return ("'From a file' is chosen, which greys out Points and Profile; "
                "choose_flat() or choose_gaussian() chooses random data")
    for option, boxes in BOXES_OF_OPTION.items():
        if caption in boxes and not is_chosen(option):
            return f"{option!r} is not chosen"
    return None


def format_choice(caption: str, entries: dict, value: str) -> tuple:
    """(caption, the entry to pick or None, the text to type or None) for a format's characters."""
    if value in entries:
        return caption, entries[value], None
    offered = f"the {caption} list offers {', '.join(map(repr, entries))}"
    if not value.isprintable():
        raise PanelError(f"{offered}, and typed text cannot hold {value!r}")
    if value != value.strip(" "):
        raise PanelError(f"the {caption} field drops the spaces around typed text: {value!r} would be "
                         f"{value.strip(' ')!r}")
    if not value and caption == "Line Terminator":
        raise PanelError("the Line Terminator field left empty keeps the terminator in force")
    return caption, None, value


def format_choices(token_separator: Optional[str], line_terminator: Optional[str]) -> list:
    """The format_choice of each format given."""
    return [format_choice(caption, entries, value) for caption, entries, value in (
        ("Token Separator", TOKEN_SEPARATORS, token_separator),
        ("Line Terminator", LINE_TERMINATORS, line_terminator)) if value is not None]


def serial_entries(settings: str) -> list:
    """The entries of the Communication Settings lists that a settings text chooses."""
    parts = settings.split(",") if isinstance(settings, str) else []
    if len(parts) != len(SERIAL_LISTS):
        raise PanelError(f"{settings!r} is not baud rate, parity, data bits and stop bits joined by commas, "
                         f"as in {DEFAULT_SERIAL_SETTINGS!r}")
    baud_rate, parity, data_bits, stop_bits = (part.strip() for part in parts)
    if parity.upper() not in PARITIES:
        raise PanelError(f"Communication Settings offers parity {', '.join(PARITIES)} "
                         f"({', '.join(PARITIES.values())}), not {parity!r}")
    return [baud_rate, PARITIES[parity.upper()], data_bits, stop_bits]


class GenerationCalls:
    """The panel calls that set how data is generated, the same on both faces: each types into
    a box or chooses an option through the face's own type_into and choose."""

    def type_into(self, caption: str, text: str) -> None:
        raise NotImplementedError

    def choose(self, caption: str) -> None:
        raise NotImplementedError

    def set_frequency(self, lines_per_second: float) -> None:
        self.type_into("Frequency", str(lines_per_second))

    def set_points_per_line(self, points: int) -> None:
        self.type_into("Line Format", str(points))

    def choose_continuous(self) -> None:
        self.choose("Continuous")

    def choose_finite(self, lines: int) -> None:
        self.choose("Finite")
        self.type_into("No. Lines", str(lines))

    def choose_flat(self, minimum: float, maximum: float) -> None:
        """Random data spread evenly between minimum and maximum."""
        self.choose("Random")
        self.choose("Flat")
        self.type_into("Min", f"{minimum:g}")
        self.type_into("Max", f"{maximum:g}")

    def choose_gaussian(self, mean: float, st_dev: float) -> None:
        """Random data around mean; the instrument uses the St Dev entry squared."""
        self.choose("Random")
        self.choose("Gaussian")
        self.type_into("Mean", f"{mean:g}")
        self.type_into("St Dev", f"{st_dev:g}")


def not_offered(caption: str, offered: str, entry: str) -> PanelError:
    return PanelError(f"Communication Settings offers {caption} {offered}, not {entry!r}")


def free_port() -> int:
    """A TCP port that nothing listens on, on IPv4 or (where the machine has it) IPv6, within the
    instrument's range."""
    for _ in range(PORT_TRIES):
        port = random.randint(*PORT_RANGE)
        if _bindable(socket.AF_INET, "0.0.0.0", port) and _bindable(socket.AF_INET6, "::", port):
            return port
    raise AssertionError(f"no free TCP port found from {PORT_RANGE[0]} to {PORT_RANGE[1]} in {PORT_TRIES} tries")


def _bindable(family: int, address: str, port: int) -> bool:
    try:
        probe = socket.socket(family)
    except OSError:
        return True  # no such protocol here: nothing can listen on it either
    with probe:
        if family == socket.AF_INET6:
            probe.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        try:
            probe.bind((address, port))
        except OSError as failure:
            return failure.errno == errno.EADDRNOTAVAIL
    return True
