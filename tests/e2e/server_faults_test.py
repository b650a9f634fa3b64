#!/usr/bin/env python3
"""The TCP server when the system says no: a port already taken, no descriptor left for a
connection. Each is logged or waited out, and the program keeps serving and shuts down."""
import os
import resource
import socket
import time

from endpoints import Client
from harness import Program, free_tcp_port, parse_args, run_cases, settings_image, stop_program

COMMAND, WINDOWS = parse_args()

SHUT_DOWN = ["Serwer TCP Off - Start", "Serwer TCP Off - Stop",
             "------------- Koniec programu --------------------"]


def test_port_in_use_is_logged_after_the_start_lines():
    with socket.socket() as taken:
        taken.bind(("0.0.0.0", 0))
        taken.listen(1)
        port = taken.getsockname()[1]
        with Program(COMMAND, WINDOWS, settings_image(tcp_port=port)) as program:
            error = f"Error - nie mozna nasluchiwac na porcie TCP {port}"
            program.start().wait_for_log(error)
            status = stop_program(program, WINDOWS)
            texts = program.log_texts()
    assert status == 2, f"exit status {status}"
    errors = [i for i, text in enumerate(texts) if error in text]
    assert len(errors) == 1 and errors[0] > texts.index("Serwer TCP On - Stop"), texts
    assert texts[-3:] == SHUT_DOWN, texts


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def leave_one_descriptor(pid):
    """Lowers the process's descriptor limit until exactly one more descriptor can be opened."""
    taken = {int(name) for name in os.listdir(f"/proc/{pid}/fd")}
    limit = 0
    while limit - sum(1 for fd in taken if fd < limit) < 1:
        limit += 1
    _, hard = resource.prlimit(pid, resource.RLIMIT_NOFILE)
    resource.prlimit(pid, resource.RLIMIT_NOFILE, (limit, hard))


def answers_test(client, seconds):
    """True when a TEST sent earlier has its reply; False while the client is not served."""
    client.sock.settimeout(seconds)
    try:
        reply = client.sock.recv(1)
    except socket.timeout:
        return False
    except ConnectionResetError:
        reply = b""
    assert reply, "a connection waiting to be accepted was closed instead"
    return True


def test_no_descriptor_for_a_connection_leaves_it_waiting():
    port = free_tcp_port()
    with Program(COMMAND, WINDOWS, settings_image(tcp_port=port)) as program:
        program.start().wait_for_log("Serwer TCP On - Stop")
        pid = program.process.pid
        first = Client(port)
        first.command("TEST")
        assert answers_test(first, 10)
        leave_one_descriptor(pid)
        # One more client may fit in what is left; the connection after it has to wait.
        others = []
        while True:
            assert len(others) < 4, "every client was served: the limit did not bite"
            others.append(Client(port))
            others[-1].command("TEST")
            if not answers_test(others[-1], 1.5):
                break
        waiting = others[-1]
        before = cpu_seconds(pid)
        time.sleep(3)  # a measuring window, not a wait for some condition
        share = (cpu_seconds(pid) - before) / 3
        print(f"note: {share:.1%} of a core while a connection waits for a descriptor")
        assert share < 0.2, f"{share:.0%} of a core while a connection waits"
        first.command("TEST")
        assert answers_test(first, 10), "a connected client is not served"
        first.close()
        assert answers_test(waiting, 5), "the waiting connection was not taken when one left"
        status = stop_program(program, WINDOWS)
        for client in others:
            client.close()
        texts = program.log_texts()
    assert status == 2, f"exit status {status}"
    assert texts[-3:] == SHUT_DOWN, texts


if __name__ == "__main__":
    cases = [test_port_in_use_is_logged_after_the_start_lines]
    if not WINDOWS:  # Wine's server holds the descriptors: no per-program limit to lower
        cases.append(test_no_descriptor_for_a_connection_leaves_it_waiting)
    raise SystemExit(run_cases(cases))
