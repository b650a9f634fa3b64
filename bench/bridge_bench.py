#!/usr/bin/env python3
"""Benchmark of the whole bridge: a TCP client, the program, a pty echo device as COM3."""
import argparse
import os
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))

from harness import (Client, FakeDevice, Program, free_tcp_port,  # noqa: E402
                     settings_image, stop_program)


class EchoDevice(FakeDevice):
    """The device side on its own thread: echoes what it gets, or only counts it."""

    def __init__(self, link_dir):
        super().__init__(link_dir)
        self.echo = True
        self.received = 0
        self.running = True
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while self.running:
            data = self.receive(0.1)
            if not data:
                continue
            self.received += len(data)
            if self.echo:
                os.write(self.master, data)

    def close(self):
        self.running = False
        self.thread.join(2)
        super().close()


def round_trips(client, count):
    """Seconds from sending one byte to getting its echo back, count times."""
    times = []
    for _ in range(count):
        start = time.perf_counter()
        client.send(b"r")
        assert client.receive(1) == b"r"
        times.append(time.perf_counter() - start)
    return times


def client_to_device(client, device, count, seconds=120):
    """Bytes per second from the client's socket to the device, one write per byte."""
    device.echo = False
    device.received = 0
    start = time.perf_counter()
    client.send(b"w" * count)
    deadline = time.monotonic() + seconds
    while device.received < count:
        assert time.monotonic() < deadline, f"only {device.received} of {count} bytes arrived"
        time.sleep(0.001)  # polling the device thread's count, bounded by the deadline
    return count / (time.perf_counter() - start)


def device_to_client(client, device, count):
    """Bytes per second from the device to the client's socket."""
    block = bytes(range(256)) * 4
    start = time.perf_counter()
    writer = threading.Thread(target=lambda: [device.send(block) for _ in range(count // 1024)])
    writer.start()
    client.receive(count // 1024 * 1024, seconds=120)
    rate = count / (time.perf_counter() - start)
    writer.join(10)
    return rate


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--windows", action="store_true", help="the program runs under Wine")
    parser.add_argument("--timeouts", default="1,1,0",
                        help="TIMEOUT1,TIMEOUT2,TIMEOUT3 of the COM line (ms)")
    parser.add_argument("--round-trips", type=int, default=500)
    parser.add_argument("--up-bytes", type=int, default=50000)
    parser.add_argument("--down-bytes", type=int, default=4 << 20)
    parser.add_argument("program", nargs="+", help="program command (launcher and .exe)")
    args = parser.parse_args()
    t1, t2, t3 = (int(v) for v in args.timeouts.split(","))

    port = free_tcp_port()
    with Program(args.program, args.windows, settings_image(tcp_port=port)) as program:
        device = EchoDevice(FakeDevice.link_dir(program, args.windows))
        try:
            program.start()
            client = Client(port)
            client.command(f"BAUD=115200 DATA=8 PARITY=N STOP=1 TIMEOUT1={t1} TIMEOUT2={t2} "
                           f"TIMEOUT3={t3} COM3")
            assert client.receive(1) == b"\x00", "COM3 did not open"
            round_trips(client, 20)  # warm-up
            times = sorted(round_trips(client, args.round_trips))
            up = client_to_device(client, device, args.up_bytes)
            down = device_to_client(client, device, args.down_bytes)
            client.close()
            stop_program(program, args.windows)
        finally:
            device.close()

    p99 = times[min(len(times) - 1, int(len(times) * 0.99))]
    print(f"bridge benchmark ({'Windows build under Wine' if args.windows else 'Linux build'}, "
          f"TIMEOUT1={t1} TIMEOUT2={t2} TIMEOUT3={t3})")
    print(f"{'measure':<34}{'value':>14}")
    print(f"{'1-byte round trip, median':<34}{statistics.median(times) * 1e3:>11.3f} ms")
    print(f"{'1-byte round trip, p99':<34}{p99 * 1e3:>11.3f} ms")
    print(f"{'client -> device':<34}{up / 1e3:>10.1f} kB/s")
    print(f"{'device -> client':<34}{down / 1e6:>10.2f} MB/s")


if __name__ == "__main__":
    main()
