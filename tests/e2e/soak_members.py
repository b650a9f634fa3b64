"""The soak's members, one client each, and the checks of what they got back."""
import struct
import time

from load_peers import LoadClient
from proc_stats import cpu_share
from traffic import DCB, HIGH_BYTES, ClientScript


class Member:
    """One client of the soak: its connection, its script and the replies it is owed."""

    def __init__(self, index, port, rng, prompt):
        self.index = index
        self.client = LoadClient(port)
        self.script = ClientScript(index, rng)
        self.replies = []  # the replies of the phase under way, in order
        self.phase_start = 0  # where the phase's pieces begin in script.pieces
        self.prompt = prompt  # how long its replies may take

    def send(self, pieces):
        for piece in pieces:
            self.script.pieces.append(piece)
            self.replies += piece.replies
            self.client.send(bytes(piece.raw))

    def _reply_bytes(self, owner):
        """Reply bytes of the phase so far: all of them, or the owner's beside the echo."""
        got = self.client.received
        return len(got.translate(None, HIGH_BYTES)) if owner else len(got)

    def wait_replies(self, owner, seconds):
        want = len(self.replies) if owner else sum(28 if r == DCB else 1 for r in self.replies)
        with self.client.changed:
            if not self.client.changed.wait_for(lambda: self._reply_bytes(owner) >= want,
                                                seconds):
                raise AssertionError(f"client {self.index}: {want - self._reply_bytes(owner)} "
                                     f"of {want} reply bytes missing after {seconds} s")

    def lines(self, *lines):
        """Command lines, (words, replies) each, in one piece of their own, waited for;
        returns what came back."""
        self.client.take_received()
        self.replies = []
        piece = self.script.line_piece(*lines[0])
        for words, replies in lines[1:]:
            piece.add_line(self.index, words, replies)
        self.send([piece])
        self.wait_replies(True, self.prompt)
        return self.client.take_received()


def idle_share(pid, windows):
    """The program's CPU share over two seconds with nothing to do, and how long it took to
    get there. Under Wine the dialog's list is still taking the lines queued during the run,
    each drawn on the virtual display: that may take a while, though not for ever."""
    start = time.monotonic()
    while True:
        share = cpu_share(pid)
        if not windows or share < 0.02 or time.monotonic() - start > 60:
            return share, time.monotonic() - start - 2 if windows else 0.0


def check_replies(index, received, expected):
    """A client that does not own the port gets its replies and nothing else."""
    at = 0
    for kind in expected:
        if kind == DCB:
            block = received[at:at + 28]
            assert len(block) == 28 and struct.unpack_from("<II", block) == (28, 9600), \
                f"client {index}: DCB reply {block!r}"
            at += 28
        else:
            assert received[at:at + 1] == bytes([kind]), \
                f"client {index}: reply {received[at:at + 1]!r} at {at}, expected {kind}"
            at += 1
    assert at == len(received), f"client {index}: {len(received) - at} bytes beyond its replies"


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))
