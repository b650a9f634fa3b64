#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into tests/fuzz/corpus/<target>/.

Run it after changing a seed or the client-stream input format; the files it writes are
committed, and `make test` replays them. Existing files of the three folders are replaced.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ESC = b"\x1b"
CR = b"\r"

# --- client_stream: one set-up byte, then steps led by slot + 5 * kind -------------------


def chunk(slot, data):
    """One chunk from a client slot; long ones use the two-byte length."""
    assert 1 <= len(data) <= 1023
    if len(data) <= 256:
        return bytes([slot, len(data) - 1]) + data
    n = len(data) - 1
    return bytes([slot + 5 * 40, n >> 8, n & 0xFF]) + data


def line(slot, text):
    return chunk(slot, ESC + text + CR)


def step(slot, kind, *extra):
    return bytes([slot + 5 * kind, *extra])


def reconnect(slot):
    return step(slot, 44)


def disconnect(slot):
    return step(slot, 45)


WRITES = step(0, 46)  # the device stops (or starts again) taking bytes
DEVICE_GONE = step(0, 47)  # the device goes away (or comes back)
MODE_REFUSED = step(0, 48)  # mode strings refused (or accepted again)


def fail_next_send(code):
    return step(0, 49, code)


SHORT_NEXT_SEND = step(0, 50)


def device_sends(data):
    assert 1 <= len(data) <= 32
    return step(0, 51, len(data) - 1) + data


ON_DEMAND = b"\x00"
ALWAYS_OPEN = b"\x01"
ALWAYS_OPEN_FAILED = b"\x03"
OPEN3 = b"BAUD=9600 DATA=8 PARITY=N STOP=1 TIMEOUT1=10 TIMEOUT2=50 TIMEOUT3=0 COM3"
BLOCK = bytes(range(0xA0, 0xA0 + 28))

CLIENT_STREAM = {
    "typical_exchange": ON_DEMAND
    + line(0, OPEN3)
    + chunk(0, b"ab" + ESC + b"TEST" + CR)
    + device_sends(b"OK\r\n")
    + chunk(0, ESC + b"CLOSE" + CR + ESC + b"TEST" + CR),
    "reply_order": ON_DEMAND + line(0, b"COM3 TEST MSR=? DCB=?") + line(1, b"TEST COM3"),
    "keyword_matching": ON_DEMAND
    + line(0, b"baud=9600 ATTEST KILL")
    + line(0, b"TEST\x00COM3")
    + line(0, b"BAUD=  +4294967296 DATA=-7 STOP= PARITY=")
    + DEVICE_GONE
    + line(0, b"COMX")
    + line(0, b"COM 7")
    + line(0, b"COM8")
    + line(0, b"COM12")
    + line(0, b"COM-2147483649"),
    "rts_dtr": ON_DEMAND
    + line(0, b"RTS=0 DTR=0")
    + line(0, b"COM3")
    + chunk(0, ESC + b"RTS=0\r" + ESC + b"RTS=x\r" + ESC + b"RTS=\r" + ESC + b"DTR=0\r" + ESC + b"DTR=1\r"),
    "framing": ON_DEMAND
    + chunk(0, b"x" + ESC + ESC + b"y" + ESC)
    + chunk(0, ESC + b"z")
    + chunk(0, ESC + b"COM3\r\nabc" + ESC + CR)
    + chunk(0, ESC + ESC + ESC + b"TE")
    + chunk(0, b"ST\r")
    + chunk(0, ESC)
    + chunk(0, b"TEST\r")
    + chunk(0, ESC + b"TE")
    + chunk(0, ESC + ESC + b"ST\r"),
    "ack_device": ON_DEMAND
    + line(0, b"COM3")
    + chunk(0, b"\x06" + ESC + b"TYP=108\r\x06a" + ESC + ESC)
    + device_sends(b"a\rb\r")
    + chunk(0, ESC + b"TYP=107\r\x06")
    + device_sends(b"\r"),
    "own_framing_per_client": ON_DEMAND
    + chunk(0, ESC + b"TE")
    + chunk(1, ESC + b"COM3\rxy")
    + chunk(0, b"ST\r")
    + chunk(0, ESC + b"TE")
    + reconnect(0)
    + chunk(0, b"ST\r")
    + device_sends(b"to B"),
    "overlong_lines": ON_DEMAND
    + line(0, b"COM3")
    # 2046 bytes and the CR fit; one more and the line runs nothing.
    + chunk(0, ESC + b"TEST" + b"." * 1018)
    + chunk(0, b"." * 1022)
    + chunk(0, b".." + CR)
    + chunk(1, ESC + b"TEST" + b"." * 1018)
    + chunk(1, b"." * 1022)
    + chunk(1, b"..." + CR + b"k"),
    "long_logged_chunk": ON_DEMAND + chunk(2, b"d" * 1016 + ESC + b"TEST" + CR + b"e"),
    "setdcb": ON_DEMAND
    + line(0, b"COM3")
    + chunk(0, ESC + b"SETDCB" + CR + BLOCK + b"zz")
    + chunk(0, ESC + b"DCB=?" + CR)
    + chunk(0, ESC + b"SETDCB" + CR + BLOCK[:10])
    + chunk(1, b"b")
    + chunk(0, BLOCK[10:] + b"qq")
    + chunk(0, b"k")
    + chunk(0, ESC + b"SETDCB" + CR + BLOCK[:5])
    + chunk(0, BLOCK[5:20])
    + chunk(0, BLOCK[20:] + b"x" + ESC + b"TEST" + CR)
    + chunk(0, ESC + b"SETDCB" + CR)
    + line(0, b"CLOSE")
    + chunk(0, BLOCK)
    + line(0, b"COM3 DCB=?"),
    "always_open": ALWAYS_OPEN
    + line(0, b"TEST")
    + line(0, b"COM5")
    + line(0, b"COM5")
    + line(1, b"COM9")
    + device_sends(b"to A")
    + line(1, b"CLOSE")
    + device_sends(b"nobody")
    + line(1, b"COM1 TEST MSR=? DCB=?")
    + chunk(1, b"data"),
    "always_open_failed_start": ALWAYS_OPEN_FAILED
    + line(0, b"COM1")
    + line(0, b"MSR=? DCB=? RTS=0")
    + chunk(0, b"lost")
    + line(0, b"CLOSE TEST"),
    "device_holds_line": ON_DEMAND
    + line(0, b"COM3")
    + WRITES
    + chunk(0, b"abc" + ESC + b"TEST" + CR + b"def")
    + device_sends(b"\r")
    + WRITES
    + chunk(0, b"g"),
    "send_failures": ON_DEMAND
    + fail_next_send(54)
    + line(0, b"COM3")
    + SHORT_NEXT_SEND
    + line(0, b"DCB=?")
    + fail_next_send(1)
    + device_sends(b"x"),
    "open_failures": ON_DEMAND
    + line(0, b"COM3")
    + line(1, b"COM4")
    + MODE_REFUSED
    + line(0, b"CLOSE")
    + line(0, b"COM3")
    + MODE_REFUSED
    + DEVICE_GONE
    + line(0, b"COM3")
    + DEVICE_GONE
    + line(0, b"COM3 TEST"),
    "owner_leaves": ON_DEMAND
    + line(3, b"COM3")
    + disconnect(3)
    + device_sends(b"gone")
    + reconnect(3)
    + device_sends(b"new client")
    + line(4, b"CLOSE")
    + device_sends(b"no owner"),
    "parity_nul_and_defaults": ON_DEMAND
    + line(0, b"COM3")
    + line(0, b"CLOSE PARITY=\x00")
    + line(0, b"COM1 TYP=227 DCB=?")
    + line(0, b"CLOSE TYP=272 PARITY=E BAUD=-1 COM7 DCB=?"),
}

