"""Load peers: clients whose incoming bytes a reader gathers, and an echo device on a pty."""
import os
import select
import socket
import struct
import termios
import threading
import time

from endpoints import FakeDevice


def wait_for(condition, predicate, seconds, what):
    """Waits on a threading.Condition until predicate() holds; fails after the limit."""
    with condition:
        if not condition.wait_for(predicate, seconds):
            raise AssertionError(f"timed out after {seconds} s waiting for {what}")


def connect(port, receive_buffer=None, seconds=30):
    """A TCP connection to the bridge, retried while the server starts. A small receive
    buffer (set before connecting, so the window is small from the start) makes a client
    that stops reading fill up quickly."""
    deadline = time.monotonic() + seconds
    while True:
        sock = socket.socket()
        if receive_buffer:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        sock.settimeout(5)
        try:
            sock.connect(("127.0.0.1", port))
            break
        except OSError:
            sock.close()
            if time.monotonic() > deadline:
                raise AssertionError(f"nothing accepts on TCP port {port}") from None
            time.sleep(0.05)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def reset(sock):
    """Ends a connection with a reset instead of an orderly close."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


class LoadClient:
    """A client of the bridge; unless told not to read, a thread gathers what comes."""

    def __init__(self, port, read=True, receive_buffer=None, send_seconds=30):
        self.sock = connect(port, receive_buffer)
        self.sock.settimeout(send_seconds)  # bounds every sendall; reads wait in select
        self.changed = threading.Condition()
        self.received = bytearray()
        self.ended = False  # the bridge ended the connection
        self._taken = 0  # how much of received reply() has handed out
        self._running = True
        self._thread = None
        if read:
            self._thread = threading.Thread(target=self._read, daemon=True)
            self._thread.start()

    def _read(self):
        while self._running:
            try:
                ready, _, _ = select.select([self.sock], [], [], 0.2)
                if not ready:
                    continue
                block = self.sock.recv(65536)
            except (OSError, ValueError):
                block = b""
            with self.changed:
                if not block:
                    self.ended = True
                    self.changed.notify_all()
                    return
                self.received += block
                self.changed.notify_all()

    def send(self, data):
        self.sock.sendall(data)

    def take_received(self):
        """Everything gathered so far; the gathering starts again from nothing."""
        with self.changed:
            taken = bytes(self.received)
            self.received.clear()
            self._taken = 0
            return taken

    def command(self, text):
        self.send(b"\x1b" + text + b"\r")

    def wait_received(self, count, seconds, what="bytes"):
        """Waits until at least count bytes have come in all."""
        with self.changed:
            if not self.changed.wait_for(lambda: len(self.received) >= count, seconds):
                raise AssertionError(f"timed out after {seconds} s waiting for {count} {what} "
                                     f"(got {len(self.received)})")

    def wait_ended(self, seconds):
        """True when the bridge ends the connection within the limit."""
        with self.changed:
            return self.changed.wait_for(lambda: self.ended, seconds)

    def reply(self, count, seconds=3):
        """The next count bytes after everything taken so far."""
        start = self._taken
        self.wait_received(start + count, seconds, "reply bytes")
        self._taken = start + count
        return bytes(self.received[start:start + count])

    def stop_reading(self):
        """From now on nothing is read: the connection's buffers fill up and stay full."""
        self._running = False
        if self._thread:
            self._thread.join(2)
            self._thread = None

    def close(self):
        self.stop_reading()
        self.sock.close()

    def reset(self):
        self.stop_reading()
        reset(self.sock)


class EchoDevice(FakeDevice):
    """The device on a thread of its own: keeps every byte the program writes and, while echo
    is on, sends it straight back; stream() queues bytes of its own besides. The test holds
    the line's far end open as well, so the pty stays up between the program's opens and the
    line can be held (tcflow) the way a device that stops taking data holds it."""

    def __init__(self, link_dir, echo=True, classify=None):
        super().__init__(link_dir)
        self.slave = os.open(self.slave_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        os.set_blocking(self.master, False)
        self.echo = echo
        self.changed = threading.Condition()
        self.received = bytearray()  # every byte the program wrote, in order
        self.sent = 0  # bytes written to the program
        # classify maps a block of bytes to counts per kind (a list), summed up in counts.
        self.classify = classify
        self.counts = classify(b"") if classify else None
        self._outgoing = bytearray()
        self._running = True
        self._wake_read, self._wake_write = os.pipe()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while True:
            with self.changed:
                if not self._running:
                    return
                writing = bool(self._outgoing)
            readable, writable, _ = select.select([self.master, self._wake_read],
                                                  [self.master] if writing else [], [], 0.5)
            if self._wake_read in readable:
                os.read(self._wake_read, 4096)
            if self.master in readable:
                try:
                    block = os.read(self.master, 65536)
                except (BlockingIOError, OSError):
                    block = b""
                if block:
                    with self.changed:
                        self.received += block
                        if self.classify:
                            self.counts = [a + b for a, b in
                                           zip(self.counts, self.classify(block))]
                        if self.echo:
                            self._outgoing += block
                        self.changed.notify_all()
            if writable:
                with self.changed:
                    try:
                        written = os.write(self.master, self._outgoing[:65536])
                    except BlockingIOError:
                        written = 0
                    del self._outgoing[:written]
                    self.sent += written
                    self.changed.notify_all()

    def stream(self, data):
        """Queues bytes for the program, sent as fast as the line takes them."""
        with self.changed:
            self._outgoing += data
        os.write(self._wake_write, b"w")

    def take_received(self):
        """Everything the program wrote since the last take (the counts go on)."""
        with self.changed:
            taken = bytes(self.received)
            self.received.clear()
            return taken

    def unsent(self):
        with self.changed:
            return len(self._outgoing)

    def drop_unsent(self):
        with self.changed:
            self._outgoing.clear()

    def wait(self, predicate, seconds, what):
        """Waits until predicate() holds for what the device has got (under its lock)."""
        wait_for(self.changed, predicate, seconds, what)

    def wait_for_mark(self, mark, seconds):
        """Waits until the byte string mark has reached the device."""
        self.wait(lambda: mark in self.received, seconds, f"{mark!r} at the device")

    def hold(self):
        """Suspends the line's output, as a device holding CTS low or sending XOFF does."""
        termios.tcflow(self.slave, termios.TCOOFF)

    def release(self):
        termios.tcflow(self.slave, termios.TCOON)

    def stop(self):
        with self.changed:
            self._running = False
        os.write(self._wake_write, b"w")
        self._thread.join(2)
        os.close(self._wake_read)
        os.close(self._wake_write)

    def unplug(self):
        """The device goes: its pty is gone, and COM3's link points nowhere. Not at the pty's
        old name: the next pty opened anywhere on the machine gets that name, and the program
        would rightly open it as the device come back."""
        gone = self.link + ".new"
        os.symlink(self.link + ".gone", gone)  # a name that nothing creates
        os.replace(gone, self.link)
        self.stop()
        os.close(self.slave)
        os.close(self.master)
        self.slave = None

    def close(self):
        if self.slave is None:
            return  # unplugged already
        self.stop()
        os.close(self.slave)
        super().close()
