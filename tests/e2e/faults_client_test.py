#!/usr/bin/env python3
"""Faults on the client side: a client that stops reading or resets, a thousand, a shut-down."""
import struct
import threading
import time

from fault_rig import PROMPT, SHORT_SEND, WINDOWS, Rig, wine_skip
from harness import run_cases
from load_peers import connect, reset
from proc_stats import descriptor_count, wait_for_descriptors


def wait_for_stall(rig, stuck, seconds=30):
    """Waits until a send to a client could not go out whole: the log says so, or the
    program has stopped taking what it is given (stuck() has held for a second)."""
    deadline = time.monotonic() + seconds
    since = None
    while time.monotonic() < deadline:
        if SHORT_SEND in rig.program.log():
            return
        if not stuck():
            since = None
        elif since is None:
            since = time.monotonic()
        elif time.monotonic() - since > 1:
            return
        time.sleep(0.05)
    raise AssertionError(f"no sign of a full connection after {seconds} s")


def test_owner_that_stops_reading_costs_nobody_else():
    """The device sends MB after MB to an owner that reads nothing: the others are served,
    CLOSE closes, the program ends when told."""
    with Rig() as rig:
        owner = rig.client(receive_buffer=4096)
        other = rig.client()
        rig.open_port(owner)
        owner.stop_reading()
        rig.device.stream(bytes(range(256)) * 4096 * 8)  # 8 MiB
        sent = [0]

        def device_stuck():
            now = rig.device.sent
            stuck = now == sent[0] and rig.device.unsent() > 0
            sent[0] = now
            return stuck

        wait_for_stall(rig, device_stuck)
        for _ in range(3):
            took = rig.served_within(other, reply=b"\x01")
            assert took < PROMPT, f"TEST took {took:.1f} s"
        rig.program.wait_for_log(SHORT_SEND.decode())
        for _ in range(3):
            took = rig.served_within(other, reply=b"\x01")
            assert took < PROMPT, f"TEST took {took:.1f} s with the owner's connection full"
        assert rig.device.sent > 1 << 20, f"only {rig.device.sent} bytes left the device"
        mark = rig.log_mark()
        other.command(b"CLOSE")
        rig.program.wait_for_log("Serial Off - stop", PROMPT, after=mark)
        rig.served_within(other, reply=b"\x00")
        rig.device.drop_unsent()
        rig.stop()


def test_client_that_asks_and_never_reads_costs_nobody_else():
    """One client sends DCB=? again and again and reads none of the blocks: the others are
    served all the while, and the program ends when told."""
    if wine_skip("the program answers some 3000 questions a second there; filling the 4 MiB "
                 "socket buffer that the kernel grows for it would take a minute"):
        return
    with Rig() as rig:
        owner = rig.client()
        rig.open_port(owner)
        greedy = rig.client(receive_buffer=4096, read=False, send_seconds=1)
        other = rig.client()
        asking = threading.Event()
        asking.set()
        refused = threading.Event()  # a send of the greedy client found no room

        def ask():
            # The NUL (a data byte) cuts each "Komenda:" line short: the log stays small.
            burst = b"\x00\x1bDCB=?\r" * 1000
            while asking.is_set():
                try:
                    greedy.send(burst)
                    refused.clear()
                except TimeoutError:
                    refused.set()
                    continue  # the bridge is not reading it either: try again
                except OSError:
                    return

        asker = threading.Thread(target=ask, daemon=True)
        asker.start()
        try:
            wait_for_stall(rig, refused.is_set)
            for line, reply in ((b"TEST", b"\x01"), (b"MSR=?", b"\x00"), (b"TEST", b"\x01")):
                took = rig.served_within(other, line=line, reply=reply)
                assert took < PROMPT, f"{line!r} took {took:.1f} s"
            rig.program.wait_for_log(SHORT_SEND.decode())
            for _ in range(3):
                took = rig.served_within(other, reply=b"\x01")
                assert took < PROMPT, f"TEST took {took:.1f} s with the asker's connection full"
            owner.command(b"DCB=?")
            block = owner.reply(28, PROMPT)
            assert struct.unpack_from("<II", block) == (28, 9600), block
            rig.stop()
        finally:
            asking.clear()
            asker.join(5)

def join_free_slot(rig):
    """A new client in the slot just freed: a client turned away is closed at once, so one
    that is still connected after a moment has a slot."""
    for _ in range(20):
        client = rig.client()
        if not client.wait_ended(0.5):
            return client
    raise AssertionError("no slot came free")


