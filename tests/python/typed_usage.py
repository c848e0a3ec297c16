"""Checked by mypy --strict in test_typing.py, never run: the stubs give
precise types to good calls and reject bad ones. Every "type: ignore" below
must be needed, since --strict reports one that is not."""

from typing import assert_type

import numpy as np
from qx_limiter import QXLimiter, limit

Audio = np.ndarray[tuple[int, ...], np.dtype[np.float32]]
Gains = np.ndarray[tuple[int], np.dtype[np.float32]]

stereo = np.zeros((2, 480))
limiter = QXLimiter(48000, threshold_dBFS=-1.0, true_peak=np.True_)
assert_type(limiter.process(stereo), tuple[Audio, Gains])
assert_type(limiter.process([0.5, 0.25], axis=np.int64(0)), tuple[Audio, Gains])
assert_type(
    limit(stereo.T, np.uint32(44100), -1, 1.5, 15, np.float32(12.5), 0, True), tuple[Audio, Gains]
)
audio, gains = limit(stereo, 48000)
assert_type(audio.dtype, np.dtype[np.float32])
assert_type(gains.shape, tuple[int])
assert_type(float(gains.min()), float)

assert_type(limiter.sample_rate, int)
assert_type(limiter.threshold, float)
assert_type(limiter.threshold_dBFS, float)
assert_type(limiter.true_peak, bool)
assert_type(limiter.lookahead_samples, int)
assert_type(limiter.attack_samples, int)
assert_type(limiter.hold_samples, int)
assert_type(limiter.release_samples, float)

QXLimiter(48000.0)  # type: ignore[arg-type]
QXLimiter(48000, true_peak=1)  # type: ignore[arg-type]
QXLimiter(48000, threshold_dBFS="-1")  # type: ignore[arg-type]
QXLimiter(48000, ceiling=-1.0)  # type: ignore[call-arg]
limit(stereo, 48000, axis=1.0)  # type: ignore[arg-type]
limit(stereo)  # type: ignore[call-arg]
limiter.process(stereo, -1, 0)  # type: ignore[call-arg]
limiter.threshold = 0.5  # type: ignore[misc]


class Louder(QXLimiter):  # type: ignore[misc]
    pass


# The meter of qx_limiter_tools.
from qx_limiter_tools import Measurement, Meter, integrated_loudness, measure  # noqa: E402

figures = measure(stereo, 48000, axis=np.int64(-1))
assert_type(figures, Measurement)
assert_type(figures.true_peak_dbtp, float)
assert_type(integrated_loudness([0.5, 0.25], 44100), float)
meter = Meter(48000, 2)
meter.add(stereo.T, axis=0)
assert_type(meter.result().integrated_lufs, float)
measure(stereo, 48000, -1)  # type: ignore[call-arg]
