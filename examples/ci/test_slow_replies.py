"""A client's tests when replies come late or in pieces: latency, slice, bandwidth, line_speed."""

import time

import pyvisa
import pytest

TERMINATION = {"read_termination": "\r", "write_termination": "\r", "timeout": 10000}


@pytest.fixture
def resources():
    manager = pyvisa.ResourceManager("@py")
    yield manager
    manager.close()


def test_a_late_reply_is_waited_for(kestrin_instrument, resources):
    instrument = resources.open_resource(kestrin_instrument.tcp_resource, **TERMINATION)
    kestrin_instrument.tcp.latency(200)
    started = time.monotonic()
    assert instrument.query("ANALYZE 3") == "OK"
    assert time.monotonic() - started >= 0.4


def test_a_reply_in_pieces_is_read_whole(kestrin_instrument, resources):
    instrument = resources.open_resource(kestrin_instrument.serial_resource, baud_rate=19200, **TERMINATION)
    kestrin_instrument.serial.slice(1, gap_ms=2)
    assert instrument.query("ANALYZE 3") == "OK"
    assert len(instrument.read().split(",")) == 3


def test_a_serial_line_at_its_baud_rate(kestrin_instrument, resources):
    instrument = resources.open_resource(kestrin_instrument.serial_resource, baud_rate=19200, **TERMINATION)
    kestrin_instrument.serial.line_speed()
    assert instrument.query("ANALYZE 100") == "OK"
    assert len(instrument.read().split(",")) == 100
