#!/usr/bin/env python3
"""A port open on a silent line costs next to no CPU, whatever read time-outs a client sets."""
import os
import struct
import time

from endpoints import Client, FakeDevice
from harness import (Program, free_tcp_port, parse_args, run_cases, settings_image,
                     stop_program)
from proc_stats import wineserver_pids

COMMAND, WINDOWS = parse_args()

# A fault check, not a performance figure: a reader that spins takes a whole core (100%).
BOUND_PERCENT = 5.0
SECONDS = 3.0
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


class Bridge:
    """The program on a free TCP port with a pty as COM3, and one client."""

    def __init__(self):
        self.program = Program(COMMAND, WINDOWS, settings_image(tcp_port=free_tcp_port()))
        self.device = FakeDevice(FakeDevice.link_dir(self.program, WINDOWS))
        self.client = None
        self.program.start()
        self.program.wait_for_log("Serwer TCP On - Stop")
        self.client = Client(struct.unpack_from("<i", self.program.settings, 228)[0])

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.client:
            self.client.close()
        self.device.close()
        self.program.close()


def cpu_seconds(pid):
    """User and system time of one process, or 0 once it has gone."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            fields = f.read().rsplit(b")", 1)[1].split()
    except (FileNotFoundError, ProcessLookupError):
        return 0.0
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def measured_processes(bridge):
    """The program (Wine runs it in the process it was started as) and its Wine server."""
    pids = [bridge.program.process.pid]
    if not WINDOWS:
        return pids
    servers = wineserver_pids(os.environ["QS_WINEPREFIX"])
    assert servers, "no Wine server found for the prefix"
    return pids + servers


def cpu_percent(bridge):
    """Share of one core that the program (and under Wine its server) takes over SECONDS."""
    pids = measured_processes(bridge)
    before = sum(cpu_seconds(pid) for pid in pids)
    start = time.monotonic()
    time.sleep(SECONDS)  # the quantity measured is CPU time over a stretch of wall time
    used = sum(cpu_seconds(pid) for pid in pids) - before
    return 100.0 * used / (time.monotonic() - start)


def silent_port_costs_little(timeouts):
    interval, constant, multiplier = timeouts

    def case():
        with Bridge() as bridge:
            client = bridge.client
            client.command(f"BAUD=9600 DATA=8 PARITY=N STOP=1 TIMEOUT1={interval} "
                           f"TIMEOUT2={constant} TIMEOUT3={multiplier} COM3")
            assert client.receive(1) == b"\x00", "COM3 did not open"
            percent = cpu_percent(bridge)
            print(f"measure: TIMEOUT1={interval} TIMEOUT2={constant} TIMEOUT3={multiplier}: "
                  f"{percent:.1f}% of a core on a silent port")
            # The device's bytes still reach the client; but Wine's read with an interval and
            # a multiplier of MAXDWORD waits for a full buffer rather than the first byte.
            if not (WINDOWS and interval == -1 and multiplier == -1):
                bridge.device.send(b"ping")
                assert client.receive(4) == b"ping"
            assert percent < BOUND_PERCENT, f"{percent:.1f}% of a core"
            assert stop_program(bridge.program, WINDOWS) == 2

    case.__name__ = f"test_silent_port_with_timeouts_{interval}_{constant}_{multiplier}"
    return case


def test_no_port_open():
    """What the program costs with no port open: the figure the ones above compare with."""
    with Bridge() as bridge:
        percent = cpu_percent(bridge)
        print(f"measure: no port open: {percent:.1f}% of a core")
        assert percent < BOUND_PERCENT, f"{percent:.1f}% of a core"
        assert stop_program(bridge.program, WINDOWS) == 2


if __name__ == "__main__":
    raise SystemExit(run_cases([test_no_port_open] + [silent_port_costs_little(t) for t in
                                [(-1, 0, 0), (-1, 0, -1), (1, 1, 0), (10, 50, 0)]]))
