"""A client's tests when the instrument hangs for a while: stall (nothing is lost)."""

import pyvisa


def test_a_hung_instrument_answers_afterwards(kestrin_instrument):
    manager = pyvisa.ResourceManager("@py")
    instrument = manager.open_resource(kestrin_instrument.tcp_resource, read_termination="\r",
                                       write_termination="\r", timeout=10000)
    kestrin_instrument.tcp.stall(2)
    assert instrument.query("ANALYZE 3") == "OK"
    assert len(instrument.read().split(",")) == 3
    manager.close()
