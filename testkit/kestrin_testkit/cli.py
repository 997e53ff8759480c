"""kestrin-testkit run [options] -- COMMAND [ARGUMENT ...]

Brings up a switched-on instrument, runs the command with KESTRIN_TCP_RESOURCE,
KESTRIN_SERIAL_RESOURCE and KESTRIN_DDE_SOCKET in its environment, takes the instrument down and
exits with the command's exit status (128 + the signal's number if a signal ended it).
"""

import argparse
import os
import signal
import subprocess
import sys
import threading

from kestrin_testkit import desktop
from kestrin_testkit.instrument import Instrument, InstrumentError

FORWARDED_SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)
SIGNAL_STATUS_BASE = 128
# Exit status when the instrument cannot be brought up, as for a command that cannot be run.
NOT_STARTED_STATUS = 125
TOKEN_SEPARATORS = {"comma": ",", "tab": "\t", "space": " "}
LINE_TERMINATORS = {"CR": "\r", "LF": "\n", "CRLF": "\r\n"}


def parser():
    commands = argparse.ArgumentParser(prog="kestrin-testkit", description=__doc__.splitlines()[0])
    run = commands.add_subparsers(dest="action", required=True).add_parser(
        "run", help="run a command beside a switched-on instrument")
    run.add_argument("--kestrin", metavar="PATH", help="the kestrin program (default: kestrin on PATH)")
    run.add_argument("--private-display", action="store_true", help="a virtual display even when DISPLAY is set")
    run.add_argument("--tcp-port", type=int, metavar="PORT", help="the instrument's TCP port (default: a free one)")
    run.add_argument("--token-separator", choices=sorted(TOKEN_SEPARATORS))
    run.add_argument("--line-terminator", choices=sorted(LINE_TERMINATORS))
    run.add_argument("command", nargs=argparse.REMAINDER, help="-- then the command and its arguments")
    return commands


def run_beside(instrument, command):
    env = dict(os.environ, **instrument.environment())
    try:
        child = subprocess.Popen(command, env=env, preexec_fn=desktop.end_with_parent)
    except OSError as failure:
        print(f"kestrin-testkit: cannot run {command[0]}: {failure.strerror}", file=sys.stderr)
        return NOT_STARTED_STATUS
    for sig in FORWARDED_SIGNALS:
        signal.signal(sig, lambda signum, _frame: child.send_signal(signum))

    def end_command_with_instrument():
        instrument.wait_ended()
        if child.poll() is None:
            print("kestrin-testkit: the instrument ended before the command; ending the command", file=sys.stderr)
            child.terminate()
    threading.Thread(target=end_command_with_instrument, daemon=True).start()
    status = child.wait()
    return SIGNAL_STATUS_BASE - status if status < 0 else status


def main(argv=None):
    args = parser().parse_args(argv)
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser().error("give the command to run after --")
    try:
        instrument = Instrument(args.kestrin, tcp_port=args.tcp_port, private_display=args.private_display,
                                token_separator=TOKEN_SEPARATORS.get(args.token_separator),
                                line_terminator=LINE_TERMINATORS.get(args.line_terminator))
        with instrument:
            print(f"kestrin-testkit: instrument ready in {instrument.ready_seconds:.1f} s at "
                  f"{instrument.tcp_resource} and {instrument.serial_resource}", file=sys.stderr, flush=True)
            return run_beside(instrument, command)
    except InstrumentError as failure:
        print(f"kestrin-testkit: {failure}", file=sys.stderr)
        return NOT_STARTED_STATUS


if __name__ == "__main__":
    sys.exit(main())
