"""The terminal dialogs driven through tmux: keys in, screen captures and files out."""
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

from harness import free_tcp_port, parse_args, run_cases, settings_image, wait_until

ARGS, WINDOWS = parse_args()
PROGRAM = os.path.abspath(ARGS[0])
ARTEFACTS = os.environ.get("QS_ARTEFACT_DIR") or os.path.join(os.path.dirname(PROGRAM),
                                                                "artefacts")
TITLE = "Vantrel Quillon Smart wersja 1.4 styczeń 2021"


class Screen:
    """The program in its own tmux server, with its pid, exit status and terminal modes."""

    def __init__(self, settings, columns=80, lines=24, program=PROGRAM):
        self.dir = tempfile.mkdtemp(prefix="qs-tui-")
        with open(os.path.join(self.dir, "setuplite.dat"), "wb") as f:
            f.write(settings)
        self.server = f"qs-tui-{os.getpid()}-{time.monotonic_ns()}"
        self.env = dict(os.environ, LC_ALL="C.UTF-8", LANG="C.UTF-8")
        script = (f"sh -c 'echo $$ > pid.txt; exec {program}'; echo EXIT=$? > exit.txt; "
                  "stty -a > stty.txt; sleep 120")
        self.tmux("new-session", "-d", "-s", "ui", "-x", str(columns), "-y", str(lines),
                  "-c", self.dir, script)

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.server, *args], env=self.env, check=True,
                              capture_output=True, text=True, timeout=10).stdout

    def text(self):
        return self.tmux("capture-pane", "-p", "-t", "ui")

    def wait_for(self, *texts, seconds=15):
        wait_until(lambda: all(t in self.text() for t in texts), seconds, f"screen with {texts}")

    def keys(self, *keys):
        for key in keys:
            self.tmux("send-keys", "-t", "ui", key)
            time.sleep(0.2)  # the program reads an escape sequence per key only when apart

    def type(self, text):
        self.tmux("send-keys", "-t", "ui", "-l", text)
        time.sleep(0.2)

    def file(self, name):
        with open(os.path.join(self.dir, name), "rb") as f:
            return f.read()

    def exit_status(self, seconds=15):
        path = os.path.join(self.dir, "stty.txt")
        wait_until(lambda: os.path.exists(path) and os.path.getsize(path) > 0, seconds,
                   "the program to end")
        return self.file("exit.txt").decode().strip()

    def save(self, name):
        os.makedirs(ARTEFACTS, exist_ok=True)
        with open(os.path.join(ARTEFACTS, name), "w", encoding="utf-8") as f:
            f.write(self.text())

    def close(self):
        subprocess.run(["tmux", "-L", self.server, "kill-server"], env=self.env,
                       capture_output=True, timeout=10)
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def record(**fields):
    return settings_image(port_name=b"COM3", baud=9600, parity=b"N", stop_bits=1, data_bits=8,
                          tcp_port=free_tcp_port(), **fields)


def test_main_dialog_and_escape():
    with Screen(record()) as screen:
        screen.wait_for(TITLE, "Koniec", "Ustawienia")
        screen.save("main_dialog.txt")
        screen.keys("Escape")
        assert screen.exit_status() == "EXIT=2"


def test_settings_typed_speed_and_radio_reach_the_file():
    settings = record()
    with Screen(settings) as screen:
        screen.wait_for("Koniec")
        screen.keys("Tab", "Enter")  # focus starts on "Koniec"; Tab reaches "Ustawienia"
        screen.wait_for("Anuluj", "Port szeregowy zawsze otwarty", "Szybko:", "Parzystość")
        # OK, Anuluj, the check box (which enables the serial controls), then the speed.
        screen.keys("Tab", "Tab", "Space", "Tab", "End", *["BSpace"] * 6)
        screen.type("57600")
        # Port, then the parity group on its checked button; Down moves to "Even".
        screen.keys("Tab", "Tab", "Down", "Space")
        screen.wait_for("57600", "[×]", "(•) Even")
        screen.save("settings_dialog.txt")
        screen.keys("Enter")
        wait_until(lambda: screen.file("setuplite.dat") != settings, 10, "the saved file")
        saved = screen.file("setuplite.dat")
        expected = bytearray(settings)
        struct.pack_into("<IiB", expected, 104, 57600, 1, ord("E"))
        assert saved == bytes(expected), f"saved {saved.hex()}"
        screen.wait_for(TITLE)
        screen.keys("Escape")
        assert screen.exit_status() == "EXIT=2"


def test_sigterm_in_settings_ends_in_order_and_restores_the_terminal():
    with Screen(record()) as screen:
        screen.wait_for("Koniec")
        screen.keys("Tab", "Enter")
        screen.wait_for("Anuluj")
        os.kill(int(screen.file("pid.txt")), signal.SIGTERM)
        assert screen.exit_status() == "EXIT=2"
        modes = screen.file("stty.txt").decode()
        assert " icanon" in modes and " echo " in modes, modes
        assert "Koniec" not in screen.text()