def test_client_reset_mid_line_and_mid_block_leaves_nothing_behind():
    """A client that resets in the middle of a command line, or of a SETDCB block: nothing of
    it runs, the others go on, and the next client in its slot starts clean."""
    with Rig() as rig:
        owner = rig.client()
        rig.open_port(owner)
        steady = rig.client()
        rig.client()
        rig.client()
        leaving = rig.client()  # the fifth: the next newcomer can only take its slot
        mark = rig.log_mark()
        steady.send(b"\x1bTE")
        leaving.send(b"\x1bBAUD=19200 CLOSE")
        rig.program.wait_for_log("Komenda:\x1bBAUD=19200 CLOSE", PROMPT, after=mark)
        leaving.reset()
        newcomer = join_free_slot(rig)
        newcomer.send(b"T\r#")
        rig.device.wait_for_mark(b"#", PROMPT)
        assert bytes(rig.device.received) == b"T\r#", bytes(rig.device.received)
        steady.send(b"ST\r")
        assert steady.reply(1, PROMPT) == b"\x01", "the port was closed"

        owner.command(b"DCB=?")
        block = bytearray(owner.reply(28, PROMPT))
        assert struct.unpack_from("<II", block) == (28, 9600), block
        struct.pack_into("<I", block, 4, 19200)
        newcomer.close()
        mark = rig.log_mark()
        resetting = join_free_slot(rig)
        resetting.send(b"\x1bSETDCB\r" + bytes(block[:10]))
        rig.program.wait_for_log("Komenda:\x1bSETDCB\r", PROMPT, after=mark)
        resetting.reset()
        newcomer = join_free_slot(rig)
        payload = b"abcdefghijklmnopqrstuvwxyz0123#"
        rig.device.take_received()
        newcomer.send(payload)
        rig.device.wait_for_mark(b"#", PROMPT)
        assert bytes(rig.device.received) == payload, bytes(rig.device.received)
        owner.command(b"DCB=?")
        assert struct.unpack_from("<II", owner.reply(28, PROMPT)) == (28, 9600)

        # The reset line's BAUD= never ran: the next open still uses 9600.
        mark = rig.log_mark()
        owner.command(b"CLOSE")
        rig.program.wait_for_log("Serial Off - stop", PROMPT, after=mark)
        rig.served_within(owner, line=b"COM3", reply=b"\x00")
        texts = rig.log_texts_after(mark)
        assert b"baud=9600 data=8 parity=N stop=1" in texts, texts
        rig.stop()


def test_a_thousand_connections():
    """A thousand connections: eight clients coming and going one after another beside bursts
    of ten at once, more than there are slots, half of them reset. The bridge serves on
    meanwhile, and its descriptors come back."""
    with Rig() as rig:
        owner = rig.client()
        rig.open_port(owner)
        before = None if WINDOWS else descriptor_count(rig.pid)
        errors = []

        def come_and_go(count, first):
            try:
                for i in range(count):
                    sock = connect(rig.port)
                    if (first + i) % 2:
                        reset(sock)
                    else:
                        sock.close()
            except Exception as error:  # noqa: BLE001 - reported below
                errors.append(error)

        def bursts(count, first):
            for number in range(count):
                crowd = [threading.Thread(target=come_and_go, args=(1, first + number + j))
                         for j in range(10)]
                for thread in crowd:
                    thread.start()
                for thread in crowd:
                    thread.join(60)

        # 8 x 100 one after another and 2 x 10 bursts of 10.
        everyone = [threading.Thread(target=come_and_go, args=(100, k), daemon=True)
                    for k in range(8)]
        everyone += [threading.Thread(target=bursts, args=(10, k), daemon=True) for k in range(2)]
        for thread in everyone:
            thread.start()
        deadline = time.monotonic() + 120
        while any(t.is_alive() for t in everyone) and time.monotonic() < deadline:
            took = rig.served_within(owner, reply=b"\x01")
            assert took < PROMPT, f"TEST took {took:.1f} s amid the crowd"
            time.sleep(0.5)  # a look now and then while the crowd comes and goes
        assert not any(t.is_alive() for t in everyone), "connections still going after 2 min"
        assert not errors, errors[:3]
        took = rig.served_within(owner, reply=b"\x01")
        assert took < PROMPT, f"TEST took {took:.1f} s after the crowd"
        owner.send(b"still#")
        rig.device.wait_for_mark(b"#", PROMPT)
        if not wine_skip("the descriptor count (Winsock's sockets live in wineserver)"):
            after = wait_for_descriptors(rig.pid, before, 10)
            assert after == before, f"descriptors {before} -> {after}"
        rig.stop()


def test_shut_down_with_five_clients_mid_transfer():
    """Told to end while five clients send data and commands and the device streams to the
    owner: the program ends in time with status 2 and its log closed in order."""
    with Rig(echo=True) as rig:
        clients = [rig.client() for _ in range(5)]
        rig.open_port(clients[0])
        running = threading.Event()
        running.set()

        def load(client, k):
            data = bytes([0x80 + k]) * 200 + b"\x1bTEST\r" + bytes([0x90 + k]) * 100
            while running.is_set():
                try:
                    client.send(data)
                except OSError:
                    return

        threads = [threading.Thread(target=load, args=(c, k), daemon=True)
                   for k, c in enumerate(clients)]
        for thread in threads:
            thread.start()
        rig.device.stream(bytes(range(256)) * 4096)
        rig.device.wait(lambda: len(rig.device.received) > 20000, 10, "the clients' data")
        clients[0].wait_received(20000, 10, "bytes of the device's stream")
        try:
            rig.stop()
            for client in clients:
                assert client.wait_ended(PROMPT), "a connection outlived the program"
        finally:
            running.clear()
            for thread in threads:
                thread.join(5)


if __name__ == "__main__":
    raise SystemExit(run_cases([test_owner_that_stops_reading_costs_nobody_else,
                                test_client_that_asks_and_never_reads_costs_nobody_else,
                                test_client_reset_mid_line_and_mid_block_leaves_nothing_behind,
                                test_a_thousand_connections,
                                test_shut_down_with_five_clients_mid_transfer]))
