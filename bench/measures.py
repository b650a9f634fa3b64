"""One bridge's session: round trips, both throughputs, idle cost and peak memory."""
import statistics
import time

import proc_usage
from device_ends import EchoDevice, StageFailed

UP_BLOCK = 4096  # the client sends in blocks of this size; the device reports each one
UP_WINDOW = 16  # blocks in flight at most, so that a slow bridge drains soon at the end


def round_trips(end, count, seconds):
    """Seconds from one byte sent to its echo back, count times or until seconds ran out."""
    times = []
    stop_at = time.monotonic() + seconds
    clock = time.perf_counter
    for _ in range(count):
        start = clock()
        end.send(b"r")
        if end.receive(1, 5) != 1:
            raise StageFailed("no echo within 5 s" if not times else
                              f"an echo lost after {len(times)} round trips")
        times.append(clock() - start)
        if time.monotonic() > stop_at:
            break
    return times


def device_to_client(end, device, count):
    """Bytes per second from the device to the client."""
    start = time.perf_counter()
    device.tell(f"send {count}")
    got = end.receive(count, 120)
    seconds = time.perf_counter() - start
    if got != count:
        raise StageFailed(f"{got} of {count} bytes reached the client within 120 s")
    device.expect(f"sent {count}")
    return count / seconds


def client_to_device(end, device, count, seconds):
    """Bytes per second from the client to the device, up to count bytes or until seconds ran
    out (one write a byte can be slow); returns the rate and the bytes that it counts."""
    device.tell(f"sink {UP_BLOCK}")
    device.expect("ok")
    block = b"w" * UP_BLOCK
    count -= count % UP_BLOCK
    sent = got = 0
    start = time.perf_counter()
    last = start
    stop_at = time.monotonic() + seconds
    while got < count and time.monotonic() < stop_at:
        while sent < count and sent - got < UP_WINDOW * UP_BLOCK:
            end.send(block)
            sent += UP_BLOCK
        line = device.line(stop_at - time.monotonic())
        if line is None:
            break
        got = int(line.split()[1])
        last = time.perf_counter()
    if got == 0:
        raise StageFailed(f"no byte reached the device within {seconds:g} s")
    rate = got / (last - start)
    drain_by = time.monotonic() + 60
    while got < sent:  # let what is in flight arrive before the next stage
        line = device.line(drain_by - time.monotonic())
        if line is None:
            raise StageFailed(f"{sent - got} bytes still in flight after 60 s")
        got = int(line.split()[1])
    device.tell("echo")
    device.expect("ok")
    return rate, got


def idle_cost(pids, seconds):
    """Share of one core and wake-ups a second of the processes over a silent stretch."""
    cpu = sum(proc_usage.cpu_seconds(p) for p in pids)
    woken = sum(proc_usage.wakeups(p) for p in pids)
    start = time.monotonic()
    time.sleep(seconds)  # the quantity measured is CPU time over a stretch of wall time
    wall = time.monotonic() - start
    cpu = sum(proc_usage.cpu_seconds(p) for p in pids) - cpu
    woken = sum(proc_usage.wakeups(p) for p in pids) - woken
    return 100.0 * cpu / wall, woken / wall


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * share))]


class Connected:
    """The device started, the bridge started on its pty and a client connected (connect()
    raises StageFailed when the client could not); close() stops all three."""

    def __init__(self, bridge, device_binary):
        self.bridge = bridge
        self.device = EchoDevice(device_binary)
        self.end = None
        try:
            bridge.start(self.device.pty)
        except BaseException:
            bridge.stop()
            self.device.close()
            raise

    def connect(self):
        self.end = self.bridge.connect()
        return self.end

    def close(self):
        if self.end:
            self.end.close()
        self.bridge.stop()
        self.device.close()


def session(bridge, device_binary, options):
    """Starts the device and the bridge, connects, runs every stage; returns the figures by
    name, a text for each stage that failed, and the notes."""
    figures = {}
    rig = Connected(bridge, device_binary)
    device = rig.device
    try:
        try:
            end = rig.connect()
        except StageFailed as failure:
            return {"error": str(failure)}
        clean = True

        def stage(names, run):
            nonlocal clean
            if not clean:
                for name in names:
                    figures[name] = "skipped"
                return
            try:
                run()
            except StageFailed as failure:
                clean = False
                figures[names[0]] = f"failed: {failure}"
                for name in names[1:]:
                    figures[name] = "failed"

        def trips():
            round_trips(end, 50, 30)  # warm-up
            times = round_trips(end, options.round_trips, options.trip_seconds)
            figures["rtt_median"] = statistics.median(times)
            figures["rtt_p99"] = percentile(times, 0.99)
            figures["trips"] = len(times)

        def down():
            figures["down"] = device_to_client(end, device, options.down_bytes)

        def up():
            figures["up"], figures["up_bytes"] = client_to_device(end, device, options.up_bytes,
                                                                  options.up_seconds)

        stage(["rtt_median", "rtt_p99", "trips"], trips)
        stage(["down"], down)
        stage(["up", "up_bytes"], up)
        pids = bridge.pids()
        if pids:
            figures["idle_cpu"], figures["idle_wakeups"] = idle_cost(pids, options.idle_seconds)
            figures["peak_kib"] = proc_usage.peak_resident_kib(pids[0])
        return figures
    finally:
        rig.close()


BITS_PER_CHARACTER = 10  # start, 8 data, stop: the 8N1 line the client opens


def uart_session(bridge, device_binary, options):
    """Client -> device on the modelled UART alone: the share of the line rate the bridge's
    one write a byte keeps busy (1.0: the line never idles between two characters)."""
    rig = Connected(bridge, device_binary)
    try:
        try:
            end = rig.connect()
        except StageFailed as failure:
            return {"error": str(failure)}
        line_seconds = options.uart_bytes * BITS_PER_CHARACTER / bridge.baud
        try:
            rate, got = client_to_device(end, rig.device, options.uart_bytes,
                                         4 * line_seconds + 5)
        except StageFailed as failure:
            return {"error": f"failed: {failure}"}
        return {"uart_share": rate * BITS_PER_CHARACTER / bridge.baud, "uart_rate": rate,
                "uart_bytes": got}
    finally:
        rig.close()
