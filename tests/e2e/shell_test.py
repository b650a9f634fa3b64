#!/usr/bin/env python3
"""Start-up, the main dialog and shut-down of the real program, as a user sees them."""
import os
import re
import signal
import struct
import subprocess

from harness import Program, parse_args, run_cases, stop_program, wait_until

COMMAND, WINDOWS = parse_args()

START = "------------- Start programu --------------------"
END = "------------- Koniec programu --------------------"


def check_start_and_end_lines(program):
    """Start-up and shut-down lines in the log file, in their order."""
    assert program.log().startswith(b"\r\n"), program.log()[:10]
    texts = program.log_texts()
    addresses = [t for t in texts if t.startswith("My IP adres:")]
    assert len(addresses) <= 10, texts
    for line in addresses:
        assert re.fullmatch(r"My IP adres:\d+\.\d+\.\d+\.\d+", line), line
    expected = [START, *addresses, "Serwer TCP On - Start on port 1336",
                "Serwer TCP On - Stop", "Serwer TCP Off - Start", "Serwer TCP Off - Stop", END]
    assert texts == expected, texts


def headless_stop_by(sig):
    with Program(COMMAND, WINDOWS) as program:
        program.start()
        program.wait_for_log("Serwer TCP On - Start on port 1336")
        program.process.send_signal(sig)
        status = program.finish()
        assert status == 2, f"exit status {status}"
        check_start_and_end_lines(program)
        # Start-up and shut-down lines never reach the event list, so not stdout either.
        for text in (START, END, "My IP adres", "Serwer TCP"):
            assert text.encode() not in program.stdout, program.stdout


def test_sigterm_shuts_down_in_order_with_status_2():
    headless_stop_by(signal.SIGTERM)


def test_sigint_acts_as_the_close_box():
    headless_stop_by(signal.SIGINT)


def dialog_ended_by_key(key, expected_status):
    with Program(COMMAND, WINDOWS) as program:
        program.start()
        program.wait_for_window()
        program.key(key)
        status = program.finish()
        assert status == expected_status, f"exit status {status}"
        check_start_and_end_lines(program)


def test_escape_cancels_the_main_dialog_with_status_2():
    with Program(COMMAND, WINDOWS) as program:
        program.start()
        status = stop_program(program, WINDOWS)  # Escape, once the dialog has the focus
        assert status == 2, f"exit status {status}"
        check_start_and_end_lines(program)


def test_koniec_has_the_focus_and_ends_with_status_1():
    dialog_ended_by_key("space", 1)


def screenshot(name):
    """Saves the screen as a PNG beside the program, for a person to look at."""
    folder = os.path.join(os.path.dirname(COMMAND[-1]), "artefacts")
    os.makedirs(folder, exist_ok=True)
    grab = subprocess.run(["xwd", "-root", "-silent"], capture_output=True, timeout=20)
    image = subprocess.run(["xwdtopnm"], input=grab.stdout, capture_output=True, timeout=20)
    png = subprocess.run(["pnmtopng"], input=image.stdout, capture_output=True, timeout=20)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(png.stdout)


def test_settings_dialog_saves_what_the_user_chose():
    with Program(COMMAND, WINDOWS) as program:
        program.start()
        program.wait_for_window()
        screenshot("main-dialog.png")
        for key in ("Tab", "space"):  # "Ustawienia" follows "Koniec"
            program.key(key)
        program.wait_for_window("^Ustawienia$")
        # Focus starts on OK; Anuluj, then the check box, which enables the speed box.
        for key in ("Tab", "Tab", "space", "Tab"):
            program.key(key)
        program.type("57600")
        program.key("alt+e")
        screenshot("settings-dialog.png")
        program.key("Return")
        wait_until(lambda: read_settings(program) != program.settings, 20, "the settings file")
        program.key("Escape")
        status = program.finish()
        assert status == 2, f"exit status {status}"
        saved = read_settings(program)
        baud, always_open, parity = struct.unpack_from("<IiB", saved, 104)
        stop_bits, data_bits = struct.unpack_from("<ii", saved, 116)
        assert (baud, always_open, chr(parity), stop_bits, data_bits) == (57600, 1, "E", 2, 8), \
            (baud, always_open, parity, stop_bits, data_bits)


def read_settings(program):
    with open(program.path("setuplite.dat"), "rb") as f:
        return f.read()


if __name__ == "__main__":
    if WINDOWS:
        cases = [test_escape_cancels_the_main_dialog_with_status_2,
                 test_koniec_has_the_focus_and_ends_with_status_1,
                 test_settings_dialog_saves_what_the_user_chose]
    else:
        cases = [test_sigterm_shuts_down_in_order_with_status_2, test_sigint_acts_as_the_close_box]
    raise SystemExit(run_cases(cases))
