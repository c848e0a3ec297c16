"""The meter's true peak against the band-limited waveform and libebur128.

    python bench/meter_true_peak_table.py [--seeds 3] [--rates 44100,48000,96000,192000]

For every family of reference/waveform.py's WAVEFORM_FAMILIES (the ones
test_meter.py holds the meter to: sines from 0.01 to 0.495 fs, bursts, transients, clipped
noise, random signs, sign runs, near-Nyquist noise; stereo, 0.1 s) and
every rate: the compiled meter's reading minus the waveform's peak (the
test's float64 FFT reconstruction), min/max over the seeds; and the
smallest margin over libebur128 (pyebur128) over all rates and seeds.
Prints the markdown table that docs/meter-design.md (section 7) quotes.
"""

import argparse
import math
import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "reference"))

import qx_limiter_tools as tools  # noqa: E402

from waveform import WAVEFORM_FAMILIES, waveform_peak  # noqa: E402


def db(v):
    return 20 * math.log10(v) if v > 0 else -math.inf


def ebur128_db(planar, rate):
    import pyebur128 as eb

    state = eb.R128State(planar.shape[0], rate, int(eb.MeasurementMode.MODE_TRUE_PEAK))
    state.add_frames(np.ascontiguousarray(planar.T, dtype=np.float64).ravel(), planar.shape[1])
    return db(max(eb.get_true_peak(state, c) for c in range(planar.shape[0])))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=3)
    parser.add_argument("--rates", default="44100,48000,96000,192000")
    args = parser.parse_args()
    rates = [int(r) for r in args.rates.split(",")]

    print(
        "| family | " + " | ".join(f"{r / 1000:g} kHz" for r in rates) + " | − libebur128 (min) |"
    )
    print("|---|" + "---|" * (len(rates) + 1))
    overall = []
    for family, make in WAVEFORM_FAMILIES.items():
        cells, over_ebur = [], math.inf
        for rate in rates:
            diffs = []
            for seed in range(args.seeds):
                rng = np.random.default_rng([rate, len(family), seed])
                audio = np.stack([make(rate, rng) for _ in range(2)]).astype(np.float32)
                ours = tools.measure(audio, rate).true_peak_dbtp
                diffs.append(ours - db(waveform_peak(audio)))
                over_ebur = min(over_ebur, ours - ebur128_db(audio, rate))
            overall.extend(diffs)
            cells.append(f"{min(diffs):+.3f}/{max(diffs):+.3f}")
        print(f"| {family} | " + " | ".join(cells) + f" | {over_ebur:+.3f} |")
    print(f"\nengine − waveform over everything: {min(overall):+.3f} to {max(overall):+.3f} dB")


if __name__ == "__main__":
    main()
