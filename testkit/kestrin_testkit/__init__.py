"""Brings up a real, switched-on kestrin on a private desktop for automated tests of its clients.

    with Instrument() as instrument:
        ...  # instrument.tcp_resource, instrument.serial_resource, instrument.dde_socket
"""

from kestrin_testkit.instrument import Instrument, InstrumentError, RemotePanel

__all__ = ["Instrument", "InstrumentError", "RemotePanel"]
