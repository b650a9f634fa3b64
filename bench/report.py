"""The benchmark's table: medians over the repeats, each figure of this program as a ratio to
the better of the two peers."""
import statistics


def _time(seconds):
    return f"{seconds * 1e6:.1f} us" if seconds < 1e-3 else f"{seconds * 1e3:.2f} ms"


def _rate(per_second):
    return f"{per_second / 1e6:.1f} MB/s" if per_second >= 1e6 else f"{per_second / 1e3:.1f} kB/s"


def _share(percent):
    return f"{percent:.3f}%"


def _count(value):
    return f"{value:.1f}" if value < 100 else f"{value:.0f}"


def _memory(kib):
    return f"{kib / 1024:.1f} MiB"


# key, row label, format, whether lower is better (None: no ratio)
ROWS = [
    ("rtt_median", "1-byte round trip, median", _time, True),
    ("rtt_p99", "1-byte round trip, p99", _time, True),
    ("trips", "round trips counted", lambda v: f"{v:.0f}", None),
    ("down", "device -> client", _rate, False),
    ("up", "client -> device", _rate, False),
    ("up_bytes", "client -> device bytes counted", lambda v: f"{v:.0f}", None),
    ("idle_cpu", "idle CPU, port open (% of a core)", _share, True),
    ("idle_wakeups", "idle wake-ups a second", _count, True),
    ("peak_kib", "peak resident memory (VmHWM)", _memory, True),
]


def median_figures(runs):
    """Per figure, the median of the repeats that measured it, or the first failure text."""
    runs = [run for run in runs if "error" not in run] or runs[:1]
    keys = {key for run in runs for key in run}
    out = {}
    for key in keys:
        numbers = [run[key] for run in runs if isinstance(run.get(key), (int, float))]
        if numbers:
            out[key] = statistics.median(numbers)
            if len(numbers) < len(runs):
                out[key + "_partial"] = f"{len(numbers)} of {len(runs)}"
        else:
            out[key] = next(run[key] for run in runs if key in run)
    return out


def _cell(value, fmt):
    if value is None:
        return "-"
    if isinstance(value, str):
        return value
    return fmt(value)


def _times(ratio):
    return f"x{ratio:.2f}" if ratio >= 0.1 else f"x{ratio:.2g}"


def _ratio(value, peers, lower_better):
    """peers: (name, figure) of socat and ser2net."""
    numbers = [(figure, name) for name, figure in peers if isinstance(figure, (int, float))]
    if not isinstance(value, (int, float)) or not numbers:
        return ""
    best, name = min(numbers) if lower_better else max(numbers)
    if best != 0:
        return f" ({_times(value / best)})"
    others = [(figure, other) for figure, other in numbers if figure != 0]
    if not value:
        return " (x1.00)"
    if not others:
        return f" ({name} 0)"
    other, other_name = min(others)
    return f" ({name} 0; {_times(value / other)} {other_name})"


def table(bridges, medians, sizes):
    """Markdown table: a column per bridge, this program's cells with their ratio."""
    labels = dict(sizes)
    head = ["measure"] + [b.title for b in bridges]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for key, label, fmt, lower_better in ROWS:
        label = labels.get(key, label)
        peers = [(b.title.split()[0], medians[i].get(key)) for i, b in enumerate(bridges)
                 if b.is_peer]
        cells = [label]
        for i, bridge in enumerate(bridges):
            figures = medians[i]
            if "error" in figures:
                cells.append(figures["error"] if key == ROWS[0][0] else "-")
                continue
            text = _cell(figures.get(key), fmt)
            if bridge.is_program and lower_better is not None:
                text += _ratio(figures.get(key), peers, lower_better)
            if key + "_partial" in figures:
                text += f" [{figures[key + '_partial']} runs]"
            cells.append(text)
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def uart_table(bridges, medians):
    """Markdown table: a row per modelled line, client -> device as a share of its rate."""
    lines = ["| modelled UART, this program 10,50,0 | share of the line rate | client -> device "
             "| bytes counted |", "|---|---|---|---|"]
    for bridge, figures in zip(bridges, medians):
        if "error" in figures:
            lines.append(f"| {bridge.title} | {figures['error']} | - | - |")
            continue
        share = f"{figures['uart_share']:.2f}"
        if "uart_share_partial" in figures:
            share += f" [{figures['uart_share_partial']} runs]"
        lines.append(f"| {bridge.title} | {share} | {_rate(figures['uart_rate'])} "
                     f"| {figures['uart_bytes']:.0f} |")
    return "\n".join(lines)
