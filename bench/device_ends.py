"""The benchmark's two ends of a bridge: the C echo device and the client's descriptor."""
import os
import select
import socket
import subprocess
import time


class StageFailed(Exception):
    """A measurement that could not finish (no echo, a stalled transfer)."""


class EchoDevice:
    """bench/echo_device.c in its own process; commands go to its stdin, replies come back."""

    def __init__(self, binary):
        self.process = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
        self._pending = b""
        first = self.line(10)
        if not first.startswith("pty "):
            raise StageFailed(f"the echo device said {first!r}")
        self.pty = first[4:]

    def tell(self, text):
        self.process.stdin.write(text.encode() + b"\n")
        self.process.stdin.flush()

    def line(self, seconds):
        """The device's next reply line, or None when none came within the limit."""
        deadline = time.monotonic() + seconds
        fd = self.process.stdout.fileno()
        while b"\n" not in self._pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                return None
            part = os.read(fd, 4096)
            if not part:
                raise StageFailed("the echo device ended")
            self._pending += part
        line, self._pending = self._pending.split(b"\n", 1)
        return line.decode()

    def expect(self, text, seconds=10):
        got = self.line(seconds)
        if got != text:
            raise StageFailed(f"the echo device said {got!r}, not {text!r}")

    def close(self):
        try:
            self.tell("quit")
            self.process.wait(5)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()


class End:
    """The client's end: a connected TCP socket, or (the floor) the pty's slave itself. Both
    are used through the same descriptor calls so that each bridge pays the same overhead."""

    def __init__(self, fd, keep=None):
        self.fd = fd
        self._keep = keep  # the socket object owning fd
        self._poll = select.poll()
        self._poll.register(fd, select.POLLIN)
        self._buffer = memoryview(bytearray(1 << 18))

    @classmethod
    def tcp(cls, port, seconds=60):
        """Connects to 127.0.0.1:port, retrying while the bridge starts."""
        deadline = time.monotonic() + seconds
        while True:
            try:
                sock = socket.create_connection(("127.0.0.1", port), timeout=5)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise StageFailed(f"nothing accepts on TCP port {port}") from None
                time.sleep(0.05)  # the bridge is still starting: retry until the deadline
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        sock.setblocking(True)
        return cls(sock.fileno(), sock)

    @classmethod
    def pty(cls, path):
        return cls(os.open(path, os.O_RDWR | os.O_NOCTTY))

    def send(self, data):
        view = memoryview(data)
        while view:
            view = view[os.write(self.fd, view):]

    def wait_readable(self, seconds):
        return bool(self._poll.poll(max(0, int(seconds * 1000))))

    def receive(self, count, seconds):
        """Reads until count bytes came; returns how many came (fewer at the deadline or EOF)."""
        got = 0
        deadline = time.monotonic() + seconds
        while got < count:
            if not self.wait_readable(deadline - time.monotonic()):
                break
            size = os.readv(self.fd, [self._buffer[:min(count - got, len(self._buffer))]])
            if size == 0:
                break
            got += size
        return got

    def exact(self, count, seconds, what):
        got = self.receive(count, seconds)
        if got != count:
            raise StageFailed(f"{what}: {got} of {count} bytes within {seconds:g} s")

    def close(self):
        if self._keep is not None:
            self._keep.close()
        else:
            os.close(self.fd)
