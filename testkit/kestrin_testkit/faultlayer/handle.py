"""ChannelFaults: the public handle on one channel's faults, as an Instrument hands it out
(instrument.tcp, instrument.serial, instrument.dde)."""

from typing import Any, Optional

from kestrin_testkit.faultlayer.layer import FaultLayer


class ChannelFaults:
    """The faults of one channel. direction: "to_client", "to_instrument" or "both" (the default;
    drop, duplicate, corrupt and the faults on the language act toward the client unless told
    otherwise). Each call replaces
    the fault of its name in its direction; a bad parameter raises a one-line ValueError."""

    def __init__(self, layer: FaultLayer, name: str) -> None:
        self._layer = layer
        self.name = name

    def latency(self, ms: float, jitter_ms: float = 0, *, direction: Optional[str] = None) -> None:
        """Each piece is delivered ms (± jitter_ms) later, in order."""
        self._set("latency", ms, jitter_ms=jitter_ms, direction=direction)

    def slice(self, max_bytes: int, gap_ms: float = 0, *, direction: Optional[str] = None) -> None:
        """What passes goes in pieces of at most max_bytes, gap_ms apart."""
        self._set("slice", max_bytes, gap_ms=gap_ms, direction=direction)

    def bandwidth(self, bytes_per_second: float, *, direction: Optional[str] = None) -> None:
        self._set("bandwidth", bytes_per_second, direction=direction)

    def line_speed(self, *, direction: Optional[str] = None) -> None:
        """Serial only: paced as the instrument's port settings carry it (19200,N,8,1: 1920 bytes/s)."""
        self._set("line_speed", direction=direction)

    def drop(self, count: int = 1, match: Optional[str] = None, *, direction: Optional[str] = None) -> None:
        """The next count lines (those matching the regular expression match) vanish."""
        self._set("drop", count, match=match, direction=direction)

    def duplicate(self, count: int = 1, *, direction: Optional[str] = None) -> None:
        self._set("duplicate", count, direction=direction)

    def corrupt(self, probability: float, seed: int = 0, *, direction: Optional[str] = None) -> None:
        """A bit of each byte flipped at this probability, the same ones for the same seed."""
        self._set("corrupt", probability, seed=seed, direction=direction)

    def stall(self, seconds: float, *, direction: Optional[str] = None) -> None:
        """Nothing passes for that long, then all that was held (up to 4 MiB each way)."""
        self._set("stall", seconds, direction=direction)

    def disconnect(self) -> None:
        """The cable is pulled now: TCP resets the client's connection, serial hangs its line up,
        the conversation socket closes. The client may connect again at once."""
        self._set("disconnect")

    def clear(self) -> None:
        """Removes every fault of the channel, those on the language too."""
        self._set("clear")

    # Faults on the instrument's language. Each acts on the instrument's whole lines (direction
    # "to_client" unless told otherwise) and takes count (it wears off after acting on that many
    # lines), after (it starts once that many lines have passed its way) and duration (it clears
    # itself that many seconds after it was set). match is a regular expression searched in the
    # line without its terminator; on the conversation socket in the whole line as it travels
    # ("UPDATE txtOutput OK"), and a line carrying a text has that text changed.

    def replace(self, match: str, text: str, *, count: Optional[int] = None, after: Optional[int] = None,
                duration: Optional[float] = None, direction: Optional[str] = None) -> None:
        """A line that matches becomes text: an error reply to a good command, a wrong value."""
        self._set("replace", match, text, count=count, after=after, duration=duration, direction=direction)

    def withhold(self, match: str, *, count: Optional[int] = None, after: Optional[int] = None,
                 duration: Optional[float] = None, direction: Optional[str] = None) -> None:
        """A line that matches never comes; the others, data lines too, keep coming."""
        self._set("withhold", match, count=count, after=after, duration=duration, direction=direction)

    def inject(self, text: str, every: Optional[float] = None, *, count: Optional[int] = None,
               after: Optional[int] = None, duration: Optional[float] = None) -> None:
        """An unasked line sent to the client as the instrument sends its own (with its line
        terminator; on the conversation socket as an update of txtOutput), between its lines: once
        (to the first client, if none is there yet), or every `every` seconds (to the clients there
        are), count times. after: it waits for that many of the client's commands."""
        self._set("inject", text, every=every, count=count, after=after, duration=duration)

    def truncate(self, match: str, keep: int, *, count: Optional[int] = None, after: Optional[int] = None,
                 duration: Optional[float] = None, direction: Optional[str] = None) -> None:
        """A line that matches keeps only its first keep characters (and its terminator)."""
        self._set("truncate", match, keep, count=count, after=after, duration=duration, direction=direction)

    def _set(self, fault: str, *args: Any, **kwargs: Any) -> None:
        kwargs = {name: value for name, value in kwargs.items() if value is not None}
        self._layer.set(self.name, fault, args, kwargs)
