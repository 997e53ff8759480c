"""FaultChannels: the owner of one instrument's fault layer, its transcript and its control
socket; the Instrument holds one while it is started."""

import os
import tempfile
from typing import Iterable, Optional

from kestrin_testkit.faultlayer import parameters
from kestrin_testkit.faultlayer.control import ControlServer
from kestrin_testkit.faultlayer.handle import ChannelFaults
from kestrin_testkit.faultlayer.layer import FaultLayer
from kestrin_testkit.transcript import Transcript

# Where a kit given no transcript folder keeps its transcripts (the pytest plugin sets it), or None
# to keep them in memory only.
default_transcript_parent: Optional[str] = None


class FaultChannels:
    """The fault layer of one instrument, its transcript and its control socket.

    ready: what the supervisor said of the started instrument; folder: a private folder for the
    stand-ins; transcript_dir: where to keep the transcripts (None: default_transcript_parent)."""

    def __init__(self, ready: dict, folder: str, transcript_dir: Optional[str] = None,
                 start_faults: Iterable[str] = (), line_terminator: Optional[str] = None) -> None:
        if transcript_dir is None and default_transcript_parent is not None:
            os.makedirs(default_transcript_parent, exist_ok=True)
            transcript_dir = tempfile.mkdtemp(prefix="kestrin-transcript-", dir=default_transcript_parent)
        names = [name for name, key in (("tcp", "tcp_port"), ("serial", "serial_port"), ("dde", "dde_socket"))
                 if ready.get(key) is not None]
        self.transcript = Transcript(transcript_dir, names)
        runtime = os.path.join(folder, "runtime")
        os.makedirs(runtime, mode=0o700)
        self.layer = FaultLayer(runtime, self.transcript, tcp_port=ready.get("tcp_port"),
                                serial_path=ready.get("serial_port"), dde_socket=ready.get("dde_socket"),
                                line_terminator=line_terminator)
        self.runtime = runtime
        self.control_path = os.path.join(folder, "control")
        self.control = ControlServer(self.control_path, self.set_text, self.layer.listing)
        self.channels = {name: ChannelFaults(self.layer, name) for name in self.layer.channels}
        try:
            for text in start_faults:
                self.set_text(text)
        except ValueError:
            self.close()
            raise

    def published(self) -> dict:
        """Where clients find the stand-ins, in the supervisor's words."""
        layer = self.layer
        return {"tcp_port": getattr(layer, "tcp_port", None), "serial_port": getattr(layer, "serial_path", None),
                "dde_socket": getattr(layer, "dde_socket", None), "runtime": self.runtime}

    def channel(self, name: str) -> ChannelFaults:
        if name not in self.channels:
            raise ValueError(f"the instrument offers no {name} channel here (it offers {', '.join(self.channels)})")
        return self.channels[name]

    def set_text(self, text: str) -> None:
        channel, fault, args, kwargs = parameters.parse(text)
        self.channel(channel)._set(fault, *args, **kwargs)

    def note_panel(self, text: str) -> None:
        self.transcript.note("panel", text)

    def close(self) -> None:
        self.control.close()
        self.layer.close()
        self.transcript.close()
