"""The bridges measured side by side: the bare pty, socat, ser2net and this program's two builds."""
import os
import shutil
import socket
import subprocess
import sys
import tempfile

sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))

from device_ends import End, StageFailed  # noqa: E402
from harness import Program, settings_image  # noqa: E402
from proc_stats import wineserver_pids  # noqa: E402

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def free_tcp_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Floor:
    """No bridge: the client reads and writes the pty's slave itself."""

    title = "pty floor"
    is_peer = False
    is_program = False

    def start(self, pty):
        self.pty = pty

    def connect(self):
        return End.pty(self.pty)

    def pids(self):
        return []

    def command_text(self):
        return None

    def stop(self):
        pass


class Peer:
    """A bridge run as a plain process that listens on a TCP port."""

    is_peer = True
    is_program = False

    def __init__(self):
        self.process = None
        self.dir = None

    def argv(self, pty, port):
        raise NotImplementedError

    def start(self, pty):
        self.dir = tempfile.mkdtemp(prefix="qs-bench-")
        self.port = free_tcp_port()
        self.command = self.argv(pty, self.port)
        self.process = subprocess.Popen(self.command, cwd=self.dir, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def connect(self):
        return End.tcp(self.port)

    def pids(self):
        return [self.process.pid]

    def command_text(self):
        return " ".join(self.command)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)


class Socat(Peer):
    title = "socat"

    def argv(self, pty, port):
        return ["socat", f"TCP-LISTEN:{port},reuseaddr,nodelay", f"{pty},raw,echo=0"]


class SocatSmallBlocks(Socat):
    """socat held to this program's block: at most 1023 bytes a read and one send per read, as
    the protocol has it. Shown beside the peers, not counted as one of them."""

    title = "socat -b1023 (our block size)"
    is_peer = False

    def argv(self, pty, port):
        return ["socat", "-b1023"] + super().argv(pty, port)[1:]


SER2NET_CONFIG = """%YAML 1.1
---
connection: &bench
  accepter: tcp(nodelay=true),127.0.0.1,{port}
  connector: serialdev,{pty},115200n81,local
  options:
    chardelay: false
"""


class Ser2net(Peer):
    title = "ser2net (chardelay off)"

    def argv(self, pty, port):
        self.config = SER2NET_CONFIG.format(port=port, pty=pty)
        path = os.path.join(self.dir, "bench.yaml")
        with open(path, "w") as f:
            f.write(self.config)
        return ["ser2net", "-n", "-c", path, "-P", os.path.join(self.dir, "ser2net.pid")]

    def command_text(self):
        return " ".join(self.command) + "\n  with bench.yaml:\n    " + \
            self.config.strip().replace("\n", "\n    ")


class ThisProgram:
    """This program on a free TCP port, COM3 linked to the pty; a client opens it with the
    given read time-outs. Under Wine the link goes into the prefix's dosdevices."""

    is_peer = False
    is_program = True

    def __init__(self, command, windows, timeouts, log, baud=115200, env=None):
        self.command = command
        self.windows = windows
        self.timeouts = timeouts
        self.log = log
        self.baud = baud
        self.env = env
        build = "Wine" if windows else "this program"
        self.title = f"{build}, {','.join(str(t) for t in timeouts)}" + (", log on" if log else "")
        self.program = None
        self.link = None

    def start(self, pty):
        self.port = free_tcp_port()
        image = settings_image(tcp_port=self.port, log_path=b"events.log" if self.log else b"")
        self.program = Program(self.command, self.windows, image)
        link_dir = (os.path.join(os.environ["QS_WINEPREFIX"], "dosdevices") if self.windows
                    else self.program.path("dosdevices"))
        os.makedirs(link_dir, exist_ok=True)
        self.link = os.path.join(link_dir, "com3")
        if os.path.lexists(self.link):
            os.unlink(self.link)
        os.symlink(pty, self.link)
        # Headless, its event list goes to a stdout that nothing in this process has to read.
        env = dict(os.environ, **self.env) if self.env else None
        self.program.process = subprocess.Popen(self.command, cwd=self.program.dir,
                                                stdin=subprocess.DEVNULL,
                                                stdout=subprocess.DEVNULL,
                                                stderr=subprocess.DEVNULL, env=env)

    def connect(self):
        end = End.tcp(self.port, seconds=90)
        t1, t2, t3 = self.timeouts
        end.send(f"\x1bBAUD={self.baud} DATA=8 PARITY=N STOP=1 TIMEOUT1={t1} TIMEOUT2={t2} "
                 f"TIMEOUT3={t3} COM3\r".encode())
        try:
            end.exact(1, 20, "the reply to COM3")
        except StageFailed:
            end.close()
            raise StageFailed("COM3 did not open") from None
        return end

    def pids(self):
        pids = [self.program.process.pid]
        if self.windows:
            pids += wineserver_pids(os.environ["QS_WINEPREFIX"])
        return pids

    def command_text(self):
        return None

    def stop(self):
        if self.program:
            self.program.close()  # kills it: a clean shut-down is not what is measured
        if self.link and os.path.lexists(self.link):
            os.unlink(self.link)


class UartModel(ThisProgram):
    """The Linux build on the modelled UART (quillon-smart-uart-model): COM3 opened at baud,
    the line's hardware FIFO fifo bytes; only client -> device is measured on it."""

    def __init__(self, command, baud, fifo):
        super().__init__(command, False, TIMED, False, baud, {"QS_UART_FIFO": str(fifo)})
        self.fifo = fifo
        self.title = f"{baud:,} baud, FIFO {fifo}"


AT_ONCE = (-1, 50, -1)
TIMED = (10, 50, 0)
# The modelled UART's lines: (baud, FIFO bytes), by the name --bridges takes.
UART_LINES = {f"uart-{baud}-fifo{fifo}": (baud, fifo)
              for baud in (115200, 921600) for fifo in (0, 16)}


def catalogue(linux, windows, uart_model):
    """Every bridge the harness knows, by the name --bridges takes, in table order."""
    wine = [os.path.join(TOP, "cmake", "wine-run.sh"), windows]
    known = {
        "floor": lambda: Floor(),
        "socat": lambda: Socat(),
        "socat-b1023": lambda: SocatSmallBlocks(),
        "ser2net": lambda: Ser2net(),
        "linux-timed": lambda: ThisProgram([linux], False, TIMED, False),
        "linux-at-once": lambda: ThisProgram([linux], False, AT_ONCE, False),
        "linux-at-once-log": lambda: ThisProgram([linux], False, AT_ONCE, True),
        "wine-timed": lambda: ThisProgram(wine, True, TIMED, False),
        "wine-at-once": lambda: ThisProgram(wine, True, AT_ONCE, False),
    }
    for name, line in UART_LINES.items():
        known[name] = lambda line=line: UartModel([uart_model], *line)
    return known
