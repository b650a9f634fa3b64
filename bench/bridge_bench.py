#!/usr/bin/env python3
"""Side-by-side benchmark of serial bridges on one machine: the bare pty, socat, ser2net and this
program's Linux and Windows builds, each on its own pty echo device, interleaved and repeated;
and client -> device of the Linux build on a modelled UART, as a share of the line rate."""
import argparse
import os
import subprocess
import sys
import time

import proc_usage
import report
from bridges import TOP, UART_LINES, UartModel, catalogue
from measures import session, uart_session

DEFAULT_BRIDGES = ["floor", "socat", "ser2net", "socat-b1023", "linux-timed", "linux-at-once",
                   "linux-at-once-log", "wine-timed", "wine-at-once"] + list(UART_LINES)


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--linux", default=os.path.join(TOP, "build", "linux", "quillon-smart"),
                        help="the Linux build")
    parser.add_argument("--windows",
                        default=os.path.join(TOP, "build", "windows", "QuillonSmart.exe"),
                        help="the Windows build (run under Wine; needs scripts/with-wine.sh)")
    parser.add_argument("--uart-model",
                        default=os.path.join(TOP, "build", "linux", "quillon-smart-uart-model"),
                        help="the Linux build on the modelled UART")
    parser.add_argument("--bridges", default=",".join(DEFAULT_BRIDGES),
                        help="comma-separated, from: " + ", ".join(DEFAULT_BRIDGES) +
                        "; uart stands for the four uart-* lines")
    parser.add_argument("--quick", action="store_true",
                        help="1,000 round trips, 1 MiB down, 64 KiB up, 5 s idle, one repeat")
    parser.add_argument("--repeats", type=int)
    parser.add_argument("--round-trips", type=int)
    parser.add_argument("--trip-seconds", type=float, default=150,
                        help="stop a bridge's round trips after this long (slow time-outs)")
    parser.add_argument("--down-bytes", type=int)
    parser.add_argument("--up-bytes", type=int)
    parser.add_argument("--up-seconds", type=float,
                        help="stop client -> device after this long (one write a byte is slow)")
    parser.add_argument("--idle-seconds", type=float)
    parser.add_argument("--uart-bytes", type=int,
                        help="client -> device on the modelled UART (64 KiB; quick: 16 KiB)")
    args = parser.parse_args()
    quick = dict(repeats=1, round_trips=1000, down_bytes=1 << 20, up_bytes=64 << 10,
                 up_seconds=5, idle_seconds=5, uart_bytes=16 << 10)
    full = dict(repeats=3, round_trips=10000, down_bytes=10 << 20, up_bytes=1 << 20,
                up_seconds=30, idle_seconds=30, uart_bytes=64 << 10)
    for key, value in (quick if args.quick else full).items():
        if getattr(args, key) is None:
            setattr(args, key, value)
    return args


def size_text(count):
    return f"{count / 1048576:g} MiB" if count >= 1048576 else f"{count / 1024:g} KiB"


def build_echo_device():
    out_dir = os.path.join(TOP, "build", "bench")
    os.makedirs(out_dir, exist_ok=True)
    binary = os.path.join(out_dir, "echo_device")
    subprocess.run(["cc", "-O2", "-Wall", "-Wextra", "-Werror", "-o", binary,
                    os.path.join(TOP, "bench", "echo_device.c")], check=True)
    return binary


def chosen_bridges(args):
    known = catalogue(args.linux, args.windows, args.uart_model)
    names = []
    for name in (n.strip() for n in args.bridges.split(",")):
        names += list(UART_LINES) if name == "uart" else [name] if name else []
    unknown = [n for n in names if n not in known]
    if unknown:
        sys.exit(f"unknown bridges: {', '.join(unknown)}")
    kept = []
    for name in names:
        if name.startswith("linux") and not os.access(args.linux, os.X_OK):
            print(f"left out {name}: no Linux build at {args.linux}")
        elif name.startswith("uart") and not os.access(args.uart_model, os.X_OK):
            print(f"left out {name}: no UART-model build at {args.uart_model}")
        elif name.startswith("wine") and not (os.path.exists(args.windows)
                                               and os.environ.get("QS_WINEPREFIX")):
            print(f"left out {name}: needs {args.windows} and scripts/with-wine.sh around the run")
        else:
            kept.append(name)
    return kept, known


def main():
    args = parse_args()
    device = build_echo_device()
    names, known = chosen_bridges(args)
    bridges = [known[n]() for n in names]
    runs = [[] for _ in bridges]
    load_before = proc_usage.load_average()
    started = time.monotonic()
    for repeat in range(args.repeats):
        # Each repeat starts one bridge further on, so that no bridge always runs first.
        order = [(i + repeat) % len(bridges) for i in range(len(bridges))]
        for i in order:
            bridge = known[names[i]]()
            print(f"repeat {repeat + 1}/{args.repeats}: {bridge.title} ...", flush=True)
            measure = uart_session if isinstance(bridge, UartModel) else session
            figures = measure(bridge, device, args)
            runs[i].append(figures)
            if bridge.command_text():
                bridges[i] = bridge  # keeps the command line it ran with, for the listing
    load_after = proc_usage.load_average()

    medians = [report.median_figures(r) for r in runs]
    modelled = [i for i, bridge in enumerate(bridges) if isinstance(bridge, UartModel)]
    side_by_side = [i for i in range(len(bridges)) if i not in modelled]
    sizes = [("down", f"device -> client ({size_text(args.down_bytes)})"),
             ("up", f"client -> device (up to {size_text(args.up_bytes)} or {args.up_seconds:g} s)"),
             ("idle_cpu", f"idle CPU over {args.idle_seconds:g} s, port open (% of a core)"),
             ("rtt_median", f"1-byte round trip, median (up to {args.round_trips})")]
    if side_by_side:
        print()
        print(f"Medians of {args.repeats} interleaved run(s); (xN) is this program's figure over "
              "the better of socat and ser2net (lower is better for times, CPU and memory, higher "
              "for rates).")
        print(report.table([bridges[i] for i in side_by_side], [medians[i] for i in side_by_side],
                           sizes))
    if modelled:
        print()
        print(f"Client -> device on the modelled UART ({size_text(args.uart_bytes)}, medians of "
              f"{args.repeats} run(s)): quillon-smart-uart-model, COM3 opened with BAUD=<rate> "
              "and 10,50,0, QS_UART_FIFO=<FIFO>. The share is bytes x 10 bits / baud over the "
              "time from the first byte sent until the device counted the last: 1.00 is a line "
              "that never idles between two characters; what is below it is time the line sat "
              "idle while the writer waited to hand on the next byte.")
        print(report.uart_table([bridges[i] for i in modelled], [medians[i] for i in modelled]))
    print()
    print(f"load average before: {load_before}; after: {load_after}; "
          f"{os.cpu_count()} cores; {time.monotonic() - started:.0f} s")
    print("peer commands (P: a free TCP port, /dev/pts/N: the echo device's pty):")
    for bridge in bridges:
        if bridge.command_text():
            print(f"  {bridge.title}: {bridge.command_text()}")
    print("this program: a settings file with the TCP port, COM3 linked to the pty, and a client "
          "sending ESC BAUD=115200 DATA=8 PARITY=N STOP=1 TIMEOUT1=a TIMEOUT2=b TIMEOUT3=c COM3 CR")


if __name__ == "__main__":
    main()
