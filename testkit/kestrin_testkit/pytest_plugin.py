"""pytest plugin: the fixture kestrin_instrument, a switched-on instrument per test.

Installed with the package it is found through its pytest11 entry point; from a checkout enable
it with -p kestrin_testkit.pytest_plugin.
"""

import pytest

from kestrin_testkit.instrument import Instrument


def pytest_addoption(parser):
    group = parser.getgroup("kestrin", "kestrin test kit")
    group.addoption("--kestrin", metavar="PATH", default=None,
                    help="the kestrin program to start (default: kestrin on PATH)")
    group.addoption("--kestrin-private-display", action="store_true",
                    help="start a virtual display even when DISPLAY is set")


@pytest.fixture
def kestrin_instrument(request):
    """A switched-on instrument with TCP enabled on a free port, ended after the test."""
    with Instrument(request.config.getoption("--kestrin"),
                    private_display=request.config.getoption("--kestrin-private-display")) as instrument:
        yield instrument
