"""What a bridge costs, read from /proc: CPU time, wake-ups, peak resident memory, machine load."""
import os

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def _tasks(pid):
    try:
        return os.listdir(f"/proc/{pid}/task")
    except OSError:
        return []


def cpu_seconds(pid):
    """User and system time of every live thread of the process. The scheduler's own count
    (schedstat, nanoseconds) where there is one, else utime+stime in clock ticks."""
    total = 0
    found = False
    for task in _tasks(pid):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
                found = True
        except (OSError, ValueError, IndexError):
            pass
    if found:
        return total / 1e9
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def wakeups(pid):
    """Context switches of every live thread of the process (each one a wake-up or a preemption)."""
    total = 0
    for task in _tasks(pid):
        try:
            with open(f"/proc/{pid}/task/{task}/status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def peak_resident_kib(pid):
    """VmHWM: the most resident memory the process has had."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])

