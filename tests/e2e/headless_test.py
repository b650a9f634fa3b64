#!/usr/bin/env python3
"""Headless with a stdout that nobody reads: stop signals still end the program at once, the
log file keeps every line, and a reader that comes back gets whole lines, the newest ones."""
import fcntl
import os
import re
import select
import signal
import subprocess
import time

from endpoints import Client
from harness import Program, free_tcp_port, parse_args, run_cases, settings_image

COMMAND, WINDOWS = parse_args()
F_SETPIPE_SZ = 1031
WAITING_LINES = 300
# The client's ESC and CR reach stdout as text (the log file keeps the bytes).
SCREEN_LINE = re.compile(rb"\d\d:\d\d:\d\d \d\d/\d\d/\d\d Komenda:n(\d{5})\^\[TEST\^M")


class StalledProgram(Program):
    """The program with its stdout in a one-page pipe that the test reads only when it says."""

    def start(self):
        self.stdout_pipe, write_end = os.pipe()
        fcntl.fcntl(write_end, F_SETPIPE_SZ, 4096)
        self.process = subprocess.Popen(self.command, cwd=self.dir, stdin=subprocess.DEVNULL,
                                        stdout=write_end, stderr=subprocess.DEVNULL)
        os.close(write_end)
        self.wait_for_log("Serwer TCP On - Stop")
        return self

    def read_stdout(self, until=None, seconds=10):
        """What comes out of stdout until it ends, or until the marker has come."""
        got = b""
        deadline = time.monotonic() + seconds
        while until is None or until not in got:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.stdout_pipe], [], [], left)[0]:
                raise AssertionError(f"stdout still open after {seconds} s")
            part = os.read(self.stdout_pipe, 65536)
            if not part:
                break
            got += part
        return got

    def close(self):
        super().close()
        os.close(self.stdout_pipe)


def log_numbered_lines(port, count):
    """count event lines, each naming its number, one chunk and one reply at a time."""
    client = Client(port)
    for number in range(count):
        client.send(b"n%05d\x1bTEST\r" % number)
        client.receive(1)
    client.close()


def test_stop_signal_while_stdout_is_stalled():
    port = free_tcp_port()
    with StalledProgram(COMMAND, WINDOWS, settings_image(tcp_port=port)) as program:
        program.start()
        log_numbered_lines(port, 600)  # some 23 kB of screen lines for a 4 kB pipe
        began = time.monotonic()
        program.process.send_signal(signal.SIGTERM)
        try:
            status = program.process.wait(2)
        except subprocess.TimeoutExpired:
            raise AssertionError("still running 2 s after SIGTERM") from None
        print(f"note: ended {time.monotonic() - began:.3f} s after SIGTERM")
        assert status == 2, f"exit status {status}"
        numbers = [int(m) for m in re.findall(rb"Komenda:n(\d{5})", program.log())]
        assert numbers == list(range(600)), "the log file lost lines"
        assert program.log_texts()[-1] == "------------- Koniec programu --------------------"


def test_reader_that_comes_back_gets_the_newest_whole_lines():
    port = free_tcp_port()
    count = 1000
    with StalledProgram(COMMAND, WINDOWS, settings_image(tcp_port=port)) as program:
        program.start()
        log_numbered_lines(port, count)
        out = program.read_stdout(until=b"n%05d" % (count - 1))
        program.process.send_signal(signal.SIGTERM)
        assert program.finish() == 2
        out += program.read_stdout()
    lines = out.split(b"\n")
    assert lines.pop() == b"", "stdout ends inside a line"
    numbers = []
    for line in lines:
        match = SCREEN_LINE.fullmatch(line)
        assert match, f"a torn or foreign line: {line!r}"
        numbers.append(int(match[1]))
    # What the pipe held before it filled, then, after the lines dropped for it, the newest.
    gaps = [i for i in range(1, len(numbers)) if numbers[i] != numbers[i - 1] + 1]
    assert len(gaps) == 1, f"one run of lines dropped expected: {[numbers[i] for i in gaps]}"
    newest = numbers[gaps[0]:]
    assert newest[-1] == count - 1 and len(newest) >= WAITING_LINES, (newest[0], len(newest))


if __name__ == "__main__":
    raise SystemExit(run_cases([test_stop_signal_while_stdout_is_stalled,
                                test_reader_that_comes_back_gets_the_newest_whole_lines]))
