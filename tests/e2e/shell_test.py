#!/usr/bin/env python3
"""Start-up, the main dialog and shut-down of the real program, as a user sees them."""
import re
import signal

from harness import Program, parse_args, run_cases

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
    dialog_ended_by_key("Escape", 2)


def test_koniec_has_the_focus_and_ends_with_status_1():
    dialog_ended_by_key("space", 1)


if __name__ == "__main__":
    if WINDOWS:
        cases = [test_escape_cancels_the_main_dialog_with_status_2,
                 test_koniec_has_the_focus_and_ends_with_status_1]
    else:
        cases = [test_sigterm_shuts_down_in_order_with_status_2, test_sigint_acts_as_the_close_box]
    raise SystemExit(run_cases(cases))
