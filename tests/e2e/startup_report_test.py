#!/usr/bin/env python3
"""A headless start tells stderr, once, what a service log needs: version, working directory,
settings file, the TCP port it listens on (or could not), the log file. Stdout and the log
file keep the event lines alone."""
import os
import re
import signal
import socket
import subprocess
import tempfile

from endpoints import Client
from harness import Program, free_tcp_port, parse_args, run_cases, settings_image, wait_until

COMMAND, WINDOWS = parse_args()
REPORT_LINES = 5
STDOUT_LINE = re.compile(rb"\d\d:\d\d:\d\d \d\d/\d\d/\d\d (.*)")


class ReportingProgram(Program):
    """The program headless, its stderr kept in a file."""

    def start(self):
        self.stderr_file = tempfile.TemporaryFile()
        super().start(stderr=self.stderr_file)
        wait_until(lambda: self.stderr().count(b"\n") >= REPORT_LINES, 30, "the start-up lines")
        return self

    def stderr(self):
        self.stderr_file.seek(0)
        return self.stderr_file.read()

    def stop(self):
        """SIGTERM; the stderr lines of the whole run."""
        self.process.send_signal(signal.SIGTERM)
        assert self.finish() == 2
        return self.stderr().decode().splitlines()

    def close(self):
        super().close()
        self.stderr_file.close()


def check_event_streams(program, report):
    """Stdout is the event list as before: whole lines, a run of the log file's lines (those
    logged while the main dialog was open); neither holds any of the start-up lines."""
    lines = program.stdout.split(b"\n")
    assert lines.pop() == b"", "stdout ends inside a line"
    shown = []
    for line in lines:
        match = STDOUT_LINE.fullmatch(line)
        assert match, f"a foreign line on stdout: {line!r}"
        shown.append(match[1].decode("utf-8"))
    # Stdout shows control bytes in caret notation; the log file keeps them (these lines
    # hold no other bytes above ASCII).
    logged = [re.sub(r"[\x00-\x1f\x7f]", lambda c: "^" + chr(ord(c[0]) ^ 0x40), text)
              for text in program.log_texts()]
    if logged and shown:
        first = logged.index(shown[0])
        assert logged[first:first + len(shown)] == shown, (shown, logged)
    for line in report:
        assert line not in "\n".join(shown + logged), f"{line!r} reached the event lines"
    return shown


def send_test_command(port):
    """One command line, which the event list shows; its reply comes back."""
    client = Client(port)
    client.send(b"\x1bTEST\r")
    client.receive(1)
    client.close()


def expected_directory(program):
    return os.path.realpath(program.dir)


def test_reports_once_where_it_listens():
    port = free_tcp_port()
    with ReportingProgram(COMMAND, WINDOWS, settings_image(tcp_port=port)) as program:
        program.start()
        send_test_command(port)  # it does listen there
        report = program.stop()
        assert len(report) == REPORT_LINES, report
        assert re.fullmatch(r"quillon-smart 1\.4\.\d+", report[0]), report[0]
        where = expected_directory(program)
        assert report[1:] == [f"working directory: {where}",
                              "settings: setuplite.dat read",
                              f"TCP port: listening on {port}",
                              f"log file: events.log ({where}/events.log)"], report
        shown = check_event_streams(program, report[1:])
        assert any("Komenda:" in line for line in shown), shown
        assert f"Serwer TCP On - Start on port {port}" in program.log_texts()


def test_reports_a_port_it_could_not_listen_on():
    port = free_tcp_port()
    with socket.socket() as holder, \
            ReportingProgram(COMMAND, WINDOWS, settings_image(tcp_port=port)) as program:
        holder.bind(("", port))
        holder.listen()
        program.start()
        program.wait_for_log(f"Error - nie mozna nasluchiwac na porcie TCP {port}")
        report = program.stop()
        assert len(report) == REPORT_LINES, report
        assert report[3] == f"TCP port: could not listen on {port}", report
        check_event_streams(program, report[1:])


def test_reports_a_missing_or_short_settings_file_and_no_log_file():
    for content, said in [(None, "settings: setuplite.dat not found, every setting is zero"),
                          (b"\x01" * 235, "settings: setuplite.dat is shorter than 236 bytes, "
                                          "every setting is zero")]:
        with ReportingProgram(COMMAND, WINDOWS) as program:
            os.remove(program.path("setuplite.dat"))
            if content is not None:
                with open(program.path("setuplite.dat"), "wb") as f:
                    f.write(content)
            program.start()
            report = program.stop()
            assert len(report) == REPORT_LINES, report
            assert report[2] == said, report
            # The default port; something else on this machine may hold it.
            assert report[3] in ("TCP port: listening on 1336",
                                 "TCP port: could not listen on 1336"), report
            assert report[4] == "log file: none", report
            check_event_streams(program, report[1:])
            assert not os.path.exists(program.path("events.log"))


def test_a_closed_stderr_leaves_the_log_file_and_stdout_alone():
    port = free_tcp_port()
    with Program(COMMAND, WINDOWS, settings_image(tcp_port=port)) as program:
        program.process = subprocess.Popen(program.command, cwd=program.dir,
                                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                           preexec_fn=lambda: os.close(2))
        send_test_command(port)
        program.process.send_signal(signal.SIGTERM)
        assert program.finish() == 2
        assert b"TCP port:" not in program.log() + program.stdout
        assert any("Komenda:" in line for line in check_event_streams(program, []))


if __name__ == "__main__":
    raise SystemExit(run_cases([test_reports_once_where_it_listens,
                                test_reports_a_port_it_could_not_listen_on,
                                test_reports_a_missing_or_short_settings_file_and_no_log_file,
                                test_a_closed_stderr_leaves_the_log_file_and_stdout_alone]))
