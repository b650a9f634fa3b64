"""The test's ends of the program's links: a pty as its serial device and a TCP client."""
import os
import select
import socket
import time
import tty


class FakeDevice:
    """A pty pair: the program opens the slave as COM3, the test plays the device on the master."""

    def __init__(self, link_dir, name="com3"):
        self.master, slave = os.openpty()
        tty.setraw(self.master)
        self.slave_path = os.ttyname(slave)
        os.close(slave)
        os.makedirs(link_dir, exist_ok=True)
        self.link = os.path.join(link_dir, name)
        if os.path.lexists(self.link):
            os.unlink(self.link)
        os.symlink(self.slave_path, self.link)

    @staticmethod
    def link_dir(program, windows):
        """Where COM3 is looked up: the Wine prefix, or the working directory headless."""
        if windows:
            return os.path.join(os.environ["QS_WINEPREFIX"], "dosdevices")
        return program.path("dosdevices")

    def send(self, data):
        os.write(self.master, data)

    def receive(self, seconds):
        """What the program has written so far, waiting up to the limit for the first byte."""
        ready, _, _ = select.select([self.master], [], [], seconds)
        if not ready:
            return b""
        try:
            return os.read(self.master, 65536)
        except OSError:  # EIO: no side holds the slave open at the moment
            time.sleep(0.01)
            return b""

    def read_until(self, marker, seconds=10):
        """Every byte the program writes up to and including the marker."""
        got = b""
        deadline = time.monotonic() + seconds
        while marker not in got:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"the device got {got!r}, still waiting for {marker!r}")
            got += self.receive(left)
        return got

    def close(self):
        if os.path.lexists(self.link):
            os.unlink(self.link)
        os.close(self.master)


class Client:
    """A TCP client of the bridge on 127.0.0.1; connects with retries while the server starts."""

    def __init__(self, port, seconds=30):
        deadline = time.monotonic() + seconds
        while True:
            try:
                self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise AssertionError(f"nothing accepts on TCP port {port}") from None
                time.sleep(0.05)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def send(self, data):
        self.sock.sendall(data)

    def command(self, text):
        """One command line: ESC, the text, CR."""
        self.send(b"\x1b" + text.encode("latin-1") + b"\r")

    def receive(self, count, seconds=10):
        """Exactly count bytes, or an assertion naming what came."""
        got = b""
        deadline = time.monotonic() + seconds
        while len(got) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            self.sock.settimeout(left)
            try:
                part = self.sock.recv(count - len(got))
            except (socket.timeout, ConnectionResetError):
                break
            if not part:
                break
            got += part
        assert len(got) == count, f"expected {count} bytes, got {got!r}"
        return got

    def closed_by_peer(self, seconds=10):
        """True when the bridge ends the connection (EOF or reset) within the limit."""
        self.sock.settimeout(seconds)
        try:
            return self.sock.recv(1) == b""
        except ConnectionResetError:
            return True
        except socket.timeout:
            return False

    def close(self):
        self.sock.close()
