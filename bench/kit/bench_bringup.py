"""What an instrument of the test kit costs, windowless (the default) beside with its window:

- bring-up: from Instrument.start() until it is switched on with its ports open and its fault layer
  up, median and slowest over --headless runs (20) and --window runs (3);
- teardown: close() until every process of it has ended and its folders are gone;
- reset(): median over the same instruments' resets;
- memory: the proportional set size (PSS) of one instrument's processes, with --many (16) of each
  face up at once, and beside it the same with the kit's own share: what the test process grew by,
  divided among the instruments;
- a client's suite: --tests (100) function-scoped tests, each sending one ANALYZE 3 over TCP to an
  instrument of its own and reading its reply, run by pytest with one worker, in seconds (its data
  line would add the instrument's own pace, up to half a second at the panel's 2 lines a second).

    PYTHONPATH=testkit PATH=build/bin:$PATH python3 bench/kit/bench_bringup.py [--headless 20] [--window 3]
"""

import argparse
import logging
import os
import statistics
import subprocess
import sys
import tempfile
import time

import kestrin_testkit
from kestrin_testkit import Instrument

GONE_TIMEOUT = 30.0
KIT_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(kestrin_testkit.__file__)))
# Debian's interpreter, which has pytest, whatever interpreter runs this.
PYTEST_PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable

log = logging.getLogger("bench_bringup")


def pss_kib(pid: int) -> int:
    """The process's proportional set size in KiB, 0 once it has ended."""
    try:
        with open(f"/proc/{pid}/smaps_rollup") as rollup:
            return next(int(line.split()[1]) for line in rollup if line.startswith("Pss:"))
    except FileNotFoundError:
        return 0


def gone(pids, folder) -> bool:
    return not os.path.exists(folder) and not any(os.path.exists(f"/proc/{pid}") for pid in pids)


def cycle(window: bool) -> tuple:
    """One instrument brought up, reset, and taken down: (bring-up, reset, teardown) seconds."""
    instrument = Instrument(window=window)
    started = time.monotonic()
    instrument.start()
    ready = time.monotonic() - started
    instrument.panel.choose_finite(5)
    reset = time.monotonic()
    instrument.reset()
    reset = time.monotonic() - reset
    pids, folder = instrument.pids, os.path.dirname(os.path.dirname(instrument.runtime_dir))
    closing = time.monotonic()
    instrument.close()
    while not gone(pids, folder):
        if time.monotonic() - closing > GONE_TIMEOUT:
            raise RuntimeError(f"close(): processes {pids} or {folder} still there after {GONE_TIMEOUT:.0f} s")
        time.sleep(0.001)
    return ready, reset, time.monotonic() - closing


def memory(window: bool, count: int) -> tuple:
    """The mean PSS in MiB of one instrument's processes with count of them up at once, without and
    with the kit's share (what this process grew by, divided among them)."""
    own = os.getpid()
    before = pss_kib(own)
    instruments = [Instrument(window=window) for _ in range(count)]
    try:
        for instrument in instruments:
            instrument.start()
        kit_share = max(0, pss_kib(own) - before) / count
        processes = statistics.mean(sum(pss_kib(pid) for pid in instrument.pids if pid != own)
                                    for instrument in instruments)
        return processes / 1024, (processes + kit_share) / 1024
    finally:
        for instrument in instruments:
            instrument.close()


CLIENT_SUITE = """
import socket
import pytest


@pytest.mark.parametrize("test", range({tests}))
def test_analyze(kestrin_instrument, test):
    with socket.create_connection(("127.0.0.1", kestrin_instrument.tcp_port), timeout=10) as client:
        client.sendall(b"ANALYZE 3\\r")
        received = b""
        while not received.endswith(b"\\r"):
            received += client.recv(4096)
    assert received == b"OK\\r"
"""


def client_suite(tests: int, window: bool) -> float:
    """Seconds pytest takes, one worker, for `tests` tests of an instrument each."""
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, "test_client.py"), "w") as suite:
            suite.write(CLIENT_SUITE.format(tests=tests))
        command = [PYTEST_PYTHON, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "kestrin_testkit.pytest_plugin",
                   "test_client.py"] + (["--kestrin-window"] if window else [])
        started = time.monotonic()
        subprocess.run(command, cwd=folder, check=True, stdout=subprocess.DEVNULL,
                       env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1", PYTHONPATH=KIT_PARENT))
        return time.monotonic() - started


def report(name: str, runs: int, many: int, tests: int) -> None:
    window = name == "window"
    figures = [cycle(window) for _ in range(runs)]
    ready, reset, teardown = (sorted(column) for column in zip(*figures))
    print(f"{name:9} bring-up median {statistics.median(ready) * 1000:7.0f} ms, slowest {ready[-1] * 1000:7.0f} ms "
          f"({runs} runs); reset median {statistics.median(reset) * 1000:5.0f} ms; "
          f"teardown median {statistics.median(teardown) * 1000:5.0f} ms", flush=True)
    processes, with_kit = memory(window, many)
    print(f"{name:9} PSS per instrument with {many} at once: {processes:6.1f} MiB, the kit's share included "
          f"{with_kit:6.1f} MiB", flush=True)
    if tests:
        print(f"{name:9} {tests} function-scoped tests of one ANALYZE 3 each, one worker: "
              f"{client_suite(tests, window):6.1f} s", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--headless", type=int, default=20, metavar="RUNS")
    parser.add_argument("--window", type=int, default=3, metavar="RUNS")
    parser.add_argument("--many", type=int, default=16, metavar="COUNT")
    parser.add_argument("--tests", type=int, default=100, metavar="COUNT")
    args = parser.parse_args()
    logging.basicConfig(format="%(name)s: %(message)s", level=logging.WARNING)
    report("headless", args.headless, args.many, args.tests)
    if args.window:
        # A window's suite of as many tests takes minutes; a tenth of it shows the same per test.
        report("window", args.window, args.many, args.tests // 10)


if __name__ == "__main__":
    main()
