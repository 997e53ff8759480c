"""Brings up a real, switched-on kestrin for automated tests of its clients: by default the
windowless kestrin-headless, with window=True kestrin's window on a private desktop.

    with Instrument() as instrument:
        ...  # instrument.tcp_resource, instrument.serial_resource, instrument.dde_socket
        with Conversation("Kestrin", "Kestrin", instrument.runtime_dir) as kestrin:
            ...  # kestrin.advise("txtOutput"), kestrin.execute("ANALYZE 3")
"""

from kestrin_testkit.conversation import (BusyError, Conversation, ConversationError, ConversationTimeoutError,
                                          LineTooLongError, NackError, ProtocolError, SourceNotRunningError,
                                          TerminatedError, UnsafeDirectoryError)
from kestrin_testkit.instrument import Instrument, InstrumentError, RemotePanel

__all__ = ["BusyError", "Conversation", "ConversationError", "ConversationTimeoutError", "Instrument",
           "InstrumentError", "LineTooLongError", "NackError", "ProtocolError", "RemotePanel", "SourceNotRunningError",
           "TerminatedError", "UnsafeDirectoryError"]
