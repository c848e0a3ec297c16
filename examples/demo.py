"""Limits a few seconds of over-loud synthetic stereo in both detection modes.

Run after installing the module:  python examples/demo.py
"""

from typing import Any

import numpy as np
import numpy.typing as npt
from qx_limiter import QXLimiter, limit

SAMPLE_RATE = 48000
SECONDS = 4.0


def synthesise() -> npt.NDArray[np.float64]:
    """Channels-first stereo: a quiet chord under loud drum-like bursts (about +8 dBFS)."""
    t = np.arange(int(SAMPLE_RATE * SECONDS)) / SAMPLE_RATE
    chord = sum(np.sin(2 * np.pi * f * t) for f in (110.0, 220.0 * 1.26, 330.0, 5000.0))
    bursts = np.exp(-30.0 * (t % 0.5)) * np.sin(2 * np.pi * 60.0 * t) * 2.0
    noise = np.random.default_rng(0).standard_normal((2, t.size)) * 0.05
    left = 0.2 * chord + bursts
    right = 0.18 * chord + 0.8 * bursts
    return np.stack([left, right]) + noise


def dbfs(value: float) -> float:
    return 20.0 * np.log10(value) if value > 0 else float("-inf")


def true_peak_estimate(audio: npt.NDArray[np.floating[Any]], factor: int = 8) -> float:
    """Peak of the signal interpolated by zero-padding its spectrum (a rough meter)."""
    spectrum = np.fft.rfft(audio, axis=-1)
    upsampled = np.fft.irfft(spectrum, n=audio.shape[-1] * factor, axis=-1) * factor
    return float(np.abs(upsampled).max())


def main() -> None:
    audio = synthesise()
    print(f"input: {audio.shape[0]} channels, {audio.shape[1]} frames at {SAMPLE_RATE} Hz")
    print(
        f"  sample peak {dbfs(np.abs(audio).max()):+.2f} dBFS, "
        f"true peak ~{dbfs(true_peak_estimate(audio)):+.2f} dBFS"
    )

    ceiling = -1.0
    for true_peak in (False, True):
        limiter = QXLimiter(SAMPLE_RATE, threshold_dBFS=ceiling, true_peak=true_peak)
        out, gains = limiter.process(audio)
        mode = "true-peak" if true_peak else "sample-peak"
        print(
            f"\n{mode} detection, ceiling {ceiling:+.1f} dBFS "
            f"(look-ahead {limiter.lookahead_samples} samples):"
        )
        print(
            f"  sample peak {dbfs(np.abs(out).max()):+.2f} dBFS, "
            f"true peak ~{dbfs(true_peak_estimate(out)):+.2f} dBFS"
        )
        print(
            f"  largest gain reduction {-dbfs(gains.min()):.2f} dB, "
            f"frames reduced by over 0.1 dB {np.mean(gains < 10 ** (-0.1 / 20)):.0%}"
        )

    # The one-call form, frames-first (as most audio files are read).
    out, gains = limit(audio.T, SAMPLE_RATE, threshold_dBFS=-3.0, axis=0)
    print(
        f"\nlimit(..., threshold_dBFS=-3.0, axis=0): output shape {out.shape}, "
        f"sample peak {dbfs(np.abs(out).max()):+.2f} dBFS"
    )


if __name__ == "__main__":
    main()
