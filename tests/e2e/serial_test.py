#!/usr/bin/env python3
"""The always-open port of the settings, on a pty standing in for the device."""

from endpoints import FakeDevice
from harness import Program, parse_args, run_cases, settings_image, stop_program

COMMAND, WINDOWS = parse_args()

START = "------------- Start programu --------------------"
END = "------------- Koniec programu --------------------"


def test_always_open_port_opens_at_start_and_closes_at_shut_down():
    settings = settings_image(port_name=b"com3", baud=9600, always_open=1, parity=b"N",
                              stop_bits=1, data_bits=8)
    with Program(COMMAND, WINDOWS, settings) as program:
        device = FakeDevice(FakeDevice.link_dir(program, WINDOWS))
        try:
            program.start()
            program.wait_for_log("Serial Polling - start")
            # Nobody owns the port yet: what the device sends is dropped without a line.
            device.send(b"hello\r\n")
            status = stop_program(program, WINDOWS)
        finally:
            device.close()
        assert status == 2, f"exit status {status}"
        texts = program.log_texts()
        addresses = [t for t in texts if t.startswith("My IP adres:")]
        expected = [START, *addresses, "Serwer TCP On - Start on port 1336",
                    "Serwer TCP On - Stop", "baud=9600 data=8 parity=N stop=1",
                    "Serial Polling - start", "Serial Off - start", "Serial Polling - stop",
                    "Serial Off - stop", "Serwer TCP Off - Start", "Serwer TCP Off - Stop", END]
        assert texts == expected, texts
        # The upper-cased name lives in memory only until the settings are saved.
        with open(program.path("setuplite.dat"), "rb") as f:
            assert f.read() == settings


def test_missing_device_is_one_error_line_and_the_program_runs_on():
    settings = settings_image(port_name=b"COM9", baud=19200, always_open=1, parity=b"E",
                              stop_bits=1, data_bits=7)
    with Program(COMMAND, WINDOWS, settings) as program:
        program.start()
        program.wait_for_log("Error - blad otwarcia portu COM")
        status = stop_program(program, WINDOWS)
        assert status == 2, f"exit status {status}"
        texts = program.log_texts()
        assert "baud=19200 data=7 parity=E stop=1" in texts, texts
        assert texts.count("Error - blad otwarcia portu COM") == 1, texts
        assert not any(t.startswith("Serial Off") for t in texts), texts


if __name__ == "__main__":
    raise SystemExit(run_cases([test_always_open_port_opens_at_start_and_closes_at_shut_down,
                                test_missing_device_is_one_error_line_and_the_program_runs_on]))
