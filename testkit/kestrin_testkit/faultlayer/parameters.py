"""The faults a channel of the fault layer can be given, one set per direction, and their checks.

A fault is set on a channel ("tcp", "serial", "dde") toward the client, toward the instrument or
both; each call replaces the fault of that name in that direction. Every parameter is checked
before anything changes, and a bad one fails in one line naming what is allowed.

The faults on the instrument's language (replace, withhold, inject, truncate) act on whole lines:
each takes count (it wears off after acting on that many lines), after (it starts once that many
lines have passed its way; for inject, that many of the client's commands) and duration (it clears
itself that many seconds after it was set).
"""

import random
import re
import termios
from dataclasses import dataclass, field
from typing import Any, Callable, Optional

CHANNELS = ("tcp", "serial", "dde")
TO_CLIENT = "to_client"
TO_INSTRUMENT = "to_instrument"
BOTH = "both"
DIRECTIONS = (TO_CLIENT, TO_INSTRUMENT, BOTH)
# Faults that speak for the instrument: they act on its lines, once set in a direction, as one of
# its own would.
LANGUAGE_FAULTS = ("replace", "withhold", "inject", "truncate")
# Faults on lines act on what the instrument says unless told otherwise; the others on both ways.
LINE_FAULTS = ("drop", "duplicate", "corrupt", *LANGUAGE_FAULTS)
FAULTS = ("latency", "slice", "bandwidth", "line_speed", "drop", "duplicate", "corrupt", "stall", "disconnect",
          "clear", *LANGUAGE_FAULTS)
# Beyond these a parameter is a typing error rather than a test.
MAX_DELAY_MS = 600_000
MAX_STALL_SECONDS = 3600
MAX_COUNT = 1_000_000
MAX_BYTES_PER_SECOND = 1_000_000_000
# A conversation line's limit: no instrument line is longer, nor a text put in place of one.
MAX_TEXT = 1_048_576
# The shortest period of inject and duration of a fault: a millisecond, the layer's resolution.
MIN_SECONDS = 0.001
# One byte a character on the byte channels; the conversation socket speaks UTF-8.
ENCODINGS = {"tcp": "latin-1", "serial": "latin-1", "dde": "utf-8"}
ENCODING_NAMES = {"latin-1": "Latin-1 (one byte a character)", "utf-8": "UTF-8"}

BAUD_RATES = {getattr(termios, f"B{rate}"): rate for rate in (
    50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400)}
DATA_BITS = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}


def directions_of(direction: Optional[str], fault: str) -> tuple[str, ...]:
    """The one or two directions a fault is set in."""
    if direction is None:
        direction = TO_CLIENT if fault in LINE_FAULTS else BOTH
    if direction not in DIRECTIONS:
        raise ValueError(f"{fault}: no direction {direction!r}; the directions are {', '.join(DIRECTIONS)}")
    return (TO_CLIENT, TO_INSTRUMENT) if direction == BOTH else (direction,)


def check_number(fault: str, name: str, value: Any, low: float, high: float, integer: bool = False) -> Any:
    """value as a number from low to high, or a one-line ValueError."""
    kind = "a whole number" if integer else "a number"
    try:
        number = int(value) if integer and not isinstance(value, float) else float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{fault}: {name} must be {kind} from {low} to {high}, not {value!r}") from None
    if number != number or not low <= number <= high:
        raise ValueError(f"{fault}: {name} must be {kind} from {low} to {high}, not {value!r}")
    return number


def characters_per_second(attributes: list) -> float:
    """What a serial line with these termios attributes carries: a start bit, the data bits,
    a parity bit if any and the stop bits for each character."""
    baud = BAUD_RATES.get(attributes[4], 0)
    control = attributes[2]
    bits = 1 + DATA_BITS.get(control & termios.CSIZE, 8) + (1 if control & termios.PARENB else 0) \
        + (2 if control & termios.CSTOPB else 1)
    return baud / bits if baud else 0.0


def shown(value: object, limit: int = 60) -> str:
    """A value as a one-line message shows it: its repr, cut short."""
    text = repr(value)
    return text if len(text) <= limit else text[:limit - 3] + "..."


