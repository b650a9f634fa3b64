"""The program on a free TCP port with an echo device as COM3, for the fault tests."""
import signal
import time

from endpoints import FakeDevice
from harness import Program, free_tcp_port, parse_args, settings_image, stop_program
from load_peers import EchoDevice, LoadClient

COMMAND, WINDOWS = parse_args()
OPEN_LINE = b"BAUD=9600 DATA=8 PARITY=N STOP=1 TIMEOUT1=10 TIMEOUT2=50 TIMEOUT3=0 COM3"
END = b"------------- Koniec programu --------------------"
SHUT_DOWN = [b"Serwer TCP Off - Start", b"Serwer TCP Off - Stop", END]
SHORT_SEND = b"SendTCP Error - nie wyslano wszystkiego"
# How soon a client must be served while the bridge copes with a fault elsewhere: a data byte
# that the device does not take costs its one-second write time-out first.
PROMPT = 3
# How soon the program must end once told to; under Wine an Escape that the dialog missed is
# pressed again after five seconds, and Wine's own shut-down adds to it.
EXIT_SECONDS = 20 if WINDOWS else 5


class Rig:
    """The program on a free TCP port with an echo device (echo off unless asked) as COM3."""

    def __init__(self, echo=False, drain_stdout=True, **fields):
        self.port = free_tcp_port()
        self.program = Program(COMMAND, WINDOWS, settings_image(tcp_port=self.port, **fields))
        self.link_dir = FakeDevice.link_dir(self.program, WINDOWS)
        self.device = EchoDevice(self.link_dir, echo=echo)
        self.clients = []
        try:
            self.program.start(drain_stdout=drain_stdout)
            self.program.wait_for_log("Serwer TCP On - Stop")
        except BaseException:
            self.__exit__()
            raise
        self.pid = self.program.process.pid

    def client(self, **options):
        client = LoadClient(self.port, **options)
        self.clients.append(client)
        return client

    def open_port(self, client):
        client.command(OPEN_LINE)
        assert client.reply(1, 10) == b"\x00", "COM3 did not open"

    def served_within(self, client, seconds=PROMPT, line=b"TEST", reply=None):
        """Sends a line and waits for its one-byte reply; returns how long it took."""
        start = time.monotonic()
        client.command(line)
        try:
            got = client.reply(1, seconds)
        except AssertionError:
            raise AssertionError(f"{line!r} not answered within {seconds} s") from None
        if reply is not None:
            assert got == reply, f"{line!r} replied {got!r}"
        return time.monotonic() - start

    def log_mark(self):
        return len(self.program.log())

    def log_texts_after(self, mark):
        """The event texts logged since mark, without the traffic text behind them."""
        lines = self.program.log()[mark:].split(b"\r\n")[1:]
        return [line[18:].split(b"[")[0] for line in lines]

    def stop(self, seconds=EXIT_SECONDS):
        """Ends the program as its user does and checks that it ends in time, in order."""
        start = time.monotonic()
        if WINDOWS:
            status = stop_program(self.program, WINDOWS)
        else:
            self.program.process.send_signal(signal.SIGTERM)
            status = self.program.finish(seconds)
        took = time.monotonic() - start
        assert status == 2, f"exit status {status}"
        assert took < seconds, f"the program took {took:.1f} s to end"
        log = self.program.log()
        assert log.endswith(END), log[-200:]
        texts = [line[18:].split(b"[")[0] for line in log.split(b"\r\n")[1:]]
        assert texts[-2:] == SHUT_DOWN[1:], texts[-4:]
        # Only the lines of the chunk in hand when the stop came may stand in between. That
        # chunk's traffic text may follow the first line, and starts wherever the chunk does.
        starts = [i for i, text in enumerate(texts) if text.startswith(SHUT_DOWN[0])]
        assert starts, texts[-4:]
        between = texts[starts[-1] + 1:-2]
        assert all(t.startswith((b"Komenda:", b"Error", b"SendTCP Error")) for t in between), \
            between[:6]
        return took

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for client in self.clients:
            try:
                client.close()
            except OSError:
                pass
        self.device.close()
        self.program.close()


def wine_skip(reason):
    """Under Wine some faults cannot be staged; the case says why and passes."""
    if WINDOWS:
        print(f"skipped under Wine: {reason}")
        return True
    return False