# --- settings_file: the file's bytes as they stand ---------------------------------------


def record(port=b"", reserved100=b"\0" * 4, baud=0, always=0, parity=b"\0",
           reserved113=b"\0" * 3, stop=0, data=0, log=b"", reserved224=b"\0" * 4,
           tcp=0, idle=0):
    def text(t):
        return t[:100].ljust(100, b"\0")

    r = (text(port) + reserved100 + struct.pack("<Ii", baud, always) + parity + reserved113
         + struct.pack("<ii", stop, data) + text(log) + reserved224
         + struct.pack("<ii", tcp, idle))
    assert len(r) == 236
    return r


TYPICAL = record(b"COM3", baud=9600, parity=b"N", stop=1, data=8, log=b"quillon.log",
                 tcp=1336, idle=30)
SETTINGS_FILE = {
    "empty": b"",
    "one_short": TYPICAL[:235],
    "typical": TYPICAL,
    "longer_file": TYPICAL + b"tail" * 16,
    "all_zero": bytes(236),
    "reserved_bytes": record(b"COM1", b"\x5a\xa5\x01\x02", 19200, 0, b"E", b"\xff\xfe\xfd",
                             2, 7, b"x.log", b"\x10\x20\x30\x40", 0, 0),
    "texts_without_nul": record(b"A" * 100, always=1, parity=b"O", stop=1, data=7,
                                log=b"L" * 100),
    "text_then_bytes": record(b"com4\0junk behind", always=5, parity=b"n", stop=3, data=9,
                              log=b"a.log\0\xff\xff"),
    "negative_numbers": record(b"/dev/ttyUSB0", baud=0xFFFFFFFF, always=-1, parity=b"\x00",
                               stop=-1, data=-8, tcp=-1, idle=-1),
    "all_ones": b"\xff" * 236,
}

# --- mode_string: the string itself ------------------------------------------------------

MODE_STRING = {
    "program_default": b"baud=9600 data=8 parity=N stop=1",
    "new_form_all_keys": b"baud=19200 parity=e data=7 stop=2 to=on xon=on odsr=off octs=on "
                         b"dtr=hs rts=tg idsr=on",
    "new_form_case_and_spaces": b"Baud=9600  PARITY=O   Data=5 sToP=1.5 XON=OFF",
    "device_prefix": b"COM3: baud=115200 parity=n data=8 stop=1",
    "device_prefix_space": b"com12 baud=110 data=8",
    "old_form": b"96,n,8,1",
    "old_form_flow": b"COM1:9600,e,7,2,p",
    "old_form_xon": b" 1200 , s , 6 , 1.5 , x",
    "empty": b"",
    "refused_parity": b"baud=9600 parity= data=8",
    "refused_trailing_space": b"baud=9600 ",
    "refused_mixed_forms": b"baud=9600,n,8,1",
    "refused_all_zero_request": b"baud=0 data=0 parity=",
    "saturating_baud": b"BAUD=99999999999 data=08 stop=01",
    "to_off": b"to=off dtr=on rts=off",
    # The first seven bytes also make the request that the program formats (9600, 8, N, 1).
    "program_request": b"\x80\x25\x00\x00\x08N\x01",
    "program_request_odd_2": b"\x00\xc2\x01\x00\x07o\x02",
}

CORPORA = {
    "client_stream": CLIENT_STREAM,
    "settings_file": SETTINGS_FILE,
    "mode_string": MODE_STRING,
}


def main():
    for target, seeds in CORPORA.items():
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for name in os.listdir(folder):
            os.remove(os.path.join(folder, name))
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        print(f"{target}: {len(seeds)} seeds")
    return 0


if __name__ == "__main__":
    sys.exit(main())
