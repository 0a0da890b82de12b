#!/usr/bin/python3
"""Throughput against piece size: backend, minimal relay, the simulator alone and its capacity.

usage: plot.py piece_sizes.csv output.png
"""
import csv
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main(source, target):
    with open(source, newline="") as f:
        rows = list(csv.DictReader(f))
    pieces = [int(r["piece_bytes"]) for r in rows]
    labels = [f"{p // 1048576} MiB" if p >= 1048576 else f"{p // 1024} KiB" for p in pieces]

    fig, ax = plt.subplots(figsize=(8, 4.8), dpi=110)
    ax.plot(pieces, [float(r["backend_mb_s"]) for r in rows], "o-", label="kelvra backend (sane_kelvra_read, 32 KiB)")
    ax.plot(pieces, [float(r["relay_mb_s"]) for r in rows], "s--", label="minimal relay (same syscalls)")
    ax.plot(pieces, [float(r["simulator_mb_s"]) for r in rows], "^:", color="grey",
            label="simulator alone (socket drained)")
    if "simulator_capacity_mb_s" in rows[0]:
        ax.plot(pieces, [float(r["simulator_capacity_mb_s"]) for r in rows], "v:", color="darkgrey",
                label="simulator capacity (MB per second of its CPU time)")
    ax.set_xscale("log", base=2)
    ax.set_xticks(pieces)
    ax.set_xticklabels(labels, rotation=45, ha="right")
    ax.minorticks_off()
    # Logarithmic: the simulator's capacity is several times the relays' rate.
    ax.set_yscale("log")
    ax.set_xlabel("image bytes per read reply (piece size)")
    ax.set_ylabel("page throughput, MB/s (median)")
    ax.set_title("Colour page 5100 x 4372 (66.9 MB) over loopback, 2 cores")
    ax.grid(True, alpha=0.3)
    ax.legend(loc="lower right", fontsize="small")
    fig.tight_layout()
    fig.savefig(target)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
