"""Runs the built program as a user does: its own working directory, log file and exit status."""
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

WINDOW_TITLE = "Quillon Smart"


def settings_image(port_name=b"", baud=0, always_open=0, parity=b"\0", stop_bits=0,
                   data_bits=0, log_path=b"events.log", tcp_port=0, auto_disconnect=0):
    """The 236-byte "setuplite.dat" record."""
    image = bytearray(236)
    image[0:len(port_name)] = port_name
    struct.pack_into("<IiB", image, 104, baud, always_open, parity[0])
    struct.pack_into("<ii", image, 116, stop_bits, data_bits)
    image[124:124 + len(log_path)] = log_path
    struct.pack_into("<ii", image, 228, tcp_port, auto_disconnect)
    return bytes(image)


def wait_until(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError(f"timed out after {seconds} s waiting for {what}")


class Program:
    """One run of the program in its own working directory."""

    def __init__(self, command, windows, settings=None):
        self.command = command
        self.windows = windows
        self.dir = tempfile.mkdtemp(prefix="qs-e2e-")
        self.settings = settings if settings is not None else settings_image()
        with open(self.path("setuplite.dat"), "wb") as f:
            f.write(self.settings)
        self.process = None
        self.stdout = b""
        self._drain = None

    def path(self, name):
        return os.path.join(self.dir, name)

    def start(self, drain_stdout=False, stderr=subprocess.DEVNULL):
        """Starts the program. A long run drains its stdout as it comes (drain_stdout), so
        that the event list never waits for a full pipe; stderr goes where it is told."""
        self.process = subprocess.Popen(self.command, cwd=self.dir, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=stderr)
        if drain_stdout:
            parts = []
            self._drain = (threading.Thread(target=self._read_stdout, args=(parts,),
                                            daemon=True), parts)
            self._drain[0].start()
        return self

    def _read_stdout(self, parts):
        while True:
            block = self.process.stdout.read1(65536)
            if not block:
                return
            parts.append(block)

    def log(self):
        try:
            with open(self.path("events.log"), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def log_texts(self):
        """The texts of the log file's event lines, in order (traffic text included)."""
        return [line[18:].decode("latin-1") for line in self.log().split(b"\r\n")[1:]]

    def wait_for_log(self, text, seconds=30, after=0):
        """Waits until the text stands in the log file behind byte offset after."""
        wait_until(lambda: text.encode("latin-1") in self.log()[after:], seconds,
                   f"log line {text!r}")

    def wait_for_window(self, title=WINDOW_TITLE, seconds=60):
        """Waits until the window is shown and has the keyboard focus, so keys reach it."""
        found = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name", title],
                               capture_output=True, text=True, timeout=seconds, check=True)
        windows = set(found.stdout.split())

        def focused():
            now = subprocess.run(["xdotool", "getwindowfocus"], capture_output=True, text=True,
                                 timeout=10)
            return now.stdout.strip() in windows

        try:
            wait_until(focused, 10, f"the focus on {title!r}")
        except AssertionError:
            pass  # a window manager-less X may report a child; the key still goes to Wine

    def type(self, text):
        subprocess.run(["xdotool", "type", "--delay", "50", text], timeout=30, check=True)

    def key(self, name):
        subprocess.run(["xdotool", "key", name], timeout=10, check=True)

    def finish(self, seconds=30):
        """Waits for the program to end; returns its exit status."""
        if self._drain:
            try:
                self.process.wait(seconds)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
                raise AssertionError(f"the program did not end within {seconds} s") from None
            self._drain[0].join(10)
            self.stdout = b"".join(self._drain[1])
            return self.process.returncode
        try:
            out, _ = self.process.communicate(timeout=seconds)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()
            raise AssertionError(f"the program did not end within {seconds} s")
        self.stdout = out
        return self.process.returncode

    def close(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            if self._drain:
                self.process.wait()
            else:
                self.process.communicate()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def free_tcp_port():
    """A TCP port that nothing listens on at the moment."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def stop_program(program, windows):
    """Cancels the main dialog (Escape under Wine, SIGTERM headless); returns the exit status."""
    if windows:
        program.wait_for_window()
        # Under Wine on Xvfb an Escape is now and then not delivered (the dialog has the
        # focus and takes the next one): press again, a few times at most, and say so.
        for _ in range(3):
            program.key("Escape")
            try:
                program.process.wait(5)
                break
            except subprocess.TimeoutExpired:
                print("note: the dialog missed an Escape; pressing it again")
    else:
        program.process.send_signal(signal.SIGTERM)
    return program.finish()



def run_cases(cases):
    """Runs each case, prints its outcome and the closing count; returns the exit status."""
    passed = failed = 0
    for case in cases:
        try:
            case()
            print(f"PASS {case.__name__}")
            passed += 1
        except Exception as error:  # noqa: BLE001 - every failure is reported the same way
            print(f"FAIL {case.__name__}: {error}")
            failed += 1
        sys.stdout.flush()
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


def parse_args():
    """Test scripts take: [--windows] program [launcher args...]."""
    args = sys.argv[1:]
    windows = bool(args) and args[0] == "--windows"
    if windows:
        args = args[1:]
    if not args:
        sys.exit("usage: test.py [--windows] program-command...")
    return args, windows