#!/usr/bin/env python3
"""The TCP bridge as a user runs it: clients on 127.0.0.1, a pty as COM3, the log file."""
import os
import re
import struct
import threading
import time

from harness import (Client, FakeDevice, Program, free_tcp_port, parse_args, run_cases,
                     settings_image, stop_program)

COMMAND, WINDOWS = parse_args()

START = "------------- Start programu --------------------"
END = "------------- Koniec programu --------------------"
OPEN_9600 = "BAUD=9600 DATA=8 PARITY=N STOP=1 TIMEOUT1=10 TIMEOUT2=50 TIMEOUT3=0 COM3"
SHUT_DOWN = ["Serwer TCP Off - Start", "Serwer TCP Off - Stop", END]


class Bridge:
    """The program on a free TCP port with a pty as COM3; clients connect through it."""

    def __init__(self, device_path=None, **fields):
        """device_path: the device's link, relative to the working directory, instead of COM3."""
        self.port = fields.pop("tcp_port", None) or free_tcp_port()
        self.program = Program(COMMAND, WINDOWS, settings_image(tcp_port=self.port, **fields))
        if device_path:
            folder, name = os.path.split(self.program.path(device_path))
            self.device = FakeDevice(folder, name)
        else:
            self.device = FakeDevice(FakeDevice.link_dir(self.program, WINDOWS))
        self.clients = []
        self.program.start()
        # The server may take clients before start-up has logged its last line; the tests
        # read the log byte for byte, so they begin once start-up is over.
        self.program.wait_for_log("Serwer TCP On - Stop")

    def connect(self):
        client = Client(self.port)
        self.clients.append(client)
        return client

    def open_port(self, client, line=OPEN_9600):
        client.command(line)
        assert client.receive(1) == b"\x00", "COM3 did not open"

    def stop(self):
        """Shuts the program down; returns the texts of its log file."""
        status = stop_program(self.program, WINDOWS)
        assert status == 2, f"exit status {status}"
        return self.program.log_texts()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for client in self.clients:
            client.close()
        self.device.close()
        self.program.close()


def starts_with(texts, text):
    return sum(1 for t in texts if t.startswith(text))


def test_typical_exchange_on_demand():
    """Open, data both ways, CLOSE, shut-down: replies, bytes and the log file byte for byte."""
    with Bridge() as bridge:
        client = bridge.connect()
        bridge.open_port(client)
        client.command("TEST")
        assert client.receive(1) == b"\x01"
        # Every data byte is written as it is; ESC ESC is one data byte 0x1B.
        client.send(b"hi\x00\x7f\x80\xff\n\x1b\x1b#")
        assert bridge.device.read_until(b"#") == b"hi\x00\x7f\x80\xff\n\x1b#"
        bridge.device.send(b"OK\r\n\x00\xff")
        assert client.receive(6) == b"OK\r\n\x00\xff"
        client.command("CLOSE")
        bridge.program.wait_for_log("Serial Off - stop")
        client.command("TEST")
        assert client.receive(1) == b"\x00"
        texts = bridge.stop()
        # A client still connected at shut-down sees its connection end.
        assert client.closed_by_peer(), "the connection outlived the server"
    for line in bridge.program.log().split(b"\r\n")[1:]:
        assert re.match(rb"\d\d:\d\d:\d\d \d\d/\d\d/\d\d ", line), line
    addresses = [t for t in texts if t.startswith("My IP adres:")]
    assert texts == [
        START, *addresses, f"Serwer TCP On - Start on port {bridge.port}",
        f"Serwer TCP On - Stop[ESC]{OPEN_9600}[CR]",
        f"Komenda:\x1b{OPEN_9600}\r",
        "baud=9600 data=8 parity=N stop=1",
        "Serial Polling - start[ESC]TEST[CR]",
        "Komenda:\x1bTEST\rhi[00]\x7f[80][FF][LF][ESC][ESC]#[ESC]CLOSE[CR]",
        "Komenda:\x1bCLOSE\r",
        "Serial Off - start", "Serial Polling - stop", "Serial Off - stop[ESC]TEST[CR]",
        "Komenda:\x1bTEST\r", *SHUT_DOWN], texts


