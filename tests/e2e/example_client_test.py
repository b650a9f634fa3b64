#!/usr/bin/env python3
"""The client guide's example client against the built program and a pty device, as written."""
import os
import subprocess
import sys
import time

from bridge_rig import Bridge
from harness import run_cases

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                       "example_client.py")


def start_example(bridge, *args):
    return subprocess.Popen([sys.executable, EXAMPLE, "--port", str(bridge.port), *args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def finish(example, seconds=20):
    try:
        out, err = example.communicate(timeout=seconds)
    except subprocess.TimeoutExpired:
        example.kill()
        example.communicate()
        raise AssertionError(f"the example did not end within {seconds} s") from None
    return example.returncode, out, err.decode(errors="replace")


def test_a_question_and_its_answer_with_either_time_outs():
    """Opens, sends (its ESC doubled on the wire), prints the answer, gives the port back."""
    for timeouts in ("10,50,0", "-1,50,-1"):
        with Bridge() as bridge:
            example = start_example(bridge, "--com", "3", f"--timeouts={timeouts}",
                                    "S\\x1b?\\r")
            question = bridge.device.read_until(b"\r")
            assert question == b"S\x1b?\r", (timeouts, question)
            # A pause longer than either interval: the answer comes in two blocks, which
            # the client must gather.
            bridge.device.send(b"12.5")
            time.sleep(0.1)
            bridge.device.send(b"0 kg\r")
            status, out, err = finish(example)
            assert (status, out) == (0, b"12.50 kg\r"), (timeouts, status, out, err)
            bridge.program.wait_for_log("Serial Off - stop")
            other = bridge.connect()
            other.command("TEST")
            assert other.receive(1) == b"\x00", "the example left the port open"
            texts = bridge.stop()
        assert "baud=9600 data=8 parity=N stop=1" in texts, texts


def test_a_port_held_by_another_client_is_left_alone():
    """Status 1 on a held port: the example says so and does not close the other's port."""
    with Bridge() as bridge:
        owner = bridge.connect()
        bridge.open_port(owner)
        status, out, err = finish(start_example(bridge, "--com", "3", "ping\\r"))
        assert (status, out) == (1, b""), (status, out, err)
        assert "did not open" in err, err
        bridge.device.send(b"still")
        assert owner.receive(5) == b"still", "the owner lost the port"
        owner.command("TEST")
        assert owner.receive(1) == b"\x01", "the port was closed"
        bridge.stop()


def test_a_sixth_client_is_told_there_is_no_place():
    with Bridge() as bridge:
        clients = [bridge.connect() for _ in range(5)]
        for client in clients:  # each one taken into a slot, not just queued
            client.command("TEST")
            assert client.receive(1) == b"\x00"
        status, out, err = finish(start_example(bridge, "--com", "3", "ping\\r"))
        assert (status, out) == (2, b""), (status, out, err)
        bridge.stop()


if __name__ == "__main__":
    raise SystemExit(run_cases([test_a_question_and_its_answer_with_either_time_outs,
                                test_a_port_held_by_another_client_is_left_alone,
                                test_a_sixth_client_is_told_there_is_no_place]))