@dataclass
class LanguageFault:
    """One fault on the instrument's lines, with what remains of it: count lines (for inject,
    injections) to act on (None: until cleared), after lines (for inject, commands) to let pass
    first, and the time it clears itself (until, None: never)."""

    name: str
    parameters: str
    match: Optional[re.Pattern] = None
    text: str = ""
    keep: int = 0
    every: Optional[float] = None
    count: Optional[int] = None
    count_set: Optional[int] = None
    after: int = 0
    until: Optional[float] = None
    duration: Optional[float] = None
    next_due: float = 0.0

    def worn_off(self, now: float) -> bool:
        return self.count == 0 or (self.until is not None and self.until <= now)

    def started_by_line(self) -> bool:
        """Counts one line that passed its way; whether the fault acts from this line on."""
        if self.after:
            self.after -= 1
            return False
        return True

    def takes(self, text: str) -> bool:
        """Whether the fault acts on this line (matched, and counted if counted)."""
        if self.count == 0 or self.match is not None and not self.match.search(text):
            return False
        self.spend()
        return True

    def spend(self) -> None:
        if self.count is not None:
            self.count -= 1

    def described(self, now: float) -> str:
        parts = [f"{self.name}({self.parameters})"]
        if self.after:
            what = "command" if self.name == "inject" else "line"
            parts.append(f"starts after {self.after} more {what}{'s' if self.after > 1 else ''}")
        # Sent once, an unasked line has no count to show.
        if self.count is not None and (self.name != "inject" or self.every is not None):
            parts.append(f"{self.count} of {self.count_set} left")
        if self.until is not None:
            parts.append(f"{max(0.0, self.until - now):.1f} s of {self.duration:g} s left")
        return ", ".join(parts)


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
    corrupt_seed: int = 0
    corrupt_random: Optional[random.Random] = None
    stall_until: float = 0.0
    jitter_random: random.Random = field(default_factory=lambda: random.Random(0))
    # The faults on the instrument's language by name, in the order they were set.
    language: dict[str, LanguageFault] = field(default_factory=dict)

    def any_set(self, now: float) -> bool:
        return bool(self.latency_ms or self.jitter_ms or self.slice_bytes or self.bytes_per_second
                    or self.line_speed or self.drop_count or self.duplicate_count or self.corrupt_probability
                    or self.stall_until > now or bool(self.language) and self.speaking(now))

    def on_lines(self) -> bool:
        return bool(self.drop_count or self.duplicate_count or self.language)

    def speaking(self, now: float) -> bool:
        """Whether a fault on the language is set, those worn off removed first."""
        if self.language:
            for name in [name for name, fault in self.language.items() if fault.worn_off(now)]:
                del self.language[name]
        return bool(self.language)

    def described(self, now: float) -> list[str]:
        """Each fault set, with its parameters and what remains of it."""
        listed = []
        if self.latency_ms or self.jitter_ms:
            listed.append(f"latency(ms={self.latency_ms:g}, jitter_ms={self.jitter_ms:g})")
        if self.slice_bytes:
            listed.append(f"slice(max_bytes={self.slice_bytes}, gap_ms={self.slice_gap_ms:g})")
        if self.bytes_per_second:
            listed.append(f"bandwidth(bytes_per_second={self.bytes_per_second:g})")
        if self.line_speed:
            listed.append("line_speed()")
        if self.drop_count:
            match = "" if self.drop_match is None else f"match={shown(self.drop_match.pattern)}"
            listed.append(f"drop({match}), {self.drop_count} left")
        if self.duplicate_count:
            listed.append(f"duplicate(), {self.duplicate_count} left")
        if self.corrupt_probability:
            listed.append(f"corrupt(probability={self.corrupt_probability:g}, seed={self.corrupt_seed})")
        if self.stall_until > now:
            listed.append(f"stall(), {self.stall_until - now:.1f} s left")
        if self.speaking(now):
            listed += [fault.described(now) for fault in self.language.values()]
        return listed

    def delay(self) -> float:
        """This piece's latency in seconds."""
        if not self.jitter_ms:
            return self.latency_ms / 1000.0
        return max(0.0, self.latency_ms + self.jitter_random.uniform(-self.jitter_ms, self.jitter_ms)) / 1000.0


# What a checked fault does to the faults of one direction, given the time now.
Change = Callable[[DirectionFaults, float], None]


