"""The kit refuses, at once and in one line naming what is allowed, arguments no panel could take,
and hands on those it can; its errors are importable from the package. No instrument needed."""

import pytest

import kestrin_testkit
from kestrin_testkit import RemotePanel


class Recorder:
    """Stands in for the instrument: records the calls the panel hands on."""

    def __init__(self):
        self.calls = []

    def _call(self, name, *args):
        self.calls.append((name, *args))


REFUSED = {
    "negative frequency": (lambda panel: panel.set_frequency(-1),
                           "set_frequency: lines_per_second must be a number greater than 0, not -1"),
    "frequency as text": (lambda panel: panel.set_frequency("abc"),
                          "set_frequency: lines_per_second must be a number greater than 0, not 'abc'"),
    "points beyond the box": (lambda panel: panel.set_points_per_line(40000),
                              "set_points_per_line: points must be a whole number from 1 to 32767, not 40000"),
    "fraction of a line": (lambda panel: panel.choose_finite(2.5),
                           "choose_finite: lines must be a whole number from 1 to 32767, not 2.5"),
    "st dev as text": (lambda panel: panel.choose_gaussian(1, "two"),
                       "choose_gaussian: st_dev must be a number, not 'two'"),
    "a bool for a number": (lambda panel: panel.choose_flat(True, 1),
                            "choose_flat: minimum must be a number, not True"),
    "infinity": (lambda panel: panel.choose_flat(0, float("inf")), "choose_flat: maximum must be a number, not inf"),
}


@pytest.mark.parametrize("call,message", REFUSED.values(), ids=REFUSED.keys())
def test_refused_in_one_line_before_reaching_the_instrument(call, message):
    instrument = Recorder()
    with pytest.raises(ValueError) as refused:
        call(RemotePanel(instrument))
    assert str(refused.value) == message
    assert instrument.calls == []


def test_what_a_panel_takes_is_handed_on():
    instrument = Recorder()
    panel = RemotePanel(instrument)
    panel.set_frequency(0.5)
    panel.choose_finite(32767)
    panel.choose_gaussian(-3, 2.0)
    assert instrument.calls == [("set_frequency", 0.5), ("choose_finite", 32767), ("choose_gaussian", -3, 2.0)]


def test_conversation_errors_are_importable_from_the_package():
    for name in ("NackError", "BusyError", "TerminatedError", "SourceNotRunningError", "ConversationTimeoutError"):
        assert issubclass(getattr(kestrin_testkit, name), kestrin_testkit.ConversationError)
