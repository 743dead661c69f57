"""Reads the bundled example files, prints a summary of each and, where matplotlib is
installed, draws the first waveforms of each file (one panel per WD2 channel) into a PNG, and
the amplitude spectrum and arrival times of their pulses, from their pulse features, into
another.

    python examples/demo.py [DATADIR] [--png FILE] [--features-png FILE]

The pictures go to DATADIR/waveforms.png and DATADIR/features.png unless named.
"""
import argparse
import time
from pathlib import Path

import numpy as np

import vorn_columns
from vorn import EventReader

FILES = [("pulses.wd1", "WD1"), ("pulses_2ch.wd2", "WD2"), ("pulses_1ch.wd2", "WD2")]
SHOWN = 5  # waveforms drawn per panel


def summarize(path, layout):
    events = list(EventReader(str(path), layout))
    print(f"{path.name} ({layout}): {len(events)} events")
    if not events:
        return events
    sizes = sorted({len(ev["data"]) for ev in events})
    print(f"  samples per event: {', '.join(map(str, sizes))}")
    for key in events[0]:
        if key == "data":
            continue
        values = [ev[key] for ev in events]
        print(f"  {key:16} {min(values)} .. {max(values)}")
    first = dict(events[0])
    data = first.pop("data")
    print(f"  first event: {first}")
    print(f"  first samples: {data[:6]} ... dtype {data.dtype}, min {data.min()}, max {data.max()}")
    return events


def pulse_heights(path, layout):
    """The same file read as columns: every event's pulse height (the largest
    excursion from the baseline, the median of its first 16 samples) in a few
    vectorised NumPy calls, without a Python loop over events."""
    batch = vorn_columns.read(path, layout)
    waves = batch.waveforms().reshape(len(batch), -1).astype(np.float64)
    baseline = np.median(waves[:, :16], axis=1)
    heights = np.abs(waves - baseline[:, None]).max(axis=1)
    counts, edges = np.histogram(heights, bins=5)
    print(f"  vorn_columns: {len(batch)} events in one read, pulse heights "
          f"{heights.min():.4g} .. {heights.max():.4g}")
    for count, lo, hi in zip(counts, edges, edges[1:]):
        print(f"    {lo:10.4g} .. {hi:<10.4g} {'#' * int(40 * count / max(counts.max(), 1))} {count}")
    return heights


# The example pulses go down from the baseline, which the first 64 samples hold.
FEATURES = vorn_columns.Features("negative", baseline=(0, 64), cfd_fraction=0.3,
                                 select=["amplitude", "cfd_time"])


def best_of(reads, call):
    """The shortest time of `reads` calls, and the last result."""
    best = float("inf")
    for _ in range(reads):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return best, result


def pulse_features(path, layout):
    """The file's amplitudes and arrival times (cfd_time, in samples) of every event and
    channel, computed while it is read, and how long that took against the plain read."""
    plain, _ = best_of(5, lambda: vorn_columns.read(path, layout))
    took, batch = best_of(5, lambda: vorn_columns.read(path, layout, features=FEATURES))
    print(f"  features: {len(batch)} events in {took * 1e3:.2f} ms, the plain read "
          f"{plain * 1e3:.2f} ms")
    return batch["amplitude"].ravel(), batch["cfd_time"].ravel()


def plot_features(spectra, png):
    """The amplitude spectrum and the arrival-time distribution, a panel each, of every
    file (a WD1 file counts ADC units, a WD2 file volts: each spectrum is scaled to its
    largest amplitude)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (amp_ax, time_ax) = plt.subplots(2, 1, figsize=(9, 6))
    for name, amplitudes, times in spectra:
        top = np.nanmax(amplitudes) if len(amplitudes) else 1.0
        amp_ax.hist(amplitudes / top, bins=50, histtype="step", label=f"{name} (max {top:.4g})")
        time_ax.hist(times[np.isfinite(times)], bins=50, histtype="step", label=name)
    amp_ax.set_xlabel("amplitude / largest amplitude")
    time_ax.set_xlabel("arrival time (cfd_time, samples)")
    for ax in (amp_ax, time_ax):
        ax.set_ylabel("pulses")
        ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(png, dpi=100)
    plt.close(fig)
    print(f"wrote {png}")


def channels(ev):
    """The event's samples as one row per channel: a WD2 block holds the channels one after
    another, `samples` values each."""
    data = ev["data"]
    samples = ev.get("samples") or len(data)
    return data.reshape(-1, samples) if len(data) else data.reshape(1, 0)


def panels(path, events):
    """(title, waveforms) per panel: one for a single-channel file, one per channel otherwise."""
    waves = [channels(ev) for ev in events[:SHOWN]]
    count = waves[0].shape[0] if waves else 0
    if count == 1:
        return [(path.name, [w[0] for w in waves])]
    return [(f"{path.name}, channel {c}", [w[c] for w in waves]) for c in range(count)]


def plot(all_panels, png):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(len(all_panels), 1, figsize=(9, 2.6 * len(all_panels)), squeeze=False)
    for ax, (title, waves, unit) in zip(axes[:, 0], all_panels):
        for i, wave in enumerate(waves):
            ax.plot(wave, lw=0.8, label=f"event {i}")
        ax.set_title(title, fontsize=10)
        ax.set_ylabel(unit)
    axes[-1, 0].set_xlabel("sample")
    axes[0, 0].legend(fontsize=7, loc="lower right")
    fig.tight_layout()
    fig.savefig(png, dpi=100)
    plt.close(fig)
    print(f"wrote {png}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("datadir", nargs="?", default="examples/data")
    parser.add_argument("--png")
    parser.add_argument("--features-png")
    args = parser.parse_args(argv)
    png = args.png or Path(args.datadir) / "waveforms.png"
    features_png = args.features_png or Path(args.datadir) / "features.png"
    all_panels, spectra = [], []
    for name, layout in FILES:
        path = Path(args.datadir) / name
        events = summarize(path, layout)
        if events:
            pulse_heights(path, layout)
            spectra.append((name, *pulse_features(path, layout)))
        unit = "ADC counts" if layout == "WD1" else "volts"
        all_panels += [(title, waves, unit) for title, waves in panels(path, events)]
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print("matplotlib is not installed: no picture (pip install matplotlib)")
        return
    if all_panels:
        plot(all_panels, png)
    if spectra:
        plot_features(spectra, features_png)


if __name__ == "__main__":
    main()
