#!/usr/bin/env python3
"""The bridge's command lines: reply order, five clients' own framing, long chunks and SETDCB."""
import struct
import threading
import time

from bridge_rig import SHUT_DOWN, WINDOWS, Bridge, starts_with
from harness import run_cases
from proc_stats import cpu_seconds


def test_one_line_replies_in_fixed_order():
    """Keywords run in their fixed order whatever their order in the line; queries and KILL."""
    with Bridge() as bridge:
        first, second = bridge.connect(), bridge.connect()
        first.command("MSR=? DCB=?")
        assert first.receive(29) == bytes(29), "queries with no port open give zeros"
        first.command("KILL DCB=? MSR=? TEST BAUD=19200 DATA=8 PARITY=N STOP=1 TIMEOUT1=10 "
                      "TIMEOUT2=50 COM3")
        reply = first.receive(31)
        # COM, TEST, MSR (a pty has no modem lines, so the call fails: 0x00), the block.
        assert reply[:3] == b"\x00\x01\x00", reply
        assert struct.unpack_from("<II", reply, 3) == (28, 19200), reply
        bridge.program.wait_for_log("baud=19200 data=8 parity=N stop=1")
        mark = len(bridge.program.log())
        second.command("COM3")
        assert second.receive(1) == b"\x01", "a second open of the open port"
        bridge.program.wait_for_log("Error - blad otwarcia portu COM", after=mark)
        bridge.device.send(b"still-first")
        assert first.receive(11) == b"still-first", "the first client lost the port"
        # An empty line and a line without keywords do nothing; KILL did nothing either.
        first.send(b"\x1b\r\x1bHELLO baud=1\r")
        second.command("CLOSE TEST")
        assert second.receive(1) == b"\x01", "TEST answers before CLOSE runs"
        first.command("TEST")
        assert first.receive(1) == b"\x00", "CLOSE from a non-owner closes the port"
        assert bridge.program.process.poll() is None, "KILL ended the program"
        late = bridge.connect()
        late.command("COM3")  # the parameters are shared and kept; "baud=1" was no keyword
        assert late.receive(1) == b"\x00"
        texts = bridge.stop()
    assert texts.count("baud=19200 data=8 parity=N stop=1") == 3, texts
    assert texts[-3:] == SHUT_DOWN, texts


def test_five_clients_each_with_its_own_framing():
    """A sixth client is turned away; ESC, partial lines and slots belong to each client."""
    with Bridge() as bridge:
        clients = [bridge.connect() for _ in range(5)]
        for client in clients:
            client.command("TEST")
            assert client.receive(1) == b"\x00"
        sixth = bridge.connect()
        assert sixth.closed_by_peer(5), "a sixth client is not closed at once"
        if not WINDOWS:
            before = cpu_seconds(bridge.program.process.pid)
            time.sleep(1)  # a measuring window, not a wait for some condition
            used = cpu_seconds(bridge.program.process.pid) - before
            assert used < 0.3, f"{used:.2f} s of CPU in one idle second"
        owner, other, leaving, _, last = clients
        bridge.open_port(owner)
        for client in clients:
            client.command("TEST")
            assert client.receive(1) == b"\x01", "a connected client was displaced"
        # A lone ESC waits for its own client's next byte.
        mark = len(bridge.program.log())
        owner.send(b"\x1b")
        bridge.program.wait_for_log("[ESC]", after=mark)
        other.send(b"Q#")
        assert bridge.device.read_until(b"#") == b"Q#"
        owner.send(b"TEST\r")
        assert owner.receive(1) == b"\x01"
        # An unfinished line swallows no other client's bytes, and its reply stays with it.
        mark = len(bridge.program.log())
        owner.send(b"\x1bTES")
        bridge.program.wait_for_log("Komenda:\x1bTES", after=mark)
        other.send(b"T\r#")
        assert bridge.device.read_until(b"#") == b"T\r#"
        owner.send(b"T\r")
        assert owner.receive(1) == b"\x01"
        other.command("TEST")
        assert other.receive(1) == b"\x01", "a reply went to the wrong client"
        # A client that leaves mid-line leaves nothing behind for the next one in its slot.
        mark = len(bridge.program.log())
        leaving.send(b"\x1bTES")
        bridge.program.wait_for_log("Komenda:\x1bTES", after=mark)
        leaving.close()
        last.command("TEST")  # served after the leaver's slot in the same pass
        assert last.receive(1) == b"\x01"
        newcomer = bridge.connect()
        newcomer.send(b"T\r#")
        assert bridge.device.read_until(b"#") == b"T\r#", "the newcomer inherited a line"
        newcomer.command("TEST")
        assert newcomer.receive(1) == b"\x01"
        bridge.device.send(b"owner")
        assert owner.receive(5) == b"owner"
        # Shut-down while a client floods: the server ends after its chunk, nothing after it.
        owner.command("CLOSE")
        bridge.program.wait_for_log("Serial Off - stop")
        flooding = threading.Thread(target=flood, args=(other,))
        flooding.start()
        texts = bridge.stop()
        flooding.join(10)
        assert not flooding.is_alive(), "the connection outlived the server"
    # The chunk in hand when the stop began may still be logged; nothing after it.
    assert texts[-2:] == SHUT_DOWN[1:], texts[-2:]
    late = texts[-3].removeprefix(SHUT_DOWN[0])
    assert texts[-3].startswith(SHUT_DOWN[0]) and len(late) <= 1023, (texts[-3][:40], len(late))


