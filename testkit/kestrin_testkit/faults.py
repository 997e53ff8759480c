"""The faults a channel of the fault layer can be given, one set per direction, and their checks.

A fault is set on a channel ("tcp", "serial", "dde") toward the client, toward the instrument or
both; each call replaces the fault of that name in that direction. Every parameter is checked
before anything changes, and a bad one fails in one line naming what is allowed.
"""

import random
import re
import termios
from dataclasses import dataclass, field
from typing import Optional

CHANNELS = ("tcp", "serial", "dde")
TO_CLIENT = "to_client"
TO_INSTRUMENT = "to_instrument"
BOTH = "both"
DIRECTIONS = (TO_CLIENT, TO_INSTRUMENT, BOTH)
# Faults on lines act on what the instrument says unless told otherwise; the others on both ways.
LINE_FAULTS = ("drop", "duplicate", "corrupt")
FAULTS = ("latency", "slice", "bandwidth", "line_speed", "drop", "duplicate", "corrupt", "stall", "disconnect",
          "clear")
# Beyond these a parameter is a typing error rather than a test.
MAX_DELAY_MS = 600_000
MAX_STALL_SECONDS = 3600
MAX_COUNT = 1_000_000
MAX_BYTES_PER_SECOND = 1_000_000_000

BAUD_RATES = {getattr(termios, f"B{rate}"): rate for rate in (
    50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400)}
DATA_BITS = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}


def directions_of(direction: str, fault: str) -> tuple:
    """The one or two directions a fault is set in."""
    if direction is None:
        direction = TO_CLIENT if fault in LINE_FAULTS else BOTH
    if direction not in DIRECTIONS:
        raise ValueError(f"{fault}: no direction {direction!r}; the directions are {', '.join(DIRECTIONS)}")
    return (TO_CLIENT, TO_INSTRUMENT) if direction == BOTH else (direction,)


def check_number(fault: str, name: str, value, low, high, integer=False):
    """value as a number from low to high, or a one-line ValueError."""
    kind = "a whole number" if integer else "a number"
    try:
        number = int(value) if integer and not isinstance(value, float) else float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{fault}: {name} must be {kind} from {low} to {high}, not {value!r}") from None
    if number != number or not low <= number <= high:
        raise ValueError(f"{fault}: {name} must be {kind} from {low} to {high}, not {value!r}")
    return number


def characters_per_second(attributes) -> float:
    """What a serial line with these termios attributes carries: a start bit, the data bits,
    a parity bit if any and the stop bits for each character."""
    baud = BAUD_RATES.get(attributes[4], 0)
    control = attributes[2]
    bits = 1 + DATA_BITS.get(control & termios.CSIZE, 8) + (1 if control & termios.PARENB else 0) \
        + (2 if control & termios.CSTOPB else 1)
    return baud / bits if baud else 0.0


@dataclass
class DirectionFaults:
    """What acts on the bytes going one way. Counts run down as lines are dropped or doubled."""

    latency_ms: float = 0.0
    jitter_ms: float = 0.0
    slice_bytes: int = 0
    slice_gap_ms: float = 0.0
    bytes_per_second: float = 0.0
    line_speed: bool = False
    drop_count: int = 0
    drop_match: Optional[re.Pattern] = None
    duplicate_count: int = 0
    corrupt_probability: float = 0.0
    corrupt_random: Optional[random.Random] = None
    stall_until: float = 0.0
    jitter_random: random.Random = field(default_factory=lambda: random.Random(0))

    def any_set(self, now: float) -> bool:
        return bool(self.latency_ms or self.jitter_ms or self.slice_bytes or self.bytes_per_second
                    or self.line_speed or self.drop_count or self.duplicate_count or self.corrupt_probability
                    or self.stall_until > now)

    def on_lines(self) -> bool:
        return bool(self.drop_count or self.duplicate_count)

    def delay(self) -> float:
        """This piece's latency in seconds."""
        if not self.jitter_ms:
            return self.latency_ms / 1000.0
        return max(0.0, self.latency_ms + self.jitter_random.uniform(-self.jitter_ms, self.jitter_ms)) / 1000.0


def prepared(channel: str, fault: str, args: tuple, kwargs: dict):
    """Checks a fault's parameters; returns (directions, change), change being a function that
    applies it to a DirectionFaults with the time now. Raises a one-line ValueError."""
    if fault not in FAULTS:
        raise ValueError(f"{channel}: no fault {fault!r}; the faults are {', '.join(FAULTS)}")
    kwargs = dict(kwargs)
    direction = kwargs.pop("direction", None)
    names = PARAMETERS[fault]
    if len(args) > len(names):
        raise ValueError(f"{fault} takes {', '.join(names) or 'no parameters'}, not {len(args)} values")
    values = dict(zip(names, args))
    for name, value in kwargs.items():
        if name not in names or name in values:
            raise ValueError(f"{fault}: no parameter {name!r} here; it takes {', '.join(names) or 'none'}"
                             " and direction")
        values[name] = value
    missing = [name for name in REQUIRED[fault] if name not in values]
    if missing:
        raise ValueError(f"{fault}: give {', '.join(missing)}")
    if fault == "line_speed" and channel != "serial":
        raise ValueError(f"{channel}: line_speed paces a serial line; set bandwidth on {channel}")
    return directions_of(direction, fault), CHECKS[fault](fault, values)


