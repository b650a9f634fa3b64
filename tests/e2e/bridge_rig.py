"""The program on a free TCP port with a pty as COM3, for the bridge tests."""
import os

from endpoints import Client, FakeDevice
from harness import Program, free_tcp_port, parse_args, settings_image, stop_program

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
