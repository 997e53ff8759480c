"""The test kit's accessibility helpers, with the programs under test started from the build's
program folder and their serial ports mapped onto terminals the test holds."""

import os
import threading

from kestrin_testkit.supervisor import accessibility
from kestrin_testkit.supervisor.accessibility import *  # noqa: F401,F403 - the suite's one handle on the helpers

PROGRAM_DIR = os.environ.get("TARVOLIN_PROGRAM_DIR", "")
SCRATCH = os.environ.get("TARVOLIN_E2E_SCRATCH", "/tmp")


class HeldTerminal:
    """A pseudo-terminal whose controlling side this test process holds and drains.

    Programs map their serial ports onto it (KESTRIN_COM1, KESTRIN_COM2), so that no test ever
    touches a real port, and opening, closing and writing never fail for want of a reader.
    """

    def __init__(self):
        self.controller, self._device = os.openpty()
        self.path = os.ttyname(self._device)
        threading.Thread(target=self._drain, daemon=True).start()

    def _drain(self):
        while True:
            try:
                if not os.read(self.controller, 4096):
                    return
            except OSError:
                return


_held_terminals = {}


def map_serial_ports_to_held_terminals():
    """Points both serial ports of every program started from here at terminals the test holds,
    unless a test has mapped a port itself."""
    for variable in ("KESTRIN_COM1", "KESTRIN_COM2"):
        if variable not in os.environ:
            _held_terminals[variable] = HeldTerminal()
            os.environ[variable] = _held_terminals[variable].path


class Program(accessibility.Program):
    """One program under test, started from the build's program folder."""

    def __init__(self, name, *, env=None, cwd=None, args=()):
        map_serial_ports_to_held_terminals()
        super().__init__(os.path.join(PROGRAM_DIR, name), log_folder=SCRATCH, env=env, cwd=cwd, args=args)
