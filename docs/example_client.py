#!/usr/bin/env python3
"""A small Quillon Smart client: opens a COM port through the bridge, sends, prints the answer.

    python3 example_client.py --host 192.168.1.20 --com 3 --baud 9600 'S\\r'

Sends the bytes (Python escapes such as \\r and \\x1b allowed) to the device on COM3 and writes
the device's answer to stdout. Exit status: 0 an answer came, 1 the port did not open, 2 no
connection (or all five places taken), 3 no answer. Standard library only.
"""
import argparse
import socket
import sys
import time

ESC = b"\x1b"
CR = b"\r"


class BridgeClient:
    """One connection to the bridge. Replies and device data share it, unframed."""

    def __init__(self, host, port=1336, timeout=5.0):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        # The replies are single bytes: nothing should wait to fill a segment.
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def command(self, text):
        """One command line: ESC, the keywords, CR, in one write."""
        self.sock.sendall(ESC + text.encode("ascii") + CR)

    def read_exactly(self, count, seconds=5.0):
        """Exactly count bytes (a reply); fewer when the time runs out or the bridge hangs up."""
        got = b""
        deadline = time.monotonic() + seconds
        while len(got) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            self.sock.settimeout(left)
            try:
                part = self.sock.recv(count - len(got))
            except (socket.timeout, ConnectionResetError):
                break
            if not part:
                break
            got += part
        return got

    def open(self, com, baud=9600, data=8, parity="N", stop=1, timeouts=(10, 50, 0),
             device_type=0):
        """Opens (or claims) the port. Every parameter goes with every open: they are shared
        by all clients and kept for the whole run, so nothing else may be taken for granted."""
        interval, constant, per_byte = timeouts
        self.command(f"BAUD={baud} DATA={data} PARITY={parity} STOP={stop} "
                     f"TIMEOUT1={interval} TIMEOUT2={constant} TIMEOUT3={per_byte} "
                     f"TYP={device_type} COM{com}")
        status = self.read_exactly(1)
        if not status:
            raise ConnectionError("no reply to the open: all five places taken?")
        return status == b"\x00"

    def send(self, data):
        """Data for the device; each ESC goes doubled, or it would start a command line."""
        self.sock.sendall(data.replace(ESC, ESC + ESC))

    def read_answer(self, quiet=0.3, seconds=5.0):
        """The device's answer: what comes until quiet seconds pass without a byte after the
        first, at most seconds in all. It may come in any number of blocks."""
        got = b""
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return got
            self.sock.settimeout(min(left, quiet) if got else left)
            try:
                part = self.sock.recv(4096)
            except socket.timeout:
                return got
            if not part:
                return got
            got += part

    def close(self):
        """Gives the port back, then leaves: a port left open goes on to this slot's next client."""
        try:
            self.command("CLOSE")
        finally:
            self.sock.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=1336, help="the bridge's TCP port")
    parser.add_argument("--com", type=int, default=3, help="the COM port number")
    parser.add_argument("--baud", type=int, default=9600)
    parser.add_argument("--data", type=int, default=8)
    parser.add_argument("--parity", default="N")
    parser.add_argument("--stop", type=int, default=1)
    parser.add_argument("--timeouts", default="10,50,0",
                        help="TIMEOUT1,TIMEOUT2,TIMEOUT3 in ms; --timeouts=-1,50,-1 to return at once")
    parser.add_argument("--type", type=int, default=0, help="the device type (TYP=)")
    parser.add_argument("--quiet", type=float, default=0.3,
                        help="seconds of silence that end the answer")
    parser.add_argument("--wait", type=float, default=5.0, help="longest wait for the answer, s")
    parser.add_argument("payload", metavar="bytes",
                        help="bytes for the device; Python escapes such as \\r allowed")
    args = parser.parse_args()
    payload = args.payload.encode("latin-1").decode("unicode_escape").encode("latin-1")
    timeouts = tuple(int(t) for t in args.timeouts.split(","))

    try:
        client = BridgeClient(args.host, args.port)
    except OSError as error:
        print(f"no connection to {args.host}:{args.port}: {error}", file=sys.stderr)
        return 2
    try:
        if not client.open(args.com, args.baud, args.data, args.parity, args.stop, timeouts,
                           args.type):
            print(f"COM{args.com} did not open (missing, held, or claimed already)",
                  file=sys.stderr)
            client.sock.close()  # nothing to give back
            return 1
        client.send(payload)
        answer = client.read_answer(args.quiet, args.wait)
        client.close()
    except (OSError, ConnectionError) as error:
        print(f"connection lost: {error}", file=sys.stderr)
        client.sock.close()
        return 2
    sys.stdout.buffer.write(answer)
    sys.stdout.buffer.flush()
    return 0 if answer else 3


if __name__ == "__main__":
    sys.exit(main())