def _latency(fault, values):
    ms = check_number(fault, "ms", values["ms"], 0, MAX_DELAY_MS)
    jitter = check_number(fault, "jitter_ms", values.get("jitter_ms", 0), 0, MAX_DELAY_MS)

    def change(faults, _now):
        faults.latency_ms, faults.jitter_ms = ms, jitter
    return change


def _slice(fault, values):
    size = check_number(fault, "max_bytes", values["max_bytes"], 1, 65536, integer=True)
    gap = check_number(fault, "gap_ms", values.get("gap_ms", 0), 0, MAX_DELAY_MS)

    def change(faults, _now):
        faults.slice_bytes, faults.slice_gap_ms = size, gap
    return change


def _bandwidth(fault, values):
    rate = check_number(fault, "bytes_per_second", values["bytes_per_second"], 1, MAX_BYTES_PER_SECOND)

    def change(faults, _now):
        faults.bytes_per_second = rate
    return change


def _line_speed(_fault, _values):
    def change(faults, _now):
        faults.line_speed = True
    return change


def _drop(fault, values):
    count = check_number(fault, "count", values.get("count", 1), 1, MAX_COUNT, integer=True)
    match = values.get("match")
    if match is not None:
        try:
            match = re.compile(match)
        except (re.error, TypeError) as failure:
            raise ValueError(f"{fault}: match must be a regular expression, not {values['match']!r} ({failure})") \
                from None

    def change(faults, _now):
        faults.drop_count, faults.drop_match = count, match
    return change


def _duplicate(fault, values):
    count = check_number(fault, "count", values.get("count", 1), 1, MAX_COUNT, integer=True)

    def change(faults, _now):
        faults.duplicate_count = count
    return change


def _corrupt(fault, values):
    probability = check_number(fault, "probability", values["probability"], 0, 1)
    seed = check_number(fault, "seed", values.get("seed", 0), 0, 2**63, integer=True)

    def change(faults, _now):
        faults.corrupt_probability, faults.corrupt_random = probability, random.Random(seed)
    return change


def _stall(fault, values):
    seconds = check_number(fault, "seconds", values["seconds"], 0, MAX_STALL_SECONDS)

    def change(faults, now):
        faults.stall_until = now + seconds
    return change


def _reset(_fault, _values):
    def change(faults, _now):
        faults.__init__()
    return change


PARAMETERS = {"latency": ("ms", "jitter_ms"), "slice": ("max_bytes", "gap_ms"), "bandwidth": ("bytes_per_second",),
              "line_speed": (), "drop": ("count", "match"), "duplicate": ("count",),
              "corrupt": ("probability", "seed"), "stall": ("seconds",), "disconnect": (), "clear": ()}
REQUIRED = {"latency": ("ms",), "slice": ("max_bytes",), "bandwidth": ("bytes_per_second",),
            "corrupt": ("probability",), "stall": ("seconds",)}
REQUIRED = {fault: REQUIRED.get(fault, ()) for fault in FAULTS}
CHECKS = {"latency": _latency, "slice": _slice, "bandwidth": _bandwidth, "line_speed": _line_speed, "drop": _drop,
          "duplicate": _duplicate, "corrupt": _corrupt, "stall": _stall, "disconnect": _reset, "clear": _reset}


def parse(text: str, channels=CHANNELS):
    """A fault as the command line writes it: CHANNEL:FAULT[=VALUE[,NAME=VALUE...]][@DIRECTION],
    e.g. "tcp:latency=50", "serial:slice=1,gap_ms=2", "tcp:drop=1,match=^OK@to_client".
    Returns (channel, fault, args, kwargs) once checked."""
    channel, colon, rest = text.partition(":")
    if not colon or not rest:
        raise ValueError(f"fault {text!r}: write CHANNEL:FAULT[=VALUES][@DIRECTION], as in tcp:latency=50")
    if channel not in channels:
        raise ValueError(f"fault {text!r}: no channel {channel!r}; the channels are {', '.join(channels)}")
    kwargs = {}
    if "@" in rest:
        rest, _, kwargs["direction"] = rest.rpartition("@")
    fault, _, values = rest.partition("=")
    args = []
    for value in filter(None, values.split(",")):
        name, equals, named = value.partition("=")
        if equals:
            kwargs[name] = named
        else:
            args.append(value)
    prepared(channel, fault, tuple(args), kwargs)
    return channel, fault, tuple(args), kwargs
