"""The soak's picture: resident memory, descriptors and threads of each process over time, and
the daemon's passes per second in each minute."""

import csv

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def draw(samples_csv, mins, out_png):
    by = {}
    with open(samples_csv) as f:
        for row in csv.DictReader(f):
            s = by.setdefault(row["process"], ([], [], [], []))
            s[0].append(float(row["t_s"]) / 60)
            s[1].append(int(row["rss_kib"]) / 1024)
            s[2].append(int(row["fds"]))
            s[3].append(int(row["threads"]))
    fig, ax = plt.subplots(4, 1, figsize=(10, 11), sharex=False)
    for name, (t, rss, fds, th) in by.items():
        ax[0].plot(t, rss, label=name)
        if name != "chromium":  # hundreds of descriptors and threads would flatten the others
            ax[1].plot(t, fds, label=name)
            ax[2].plot(t, th, label=name)
    for a, what in zip(ax[:3], ("resident memory (MiB)", "open descriptors (Chromium left out)",
                                "threads (Chromium left out)")):
        a.set_ylabel(what)
        a.set_xlabel("minutes")
        a.grid(True, alpha=0.3)
    ax[0].legend(fontsize=8, loc="upper left")
    ax[1].legend(fontsize=8, loc="upper left")
    ax[0].set_yscale("log")
    ok = [(m, r) for m, _, r, ex in mins if not ex]
    ex = [(m, r) for m, _, r, e in mins if e]
    ax[3].plot([m for m, _ in ok], [r for _, r in ok], "o", label="judged minutes")
    ax[3].plot([m for m, _ in ex], [r for _, r in ex], "x", label="tick changed")
    ax[3].axhspan(59.4, 60.6, alpha=0.15, label="60/s ± 1 %")
    ax[3].set_ylabel("passes per second")
    ax[3].set_xlabel("minute after warm-up")
    ax[3].legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(out_png, dpi=90)
    plt.close(fig)
