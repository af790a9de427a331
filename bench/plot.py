#!/usr/bin/env python3
"""Bar chart of the comparison: median megapixels per second per image and decoder, with the
min-max spread as error bars, on a logarithmic axis (the 1-byte suspending source is orders of
magnitude slower than the rest).

Usage: plot.py RESULTS.csv OUTPUT.png [TITLE]
"""
import csv
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import matplotlib.ticker  # noqa: E402


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    rows = [r for r in csv.DictReader(open(sys.argv[1], newline=""))]
    title = sys.argv[3] if len(sys.argv) > 3 else "Decoding throughput"
    images = list(dict.fromkeys(r["image"] for r in rows))
    decoders = list(dict.fromkeys(r["decoder"] for r in rows))
    cell = {(r["image"], r["decoder"]): r for r in rows}

    width = 0.8 / len(decoders)
    fig, ax = plt.subplots(figsize=(min(26, max(10, 1.1 * len(images) * max(1, len(decoders) / 6))), 6.5))
    colours = plt.get_cmap("tab20").colors
    for i, d in enumerate(decoders):
        xs, ys, lo, hi = [], [], [], []
        for j, image in enumerate(images):
            r = cell.get((image, d))
            if r is None or r["ok"] != "1":
                continue
            median, mn, mx = float(r["median_mps"]), float(r["min_mps"]), float(r["max_mps"])
            xs.append(j - 0.4 + width * (i + 0.5))
            ys.append(median)
            lo.append(median - mn)
            hi.append(mx - median)
        ax.bar(xs, ys, width, yerr=[lo, hi], label=d, color=colours[i % len(colours)],
               error_kw={"elinewidth": 0.6, "capsize": 1.5})
    ax.set_yscale("log")
    ax.yaxis.set_major_locator(matplotlib.ticker.LogLocator(subs=(1.0, 2.0, 5.0)))
    ax.yaxis.set_major_formatter(matplotlib.ticker.ScalarFormatter())
    ax.yaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
    ax.set_ylabel("megapixels per second (median; bars: min-max)")
    ax.set_xticks(range(len(images)))
    ax.set_xticklabels([i.rsplit(".", 1)[0] for i in images], rotation=35, ha="right",
                       fontsize=8)
    ax.grid(axis="y", which="both", linewidth=0.3)
    ax.set_title(title)
    ax.legend(fontsize=8, ncol=min(6, len(decoders)), loc="upper center",
              bbox_to_anchor=(0.5, -0.22))
    fig.tight_layout()
    fig.savefig(sys.argv[2], dpi=110)


if __name__ == "__main__":
    main()
