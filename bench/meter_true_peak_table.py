"""Worst-case true-peak readings of the meter's design against the references.

    python bench/meter_true_peak_table.py [--rates 8000,44100,48000,96000,192000]

For every test signal and rate: the oracle's reading (tests/python/
meter_oracle.py: the compiled meter gives the same bits), libebur128's
(pyebur128), the BS.1770 4x interpolator's and the peak of the 32x
band-limited reconstruction. Prints two markdown tables of differences in
dB: per signal (worst over the rates) and per rate (worst over the
signals); docs/meter-design.md quotes them.
"""

import argparse
import math
import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
import meter_oracle as mo  # noqa: E402


def db(v):
    return 20 * math.log10(v) if v > 0 else -math.inf


def ebur128_peak(planar, rate):
    import pyebur128 as eb

    state = eb.R128State(planar.shape[0], rate, int(eb.MeasurementMode.MODE_TRUE_PEAK))
    state.add_frames(np.ascontiguousarray(planar.T, dtype=np.float64).ravel(), planar.shape[1])
    return max(eb.get_true_peak(state, c) for c in range(planar.shape[0]))


def signals(rate):
    """(name, audio, content below 0.45 fs?)"""
    for f in (0.05, 0.1, 0.2, 0.25, 0.3, 0.33, 0.36, 0.4, 0.42, 0.45):
        yield "tone <= 0.45 fs, worst phase", mo.tone(rate, f * rate), True
    for f in (0.46, 0.47, 0.48, 0.49):
        yield "tone 0.46..0.49 fs, worst phase", mo.tone(rate, f * rate), False
    yield "tone 20 Hz / 997 Hz", mo.tone(rate, 20.0, seconds=0.6, ramp_seconds=0.2), True
    yield "tone 20 Hz / 997 Hz", mo.tone(rate, 997.0), True
    yield "fs/4 at 45 degrees", mo.tone(rate, rate / 4, seconds=1.0), True
    for k, (fr, am) in enumerate([((0.021, 0.065, 0.16), (0.3, 0.2, 0.15)),
                                  ((0.2, 0.37, 0.44), (0.3, 0.25, 0.2)),
                                  ((0.013, 0.11, 0.27, 0.41), (0.3, 0.2, 0.15, 0.1))]):
        yield "sine sums (analytic peak)", mo.sine_sum(rate, [f * rate for f in fr], am), True
    for seed in range(3):
        yield "noise low-passed at 0.44 fs", mo.band_noise(rate, 0.0, 0.44, 0.25, seed), True
        yield "noise 0.40..0.49 fs", mo.band_noise(rate, 0.40, 0.49, 0.25, seed), False
        yield "transients", mo.transients(rate, 0.25, seed), False
        yield "clipped noise", mo.clipped_noise(rate, 0.25, seed=seed), False
        yield "music-like (full band)", mo.music_like(rate, 0.5, 1, seed, level=2.0), False


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rates", default="8000,44100,48000,96000,192000")
    args = parser.parse_args()
    rates = [int(r) for r in args.rates.split(",")]
    rows = []  # (signal, rate, in_band, ours, ebur, ref4, sinc)
    for rate in rates:
        for name, audio, in_band in signals(rate):
            rows.append((name, rate, in_band, db(mo.true_peak_linear(audio)),
                         db(ebur128_peak(audio, rate)), db(mo.bs1770_reference_peak(audio)),
                         db(mo.sinc_peak(audio))))

    def table(key, title):
        print(f"\n| {title} | ours - libebur128 (min) | ours - 4x ref (min) | "
              "ours - 32x (min / max) | libebur128 - 32x (max) | 4x ref - 32x (max) |")
        print("|---|---|---|---|---|---|")
        groups = {}
        for r in rows:
            groups.setdefault(key(r), []).append(r)
        for group, members in groups.items():
            o_e = min(r[3] - r[4] for r in members)
            o_r = min(r[3] - r[5] for r in members)
            o_s = [r[3] - r[6] for r in members]
            e_s = max(r[4] - r[6] for r in members)
            r_s = max(r[5] - r[6] for r in members)
            print(f"| {group} | {o_e:+.3f} | {o_r:+.4f} | {min(o_s):+.3f} / {max(o_s):+.3f} "
                  f"| {e_s:+.3f} | {r_s:+.3f} |")

    table(lambda r: r[0], "signal (worst over rates)")
    table(lambda r: f"{r[1]} Hz" + (" in band" if r[2] else " beyond 0.45 fs / full band"),
          "rate")


if __name__ == "__main__":
    main()
