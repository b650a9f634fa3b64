"""The program seen from /proc: its CPU time, descriptors and resident memory."""
import os
import time


def cpu_seconds(pid):
    """User and system CPU time of the process, all its threads."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def descriptor_count(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def descriptors(pid):
    """What each open descriptor of the process points to."""
    out = {}
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            out[int(fd)] = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            pass
    return out


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


def cpu_share(pid, seconds=2.0):
    """The share of one core the process used over the next seconds (a measuring window)."""
    before = cpu_seconds(pid)
    start = time.monotonic()
    time.sleep(seconds)
    return (cpu_seconds(pid) - before) / (time.monotonic() - start)


def wineserver_pids(prefix):
    """The Wine server of a prefix, which does the program's serial and socket I/O: it runs in
    a directory named after the prefix's device and inode."""
    info = os.stat(prefix)
    server_dir = f"/server-{info.st_dev:x}-{info.st_ino:x}"
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.readlink(f"/proc/{entry}/cwd").endswith(server_dir):
                pids.append(int(entry))
        except OSError:
            continue
    return pids


def wait_for_descriptors(pid, count, seconds):
    """Waits until the process holds count descriptors; returns the count it ends with."""
    deadline = time.monotonic() + seconds
    while True:
        now = descriptor_count(pid)
        if now == count or time.monotonic() > deadline:
            return now
        time.sleep(0.05)


def settled_descriptor_count(pid, settle=0.5, seconds=10):
    """The process's descriptor count once it has not changed for settle seconds (or after
    seconds): the server thread opens its listener and waker after its start lines."""
    deadline = time.monotonic() + seconds
    count = descriptor_count(pid)
    since = time.monotonic()
    while time.monotonic() - since < settle and time.monotonic() < deadline:
        time.sleep(0.05)
        now = descriptor_count(pid)
        if now != count:
            count, since = now, time.monotonic()
    return count


def sanitizer_of(program):
    """"address", "thread" or None: the sanitizer the program was built with."""
    try:
        with open(program, "rb") as f:
            image = f.read()
    except OSError:
        return None
    if b"__asan_init" in image:
        return "address"
    if b"__tsan_init" in image:
        return "thread"
    return None
