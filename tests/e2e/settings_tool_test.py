#!/usr/bin/env python3
"""The settings tool as an administrator runs it: show and set on a folder's "setuplite.dat",
refusals that leave the file as it was, and a file the program then starts with.
Usage: settings_tool_test.py TOOL PROGRAM..."""
import os
import shutil
import subprocess
import sys
import tempfile

TOOL = sys.argv.pop(1)

from endpoints import Client  # noqa: E402 - the tool's path is taken off first
from harness import (Program, free_tcp_port, parse_args, run_cases, settings_image,  # noqa: E402
                     stop_program)

COMMAND, WINDOWS = parse_args()


def tool(*args, cwd=None):
    """Runs the tool; its exit status, stdout and stderr."""
    done = subprocess.run([TOOL, *args], cwd=cwd, capture_output=True, timeout=30)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


def with_reserved_bytes(image, tail=b""):
    """The image with something in each reserved byte, and bytes behind the record."""
    image = bytearray(image)
    image[100:104] = b"\xa1\xa2\xa3\xa4"
    image[113:116] = b"\xb1\xb2\xb3"
    image[224:228] = b"\xc1\xc2\xc3\xc4"
    return bytes(image) + tail


class Folder:
    def __enter__(self):
        self.dir = tempfile.mkdtemp(prefix="qs-tool-")
        self.file = os.path.join(self.dir, "setuplite.dat")
        return self

    def __exit__(self, *exc):
        shutil.rmtree(self.dir, ignore_errors=True)

    def write(self, data):
        with open(self.file, "wb") as f:
            f.write(data)

    def read(self):
        with open(self.file, "rb") as f:
            return f.read()


def test_show_in_the_working_directory_and_with_dir():
    with Folder() as folder:
        status, out, err = tool("show", cwd=folder.dir)
        assert status == 0, err
        assert out.splitlines() == ["portName=", "baudRate=0", "portAlwaysOpen=0",
                                    "parity=0x00", "stopBits=0", "dataBits=0", "logFilePath=",
                                    "tcpPort=0", "autoDisconnectSeconds=0"], out
        assert "not found" in err and os.path.realpath(folder.dir) in err, err
        assert not os.path.exists(folder.file), "show made a file"

        folder.write(settings_image(port_name=b"COM4", baud=19200, parity=b"E", stop_bits=1,
                                    data_bits=7, log_path=b"x.log", tcp_port=4100,
                                    auto_disconnect=-1))
        status, out, err = tool("show", "--dir", folder.dir)
        assert (status, err) == (0, ""), err
        assert out == ("portName=COM4\nbaudRate=19200\nportAlwaysOpen=0\nparity=E\n"
                       "stopBits=1\ndataBits=7\nlogFilePath=x.log\ntcpPort=4100\n"
                       "autoDisconnectSeconds=4294967295\n"), out


def test_set_keeps_reserved_and_trailing_bytes():
    with Folder() as folder:
        before = with_reserved_bytes(settings_image(baud=9600, parity=b"N"), b"kept tail")
        folder.write(before)
        status, _, err = tool("set", "--dir", folder.dir, "baudRate=57600", "parity=O")
        assert status == 0, err
        after = folder.read()
        expected = bytearray(before)
        expected[104:108] = (57600).to_bytes(4, "little")
        expected[112] = ord("O")
        assert after == bytes(expected), (before, after)
        assert os.listdir(folder.dir) == ["setuplite.dat"], os.listdir(folder.dir)


def test_refused_values_leave_the_file_unchanged():
    with Folder() as folder:
        before = with_reserved_bytes(settings_image(tcp_port=4000))
        folder.write(before)
        stamp = os.stat(folder.file).st_mtime_ns
        for args, reason in [(["tcpPort=65536"], "tcpPort=65536: out of range (0 to 65535)"),
                             (["baudRate=fast"], "baudRate=fast: not a number"),
                             (["dataBits=9"], "dataBits=9: must be 7 or 8"),
                             (["portName=" + "P" * 100], "100 bytes long"),
                             (["tcpPort=1400", "speed=9600"], "unknown field 'speed'")]:
            status, out, err = tool("set", "--dir", folder.dir, *args)
            assert status == 1 and out == "", (args, status, out)
            assert reason in err and "nothing was changed" in err, (args, err)
        assert folder.read() == before
        assert os.stat(folder.file).st_mtime_ns == stamp
        assert os.listdir(folder.dir) == ["setuplite.dat"], os.listdir(folder.dir)
        status, _, err = tool("frobnicate")
        assert status == 2 and "usage:" in err, (status, err)


def test_the_program_starts_with_what_the_tool_set():
    port = free_tcp_port()
    with Program(COMMAND, WINDOWS, settings_image(log_path=b"")) as program:
        status, _, err = tool("set", "--dir", program.dir, f"tcpPort={port}",
                              "logFilePath=events.log", "autoDisconnectSeconds=30")
        assert status == 0, err
        program.start()
        program.wait_for_log(f"Serwer TCP On - Start on port {port}")
        Client(port).close()
        assert stop_program(program, WINDOWS) == 2
        assert program.log_texts()[-1] == "------------- Koniec programu --------------------"


if __name__ == "__main__":
    raise SystemExit(run_cases([test_show_in_the_working_directory_and_with_dir,
                                test_set_keeps_reserved_and_trailing_bytes,
                                test_refused_values_leave_the_file_unchanged,
                                test_the_program_starts_with_what_the_tool_set]))
