#!/usr/bin/env python3
"""Faults on the device side: a device that holds its line, or goes away and comes back."""
import time

from fault_rig import PROMPT, Rig
from harness import run_cases
from load_peers import EchoDevice
from proc_stats import cpu_share


def test_device_that_holds_its_line_costs_one_chunk():
    """A 1023-byte chunk of data for a device that takes nothing: one error line for the
    chunk, the others served meanwhile, the line usable again once the device lets go, and
    shut-down while a write waits."""
    with Rig() as rig:
        owner = rig.client()
        other = rig.client()
        rig.open_port(owner)
        rig.device.hold()
        mark = rig.log_mark()
        owner.send(bytes([0x41 + i % 26 for i in range(1023)]))
        rig.program.wait_for_log("ABCDEFGHIJKLMNOPQRSTUVWXYZ", PROMPT, after=mark)  # it came
        took = rig.served_within(other, reply=b"\x01")
        assert took < PROMPT, f"TEST took {took:.1f} s"
        rig.program.wait_for_log("pominieto", PROMPT, after=mark)
        errors = [t for t in rig.log_texts_after(mark) if b"Error" in t]
        assert errors == [b"Error - port COM nie przyjmuje danych, pominieto 1023 bajtow"], errors
        # The device takes data again: the next bytes go out, none of the dropped ones.
        rig.device.release()
        owner.send(b"ok#")
        rig.device.wait_for_mark(b"#", PROMPT)
        assert bytes(rig.device.received) == b"ok#", bytes(rig.device.received[:40])
        # Held again, with a write waiting when the program is told to end.
        rig.device.hold()
        mark = rig.log_mark()
        owner.send(b"x" * 1023)
        rig.program.wait_for_log("xxxxxxxxxx", PROMPT, after=mark)
        rig.stop()


def test_device_gone_and_back_between_opens():
    """On demand: with the device gone an open fails with its reply and its error line; once
    it is back under the same name the next open works. Gone while open, it costs nothing but
    its own data until CLOSE."""
    with Rig() as rig:
        client = rig.client()
        rig.open_port(client)
        client.send(b"a#")
        rig.device.wait_for_mark(b"#", PROMPT)
        rig.device.stream(b"hello")
        assert client.reply(5, PROMPT) == b"hello"
        mark = rig.log_mark()
        client.command(b"CLOSE")
        rig.program.wait_for_log("Serial Off - stop", PROMPT, after=mark)

        rig.device.unplug()
        mark = rig.log_mark()
        assert rig.served_within(client, line=b"COM3", reply=b"\x01") < PROMPT
        errors = [t for t in rig.log_texts_after(mark) if b"Error" in t]
        assert errors == [b"Error - blad otwarcia portu COM"], errors
        rig.served_within(client, reply=b"\x00")

        rig.device = EchoDevice(rig.link_dir, echo=False)
        assert rig.served_within(client, line=b"COM3", reply=b"\x00") < PROMPT
        client.send(b"b#")
        rig.device.wait_for_mark(b"#", PROMPT)
        rig.device.stream(b"back")
        assert client.reply(4, PROMPT) == b"back"
        # Gone while open: the port closes with one error line, TEST then answers 0x00, and
        # CLOSE and COM3 work as usual.
        mark = rig.log_mark()
        rig.device.unplug()
        rig.program.wait_for_log("Serial Off - stop", PROMPT, after=mark)
        client.send(b"lost")
        assert rig.served_within(client, reply=b"\x00") < PROMPT
        errors = [t for t in rig.log_texts_after(mark) if b"Error" in t]
        assert errors == [b"Error - port COM odlaczony"], errors
        share = cpu_share(rig.pid, 1.0)
        assert share < 0.2, f"{share:.0%} of a core with the device gone"
        client.command(b"CLOSE")
        rig.device = EchoDevice(rig.link_dir, echo=False)
        assert rig.served_within(client, line=b"COM3", reply=b"\x00") < PROMPT
        rig.stop()


def test_always_open_device_gone_and_back_comes_back_by_itself():
    """Always open: the device goes away and comes back under the same name; the port closes
    with one error line, costs nothing meanwhile, and reopens by itself within two seconds of
    the device's return, for the client that holds the claim, with no command."""
    with Rig(port_name=b"COM3", baud=9600, always_open=1, parity=b"N", stop_bits=1,
             data_bits=8) as rig:
        client = rig.client()
        client.command(b"COM3")
        assert client.reply(1, PROMPT) == b"\x00"
        rig.device.stream(b"one")
        assert client.reply(3, PROMPT) == b"one"

        mark = rig.log_mark()
        rig.device.unplug()
        rig.program.wait_for_log("Serial Off - stop", PROMPT, after=mark)
        share = cpu_share(rig.pid, 2.0)
        print(f"measure: {share:.1%} of a core with the device gone")
        assert share < 0.05, f"{share:.0%} of a core with the device gone"
        texts = rig.log_texts_after(mark)
        assert [t for t in texts if b"Error" in t] == [b"Error - port COM odlaczony"], texts
        assert not any(b"baud=" in t for t in texts), texts  # the failed reopens are quiet

        back = time.monotonic()
        mark = rig.log_mark()
        rig.device = EchoDevice(rig.link_dir, echo=False)
        rig.program.wait_for_log("Serial Polling - start", PROMPT, after=mark)
        assert time.monotonic() - back < 2.5, "the port took too long to come back"
        rig.device.stream(b"two")
        assert client.reply(3, PROMPT) == b"two"
        assert rig.served_within(client, reply=b"\x01") < PROMPT  # the claim was kept
        rig.stop()


if __name__ == "__main__":
    raise SystemExit(run_cases([test_device_that_holds_its_line_costs_one_chunk,
                                test_device_gone_and_back_between_opens,
                                test_always_open_device_gone_and_back_comes_back_by_itself]))
