"""Delivering audio in memory to a target: a loudness, a true-peak ceiling,
or both, through the delivery loop (`_delivery`): the input is measured once,
with the loudness profile that finds the gain, and each pass limits it with
the detection that reads what the meter reads, until the meter confirms.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from ._delivery import DeliveryPlan, LoudnessModel, Passed, PassSettings, check_targets, \
    deliver, gain_factor, profiling_meter
from ._meter import Measurement, limit, measure

Audio = npt.NDArray[np.float32]


def apply_gain(audio: Audio, gain_db: float, out: Audio | None = None) -> Audio:
    """The audio times the gain, in float32 sample by sample, so that the same
    samples come out in one piece or in chunks; into `out` when given."""
    return np.multiply(audio, gain_factor(gain_db), out=out, dtype=np.float32)


@dataclass(frozen=True)
class Mastered:
    """What `master` made, and what the meter read before and after."""

    audio: Audio
    gains: npt.NDArray[np.float32]
    before: Measurement
    after: Measurement
    gain_db: float
    passes: int
    loudness_reached: bool
    note: str


def master(audio: npt.ArrayLike, sample_rate: int, *, loudness_lufs: float | None = None,
           ceiling_dbtp: float = -1.0, attack_ms: float = 5.0, hold_ms: float = 15.0,
           release_ms: float = 40.0, axis: int = -1, true_peak: bool = True) -> Mastered:
    """Bring audio to a loudness (optional) under a true-peak ceiling that the
    strict meter confirms.

    Args:
        audio: Mono or multichannel audio, as ``qx_limiter.limit`` takes it.
        sample_rate: In hertz, 8000 to 384000.
        loudness_lufs: The integrated loudness to reach, -70 to 0, or None to
            leave the level as it is.
        ceiling_dbtp: The true-peak ceiling, at most 0. No output sample and
            no true peak, as ``measure`` reads it, is above it.
        attack_ms, hold_ms, release_ms: The limiter's times.
        axis: The frame axis, as for ``qx_limiter.limit``.
        true_peak: False holds the ceiling for sample peaks only, as the
            limiter does by itself in one pass: no true-peak detection, no
            verification, and passes only to reach the loudness.

    Returns:
        A ``Mastered``: the output (float32, the input's shape), the total
        gain of each frame (normalisation included), the measurements
        before and after, the normalisation gain, the passes run, whether
        the loudness was reached, and a note when it was not or when the
        last resort lowered the output.
    """
    check_targets(loudness_lufs, ceiling_dbtp)
    source = np.asarray(audio, dtype=np.float32)
    model = None
    if loudness_lufs is not None:
        meter = profiling_meter(sample_rate, _channels(source, axis))
        meter.add(source, axis=axis)
        before = meter.result()
        model = LoudnessModel(meter, sample_rate, attack_ms, hold_ms, release_ms)
    else:
        before = measure(source, sample_rate, axis=axis)
    plan = DeliveryPlan(sample_rate, ceiling_dbtp, loudness_lufs, before=before, model=model,
                        true_peak=true_peak)
    # Every pass's gained input goes into the same array: fresh pages for
    # each pass cost as much as the multiplication.
    scratch = np.empty_like(source)
    made: list[tuple[Audio, npt.NDArray[np.float32]]] = []

    def run(settings: PassSettings) -> Passed:
        out, gains = _one_pass(source, scratch, settings, sample_rate, attack_ms, hold_ms,
                               release_ms, axis)
        made[:] = [(out, gains)]
        return Passed(measure(out, sample_rate, axis=axis))

    passed = deliver(plan, run)
    out, gains = made[0]
    return Mastered(out, gains, before, passed.output, plan.gain_db, plan.passes,
                    plan.loudness_reached is not False, plan.note)


def _channels(source: Audio, axis: int) -> int:
    if source.ndim != 2:
        return 1
    return int(source.shape[0] if axis % 2 == 1 else source.shape[1])


def _one_pass(source: Audio, scratch: Audio, settings: PassSettings, sample_rate: int,
              attack_ms: float, hold_ms: float, release_ms: float,
              axis: int) -> tuple[Audio, npt.NDArray[np.float32]]:
    gained = source if settings.gain_db == 0.0 else apply_gain(source, settings.gain_db, scratch)
    out, gains = limit(gained, sample_rate, settings.threshold_dBFS, attack_ms, hold_ms,
                       release_ms, detection=settings.detection, axis=axis)
    total = gain_factor(settings.gain_db + settings.trim_db)
    if settings.trim_db != 0.0:
        np.multiply(out, gain_factor(settings.trim_db), out=out)
    np.multiply(gains, total, out=gains)
    return out, gains