def test_always_open_port_is_claimed_and_released():
    """Claims by COM, refusals while claimed, release by any client; the port never closes."""
    with Bridge(port_name=b"com3", baud=9600, always_open=1, parity=b"N", stop_bits=1,
                data_bits=8) as bridge:
        bridge.program.wait_for_log("Serial Polling - start")
        first, second = bridge.connect(), bridge.connect()
        first.command("TEST")
        assert first.receive(1) == b"\x00", "open but unclaimed reads as free"
        first.command("COM5")
        assert first.receive(1) == b"\x00", "the claim is on the settings' port, any number"
        first.command("COM5")
        assert first.receive(1) == b"\x01", "the holder itself is refused a second claim"
        second.command("TEST COM3")
        assert second.receive(2) == b"\x01\x01", "COM replies before TEST"
        bridge.device.send(b"to-first")
        assert first.receive(8) == b"to-first"
        second.send(b"from-second#")
        assert bridge.device.read_until(b"#") == b"from-second#"
        second.command("CLOSE")  # not the holder, releases all the same
        second.command("COM3")
        assert second.receive(1) == b"\x00"
        bridge.device.send(b"to-second")
        assert second.receive(9) == b"to-second"
        first.command("TEST")
        assert first.receive(1) == b"\x01", "the first client got serial data after release"
        texts = bridge.stop()
    assert texts.count("baud=9600 data=8 parity=N stop=1") == 1, texts
    assert starts_with(texts, "Serial Off") == 2, texts
    assert texts[-6:] == ["Serial Off - start", "Serial Polling - stop", "Serial Off - stop",
                          *SHUT_DOWN], texts


def test_a_device_path_is_opened_as_it_is_written():
    """Linux: a path in the settings names its device exactly, mixed case and all."""
    if WINDOWS:
        print("skipped under Wine: device paths are the Linux build's")
        return
    with Bridge(device_path="Dev/ttyMixed0", port_name=b"Dev/ttyMixed0", baud=9600,
                always_open=1, parity=b"N", stop_bits=1, data_bits=8) as bridge:
        bridge.program.wait_for_log("Serial Polling - start")
        client = bridge.connect()
        client.command("COM1")
        assert client.receive(1) == b"\x00"
        bridge.device.send(b"ping")
        assert client.receive(4) == b"ping"
        client.send(b"pong#")
        assert bridge.device.read_until(b"#") == b"pong#"
        texts = bridge.stop()
    assert "Error - blad otwarcia portu COM" not in texts, texts


def test_idle_port_is_closed_by_the_tick():
    """With two idle seconds the tick closes a port nobody writes to; COM opens it again."""
    with Bridge(auto_disconnect=2) as bridge:
        client = bridge.connect()
        bridge.open_port(client)
        client.send(b"x")
        bridge.device.read_until(b"x")
        last_write = time.monotonic()
        bridge.program.wait_for_log("Wykonano autorozlaczenie!", 15)
        idle = time.monotonic() - last_write
        assert idle > 1.9, f"closed {idle:.2f} s after the last write"
        client.command("TEST")
        assert client.receive(1) == b"\x00"
        client.command("COM3")  # the parameters of the first open are kept
        assert client.receive(1) == b"\x00"
        texts = bridge.stop()
    events = [t.split("[ESC]")[0] for t in texts]  # without the traffic text behind them
    closing = events.index("Serial Off - start")
    assert sorted(events[closing + 1:closing + 4]) == \
        ["Serial Off - stop", "Serial Polling - stop", "Wykonano autorozlaczenie!"], texts
    assert events.index("Serial Off - stop") < events.index("Wykonano autorozlaczenie!"), texts
    assert texts.count("baud=9600 data=8 parity=N stop=1") == 2, texts
    if not WINDOWS:
        assert b"Wykonano autorozlaczenie!" in bridge.program.stdout


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


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


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


def port_was_taken(port):
    """True when something other than the program still listens on the port."""
    try:
        Client(port, seconds=0).close()
        return True
    except AssertionError:
        return False


def test_tcp_port_out_of_range_is_refused():
    """A stored TCP port outside 0..65535 is an error line, not its low 16 bits."""
    for number in (70000, -5):
        low = number & 0xFFFF
        with Bridge(tcp_port=number) as bridge:
            bridge.program.wait_for_log(f"Error - niepoprawny port TCP {number}")
            try:
                Client(low, seconds=0).close()
                listening = True
            except AssertionError:
                listening = False
            texts = bridge.stop()
        assert not listening or port_was_taken(low), f"port {number} listens on {low}"
        assert f"Serwer TCP On - Start on port {number}" in texts, texts
        assert texts[-3:] == SHUT_DOWN, texts


if __name__ == "__main__":
    raise SystemExit(run_cases([test_typical_exchange_on_demand,
                                test_always_open_port_is_claimed_and_released,
                                test_a_device_path_is_opened_as_it_is_written,
                                test_idle_port_is_closed_by_the_tick,
                                test_one_line_replies_in_fixed_order,
                                test_five_clients_each_with_its_own_framing,
                                test_long_chunks_lines_and_split_setdcb,
                                test_tcp_port_out_of_range_is_refused]))
