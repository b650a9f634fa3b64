"""Random traffic of numbered data and tagged command lines, and the log read back against it."""
import re

ESC = 0x1B
CR = 0x0D
LF = 0x0A
MAX_CLIENTS = 5
STAMP = re.compile(rb"\d\d:\d\d:\d\d \d\d/\d\d/\d\d ")
HIGH_BYTES = bytes(range(0x80, 0x100))


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
