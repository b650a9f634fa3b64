#!/usr/bin/env python3
"""Writes the sample "setuplite.dat" shipped with the Windows build: COM1 at 9600 8N1 opened by
clients, the log in "QuillonSmart.log" beside it, TCP port 1336, no automatic disconnection."""
import struct
import sys

RECORD_SIZE = 236


def sample_record():
    record = bytearray(RECORD_SIZE)
    record[0:4] = b"COM1"
    struct.pack_into("<IiB", record, 104, 9600, 0, ord("N"))
    struct.pack_into("<ii", record, 116, 1, 8)
    log_name = b"QuillonSmart.log"
    record[124:124 + len(log_name)] = log_name
    struct.pack_into("<ii", record, 228, 1336, 0)
    return bytes(record)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_sample_settings.py output-file")
    with open(sys.argv[1], "wb") as f:
        f.write(sample_record())
