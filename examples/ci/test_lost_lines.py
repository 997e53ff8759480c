"""A client's tests when a reply never comes or comes twice: drop, duplicate."""

import pyvisa
import pytest

TERMINATION = {"read_termination": "\r", "write_termination": "\r", "timeout": 10000}


@pytest.fixture
def instrument(kestrin_instrument):
    manager = pyvisa.ResourceManager("@py")
    yield manager.open_resource(kestrin_instrument.tcp_resource, **TERMINATION)
    manager.close()


def test_a_lost_reply_times_out_and_the_next_command_is_answered(kestrin_instrument, instrument):
    kestrin_instrument.tcp.drop(1)
    instrument.timeout = 1000
    with pytest.raises(pyvisa.errors.VisaIOError):
        instrument.query("ABORT")
    assert instrument.query("ABORT") == "OK"


def test_a_doubled_reply_is_read_as_two(kestrin_instrument, instrument):
    kestrin_instrument.tcp.duplicate(1)
    assert instrument.query("ABORT") == "OK"
    assert instrument.read() == "OK"
