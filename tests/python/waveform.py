"""The band-limited waveform's peak, the reference the true-peak readings
and the deliveries are held to, computed here in float64 independently of
the meter; and the signals on which it is hardest to hold: hard-clipped
noise bursts, and bursts near Nyquist over a steady bed."""

import math

import numpy as np


def waveform_peak(planar):
    """The largest magnitude of the band-limited waveform through the samples
    (zeros around them), in float64: the spectrum zero-padded to a 32x grid
    (the Nyquist bin split between its two images, at least 8192 zeros
    around the signal against the transform's wrap-around), then the vertex
    of the parabola through the largest grid value and its neighbours."""
    best = 0.0
    for channel in np.atleast_2d(np.asarray(planar, np.float64)):
        size = 1 << int(math.ceil(math.log2(channel.size + 16384)))
        spectrum = np.fft.rfft(channel, size)
        spectrum[-1] *= 0.5
        wide = np.zeros(16 * size + 1, complex)
        wide[:spectrum.size] = spectrum
        y = np.abs(np.fft.irfft(wide, 32 * size)) * 32
        i = int(np.argmax(y))
        a, b, c = y[i - 1], y[i], y[(i + 1) % y.size]
        d = (a - b) + (c - b)
        best = max(best, b - (a - c) ** 2 / (8 * d) if d < 0 else b)
    return best


def clipped_bursts(rate, seconds, seed):
    """Stereo Gaussian noise bursts of 50-400 ms at random levels (sigma 0.3
    to 4), hard-clipped at +-1, over a quiet noise bed: loud masters as they
    are clipped on purpose."""
    rng = np.random.default_rng(seed)
    frames = int(rate * seconds)
    x = rng.standard_normal((2, frames)) * 0.02
    start = 0
    while start < frames:
        length = int(rate * rng.uniform(0.05, 0.4))
        x[:, start:start + length] += rng.standard_normal((2, min(length, frames - start))) * \
            rng.uniform(0.3, 4.0)
        start += length + int(rate * rng.uniform(0.05, 0.3))
    return np.clip(x, -1.0, 1.0).astype(np.float32)


def nyquist_bursts(rate, seconds, seed):
    """Tone bursts between 0.45 and 0.49 of the rate, gated without ramps,
    over a 1 kHz bed."""
    rng = np.random.default_rng(seed)
    frames = int(rate * seconds)
    t = np.arange(frames) / rate
    x = np.tile(0.1 * np.sin(2 * np.pi * 1000 * t), (2, 1))
    for start in rng.integers(0, frames - rate // 20, int(seconds * 6)):
        f = rng.uniform(0.45, 0.49) * rate
        n = rate // 50
        x[:, start:start + n] += 0.6 * np.sin(2 * np.pi * f * t[:n] + rng.uniform(0, 6, (2, 1)))
    return x.astype(np.float32)
