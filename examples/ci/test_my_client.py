"""A client's tests against a real instrument: the kestrin_instrument fixture of kestrin_testkit
hands each test a switched-on instrument, reached here with PyVISA over TCP and over the virtual
serial port."""

import pyvisa
import pytest

TERMINATION = {"read_termination": "\r", "write_termination": "\r", "timeout": 10000}


@pytest.fixture
def resources():
    manager = pyvisa.ResourceManager("@py")
    yield manager
    manager.close()


def analyze_three(instrument):
    assert instrument.query("ANALYZE 3") == "OK"
    return [float(value) for value in instrument.read().split(",")]


def test_analyze_over_tcp(kestrin_instrument, resources):
    instrument = resources.open_resource(kestrin_instrument.tcp_resource, **TERMINATION)
    assert len(analyze_three(instrument)) == 3


def test_analyze_over_serial(kestrin_instrument, resources):
    instrument = resources.open_resource(kestrin_instrument.serial_resource, baud_rate=19200, **TERMINATION)
    assert len(analyze_three(instrument)) == 3
