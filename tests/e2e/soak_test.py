#!/usr/bin/env python3
"""Five clients on one bridge for SOAK_SECONDS (default 30); SOAK_SEED repeats a run."""
import os
import random
import sys
import threading
import time
import traceback

from endpoints import FakeDevice
from harness import Program, free_tcp_port, parse_args, settings_image, stop_program
from load_peers import EchoDevice
from proc_stats import (descriptors, resident_kib, sanitizer_of, settled_descriptor_count,
                        wait_for_descriptors)
from soak_members import Member, check_replies, first_difference, idle_share
from traffic import HIGH_BYTES, MAX_CLIENTS, OPEN_WORDS, LogCheck, data_counts, data_of, read_from

COMMAND, WINDOWS = parse_args()
SECONDS = float(os.environ.get("SOAK_SECONDS", "30"))
SEED = int(os.environ.get("SOAK_SEED", str(time.time_ns() % 1_000_000_007)))
SANITIZER = sanitizer_of(COMMAND[-1])
LOW_BYTES = bytes(range(0x80))
# How long anything the bridge was given may take to come out at the other end.
PROMPT = 60 if SANITIZER or WINDOWS else 20

START = b"------------- Start programu --------------------"
END = b"------------- Koniec programu --------------------"
EVENTS = [START, END, rb"My IP adres:[0-9.]+", rb"Serwer TCP On - Start on port \d+",
          b"Serwer TCP On - Stop", b"Serwer TCP Off - Start", b"Serwer TCP Off - Stop",
          b"baud=9600 data=8 parity=N stop=1", b"Serial Polling - start",
          b"Serial Polling - stop", b"Serial Off - start", b"Serial Off - stop"]
SHUT_DOWN = [b"Serwer TCP Off - Start", b"Serwer TCP Off - Stop", END]


