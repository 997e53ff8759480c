"""Brings up a real, switched-on kestrin for automated tests of its clients: by default the
windowless kestrin-headless, with window=True kestrin's window on a private desktop.

    with Instrument() as instrument:
        ...  # instrument.tcp_resource, instrument.serial_resource, instrument.dde_socket
        with Conversation("Kestrin", "Kestrin", instrument.runtime_dir) as kestrin:
            ...  # kestrin.advise("txtOutput"), kestrin.execute("ANALYZE 3")

The kit runs in the test's process: the Instrument (instrument.py), the windowless instrument it
starts by default (headless/), the fault layer between the clients and the instrument, in a thread
of its own (faultlayer/), transcripts and the pytest plugin. With window=True a supervisor
process of its own owns the window and its desktop (supervisor/). kestrin-testkit run starts the
command under a group leader process (commandgroup.py). What several of them share: contract.py,
conversation.py, panelsettings.py, processes.py.
"""

from kestrin_testkit.conversation import (BusyError, Conversation, ConversationError, ConversationTimeoutError,
                                          LineTooLongError, NackError, ProtocolError, SourceNotRunningError,
                                          TerminatedError, UnsafeDirectoryError)
from kestrin_testkit.instrument import Instrument, InstrumentError, RemotePanel

__all__ = ["BusyError", "Conversation", "ConversationError", "ConversationTimeoutError", "Instrument",
           "InstrumentError", "LineTooLongError", "NackError", "ProtocolError", "RemotePanel", "SourceNotRunningError",
           "TerminatedError", "UnsafeDirectoryError"]
