"""The control socket: lets any process set faults in the command line's words ("tcp:latency=50"),
as `kestrin-testkit fault` does, and list the faults set, as `kestrin-testkit faults` does. The
server runs in threads of the kit's process; listed() and send() are its clients.
"""

import socket
import socketserver
import threading
from typing import Callable, Iterable, Optional

CONTROL_VARIABLE = "KESTRIN_TESTKIT_CONTROL"
CONTROL_TIMEOUT = 10.0
# How often the control socket's server looks whether it is to stop: closing an instrument waits for it.
CONTROL_POLL = 0.02
# The control socket's request for the faults set: a word no fault text is (those have a colon).
LIST_REQUEST = "faults"


class ControlServer(socketserver.ThreadingMixIn, socketserver.UnixStreamServer):
    """Takes one fault a line, as "tcp:latency=50", and answers "ok" or "error: why"."""

    daemon_threads = True

    def __init__(self, path: str, set_text: Callable[[str], None], listing: Callable[[], list[str]]) -> None:
        self.set_text = set_text
        self.listing = listing
        super().__init__(path, ControlHandler)
        self.thread = threading.Thread(target=self.serve_forever, args=(CONTROL_POLL,), name="kestrin_testkit control",
                                       daemon=True)
        self.thread.start()

    def close(self) -> None:
        self.shutdown()
        self.server_close()


class ControlHandler(socketserver.StreamRequestHandler):
    """One client of the control socket, served a line at a time."""

    server: ControlServer

    def handle(self) -> None:
        for line in self.rfile:
            request = line.decode("utf-8", "replace").strip()
            if request == LIST_REQUEST:
                # A line per fault, each "- ...", then "ok".
                self.wfile.write("".join(f"- {fault}\n" for fault in self.server.listing()).encode() + b"ok\n")
                continue
            try:
                self.server.set_text(request)
                answer = "ok"
            except ValueError as failure:
                answer = f"error: {failure}"
            self.wfile.write((answer + "\n").encode())


def _connected(path: Optional[str], asked: str) -> socket.socket:
    if not path:
        raise ValueError(f"no kit to {asked}: {CONTROL_VARIABLE} is not set (run the command under "
                         "kestrin-testkit run)")
    connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    connection.settimeout(CONTROL_TIMEOUT)
    try:
        connection.connect(path)
    except OSError as failure:
        connection.close()
        raise ValueError(f"no kit answers at {path} ({failure.strerror})") from None
    return connection


def listed(path: Optional[str]) -> list[str]:
    """The faults set on the kit whose control socket is path, a line each."""
    with _connected(path, "list the faults of") as connection:
        connection.sendall(f"{LIST_REQUEST}\n".encode())
        faults_set = []
        for line in connection.makefile("rb"):
            text = line.decode().rstrip("\n")
            if text == "ok":
                return faults_set
            faults_set.append(text.removeprefix("- "))
    raise ValueError(f"the kit at {path} closed its control socket while listing its faults")


def send(path: Optional[str], texts: Iterable[str]) -> list[str]:
    """Sets faults on the kit whose control socket is path; returns the errors, one per fault refused."""
    errors = []
    with _connected(path, "set faults on") as connection:
        replies = connection.makefile("rb")
        for text in texts:
            connection.sendall(text.encode() + b"\n")
            answer = replies.readline().decode().strip()
            if answer != "ok":
                errors.append(answer.removeprefix("error: "))
    return errors
