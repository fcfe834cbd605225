#!/usr/bin/python3
"""Draws the samples of a soak run (samples.csv of road_soak.py) as one PNG: RSS, threads, open
descriptors and live frames over time, with the start of the measure marked.

  /usr/bin/python3 bench/road/plot_soak.py build/bench/road/soak-600s/samples.csv soak.png [warmup s]
Needs Debian's python3-matplotlib.
"""
import csv
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

PANELS = (("rss_mb", "RSS (MB)"), ("threads", "threads"), ("fds", "open descriptors"),
          ("live_frames", "live frames"), ("sink_events", "events at the sink"), ("load1", "load average (1 min)"))


def plot(samples_csv, png, warmup=None):
    with open(samples_csv) as f:
        rows = list(csv.DictReader(f))
    t = [float(r["t"]) for r in rows]
    fig, axes = plt.subplots(3, 2, figsize=(11, 9), sharex=True)
    for ax, (key, title) in zip(axes.flat, PANELS):
        pairs = [(x, float(r[key])) for x, r in zip(t, rows) if r[key] not in ("", "None")]
        ax.plot([p[0] for p in pairs], [p[1] for p in pairs], marker=".", linewidth=1)
        ax.set_title(title)
        ax.grid(True, alpha=0.3)
        if warmup:
            ax.axvline(warmup, color="grey", linestyle="--", linewidth=0.8)
        if key in ("rss_mb", "threads", "fds", "live_frames") and pairs:
            ax.set_ylim(0, 1.15 * max(p[1] for p in pairs))
    for ax in axes[-1]:
        ax.set_xlabel("time since working (s)")
    fig.suptitle("qo_core soak: 4 paced road videos, detector + reader + non-triggered builders with clips")
    fig.tight_layout()
    fig.savefig(png, dpi=100)
    plt.close(fig)


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    plot(sys.argv[1], sys.argv[2], float(sys.argv[3]) if len(sys.argv) > 3 else None)
