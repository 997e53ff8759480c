"""A client's tests when a data line comes short of values: truncate."""

import pyvisa
import pytest

TERMINATION = {"read_termination": "\r", "write_termination": "\r", "timeout": 10000}


class ClientError(Exception):
    """What the client under test raises when the instrument says what it should not."""


def analyze(instrument, points):
    """The client's own code: a run of points values, every one of them there."""
    assert instrument.query(f"ANALYZE {points}") == "OK"
    values = instrument.read().split(",")
    if len(values) != points:
        raise ClientError(f"{len(values)} of {points} values")
    return [float(value) for value in values]


def test_a_line_with_too_few_values_is_raised(kestrin_instrument):
    manager = pyvisa.ResourceManager("@py")
    instrument = manager.open_resource(kestrin_instrument.tcp_resource, **TERMINATION)
    # The first data line keeps its first 20 characters: two or three of its 100 values.
    kestrin_instrument.tcp.truncate(",", 20, count=1)
    with pytest.raises(ClientError, match="of 100 values"):
        analyze(instrument, 100)
    # A run ends on the tick after its last line: ABORT makes sure, and is answered either way.
    assert instrument.query("ABORT") == "OK"
    assert len(analyze(instrument, 100)) == 100
    manager.close()
