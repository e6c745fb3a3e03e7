#!/usr/bin/python3
"""Draws the receive-at-load figures of an ovel_bench CSV (ovel_bench --csv FILE) as two PNGs:

  perf-cpu.png   process CPU (% of one core) against the receive rate
  perf-p99.png   p99 latency to the callback against the receive rate

Both with a log rate axis, one panel for a quiet machine and one with CPU-bound competitors, one
line per version and link timing (current solid with circles, previous dashed with triangles), and the floor of a design
that sleeps between frames (no library) in black. Saturation runs have no rate and are left out.

    /usr/bin/python3 scripts/bench-plot.py CSV [OUTPUT_DIR]     (default OUTPUT_DIR: docs/)

Needs Debian's python3-matplotlib (scripts/bench.sh --plot installs it when missing).
"""

import csv
import math
import os
import sys

TIMING_COLOURS = {"immediate": "tab:blue", "high-speed": "tab:orange", "full-speed": "tab:green"}
VERSION_STYLES = {"current": "-", "previous": "--"}
VERSION_MARKERS = {"current": "o", "previous": "^"}


def number(text):
    try:
        value = float(text)
    except (TypeError, ValueError):
        return math.nan
    return value


def latency_p99(rows):
    """The p99 figure to plot and its axis label: from the frame's bus time when every frame
    carried one, else from the completion's release to the host for all lines alike."""
    measured = [r for r in rows if r["part"] == "rx-load" and r["status"] == "ok"]
    if all(not math.isnan(number(r["bus_p99_us"])) for r in measured):
        return (lambda r: number(r["bus_p99_us"]),
                "p99 latency, frame's bus time -> callback, us")
    return (lambda r: number(r["release_p99_us"]),
            "p99 latency, completion released -> callback, us")


def series(rows, version, timing, competitors, figure):
    points = sorted(
        (number(r["rate"]), figure(r))
        for r in rows
        if r["part"] == "rx-load" and r["version"] == version and r["timing"] == timing
        and r["status"] == "ok" and int(r["competitors"]) == competitors
        and number(r["rate"]) > 0
    )
    return [p for p in points if not math.isnan(p[1]) and p[1] > 0]


def floor_series(rows, figure):
    points = sorted(
        (number(r["rate"]), figure(r))
        for r in rows
        if r["part"] == "floor" and r["status"] == "ok" and number(r["rate"]) > 0
    )
    return [p for p in points if not math.isnan(p[1]) and p[1] > 0]


def draw(rows, figure, ylabel, title, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib import ticker

    versions = [v for v in VERSION_STYLES if any(r["version"] == v for r in rows)]
    competitor_counts = sorted({int(r["competitors"]) for r in rows if r["part"] == "rx-load"})
    if not competitor_counts:
        competitor_counts = [0]
    fig, axes = plt.subplots(1, len(competitor_counts), figsize=(6.5 * len(competitor_counts), 5),
                             sharey=True, squeeze=False)
    floor = floor_series(rows, figure)
    for ax, competitors in zip(axes[0], competitor_counts):
        for version in versions:
            for timing, colour in TIMING_COLOURS.items():
                points = series(rows, version, timing, competitors, figure)
                if points:
                    ax.plot([p[0] for p in points], [p[1] for p in points],
                            VERSION_STYLES[version], color=colour,
                            marker=VERSION_MARKERS[version], markersize=4,
                            label=f"{version}, {timing}")
        if floor:
            ax.plot([p[0] for p in floor], [p[1] for p in floor], ":", color="black",
                    marker="s", markersize=4, label="floor (no library, quiet)")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.xaxis.set_major_formatter(ticker.FuncFormatter(lambda x, _: f"{x:,.0f}"))
        ax.yaxis.set_major_formatter(ticker.FuncFormatter(lambda y, _: f"{y:,.6g}"))
        ax.set_xlabel("received FD frames per second (2 channels)")
        ax.set_title("quiet" if competitors == 0 else f"{competitors} CPU-bound competitors")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize="small")
    axes[0][0].set_ylabel(ylabel)
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"bench-plot: wrote {path}")


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[1], newline="") as f:
        rows = list(csv.DictReader(f))
    if not any(r["part"] in ("rx-load", "floor") for r in rows):
        print(f"bench-plot: {argv[1]} has no receive-at-load or floor rows", file=sys.stderr)
        return 1
    out = argv[2] if len(argv) == 3 else os.path.join(os.path.dirname(__file__), "..", "docs")
    os.makedirs(out, exist_ok=True)
    draw(rows, lambda r: number(r["process_cpu_pct"]), "process CPU, % of one core",
         "CPU while receiving", os.path.join(out, "perf-cpu.png"))
    figure, label = latency_p99(rows)
    draw(rows, figure, label, "p99 receive latency", os.path.join(out, "perf-p99.png"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
