#!/usr/bin/env python3
"""Runs the built program in a fresh working directory and checks its log file byte for byte."""
import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile

STAMP = rb"\r\n\d\d:\d\d:\d\d \d\d/\d\d/\d\d "
START = b"------------- Start programu --------------------"
END = b"------------- Koniec programu --------------------"


def settings_image(log_path: bytes) -> bytes:
    """A 236-byte record with a log file, a TCP port and marked reserved bytes."""
    image = bytearray(236)
    image[100:104] = b"\xa1\xa2\xa3\xa4"
    image[124 : 124 + len(log_path)] = log_path
    image[228:232] = struct.pack("<i", 0)
    return bytes(image)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("program", nargs="+", help="the program, after its launcher if any")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="qs-e2e-") as work:
        image = settings_image(b"events.log")
        with open(os.path.join(work, "setuplite.dat"), "wb") as f:
            f.write(image)
        done = subprocess.run(args.program, cwd=work, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=120)
        with open(os.path.join(work, "events.log"), "rb") as f:
            log = f.read()
        with open(os.path.join(work, "setuplite.dat"), "rb") as f:
            settings_after = f.read()

    failures = []
    if done.returncode != 0:
        failures.append(f"exit status {done.returncode}")
    pattern = (STAMP + re.escape(START) + rb"(?:" + STAMP + rb"My IP adres:\d+\.\d+\.\d+\.\d+){0,10}"
               + STAMP + re.escape(END))
    if not re.fullmatch(pattern, log):
        failures.append(f"log file is {log!r}")
    if settings_after != image:
        failures.append("setuplite.dat was changed")

    for failure in failures:
        print("FAIL:", failure)
    print(f"{1 if not failures else 0} passed, {1 if failures else 0} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