def flood(client):
    """Sends data until the bridge ends the connection."""
    try:
        while True:
            client.send(b"a" * 512)
    except OSError:
        return


def test_long_chunks_lines_and_split_setdcb():
    """The Komenda line is cut to its buffer; too long lines are dropped; SETDCB waits."""
    with Bridge() as bridge:
        client = bridge.connect()
        bridge.open_port(client)
        chunk = b"\x1bTEST\r" + b"a" * 1016 + b"#"
        client.send(chunk)
        assert client.receive(1) == b"\x01"
        assert bridge.device.read_until(b"#") == chunk[6:]
        assert bridge.program.log_texts()[-1] == "Komenda:" + chunk[:1015].decode(), \
            bridge.program.log_texts()[-1][:40]
        # 2047 bytes with the CR still run; one byte more and nothing in the line runs.
        for length, reply in ((2047, b"\x01"), (2048, b"")):
            client.send(b"\x1bTEST" + b"x" * (length - 5) + b"\rok#")
            assert bridge.device.read_until(b"#") == b"ok#"
            client.command("TEST")
            assert client.receive(len(reply) + 1) == reply + b"\x01", length
        assert starts_with(bridge.program.log_texts(), "Error - komenda za dluga") == 1
        # The SETDCB block may come in pieces; the rest of its last chunk is dropped.
        client.command("DCB=?")
        block = bytearray(client.receive(28))
        assert struct.unpack_from("<II", block) == (28, 9600), block
        struct.pack_into("<I", block, 4, 19200)
        block[18:21] = b"\x08\x00\x00"  # 8N1: Wine does not read byte size and parity back
        mark = len(bridge.program.log())
        client.send(b"\x1bSETDCB\r" + block[:10])
        bridge.program.wait_for_log("Komenda:\x1bSETDCB\r", after=mark)
        mark = len(bridge.program.log())
        client.send(bytes(block[10:]) + b"junk")
        bridge.program.wait_for_log("junk", after=mark)
        client.command("DCB=?")
        assert struct.unpack_from("<II", client.receive(28)) == (28, 19200)
        client.send(b"#")
        assert bridge.device.read_until(b"#") == b"#", "SETDCB bytes reached the port"
        bridge.stop()


if __name__ == "__main__":
    raise SystemExit(run_cases([test_one_line_replies_in_fixed_order,
                                test_five_clients_each_with_its_own_framing,
                                test_long_chunks_lines_and_split_setdcb]))
