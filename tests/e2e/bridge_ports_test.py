#!/usr/bin/env python3
"""The bridge's ports as a user runs them: open on demand or always, a device path, the TCP port."""
import re
import time

from bridge_rig import OPEN_9600, SHUT_DOWN, START, WINDOWS, Bridge, starts_with
from endpoints import Client
from harness import run_cases


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
                                test_tcp_port_out_of_range_is_refused]))
