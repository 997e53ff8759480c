"""A client's tests when the cable is pulled: disconnect, then connect again."""

import pyvisa
import pytest

TERMINATION = {"read_termination": "\r", "write_termination": "\r", "timeout": 10000}


def test_a_reset_connection_is_opened_again(kestrin_instrument):
    manager = pyvisa.ResourceManager("@py")
    instrument = manager.open_resource(kestrin_instrument.tcp_resource, **TERMINATION)
    kestrin_instrument.tcp.disconnect()
    with pytest.raises((pyvisa.errors.VisaIOError, ConnectionResetError)):
        instrument.query("ABORT")
    instrument.close()
    instrument = manager.open_resource(kestrin_instrument.tcp_resource, **TERMINATION)
    assert instrument.query("ABORT") == "OK"
    manager.close()
