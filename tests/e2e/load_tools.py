"""Load for the reliability tests: an echo device on a pty, clients whose incoming bytes a
reader gathers as they come, random traffic of numbered data and tagged command lines with
the replies each must bring, the log file's traffic text read back chunk by chunk, and the
program's CPU time, descriptors and resident memory from /proc."""
import os
import re
import select
import socket
import struct
import termios
import threading
import time

from harness import FakeDevice

ESC = 0x1B
CR = 0x0D
LF = 0x0A
MAX_CLIENTS = 5
STAMP = re.compile(rb"\d\d:\d\d:\d\d \d\d/\d\d/\d\d ")
HIGH_BYTES = bytes(range(0x80, 0x100))


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
        """The device goes: its pty is gone, and COM3's link points nowhere."""
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


# --- Traffic: numbered data bytes and tagged command lines -----------------------------------
#
# Client k's data bytes are 0x80 + 16k + (n mod 16) for its n-th data byte, and every one of
# its command lines carries the tag byte 0xD0 + k between its words. No client sends '[',
# NUL or LF, so the log's traffic text can be read back unambiguously, and every piece holds a
# byte that names its client.

def data_byte(client, number):
    return 0x80 + 16 * client + number % 16


def tag(client):
    return 0xD0 + client


def client_of_data(byte):
    """The client whose data alphabet holds the byte, or None."""
    return (byte - 0x80) >> 4 if 0x80 <= byte < 0x80 + 16 * MAX_CLIENTS else None


DATA_CLIENT = bytes((client_of_data(b) if client_of_data(b) is not None else 0xFF)
                    for b in range(256))


def data_counts(block):
    """How many data bytes of each client a block holds."""
    mapped = block.translate(DATA_CLIENT)
    return [mapped.count(k) for k in range(MAX_CLIENTS)]


def data_of(block, client):
    """The client's data bytes in a block, in order."""
    low = 0x80 + 16 * client
    keep = bytes(range(low, low + 16))
    return block.translate(None, bytes(b for b in range(256) if b not in keep))


DCB = "dcb"  # the 28-byte reply of DCB=?

# Command lines as their words and the replies they bring while the port is open: one-byte
# replies by value, DCB for the block.
SHARED_LINES = [
    ([b"TEST"], [1]),
    ([b"MSR=?"], [0]),  # a pty has no modem lines: the status reads 0
    ([b"TEST", b"MSR=?"], [1, 0]),
    ([b"MSR=?", b"TEST"], [1, 0]),  # replies in keyword order, whatever the line's order
    ([b"KILL", b"TEST"], [1]),
    ([b"BAUD=9600", b"DATA=8", b"PARITY=N", b"STOP=1"], []),
    ([b"TIMEOUT1=10", b"TIMEOUT2=50", b"TIMEOUT3=0"], []),
    ([b"RTS=1", b"DTR=1"], []),
    ([b"HELLO"], []),
    ([], []),
]
# Only for clients that do not own the port: the block's bytes could pass for echoed data.
OTHERS_LINES = [([b"DCB=?"], [DCB]), ([b"TEST", b"DCB=?"], [1, DCB])]
OPEN_WORDS = [b"BAUD=9600", b"DATA=8", b"PARITY=N", b"STOP=1", b"TIMEOUT1=10", b"TIMEOUT2=50",
              b"TIMEOUT3=0", b"COM3"]


def escape_traffic(data):
    """The log's traffic text of bytes, as the program writes it."""
    out = []
    for byte in data:
        if byte == LF:
            out.append(b"[LF]")
        elif byte == CR:
            out.append(b"[CR]")
        elif byte == ESC:
            out.append(b"[ESC]")
        elif 0x20 <= byte <= 0x7F:
            out.append(bytes([byte]))
        else:
            out.append(b"[%02X]" % byte)
    return b"".join(out)


class Piece:
    """One send of a client: its bytes, its data bytes, the replies its lines bring, how many
    command lines start in it, and whether it stops inside a line (a half, whose rest follows
    at once)."""

    def __init__(self):
        self.raw = bytearray()
        self.data = 0
        self.replies = []
        self.lines = 0
        self.half = False
        self.text = b""  # traffic text, filled in when sent

    def add_data(self, client, first_number, count):
        self.raw += bytes(data_byte(client, first_number + i) for i in range(count))
        self.data += count

    def add_line(self, client, words, replies):
        mark = bytes([tag(client)])
        self.raw += b"\x1b" + mark + mark.join(words) + mark + b"\r"
        self.replies += replies
        self.lines += 1


class ClientScript:
    """The random traffic of one client and everything it must bring about."""

    MAX_PIECE = 1000  # a piece and the half before it stay below the log's 1015-byte cut

    def __init__(self, client, rng):
        self.client = client
        self.rng = rng
        self.pieces = []  # every piece sent, in order
        self.data_sent = 0

    def _data(self, piece, count):
        piece.add_data(self.client, self.data_sent, count)
        self.data_sent += count

    def line_piece(self, words, replies):
        piece = Piece()
        piece.add_line(self.client, words, replies)
        return piece

    def next_pieces(self, owner):
        """One random piece, or a piece that ends half-way through a line and the rest of that
        line; the last of them brings something the test can see arrive (data at the device
        or a reply), which means the bridge has read all of them."""
        rng = self.rng
        lines = SHARED_LINES if owner else SHARED_LINES + OTHERS_LINES
        piece = Piece()
        while len(piece.raw) < 400:
            if rng.random() < 0.6:
                self._data(piece, rng.choice((1, 2, rng.randint(1, 40), rng.randint(1, 300))))
            else:
                words, replies = rng.choice(lines)
                if rng.random() < 0.05:  # a long line, padded with the client's tag
                    words = words + [bytes([tag(self.client)]) * rng.randint(100, 400)]
                piece.add_line(self.client, words, replies)
            if rng.random() < 0.4:
                break
        if rng.random() < 0.2:
            # A line cut after one of its tags (never the last); its rest is a piece of its own.
            words, replies = rng.choice(lines)
            whole = Piece()
            whole.add_line(self.client, words or [b"HELLO"], replies)
            tags = [i for i, b in enumerate(whole.raw) if b == tag(self.client)][:-1]
            cut = rng.choice(tags) + 1
            piece.raw += whole.raw[:cut]
            piece.lines += 1
            piece.half = True
            rest = Piece()
            rest.raw += whole.raw[cut:]
            rest.replies = replies
            if not replies or rng.random() < 0.5:
                self._data(rest, rng.randint(1, 20))
            assert len(piece.raw) + len(rest.raw) <= self.MAX_PIECE
            return [piece, rest]
        if not piece.data and not piece.replies:
            self._data(piece, rng.randint(1, 8))
        assert len(piece.raw) <= self.MAX_PIECE
        return [piece]


