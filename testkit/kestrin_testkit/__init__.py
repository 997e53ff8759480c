"""Brings up a real, switched-on kestrin on a private desktop for automated tests of its clients.

    with Instrument() as instrument:
        ...  # instrument.tcp_resource, instrument.serial_resource, instrument.dde_socket
        with Conversation("Kestrin", "Kestrin", instrument.runtime_dir) as kestrin:
            ...  # kestrin.advise("txtOutput"), kestrin.execute("ANALYZE 3")
"""

from kestrin_testkit.conversation import Conversation, ConversationError
from kestrin_testkit.instrument import Instrument, InstrumentError, RemotePanel

__all__ = ["Conversation", "ConversationError", "Instrument", "InstrumentError", "RemotePanel"]
