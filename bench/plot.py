#!/usr/bin/env python3
"""Bar chart of the comparison: median megapixels per second per image and decoder, with the
min-max spread as error bars, on a logarithmic axis (the 1-byte pieces are an order of
magnitude slower than the rest). One panel per page size (the image name up to its second
dash, e.g. "a4-300").

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
    with open(sys.argv[1], newline="") as f:
        rows = list(csv.DictReader(f))
    title = sys.argv[3] if len(sys.argv) > 3 else "Decoding throughput"
    images = list(dict.fromkeys(r["image"] for r in rows))
    decoders = list(dict.fromkeys(r["decoder"] for r in rows))
    cell = {(r["image"], r["decoder"]): r for r in rows}
    groups = {}
    for image in images:
        groups.setdefault("-".join(image.split("-")[:2]), []).append(image)

    most = max(len(g) for g in groups.values())
    width = 0.8 / len(decoders)
    fig, axes = plt.subplots(len(groups), 1, squeeze=False,
                             figsize=(min(24, max(10, most * len(decoders) * 0.16)),
                                      1.2 + 4.2 * len(groups)))
    colours = plt.get_cmap("tab20").colors
    for ax, (group, members) in zip(axes[:, 0], groups.items()):
        for i, d in enumerate(decoders):
            xs, ys, lo, hi = [], [], [], []
            for j, image in enumerate(members):
                r = cell.get((image, d))
                if r is None or r["ok"] != "1":
                    continue
                median, mn, mx = float(r["median_mps"]), float(r["min_mps"]), float(r["max_mps"])
                xs.append(j - 0.4 + width * (i + 0.5))
                ys.append(median)
                lo.append(median - mn)
                hi.append(mx - median)
            ax.bar(xs, ys, width, yerr=[lo, hi], label=d, color=colours[i % len(colours)],
                   error_kw={"elinewidth": 0.6, "capsize": 1.2})
        ax.set_yscale("log")
        ax.yaxis.set_major_locator(matplotlib.ticker.LogLocator(subs=(1.0, 2.0, 5.0)))
        ax.yaxis.set_major_formatter(matplotlib.ticker.ScalarFormatter())
        ax.yaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
        ax.set_ylabel("MP/s (median, min-max)")
        ax.set_xticks(range(len(members)))
        ax.set_xticklabels([m.rsplit(".", 1)[0] for m in members], fontsize=8)
        ax.set_xlim(-0.5, most - 0.5)
        ax.grid(axis="y", which="both", linewidth=0.3)
        ax.set_title(f"{title}: {group}", fontsize=10)
    handles, labels = axes[0, 0].get_legend_handles_labels()
    fig.legend(handles, labels, fontsize=8, ncol=min(10, len(decoders)), loc="lower center")
    fig.tight_layout(rect=(0, 0.05, 1, 1))
    fig.savefig(sys.argv[2], dpi=100)


if __name__ == "__main__":
    main()
