"""What an instrument of the test kit costs, windowless (the default) beside with its window:

- bring-up: from Instrument.start() until it is switched on with its ports open and its fault layer
  up, median and slowest over --headless runs (20) and --window runs (3);
- teardown: close() until every process of it has ended and its folders are gone;
- reset(): median over the same instruments' resets;
- memory: the proportional set size (PSS) of one instrument's processes, with --many (16) of each
  face up at once (the kit's own process, shared by all, left out).

    PYTHONPATH=testkit PATH=build/bin:$PATH python3 bench/kit/bench_bringup.py [--headless 20] [--window 3]
"""

import argparse
import logging
import os
import statistics
import time

from kestrin_testkit import Instrument

GONE_TIMEOUT = 30.0

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


def memory(window: bool, count: int) -> float:
    """The mean PSS in MiB of one instrument's processes, with count of them up at once."""
    instruments = [Instrument(window=window) for _ in range(count)]
    try:
        for instrument in instruments:
            instrument.start()
        own = os.getpid()
        return statistics.mean(sum(pss_kib(pid) for pid in instrument.pids if pid != own)
                               for instrument in instruments) / 1024
    finally:
        for instrument in instruments:
            instrument.close()


def report(name: str, runs: int, many: int) -> None:
    window = name == "window"
    figures = [cycle(window) for _ in range(runs)]
    ready, reset, teardown = (sorted(column) for column in zip(*figures))
    print(f"{name:9} bring-up median {statistics.median(ready) * 1000:7.0f} ms, slowest {ready[-1] * 1000:7.0f} ms "
          f"({runs} runs); reset median {statistics.median(reset) * 1000:5.0f} ms; "
          f"teardown median {statistics.median(teardown) * 1000:5.0f} ms", flush=True)
    print(f"{name:9} PSS per instrument with {many} at once: {memory(window, many):6.1f} MiB", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--headless", type=int, default=20, metavar="RUNS")
    parser.add_argument("--window", type=int, default=3, metavar="RUNS")
    parser.add_argument("--many", type=int, default=16, metavar="COUNT")
    args = parser.parse_args()
    logging.basicConfig(format="%(name)s: %(message)s", level=logging.WARNING)
    report("headless", args.headless, args.many)
    if args.window:
        report("window", args.window, args.many)


if __name__ == "__main__":
    main()
