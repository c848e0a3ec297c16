"""Writes example.wav: 20 seconds of synthetic stereo music that is too loud.

A 32-bit float WAV, as a mix rendered without a limiter would be: its drum
hits go up to about +6 dBFS, above what integer formats could even hold, and
it gets louder in the middle, so that a limiter has work of every size.

    python examples/make_example.py [PATH] [--seconds S]
    qx-limiter example.wav -o example-limited.wav --threshold-dBFS -1 --plot example.png

Needs NumPy and soundfile (pip install 'qx_limiter[cli]').
"""

from __future__ import annotations

import argparse

import numpy as np
import numpy.typing as npt
import soundfile as sf

SAMPLE_RATE = 48000
TEMPO_BPM = 120.0

Signal = npt.NDArray[np.float64]


def decaying(t: Signal, rate: float) -> Signal:
    return np.exp(-rate * t)


def drums(t: Signal, beat: float, rng: np.random.Generator) -> Signal:
    """A kick on every beat and a snare on beats two and four."""
    since_beat = t % beat
    sweep = 50.0 + 90.0 * decaying(since_beat, 40.0)
    kick = np.sin(2 * np.pi * np.cumsum(sweep) / SAMPLE_RATE) * decaying(since_beat, 9.0)
    since_snare = (t - beat) % (2 * beat)
    snare = rng.standard_normal(t.size) * decaying(since_snare, 22.0) * 0.5
    snare += np.sin(2 * np.pi * 190.0 * t) * decaying(since_snare, 30.0) * 0.4
    result: Signal = 1.5 * kick + snare
    return result


def bass_and_chords(t: Signal, beat: float) -> tuple[Signal, Signal]:
    """A bass line and a sustained chord a fifth apart per bar."""
    roots = np.array([55.0, 55.0 * 2 ** (8 / 12), 55.0 * 2 ** (3 / 12), 55.0 * 2 ** (10 / 12)])
    bar = (t // (4 * beat)).astype(int) % roots.size
    root = roots[bar]
    phase = 2 * np.pi * np.cumsum(root) / SAMPLE_RATE
    bass = 0.5 * np.tanh(2.0 * np.sin(phase)) * (0.6 + 0.4 * decaying(t % beat, 6.0))
    chord = np.zeros_like(t)
    for k, ratio in enumerate((1.0, 1.26, 1.5, 2.0)):
        chord += np.sin(phase * 4 * ratio + k)
    return bass, 0.12 * chord


def make(seconds: float, seed: int = 7) -> npt.NDArray[np.float32]:
    """Frames-first (frames, 2) float32 stereo."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * SAMPLE_RATE)) / SAMPLE_RATE
    beat = 60.0 / TEMPO_BPM
    kit = drums(t, beat, rng)
    bass, chords = bass_and_chords(t, beat)
    # Louder towards the middle, like a chorus, then back down.
    swell = 0.7 + 0.8 * np.sin(np.pi * np.clip(t / seconds, 0.0, 1.0)) ** 2
    left = swell * (kit + bass + 1.1 * chords)
    right = swell * (0.9 * kit + bass + 0.9 * chords)
    hiss = rng.standard_normal((2, t.size)) * 0.005
    return (0.45 * np.stack([left, right]) + hiss).T.astype(np.float32)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("path", nargs="?", default="example.wav")
    parser.add_argument("--seconds", type=float, default=20.0)
    options = parser.parse_args()
    audio = make(options.seconds)
    sf.write(options.path, audio, SAMPLE_RATE, subtype="FLOAT")
    peak = float(np.abs(audio).max())
    print(
        f"wrote {options.path}: {options.seconds:g} s of stereo at {SAMPLE_RATE} Hz, "
        f"sample peak {20 * np.log10(peak):+.2f} dBFS"
    )


if __name__ == "__main__":
    main()
