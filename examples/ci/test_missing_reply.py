"""A client's tests when a reply never comes while data lines keep coming: withhold."""

import pyvisa
import pytest

TERMINATION = {"read_termination": "\r", "write_termination": "\r", "timeout": 10000}


class ClientError(Exception):
    """What the client under test raises when the instrument says what it should not."""


def analyze(instrument, points):
    """The client's own code: a run of points values, its reply checked first."""
    reply = instrument.query(f"ANALYZE {points}")
    if reply != "OK":
        raise ClientError(f"ANALYZE {points}: {reply}")
    return [float(value) for value in instrument.read().split(",")]


@pytest.fixture
def instrument(kestrin_instrument):
    manager = pyvisa.ResourceManager("@py")
    yield manager.open_resource(kestrin_instrument.tcp_resource, **TERMINATION)
    manager.close()


def test_a_missing_reply_times_out_and_the_next_command_is_answered(kestrin_instrument, instrument):
    kestrin_instrument.tcp.withhold("^OK$", count=1)
    instrument.timeout = 1000
    with pytest.raises(pyvisa.errors.VisaIOError):
        instrument.query("ABORT")
    assert instrument.query("ABORT") == "OK"


def test_a_data_line_read_in_place_of_the_missing_reply_is_raised(kestrin_instrument, instrument):
    kestrin_instrument.tcp.withhold("^OK$", count=1)
    with pytest.raises(ClientError, match=r"ANALYZE 3: \d"):
        analyze(instrument, 3)
