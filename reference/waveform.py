"""The band-limited waveform's peak, the reference the true-peak readings
and the deliveries are held to, computed here in float64 independently of
the meter; the signals on which it is hardest to hold (hard-clipped noise
bursts, bursts near Nyquist over a steady bed); and the families of short
signals on which the meter's reading is held against it."""

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
        wide[: spectrum.size] = spectrum
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
        x[:, start : start + length] += rng.standard_normal(
            (2, min(length, frames - start))
        ) * rng.uniform(0.3, 4.0)
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
        x[:, start : start + n] += 0.6 * np.sin(2 * np.pi * f * t[:n] + rng.uniform(0, 6, (2, 1)))
    return x.astype(np.float32)


# ---------------------------------------------------------------------------
# Families of short signals, each one channel made from (rate, rng)


def _ramped(x, frames, ramp):
    t = np.arange(frames)
    edge = np.minimum(1.0, np.minimum(t, frames - 1 - t) / ramp)
    return x * (0.5 - 0.5 * np.cos(np.pi * edge))


def _sine(rate, rng, f, abrupt=False):
    frames = rate // 10
    x = 0.5 * np.cos(2 * np.pi * f * np.arange(frames) + rng.uniform(0, 2 * np.pi))
    if abrupt:  # a burst of 3 ms in silence, gated without a ramp
        start, length = frames // 3, max(8, rate * 3 // 1000)
        x[:start] = 0.0
        x[start + length :] = 0.0
        return x
    return _ramped(x, frames, frames // 5)


def _sign_pattern(rate, rng, half):
    # The signs of the ideal kernel around a point between two samples over
    # ±half samples, the worst such sequence for that point, in low noise.
    frames = rate // 10
    x = 0.02 * rng.standard_normal(frames)
    k = np.arange(-half + 1, half + 1)
    x[frames // 2 + k] = 0.9 * np.sign(np.sinc(k - 0.5))
    return x


def _band(rate, rng, low, high):
    from scipy import signal as _signal

    frames = rate // 10
    taps = _signal.firwin(1601, [2 * low, 2 * high], pass_zero=False, window=("kaiser", 14))
    x = np.convolve(rng.standard_normal(frames + 1600), taps, "valid")
    return _ramped(x / np.abs(x).max() * 0.7, frames, frames // 10)


def _transients(rate, rng):
    import meter_oracle

    return meter_oracle.transients(rate, seconds=0.1, seed=int(rng.integers(1000)))[0]


# Each family makes one channel from (rate, rng); the test makes two.
WAVEFORM_FAMILIES = {
    **{
        f"sine-{f}fs": (lambda r, g, f=f: _sine(r, g, f))
        for f in (0.01, 0.1, 0.25, 0.33, 0.42, 0.45, 0.47, 0.49, 0.495)
    },
    **{f"burst-{f}fs": (lambda r, g, f=f: _sine(r, g, f, abrupt=True)) for f in (0.3, 0.45, 0.49)},
    "transients": lambda r, g: _transients(r, g),
    **{
        f"clipped-{s}": (lambda r, g, s=s: np.clip(g.standard_normal(r // 10) * s, -1.0, 1.0))
        for s in (0.25, 0.5, 1.0, 4.0)
    },
    "random-signs": lambda r, g: np.sign(g.standard_normal(r // 10)),
    "signs-32": lambda r, g: _sign_pattern(r, g, 32),
    "near-nyquist": lambda r, g: _band(r, g, 0.45, 0.495),
}
