"""The two ends of a relayed connection as the layer's loop reads and writes them: a socket, or a
terminal's file descriptor. Both are non-blocking: a read with nothing there gives None, a write
the peer cannot take gives 0."""

import errno
import os
import socket
import struct
from typing import Optional

READ_SIZE = 65536
# What writing to or reading from a peer that has closed its end raises.
PEER_CLOSED = (errno.EPIPE, errno.ECONNRESET)


class SocketSide:
    """A connected socket: the end of the line is its close."""

    def __init__(self, connection: socket.socket) -> None:
        connection.setblocking(False)
        if connection.family in (socket.AF_INET, socket.AF_INET6):
            connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.connection = connection
        self.fd = connection.fileno()

    def read(self) -> Optional[bytes]:
        """Bytes read; b"" at the end; None when nothing is there yet."""
        try:
            return self.connection.recv(READ_SIZE)
        except BlockingIOError:
            return None

    def write(self, data: bytes) -> int:
        try:
            return self.connection.send(data)
        except BlockingIOError:
            return 0

    def end_output(self) -> None:
        try:
            self.connection.shutdown(socket.SHUT_WR)
        except OSError:
            pass  # the peer has gone already

    def close(self, reset: bool = False) -> None:
        if reset:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()


class TerminalSide:
    """A terminal's file descriptor; the end of the line is a hang-up (EIO)."""

    def __init__(self, fd: int) -> None:
        os.set_blocking(fd, False)
        self.fd = fd

    def read(self) -> Optional[bytes]:
        try:
            return os.read(self.fd, READ_SIZE)
        except BlockingIOError:
            return None
        except OSError as failure:
            if failure.errno == errno.EIO:
                return b""
            raise

    def write(self, data: bytes) -> int:
        try:
            return os.write(self.fd, data)
        except BlockingIOError:
            return 0

    def end_output(self) -> None:
        pass

    def close(self, reset: bool = False) -> None:
        os.close(self.fd)

