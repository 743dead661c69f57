"""Writes small example files of realistic detector pulses in both layouts.

    python examples/make_examples.py OUTDIR

pulses.wd1     WD1: 12-bit digitiser, 4 board channels, 1024 samples per event
pulses_2ch.wd2 WD2: 2 channels with channel word, 512 samples each, volts
pulses_1ch.wd2 WD2: 1 channel, no channel word, 2000 samples, volts
runs/          a directory of runs for examples/many_files.py: six WD1 and two WD2 files
"""
import struct
import sys
from pathlib import Path

import numpy as np

WD1_HEADER = struct.Struct("<6i")
WD2_HEADER = struct.Struct("<IQIQ")


def pulse(n, t0, amplitude, rise, decay):
    """A detector pulse: fast exponential rise, slow exponential decay."""
    t = np.arange(n, dtype=np.float64) - t0
    shape = np.where(t > 0, (1 - np.exp(-t / rise)) * np.exp(-t / decay), 0.0)
    return amplitude * shape / max(shape.max(), 1e-12)


def write_wd1(path, rng, events=200, samples=1024, first=0):
    with open(path, "wb") as f:
        for i in range(first, first + events):
            channel = i % 4
            baseline = 3800 + 10 * channel
            wave = baseline - pulse(samples, rng.uniform(200, 300), rng.gamma(4.0, 400.0), 4, 60)
            wave += rng.normal(0, 3, samples)
            data = np.clip(np.rint(wave), 0, 4095).astype("<u2")
            header = WD1_HEADER.pack(24 + 2 * samples, 1, 0, channel, i, (i * 8_000) & 0x7FFFFFFF)
            f.write(header + data.tobytes())


def write_wd2(path, rng, events, samples, channels, with_word):
    period = 200  # picoseconds between samples, as the writer records it
    with open(path, "wb") as f:
        for i in range(events):
            blocks = []
            t0 = rng.uniform(0.2, 0.3) * samples
            for c in range(channels):
                amp = rng.gamma(3.0, 0.05) * (1.0 - 0.3 * c)
                wave = -pulse(samples, t0 + 5 * c, amp, 3, samples / 20)
                blocks.append(wave + rng.normal(0, 0.002, samples))
            data = np.concatenate(blocks).astype("<f4")
            header = WD2_HEADER.pack(i, 1_000_000 * i + int(rng.integers(0, 1000)), samples, period)
            if with_word:
                header += struct.pack("<i", channels)
            f.write(header + data.tobytes())


def main(out):
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(20261207)
    write_wd1(out / "pulses.wd1", rng)
    write_wd2(out / "pulses_2ch.wd2", rng, events=100, samples=512, channels=2, with_word=True)
    write_wd2(out / "pulses_1ch.wd2", rng, events=100, samples=2000, channels=1, with_word=False)
    runs = out / "runs"
    runs.mkdir(exist_ok=True)
    for n in range(6):
        write_wd1(runs / f"run{n:03}.wd1", rng, events=100, first=100 * n)
    for n in range(6, 8):
        write_wd2(runs / f"run{n:03}.wd2", rng, events=50, samples=512, channels=2, with_word=True)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "examples/data")
