"""Runs the built program as a user does: a fresh working directory, a settings file, the
real process; gives the tests its log file, its screen lines and its exit status."""
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
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

    def path(self, name):
        return os.path.join(self.dir, name)

    def start(self):
        self.process = subprocess.Popen(self.command, cwd=self.dir, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        return self

    def log(self):
        try:
            with open(self.path("events.log"), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def log_texts(self):
        """The texts of the log file's event lines, in order (traffic text included)."""
        return [line[18:].decode("latin-1") for line in self.log().split(b"\r\n")[1:]]

    def wait_for_log(self, text, seconds=30):
        wait_until(lambda: text.encode("latin-1") in self.log(), seconds, f"log line {text!r}")

    def wait_for_window(self, seconds=60):
        subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name", WINDOW_TITLE],
                       stdout=subprocess.DEVNULL, timeout=seconds, check=True)

    def key(self, name):
        subprocess.run(["xdotool", "key", name], timeout=10, check=True)

    def finish(self, seconds=30):
        """Waits for the program to end; returns its exit status."""
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
            self.process.communicate()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


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