def prepared(channel: str, fault: str, args: tuple, kwargs: dict[str, Any]) -> tuple[tuple[str, ...], Change]:
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
    if fault == "inject" and direction not in (None, TO_CLIENT):
        raise ValueError(f"inject: no direction {direction!r} here; an unasked line goes {TO_CLIENT} only")
    if fault in LANGUAGE_FAULTS:
        return directions_of(direction, fault), CHECKS[fault](fault, values, channel)
    return directions_of(direction, fault), CHECKS[fault](fault, values)


def _latency(fault: str, values: dict[str, Any]) -> Change:
    ms = check_number(fault, "ms", values["ms"], 0, MAX_DELAY_MS)
    jitter = check_number(fault, "jitter_ms", values.get("jitter_ms", 0), 0, MAX_DELAY_MS)

    def change(faults: DirectionFaults, _now: float) -> None:
        faults.latency_ms, faults.jitter_ms = ms, jitter
    return change


def _slice(fault: str, values: dict[str, Any]) -> Change:
    size = check_number(fault, "max_bytes", values["max_bytes"], 1, 65536, integer=True)
    gap = check_number(fault, "gap_ms", values.get("gap_ms", 0), 0, MAX_DELAY_MS)

    def change(faults: DirectionFaults, _now: float) -> None:
        faults.slice_bytes, faults.slice_gap_ms = size, gap
    return change


def _bandwidth(fault: str, values: dict[str, Any]) -> Change:
    rate = check_number(fault, "bytes_per_second", values["bytes_per_second"], 1, MAX_BYTES_PER_SECOND)

    def change(faults: DirectionFaults, _now: float) -> None:
        faults.bytes_per_second = rate
    return change


def _line_speed(_fault: str, _values: dict[str, Any]) -> Change:
    def change(faults: DirectionFaults, _now: float) -> None:
        faults.line_speed = True
    return change


def _pattern(fault: str, values: dict[str, Any]) -> Optional[re.Pattern]:
    match = values.get("match")
    if match is None:
        return None
    try:
        return re.compile(match)
    except (re.error, TypeError) as failure:
        raise ValueError(f"{fault}: match must be a regular expression, not {values['match']!r} ({failure})") \
            from None


def _drop(fault: str, values: dict[str, Any]) -> Change:
    count = check_number(fault, "count", values.get("count", 1), 1, MAX_COUNT, integer=True)
    match = _pattern(fault, values)

    def change(faults: DirectionFaults, _now: float) -> None:
        faults.drop_count, faults.drop_match = count, match
    return change


def _duplicate(fault: str, values: dict[str, Any]) -> Change:
    count = check_number(fault, "count", values.get("count", 1), 1, MAX_COUNT, integer=True)

    def change(faults: DirectionFaults, _now: float) -> None:
        faults.duplicate_count = count
    return change


def _corrupt(fault: str, values: dict[str, Any]) -> Change:
    probability = check_number(fault, "probability", values["probability"], 0, 1)
    seed = check_number(fault, "seed", values.get("seed", 0), 0, 2**63, integer=True)

    def change(faults: DirectionFaults, _now: float) -> None:
        faults.corrupt_probability, faults.corrupt_seed = probability, seed
        faults.corrupt_random = random.Random(seed)
    return change


def _stall(fault: str, values: dict[str, Any]) -> Change:
    seconds = check_number(fault, "seconds", values["seconds"], 0, MAX_STALL_SECONDS)

    def change(faults: DirectionFaults, now: float) -> None:
        faults.stall_until = now + seconds
    return change


def _reset(_fault: str, _values: dict[str, Any]) -> Change:
    def change(faults: DirectionFaults, _now: float) -> None:
        faults.__init__()
    return change


def _text(fault: str, channel: str, value: Any) -> str:
    """A text the instrument is made to say, as its channel carries it."""
    if not isinstance(value, str) or len(value) > MAX_TEXT:
        raise ValueError(f"{fault}: text must be a text of at most {MAX_TEXT} characters, not {shown(value)}")
    try:
        value.encode(ENCODINGS[channel])
    except UnicodeEncodeError:
        raise ValueError(f"{fault}: text must be {ENCODING_NAMES[ENCODINGS[channel]]} on {channel}, not "
                         f"{shown(value)}") from None
    return value