# --- The log file read back ------------------------------------------------------------------

class LogCheck:
    """Reads the log file back as event lines and chunk traffic and checks it against the
    pieces the clients sent: every piece's traffic text once, in each client's order, each
    "Komenda:" line showing its chunk, one per command line that starts or goes on in it. Fed
    part by part, each part cut where the bridge was at rest (no chunk or line half-logged)
    with the pieces sent meanwhile."""

    def __init__(self, events):
        self.events = [re.compile(e) for e in events]
        self.chunks = 0
        self.komenda = 0
        self.size = 0
        self.texts = []  # the event texts other than "Komenda:", in order

    def feed(self, log, pieces):
        if self.size == 0:
            assert log.startswith(b"\r\n"), log[:40]
        base = self.size
        self.size += len(log)
        for client_pieces in pieces:
            for piece in client_pieces:
                piece.text = escape_traffic(piece.raw)
        nexts = [0] * len(pieces)
        candidates = []  # what the last chunk's "Komenda:" lines may show
        expected = seen = 0  # Komenda lines of the last chunk
        last = None  # (client, index) of the piece matched last, with no event line since
        position = 0

        def where():
            return f"offset {base + position}: {log[position:position + 80]!r}"

        def close_chunk():
            if seen != expected:
                raise AssertionError(f"{seen} Komenda lines for a chunk with {expected} command "
                                     f"lines, before {where()}")

        while position < len(log):
            if log.startswith(b"\r\n", position):
                stamp = STAMP.match(log, position + 2)
                assert stamp, f"no time stamp at {where()}"
                position = stamp.end()
                last = None
                if log.startswith(b"Komenda:", position):
                    position += len(b"Komenda:")
                    for raw in candidates:
                        if log.startswith(raw, position):
                            position += len(raw)
                            break
                    else:
                        raise AssertionError(f"a Komenda line shows no chunk just received, at "
                                             f"{where()}")
                    seen += 1
                    self.komenda += 1
                    continue
                best = None
                for event in self.events:
                    found = event.match(log, position)
                    if found and (best is None or found.end() > best.end()):
                        best = found
                if best is None:
                    raise AssertionError(f"unexpected log line at {where()}")
                self.texts.append(best.group(0))
                position = best.end()
                continue
            for client, client_pieces in enumerate(pieces):
                index = nexts[client]
                if index < len(client_pieces) and \
                        log.startswith(client_pieces[index].text, position):
                    break
            else:
                raise AssertionError(f"traffic text of no piece sent at {where()}")
            piece = client_pieces[index]
            position += len(piece.text)
            nexts[client] += 1
            if last == (client, index - 1) and client_pieces[index - 1].half:
                # The half and its rest came in one chunk: one chunk, one set of lines.
                before = client_pieces[index - 1]
                candidates = [bytes(before.raw + piece.raw)]
                expected = before.lines + piece.lines
            else:
                close_chunk()
                self.chunks += 1
                seen = 0
                candidates = [bytes(piece.raw)]
                continues = index > 0 and client_pieces[index - 1].half
                expected = piece.lines + (1 if continues else 0)
            last = (client, index)
        close_chunk()
        for client, client_pieces in enumerate(pieces):
            if nexts[client] != len(client_pieces):
                missing = client_pieces[nexts[client]]
                raise AssertionError(f"client {client}: {len(client_pieces) - nexts[client]} "
                                     f"pieces missing from the log from {missing.text[:60]!r}")
        return self


def read_from(path, offset):
    """The file's bytes from offset on."""
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read()


# --- The program seen from /proc -------------------------------------------------------------

def cpu_seconds(pid):
    """User and system CPU time of the process, all its threads."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def descriptor_count(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def descriptors(pid):
    """What each open descriptor of the process points to."""
    out = {}
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            out[int(fd)] = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            pass
    return out


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


def cpu_share(pid, seconds=2.0):
    """The share of one core the process used over the next seconds (a measuring window)."""
    before = cpu_seconds(pid)
    start = time.monotonic()
    time.sleep(seconds)
    return (cpu_seconds(pid) - before) / (time.monotonic() - start)


def wait_for_descriptors(pid, count, seconds):
    """Waits until the process holds count descriptors; returns the count it ends with."""
    deadline = time.monotonic() + seconds
    while True:
        now = descriptor_count(pid)
        if now == count or time.monotonic() > deadline:
            return now
        time.sleep(0.05)


def sanitizer_of(program):
    """"address", "thread" or None: the sanitizer the program was built with."""
    try:
        with open(program, "rb") as f:
            image = f.read()
    except OSError:
        return None
    if b"__asan_init" in image:
        return "address"
    if b"__tsan_init" in image:
        return "thread"
    return None
