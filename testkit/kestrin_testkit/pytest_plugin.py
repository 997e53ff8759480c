"""pytest plugin: switched-on instruments for tests, windowless unless --kestrin-window asks for
kestrin's window. Each instrument has a private folder and a free TCP port of its own, so that
pytest-xdist's workers (pytest -n 4) run side by side without options.

- kestrin_instrument: an instrument of its own for each test.
- kestrin_instrument_module, kestrin_instrument_session: one instrument for all the tests of a
  module or of the session, reset() before each test that uses it, so each starts from the
  instrument as the kit brought it up (a fresh one costs over a second, a reset a fraction).

Each test's node id is marked in the transcripts of its instrument ("==== test_x.py::test_y ===="),
where its traffic begins. A failing test's report carries a "kestrin transcript" section: the last
lines of what passed on each channel of the instruments it used, and where the whole transcripts
are kept; it is part of the failure's text, so that JUnit XML (--junitxml) has it too.

Installed with the package it is found through its pytest11 entry point; from a checkout enable
it with -p kestrin_testkit.pytest_plugin.
"""

from typing import Iterator

import pytest

from kestrin_testkit.instrument import Instrument
from kestrin_testkit.transcript_report import (  # noqa: F401 (hooks of this plugin)
    pytest_runtest_makereport, pytest_runtest_setup, pytest_sessionstart)


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("kestrin", "kestrin test kit")
    group.addoption("--kestrin", metavar="PATH", default=None,
                    help="the program to start (default: kestrin-headless, or kestrin with --kestrin-window, on PATH)")
    group.addoption("--kestrin-window", action="store_true",
                    help="kestrin's window on a private virtual display instead of the windowless instrument")
    group.addoption("--kestrin-private-display", action="store_true", help="the same as --kestrin-window")
    group.addoption("--kestrin-transcripts", metavar="DIR", default=None,
                    help="keep the instruments' transcripts in DIR (default: under pytest's temporary folder)")


def started_instrument(config: pytest.Config) -> Instrument:
    return Instrument(config.getoption("--kestrin"), window=config.getoption("--kestrin-window")
                      or config.getoption("--kestrin-private-display"))


@pytest.fixture
def kestrin_instrument(request: pytest.FixtureRequest) -> Iterator[Instrument]:
    """A switched-on instrument with TCP enabled on a free port, ended after the test."""
    with started_instrument(request.config) as instrument:
        instrument.transcript.mark(request.node.nodeid)
        yield instrument


@pytest.fixture(scope="module")
def kestrin_shared_instrument_of_module(request: pytest.FixtureRequest) -> Iterator[Instrument]:
    with started_instrument(request.config) as instrument:
        yield instrument


@pytest.fixture(scope="session")
def kestrin_shared_instrument_of_session(request: pytest.FixtureRequest) -> Iterator[Instrument]:
    with started_instrument(request.config) as instrument:
        yield instrument


@pytest.fixture
def kestrin_instrument_module(kestrin_shared_instrument_of_module: Instrument,
                              request: pytest.FixtureRequest) -> Instrument:
    """The module's instrument, reset before the test."""
    kestrin_shared_instrument_of_module.reset(mark=request.node.nodeid)
    return kestrin_shared_instrument_of_module


@pytest.fixture
def kestrin_instrument_session(kestrin_shared_instrument_of_session: Instrument,
                               request: pytest.FixtureRequest) -> Instrument:
    """The session's instrument, reset before the test."""
    kestrin_shared_instrument_of_session.reset(mark=request.node.nodeid)
    return kestrin_shared_instrument_of_session