def log_texts(screen):
    return [line[18:] for line in screen.file("events.log").split(b"\r\n")[1:]]


def test_ctrl_c_ends_in_order_from_main_and_from_an_edit_box():
    # The toolkit reads Ctrl-C as a key: it must still end the program as SIGINT does.
    for open_settings in (False, True):
        with Screen(record()) as screen:
            screen.wait_for("Koniec")
            if open_settings:
                # OK, Anuluj, the check box, then the log-file box (the serial ones are off).
                screen.keys("Tab", "Enter")
                screen.wait_for("Anuluj")
                screen.keys("Tab", "Tab", "Tab")
            screen.keys("C-c")
            assert screen.exit_status() == "EXIT=2", f"settings open: {open_settings}"
            modes = screen.file("stty.txt").decode()
            assert " icanon" in modes and " echo " in modes, modes
            texts = log_texts(screen)
            assert texts[-4:] == [b"Serwer TCP On - Stop", b"Serwer TCP Off - Start",
                                  b"Serwer TCP Off - Stop",
                                  b"------------- Koniec programu --------------------"], texts


def test_log_path_in_code_page_1250_shown_typed_and_saved():
    # "C:\log\łódź" in the bytes a Polish Windows writes; ñ has no place in that code page.
    path = b"C:\\log\\\xb3\xf3d\x9f"
    settings = record(log_path=path)
    with Screen(settings) as screen:
        screen.wait_for("Koniec")
        screen.keys("Tab", "Enter")
        screen.wait_for("C:\\log\\łódź")
        screen.keys("Tab", "Tab", "Tab", "End")
        screen.type("ñŚĄ€")
        screen.wait_for("łódźŚĄ€")
        assert "ñ" not in screen.text()
        screen.keys("Enter")
        wait_until(lambda: screen.file("setuplite.dat") != settings, 10, "the saved file")
        saved = screen.file("setuplite.dat")
        expected = bytearray(settings)
        expected[124:124 + len(path) + 3] = path + b"\x8c\xa5\x80"
        assert saved == bytes(expected), f"saved {saved[124:160]!r}"
        screen.wait_for(TITLE)
        screen.keys("Escape")
        assert screen.exit_status() == "EXIT=2"


def test_control_bytes_from_a_client_are_shown_not_obeyed():
    # "Komenda:" carries the client's bytes to the event list; an ESC among them must not
    # reach the terminal as the start of a control sequence.
    settings = record()
    port = struct.unpack_from("<i", settings, 228)[0]
    with Screen(settings) as screen:
        screen.wait_for("Koniec")
        with socket.create_connection(("127.0.0.1", port), timeout=5) as client:
            client.sendall(b"AB\x1b[2JCD\x1b[5mXY\r")
            screen.wait_for("[2JCD", "[5mXY", TITLE)
        screen.keys("Escape")
        assert screen.exit_status() == "EXIT=2"


def test_too_small_terminal_gets_a_message_until_enlarged():
    with Screen(record(), columns=45, lines=15) as screen:
        screen.wait_for("za małe")
        screen.save("too_small.txt")
        screen.tmux("resize-window", "-t", "ui", "-x", "80", "-y", "24")
        screen.wait_for(TITLE, "Koniec")
        screen.keys("Escape")
        assert screen.exit_status() == "EXIT=2"


def test_without_its_dialogs_module_the_program_says_why_and_runs_headless():
    settings = record()
    alone = tempfile.mkdtemp(prefix="qs-alone-")
    try:
        program = os.path.join(alone, os.path.basename(PROGRAM))
        shutil.copy(PROGRAM, program)
        with Screen(settings, program=program) as screen:
            screen.wait_for("terminal dialogs:", "running without them", "listening on")
            # The event list goes to the terminal as lines of text: the client's ESC and CR
            # are shown, not obeyed.
            port = struct.unpack_from("<i", settings, 228)[0]
            with socket.create_connection(("127.0.0.1", port), timeout=5) as client:
                client.sendall(b"\x1bHELLO\r")
                screen.wait_for("Komenda:^[HELLO^M")
            os.kill(int(screen.file("pid.txt")), signal.SIGTERM)
            assert screen.exit_status() == "EXIT=2"
    finally:
        shutil.rmtree(alone, ignore_errors=True)


if __name__ == "__main__":
    if WINDOWS:
        sys.exit("the terminal dialogs exist in the Linux build only")
    sys.exit(run_cases([
        test_main_dialog_and_escape,
        test_settings_typed_speed_and_radio_reach_the_file,
        test_sigterm_in_settings_ends_in_order_and_restores_the_terminal,
        test_too_small_terminal_gets_a_message_until_enlarged,
        test_ctrl_c_ends_in_order_from_main_and_from_an_edit_box,
        test_log_path_in_code_page_1250_shown_typed_and_saved,
        test_control_bytes_from_a_client_are_shown_not_obeyed,
        test_without_its_dialogs_module_the_program_says_why_and_runs_headless,
    ]))
