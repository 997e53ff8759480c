"""The cost of the test kit's fault layer, with no fault set, through one Instrument in one run:

- a command's round trip (ABORT -> OK) through the layer's TCP port and its pseudo-terminal, beside
  the same command sent straight to the instrument's own TCP port and serial port: median, p99 and
  their ratios (aim: at most 1.5);
- 1000 lines/s of 100 points through the layer's TCP port for the measured seconds, each line
  numbered (a data file replayed), every line checked: none lost, cut or out of order;
- the layer's processor time meanwhile, as a share of one core (aim: at most 5 %).

Beside the layer, a bare relay (a selector loop that passes each read on, in a thread of this
process like the layer's) gives the least any relay of this kind costs on the machine, in the same run.

    PYTHONPATH=testkit python3 bench/faults/bench_faults.py [--program build/bin/kestrin] [seconds]

The instrument serves one TCP client at a time and listens again only once the last one's close
has reached it, so each connection waits for "Listening ..." on the status bar first. The layer
holds the instrument's serial port only while a client has its own line open, so the port is
opened directly once the layer's transcript says it let the port go.
"""

import argparse
import logging
import os
import selectors
import socket
import statistics
import sys
import tempfile
import termios
import threading
import time
import tty

from kestrin_testkit import Instrument

COMMANDS_PER_ROUND = 200
ROUNDS = 10
RATE = 1000
POINTS_PER_LINE = 100
# The file outlasts the measured seconds, so that the run is still going when it is aborted.
SPARE_SECONDS = 5
READ_SIZE = 65536
LISTEN_TIMEOUT = 10.0
REPLY = b"OK\r"


class BareRelay:
    """Each client relayed to target with nothing else done; one client at a time."""

    def __init__(self, target_port):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.target_port = target_port
        self.processor = 0.0
        threading.Thread(target=self._run, name="bare relay", daemon=True).start()

    def _run(self):
        while True:
            client, _ = self.listener.accept()
            instrument = socket.create_connection(("127.0.0.1", self.target_port))
            with selectors.DefaultSelector() as selector:
                for side, other in ((client, instrument), (instrument, client)):
                    side.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                    selector.register(side, selectors.EVENT_READ, other)
                started = time.thread_time()
                ended = False
                while not ended:
                    for key, _ in selector.select():
                        try:
                            data = key.fileobj.recv(READ_SIZE)
                            key.data.sendall(data)
                        except OSError:
                            # A client that leaves while lines come resets its connection.
                            data = b""
                        if not data:
                            ended = True
                            break
                self.processor += time.thread_time() - started
            client.close()
            instrument.close()

    def processor_seconds(self):
        return self.processor


def wait_listening(instrument):
    deadline = time.monotonic() + LISTEN_TIMEOUT
    while instrument.status != "Listening ...":
        if time.monotonic() > deadline:
            raise RuntimeError(f"the instrument did not listen again within {LISTEN_TIMEOUT} s "
                               f"(status bar: {instrument.status!r})")


def tcp_client(instrument, port):
    wait_listening(instrument)
    connection = socket.create_connection(("127.0.0.1", port), timeout=LISTEN_TIMEOUT)
    connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return connection.send, connection.recv, connection.close


def wait_serial_let_go(instrument):
    deadline = time.monotonic() + LISTEN_TIMEOUT
    while True:
        notes = instrument.transcript.tail().get("serial")
        if not notes or notes[-1].endswith("is let go"):
            return
        if time.monotonic() > deadline:
            raise RuntimeError(f"the fault layer did not let the serial port go within {LISTEN_TIMEOUT} s")
        time.sleep(0.01)


