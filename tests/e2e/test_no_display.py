"""Every window program started without a display it can open says so in one line on standard
error and exits with 1: no abort, no core file."""

import os
import re
import resource
import subprocess
import tempfile
import unittest

PROGRAMS = ("kestrin", "kestrin-plot", "tovrask", "ostrel", "brallow")
START_TIMEOUT = 30
X_SOCKETS = "/tmp/.X11-unix"
# Variables that would choose a display or a platform other than the one each case sets.
CHOOSING = ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE", "XAUTHORITY")


def abstract_x_sockets():
    """Display numbers an X server listens for on an abstract socket."""
    with open("/proc/net/unix") as table:
        return {int(match.group(1)) for match in re.finditer(r"@/tmp/\.X11-unix/X(\d+)", table.read())}


def unserved_display():
    """A display number no X server serves or has locked: no socket, abstract or in the folder."""
    taken = abstract_x_sockets()
    for number in range(99, 1000):
        if number in taken or os.path.exists(f"{X_SOCKETS}/X{number}") or os.path.exists(f"/tmp/.X{number}-lock"):
            continue
        return f":{number}"
    raise RuntimeError("every display number from 99 to 999 is taken")


def allow_core_files():
    resource.setrlimit(resource.RLIMIT_CORE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))


class NoDisplayTest(unittest.TestCase):
    def run_without_display(self, program, display):
        env = {name: value for name, value in os.environ.items() if name not in CHOOSING}
        if display is not None:
            env["DISPLAY"] = display
        folder = tempfile.mkdtemp(prefix="no-display-", dir=os.environ.get("TARVOLIN_E2E_SCRATCH"))
        path = os.path.join(os.environ["TARVOLIN_PROGRAM_DIR"], program)
        # Core files allowed, so that an abort would leave one here.
        finished = subprocess.run([path], cwd=folder, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                                  text=True, timeout=START_TIMEOUT, preexec_fn=allow_core_files)
        return finished, folder

    def test_each_program_says_why_in_one_line_and_exits_1(self):
        dead = unserved_display()
        for program in PROGRAMS:
            for case, display, names in (("display unset", None, "(DISPLAY and WAYLAND_DISPLAY are not set)"),
                                         (f"nobody serves {dead}", dead, f'"{dead}"')):
                with self.subTest(program=program, case=case):
                    finished, folder = self.run_without_display(program, display)
                    lines = finished.stderr.splitlines()
                    self.assertEqual(finished.returncode, 1, finished.stderr)
                    self.assertEqual(len(lines), 1, finished.stderr)
                    self.assertTrue(lines[0].startswith(f"{program}: cannot open the display {names}: "), lines[0])
                    self.assertEqual([name for name in os.listdir(folder) if name.startswith("core")], [])
                    self.assertEqual(finished.stdout, "")


if __name__ == "__main__":
    unittest.main()