class Soak:
    """Each client in turn opens COM3 on an echo device and owns it for a few seconds while all
    five send a random mix of numbered data and command lines, some cut across sends. Every data
    byte must reach the device in its client's order, every device byte the owner, every reply
    its sender and every chunk's traffic text the log file; afterwards the program's
    descriptors, memory and CPU must be back at rest."""

    def __init__(self):
        self.rng = random.Random(SEED)
        self.port = free_tcp_port()
        self.program = Program(COMMAND, WINDOWS, settings_image(tcp_port=self.port))
        self.device = EchoDevice(FakeDevice.link_dir(self.program, WINDOWS),
                                 classify=data_counts)
        self.members = []
        try:
            self.program.start(drain_stdout=True)
            self.program.wait_for_log("Serwer TCP On - Stop")
        except BaseException:
            self.close()
            raise
        self.pid = self.program.process.pid
        self.log = LogCheck(EVENTS)
        self.phases = 0
        self.to_device = 0
        self.to_owners = 0
        self.lines = 0
        self.lost = 0
        self.failures = []

    # --- one phase ---

    def traffic(self, member, owner, until):
        """The client's share of a phase: pieces one after another, each waited for."""
        try:
            k = member.index
            while time.monotonic() < until:
                for piece in member.script.next_pieces(owner):
                    member.send([piece])
                    if piece.half:
                        time.sleep(member.script.rng.choice((0, 0.001, 0.005)))  # may be a chunk
                sent = member.script.data_sent
                self.device.wait(lambda: self.device.counts[k] >= sent, PROMPT,
                                 f"client {k}'s data at the device")
                member.wait_replies(owner, PROMPT)
        except Exception as error:  # noqa: BLE001 - reported with the phase
            self.failures.append(f"client {member.index}: {error}")

    def phase(self, owner, seconds):
        opener = self.members[owner]
        got = opener.lines((OPEN_WORDS, [0]))
        assert got == b"\x00", f"client {owner} could not open COM3: {got!r}"
        assert self.device.take_received() == b"", "the device got bytes before the phase"
        for member in self.members:
            member.replies = []
            member.phase_start = len(member.script.pieces)
        until = time.monotonic() + seconds
        threads = [threading.Thread(target=self.traffic, args=(m, m.index == owner, until))
                   for m in self.members]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(seconds + 3 * PROMPT)
            if thread.is_alive():
                self.failures.append("a client thread did not finish its phase")
        if self.failures:
            raise AssertionError("; ".join(self.failures))

        # Everything the device got goes back to the owner.
        at_device = self.device.take_received()
        client = opener.client
        with client.changed:
            client.changed.wait_for(
                lambda: len(client.received.translate(None, LOW_BYTES)) >= len(at_device),
                PROMPT)
        received = {m.index: m.client.take_received() for m in self.members}
        self.check_phase(owner, at_device, received)
        self.to_device += len(at_device)
        self.to_owners += len(received[owner].translate(None, LOW_BYTES))

        got = opener.lines(([b"CLOSE"], []), ([b"TEST"], [0]))
        assert got == b"\x00", f"the port is still open after client {owner}'s CLOSE: {got!r}"
        self.phases += 1
        self.check_log()

    def check_phase(self, owner, at_device, received):
        counts = data_counts(at_device)
        foreign = len(at_device) - sum(counts)
        assert foreign == 0, f"{foreign} bytes at the device that no client sent as data"
        for member in self.members:
            pieces = member.script.pieces[member.phase_start:]
            sent = b"".join(data_of(bytes(p.raw), member.index) for p in pieces)
            got = data_of(at_device, member.index)
            if got != sent:
                self.lost += max(0, len(sent) - len(got))
                raise AssertionError(f"client {member.index}: the device got {len(got)} of its "
                                     f"{len(sent)} data bytes, first difference at "
                                     f"{first_difference(got, sent)}")
            if member.index == owner:
                echo = received[owner].translate(None, LOW_BYTES)
                if echo != at_device:
                    self.lost += max(0, len(at_device) - len(echo))
                    raise AssertionError(f"the owner got {len(echo)} of the device's "
                                         f"{len(at_device)} bytes, first difference at "
                                         f"{first_difference(echo, at_device)}")
                replies = received[owner].translate(None, HIGH_BYTES)
                expected = bytes(member.replies)
                assert replies == expected, \
                    f"owner {owner}: replies {replies[:40]!r}, expected {expected[:40]!r}"
            else:
                check_replies(member.index, received[member.index], member.replies)

    def check_log(self):
        """The log since the last look, against the pieces sent since; they are let go."""
        segment = read_from(self.program.path("events.log"), self.log.size)
        self.log.feed(segment, [m.script.pieces for m in self.members])
        for member in self.members:
            self.lines += sum(p.lines for p in member.script.pieces)
            member.script.pieces = []

    # --- the whole run ---

    def run(self):
        pid = self.pid
        # Under Wine the program's sockets live in wineserver, not among its descriptors.
        fds_before = None if WINDOWS else settled_descriptor_count(pid)
        open_before = None if WINDOWS else descriptors(pid)
        self.members = [Member(k, self.port, random.Random(self.rng.random()), PROMPT)
                        for k in range(MAX_CLIENTS)]
        started = time.monotonic()
        rss_before = rss_after = idle = fds_after = open_after = None
        settled = 0.0
        try:
            # The first phase warms the program up: threads, buffers and the allocator's pools.
            self.phase(0, min(2.0, SECONDS / 5))
            rss_before = resident_kib(pid)
            while time.monotonic() - started < SECONDS:
                self.phase(self.phases % MAX_CLIENTS, self.rng.uniform(1.0, 4.0))
            duration = time.monotonic() - started
            rss_after = resident_kib(pid)
            idle, settled = idle_share(pid, WINDOWS)
            for member in self.members:
                member.client.close()
            if not WINDOWS:
                fds_after = wait_for_descriptors(pid, fds_before, 10)
                open_after = descriptors(pid)  # named while the program still runs
            status = stop_program(self.program, WINDOWS)
            self.log.feed(read_from(self.program.path("events.log"), self.log.size),
                          [[] for _ in self.members])
        finally:
            if rss_after is None:
                duration = time.monotonic() - started
            print(f"soak: {MAX_CLIENTS} clients, {duration:.1f} s, {self.phases} phases, "
                  f"{self.to_device} bytes to the device, {self.to_owners} bytes back to owners, "
                  f"{self.lines} command lines, {self.log.chunks} chunks logged, lost {self.lost}, "
                  + ("" if WINDOWS else f"descriptors {fds_before} -> {fds_after}, ")
                  + f"resident {rss_before} -> {rss_after} KiB, idle CPU "
                  + ("-" if idle is None else f"{idle:.2%}")
                  + (f" (after {settled:.0f} s)" if settled else "") + f", seed {SEED}")
            sys.stdout.flush()

        assert status == 2, f"exit status {status}"
        assert self.log.texts[-3:] == SHUT_DOWN, self.log.texts[-3:]
        assert self.log.texts.count(b"Serial Off - stop") == self.phases, \
            (self.log.texts.count(b"Serial Off - stop"), self.phases)
        assert idle < 0.02, f"{idle:.2%} of a core with nothing to do"
        if WINDOWS:
            print("descriptors not compared under Wine: the program's sockets live in wineserver")
        else:
            assert fds_after == fds_before, \
                f"descriptors {fds_before} -> {fds_after}: {open_before} -> {open_after}"
        if SANITIZER == "address":
            print("resident memory not compared: AddressSanitizer keeps freed memory in "
                  "quarantine (LeakSanitizer looks for leaks at exit)")
        elif SANITIZER == "thread":
            print("resident memory not compared: ThreadSanitizer keeps the history of every "
                  "thread ever started, and each open starts a reader")
        else:
            allowed = max(2048, rss_before // 10)
            assert rss_after - rss_before <= allowed, \
                f"resident memory grew from {rss_before} to {rss_after} KiB"

    def close(self):
        for member in self.members:
            try:
                member.client.close()
            except OSError:
                pass
        self.device.close()
        self.program.close()


def main():
    soak = Soak()
    try:
        soak.run()
    except Exception:  # noqa: BLE001 - the run's one outcome
        traceback.print_exc()
        print("FAIL soak")
        return 1
    finally:
        soak.close()
    print("PASS soak")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