def _language(fault: str, values: dict[str, Any], channel: str) -> Change:
    """The checks every fault on the language shares; returns the change that sets it."""
    match = _pattern(fault, values)
    text = _text(fault, channel, values["text"]) if "text" in values else ""
    keep = check_number(fault, "keep", values.get("keep", 0), 0, MAX_TEXT, integer=True)
    every = values.get("every")
    if every is not None:
        every = check_number(fault, "every", every, MIN_SECONDS, MAX_STALL_SECONDS)
    count = values.get("count")
    if count is not None:
        if fault == "inject" and every is None:
            raise ValueError("inject: count needs every; without it the line is sent once")
        count = check_number(fault, "count", count, 1, MAX_COUNT, integer=True)
    after = check_number(fault, "after", values.get("after", 0), 0, MAX_COUNT, integer=True)
    duration = values.get("duration")
    if duration is not None:
        duration = check_number(fault, "duration", duration, MIN_SECONDS, MAX_STALL_SECONDS)
    if fault == "inject" and every is None:
        count = 1
    shown_values = {"match": None if match is None else shown(match.pattern), "text": shown(text),
                    "keep": keep, "every": None if every is None else f"{every:g}"}
    parameters = ", ".join(f"{name}={shown_values[name]}" for name in PARAMETERS[fault] if name in shown_values
                           and (name in REQUIRED[fault] or name == "every" and every is not None))

    def change(faults: DirectionFaults, now: float) -> None:
        faults.language.pop(fault, None)
        faults.language[fault] = LanguageFault(
            fault, parameters, match=match, text=text, keep=keep, every=every, count=count, count_set=count,
            after=after, until=None if duration is None else now + duration, duration=duration, next_due=now)
    return change


WEARING = ("count", "after", "duration")
PARAMETERS = {"latency": ("ms", "jitter_ms"), "slice": ("max_bytes", "gap_ms"), "bandwidth": ("bytes_per_second",),
              "line_speed": (), "drop": ("count", "match"), "duplicate": ("count",),
              "corrupt": ("probability", "seed"), "stall": ("seconds",), "disconnect": (), "clear": (),
              "replace": ("match", "text", *WEARING), "withhold": ("match", *WEARING),
              "inject": ("text", "every", *WEARING), "truncate": ("match", "keep", *WEARING)}
REQUIRED = {"latency": ("ms",), "slice": ("max_bytes",), "bandwidth": ("bytes_per_second",),
            "corrupt": ("probability",), "stall": ("seconds",), "replace": ("match", "text"), "withhold": ("match",),
            "inject": ("text",), "truncate": ("match", "keep")}
REQUIRED = {fault: REQUIRED.get(fault, ()) for fault in FAULTS}
CHECKS = {"latency": _latency, "slice": _slice, "bandwidth": _bandwidth, "line_speed": _line_speed, "drop": _drop,
          "duplicate": _duplicate, "corrupt": _corrupt, "stall": _stall, "disconnect": _reset, "clear": _reset,
          **{fault: _language for fault in LANGUAGE_FAULTS}}


def parse(text: str, channels: tuple[str, ...] = CHANNELS) -> tuple[str, str, tuple, dict[str, Any]]:
    """A fault as the command line writes it: CHANNEL:FAULT[=VALUE[,NAME=VALUE...]][@DIRECTION],
    e.g. "tcp:latency=50", "serial:slice=1,gap_ms=2", "tcp:drop=1,match=^OK@to_client",
    "tcp:inject=0.5\\,0.7,every=1" (a comma within a value written "\\,").
    Returns (channel, fault, args, kwargs) once checked."""
    channel, colon, rest = text.partition(":")
    if not colon or not rest:
        raise ValueError(f"fault {text!r}: write CHANNEL:FAULT[=VALUES][@DIRECTION], as in tcp:latency=50")
    if channel not in channels:
        raise ValueError(f"fault {text!r}: no channel {channel!r}; the channels are {', '.join(channels)}")
    kwargs: dict[str, Any] = {}
    if "@" in rest:
        rest, _, kwargs["direction"] = rest.rpartition("@")
    fault, _, values = rest.partition("=")
    args = []
    for value in filter(None, re.split(r"(?<!\\),", values)):
        value = value.replace("\\,", ",")
        name, equals, named = value.partition("=")
        # "^a=b" is a value: a parameter's name is a word.
        if equals and name.isidentifier():
            kwargs[name] = named
        else:
            args.append(value)
    prepared(channel, fault, tuple(args), kwargs)
    return channel, fault, tuple(args), kwargs
