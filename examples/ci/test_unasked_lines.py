"""A client's tests when the instrument says what nobody asked for: inject."""

import pyvisa
import pytest

TERMINATION = {"read_termination": "\r", "write_termination": "\r", "timeout": 10000}


def reply_to(instrument, word):
    """The client's own code: the reply to a command ("OK" or "Error ..."), lines that are no
    reply (data lines of a run, unasked lines) passed over."""
    instrument.write(word)
    while True:
        line = instrument.read()
        if line == "OK" or line.startswith("Error "):
            return line


@pytest.fixture
def instrument(kestrin_instrument):
    manager = pyvisa.ResourceManager("@py")
    yield manager.open_resource(kestrin_instrument.tcp_resource, **TERMINATION)
    manager.close()


def test_an_unasked_line_before_the_reply_is_passed_over(kestrin_instrument, instrument):
    # Sent as the instrument's own lines are, right after the client's first command.
    kestrin_instrument.tcp.inject("0.5,0.5,0.5", after=1)
    assert reply_to(instrument, "ABORT") == "OK"
    assert reply_to(instrument, "RESUME") == "Error 2: Illegal Command - RESUME"


def test_unasked_lines_every_so_often_are_passed_over(kestrin_instrument, instrument):
    kestrin_instrument.tcp.inject("0.5,0.5,0.5", every=0.05, duration=2)
    for _ in range(20):
        assert reply_to(instrument, "ABORT") == "OK"
