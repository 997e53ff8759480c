"""A client's tests when the instrument answers wrongly: replace (an error reply to a good command,
a value that is no number)."""

import pyvisa
import pytest

TERMINATION = {"read_termination": "\r", "write_termination": "\r", "timeout": 10000}


class ClientError(Exception):
    """What the client under test raises when the instrument says what it should not."""


def command(instrument, word):
    """The client's own code: a command the instrument must answer "OK"."""
    reply = instrument.query(word)
    if reply != "OK":
        raise ClientError(f"{word}: {reply}")


def analyze(instrument, points):
    command(instrument, f"ANALYZE {points}")
    line = instrument.read()
    try:
        return [float(value) for value in line.split(",")]
    except ValueError:
        raise ClientError(f"not a line of numbers: {line!r}") from None


@pytest.fixture
def instrument(kestrin_instrument):
    manager = pyvisa.ResourceManager("@py")
    yield manager.open_resource(kestrin_instrument.tcp_resource, **TERMINATION)
    manager.close()


def test_an_error_reply_to_a_good_command_is_raised(kestrin_instrument, instrument):
    kestrin_instrument.tcp.replace("^OK$", "Error 2: Illegal Command - ABORT", count=1)
    with pytest.raises(ClientError, match="Error 2"):
        command(instrument, "ABORT")
    command(instrument, "ABORT")


def test_a_value_that_is_no_number_is_raised(kestrin_instrument, instrument):
    kestrin_instrument.tcp.replace(r"^\d", "0.5,overrange,0.7", count=1)
    with pytest.raises(ClientError, match="overrange"):
        analyze(instrument, 3)
    # A run ends on the tick after its last line: ABORT makes sure, and is answered either way.
    command(instrument, "ABORT")
    assert len(analyze(instrument, 3)) == 3