def serial_client(path):
    line = os.open(path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(line)
    termios.tcflush(line, termios.TCIOFLUSH)
    return (lambda data: os.write(line, data)), (lambda size: os.read(line, size)), (lambda: os.close(line))


def round_trips(client, count):
    """Microseconds of each command's round trip."""
    send, receive, close = client
    times = []
    try:
        for _ in range(count):
            started = time.perf_counter_ns()
            send(b"ABORT\r")
            reply = b""
            while not reply.endswith(b"\r"):
                piece = receive(READ_SIZE)
                if not piece:
                    raise RuntimeError(f"the connection ended after {reply!r}")
                reply += piece
            times.append((time.perf_counter_ns() - started) / 1000.0)
            if reply != REPLY:
                raise RuntimeError(f"ABORT was answered {reply!r}")
    finally:
        close()
    return times


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def measure_round_trips(instrument, direct_port, serial_path, bare):
    """Rounds alternate between the ways, so that the machine's load falls on each alike."""
    ways = {"direct TCP": lambda: tcp_client(instrument, direct_port),
            "bare relay TCP": lambda: tcp_client(instrument, bare.port),
            "layer TCP": lambda: tcp_client(instrument, instrument.tcp_port),
            "layer serial": lambda: serial_client(instrument.serial_port),
            "direct serial": lambda: wait_serial_let_go(instrument) or serial_client(serial_path)}
    times = {name: [] for name in ways}
    for _ in range(ROUNDS):
        for name, client in ways.items():
            times[name] += round_trips(client(), COMMANDS_PER_ROUND)
    direct = times["direct TCP"]
    print(f"{'round trip (us)':<16} {'median':>8} {'p99':>8} {'median ratio':>13} {'p99 ratio':>10}")
    for name, values in times.items():
        median, p99 = statistics.median(values), percentile(values, 0.99)
        print(f"{name:<16} {median:>8.1f} {p99:>8.1f} {median / statistics.median(direct):>13.2f} "
              f"{p99 / percentile(direct, 0.99):>10.2f}", flush=True)


def numbered_file(folder, lines):
    values = ",".join(f"0.{point:05d}" for point in range(1, POINTS_PER_LINE))
    path = os.path.join(folder, "numbered.txt")
    with open(path, "w", encoding="latin-1") as output:
        for number in range(1, lines + 1):
            output.write(f"{number},{values}\n")
    return path, values


def prepare_stream(instrument, folder, seconds):
    """A numbered file chosen for a file run at RATE; returns the values after each number."""
    path, values = numbered_file(folder, RATE * int(seconds + SPARE_SECONDS))
    panel = instrument.panel
    panel.choose_flat(0, 1)
    panel.set_frequency(RATE)
    panel.set_points_per_line(POINTS_PER_LINE)
    panel.choose_continuous()
    # A file run keeps the pace of the last random run.
    send, receive, close = tcp_client(instrument, instrument.tcp_port)
    send(b"ANALYZE\r")
    first = b""
    while first.count(b"\r") < 2:
        first += receive(READ_SIZE)
    send(b"ABORT\r")
    close()
    panel.choose_data_file(path)
    return values


def measure_stream(instrument, name, port, relay, values, seconds):
    """Streams the numbered file through a relay's TCP port and checks every line."""
    send, receive, close = tcp_client(instrument, port)
    expected, lost, cut, out_of_order, received = 1, 0, 0, 0, 0
    pending = b""
    send(b"ANALYZE\r")
    started = time.monotonic()
    processor_before = relay.processor_seconds()
    while time.monotonic() - started < seconds:
        pending += receive(READ_SIZE)
        *lines, pending = pending.split(b"\r")
        for line in lines:
            if line == b"OK":
                continue
            received += 1
            number, _, rest = line.decode("latin-1").partition(",")
            if rest != values or not number.isdigit():
                cut += 1
                continue
            if int(number) < expected:
                out_of_order += 1
                continue
            lost += int(number) - expected
            expected = int(number) + 1
    elapsed = time.monotonic() - started
    send(b"ABORT\r")
    close()
    wait_listening(instrument)
    # The bare relay counts its time once its client has gone.
    processor = relay.processor_seconds() - processor_before
    print(f"{name:<16} {received:>6} {received / (RATE * elapsed):>6.4f} {lost:>5} {cut:>4} {out_of_order:>13} "
          f"{processor / elapsed * 100:>7.2f} {processor / max(received, 1) * 1e6:>8.1f}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--program", help="the kestrin to start (default: kestrin on PATH)")
    parser.add_argument("seconds", nargs="?", type=float, default=10.0, help="streaming seconds (default 10)")
    options = parser.parse_args()
    logging.basicConfig(level=logging.WARNING)
    # The layer logs a client that leaves while lines still come, as the bench's clients do.
    logging.getLogger("kestrin_testkit.faultlayer").setLevel(logging.ERROR)
    with Instrument(options.program, private_display=True) as instrument:
        # The layer itself, to reach the instrument's own port beside it and to read its processor time.
        layer = instrument._faults.layer
        bare = BareRelay(layer.instrument_tcp_port)
        measure_round_trips(instrument, layer.instrument_tcp_port, layer.instrument_serial_path, bare)
        print(f"\n{RATE} lines/s x {POINTS_PER_LINE} points, {options.seconds:g} s\n"
              f"{'stream':<16} {'lines':>6} {'ideal':>6} {'lost':>5} {'cut':>4} {'out of order':>13} "
              f"{'% core':>7} {'us/line':>8}")
        with tempfile.TemporaryDirectory() as folder:
            for name, port, relay in (("layer TCP", instrument.tcp_port, layer), ("bare relay TCP", bare.port, bare)):
                values = prepare_stream(instrument, folder, options.seconds)
                measure_stream(instrument, name, port, relay, values, options.seconds)


if __name__ == "__main__":
    sys.exit(main())
