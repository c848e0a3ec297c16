"""Delivering audio in memory to a target: a loudness, a true-peak ceiling,
or both, through the delivery loop (`_delivery`): the input is measured once,
with the loudness profile that finds the gain, and each pass limits it with
the detection that reads what the meter reads, until the meter confirms.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from ._delivery import (
    AlbumModel,
    DeliveryPlan,
    LoudnessModel,
    Passed,
    PassSettings,
    check_targets,
    deliver,
    gain_factor,
    profiling_meter,
)
from ._meter import Measurement, Meter, limit, measure, pooled_loudness

Audio = npt.NDArray[np.float32]


def apply_gain(audio: Audio, gain_db: float, out: Audio | None = None) -> Audio:
    """The audio times the gain, in float32 sample by sample, so that the same
    samples come out in one piece or in chunks; into `out` when given."""
    return np.multiply(audio, gain_factor(gain_db), out=out, dtype=np.float32)


@dataclass(frozen=True)
class Mastered:
    """What `master` made, and what the meter read before and after.

    Attributes:
        audio: The output: float32, the input's shape and layout.
        gains: The total gain of each frame (the normalisation included).
        before: The input's measurement.
        after: The output's measurement.
        gain_db: The gain brought to the loudness target (0 without one).
        passes: The passes run.
        loudness_reached: Whether the loudness target was reached (True
            without one).
        note: Why a target was missed, or what the last resort did; empty
            otherwise.
    """

    audio: Audio
    gains: npt.NDArray[np.float32]
    before: Measurement
    after: Measurement
    gain_db: float
    passes: int
    loudness_reached: bool
    note: str


def master(
    audio: npt.ArrayLike,
    sample_rate: int,
    *,
    loudness_lufs: float | None = None,
    ceiling_dbtp: float = -1.0,
    attack_ms: float = 5.0,
    hold_ms: float = 15.0,
    release_ms: float = 40.0,
    axis: int = -1,
    true_peak: bool = True,
    max_limiting_db: float | None = None,
    dual_mono: bool = False,
) -> Mastered:
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
        max_limiting_db: The deepest gain reduction allowed; where the
            loudness target takes more, the loudness is lowered to what it
            allows (``loudness_reached`` False, the note says so).
        dual_mono: Measure one channel as the same signal in two (a mono
            programme heard on two loudspeakers, +3 dB).

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
        meter = _profiled(source, sample_rate, axis, dual_mono)
        before = meter.result()
        model = LoudnessModel(meter, sample_rate, attack_ms, hold_ms, release_ms)
    else:
        before = measure(source, sample_rate, axis=axis, dual_mono=dual_mono)
    plan = DeliveryPlan(
        sample_rate,
        ceiling_dbtp,
        loudness_lufs,
        before=before,
        model=model,
        true_peak=true_peak,
        max_limiting_db=max_limiting_db,
    )
    return _delivered(
        source, sample_rate, plan, before, (attack_ms, hold_ms, release_ms), axis, dual_mono
    )


def _profiled(source: Audio, sample_rate: int, axis: int, dual_mono: bool) -> Meter:
    """A profiling meter over the whole array, a piece at a time (the meter
    copies what it is given)."""
    meter = profiling_meter(sample_rate, _channels(source, axis), dual_mono=dual_mono)
    frames = source.shape[axis] if source.ndim == 2 else source.shape[0]
    for start in range(0, frames, _PIECE):
        piece = (
            source[..., start : start + _PIECE]
            if source.ndim == 1 or axis % 2 == 1
            else source[start : start + _PIECE]
        )
        meter.add(piece, axis=axis)
    return meter


# Frames given to the profiling meter at a time.
_PIECE = 1 << 18


def _delivered(
    source: Audio,
    sample_rate: int,
    plan: DeliveryPlan,
    before: Measurement,
    times: tuple[float, float, float],
    axis: int,
    dual_mono: bool,
) -> Mastered:
    """Runs the plan's passes over `source` in memory."""
    # Every pass's gained input goes into the same array: fresh pages for
    # each pass cost as much as the multiplication.
    scratch = np.empty_like(source)
    made: list[tuple[Audio, npt.NDArray[np.float32]]] = []

    def run(settings: PassSettings) -> Passed:
        out, gains = _one_pass(source, scratch, settings, sample_rate, *times, axis)
        made[:] = [(out, gains)]
        total = gain_factor(settings.gain_db + settings.trim_db)
        deepest = float(gains.min() / total) if gains.size else 1.0
        return Passed(
            measure(out, sample_rate, axis=axis, dual_mono=dual_mono),
            max_reduction_db=max(0.0, -20.0 * math.log10(deepest)),
        )

    passed = deliver(plan, run)
    out, gains = made[0]
    return Mastered(
        out,
        gains,
        before,
        passed.output,
        plan.gain_db,
        plan.passes,
        plan.loudness_reached is not False,
        plan.note,
    )


@dataclass(frozen=True)
class AlbumMastered:
    """What `master_album` made: each track, and the album's integrated
    loudness and loudness range, gated as one programme, before and after.

    Attributes:
        tracks: Each track's ``Mastered``, in the order given.
        before: The album's integrated loudness (LUFS) and loudness range
            (LU) before.
        after: The same, after.
        gain_db: The one gain brought to every track.
        loudness_reached: Whether the album reached the loudness target.
        note: Why it did not; empty otherwise.
    """

    tracks: list[Mastered]
    before: tuple[float, float]
    after: tuple[float, float]
    gain_db: float
    loudness_reached: bool
    note: str


def master_album(
    tracks: Sequence[npt.ArrayLike],
    sample_rate: int,
    *,
    loudness_lufs: float,
    ceiling_dbtp: float = -1.0,
    attack_ms: float = 5.0,
    hold_ms: float = 15.0,
    release_ms: float = 40.0,
    axis: int = -1,
    true_peak: bool = True,
    max_limiting_db: float | None = None,
    dual_mono: bool = False,
) -> AlbumMastered:
    """Bring an album to a loudness as one programme, under a ceiling that
    every track holds: one gain for all tracks, found on their gating blocks
    pooled (BS.1770's loudness of the album, not the average of the
    tracks'), so that the tracks keep their differences.

    Arguments as for ``master``, ``tracks`` a sequence of arrays at the same
    rate. The tracks' own ``loudness_reached`` say whether each held the
    ceiling without the last resort; the album's, whether it reached the
    target.
    """
    check_targets(loudness_lufs, ceiling_dbtp)
    sources = [np.asarray(track, dtype=np.float32) for track in tracks]
    if not sources:
        raise ValueError("an album needs at least one track")
    meters = [_profiled(source, sample_rate, axis, dual_mono) for source in sources]
    befores = [meter.result() for meter in meters]
    models = [LoudnessModel(meter, sample_rate, attack_ms, hold_ms, release_ms) for meter in meters]
    album_before = pooled_loudness([meter.powers() for meter in meters], sample_rate)
    album = DeliveryPlan(
        sample_rate,
        ceiling_dbtp,
        loudness_lufs,
        before=_album_measurement(album_before, befores),
        model=AlbumModel(models),
        true_peak=true_peak,
        max_limiting_db=max_limiting_db,
    )
    times = (attack_ms, hold_ms, release_ms)
    settings = album.first()
    while True:
        delivered = []
        for source, before in zip(sources, befores):
            plan = DeliveryPlan(
                sample_rate, ceiling_dbtp, None, true_peak=true_peak, gain_db=settings.gain_db
            )
            delivered.append(_delivered(source, sample_rate, plan, before, times, axis, dual_mono))
        powers = []
        for done in delivered:
            meter = Meter(sample_rate, _channels(done.audio, axis), dual_mono=dual_mono)
            meter.add(done.audio, axis=axis)
            powers.append(meter.powers())
        album_after = pooled_loudness(powers, sample_rate)
        deepest = max(_reduction(done) for done in delivered)
        following = album.review(
            Passed(
                _album_measurement(album_after, [done.after for done in delivered]),
                max_reduction_db=deepest,
            )
        )
        if following is None or following.gain_db == settings.gain_db:
            break
        settings = following
    return AlbumMastered(
        delivered,
        album_before,
        album_after,
        album.gain_db,
        album.loudness_reached is not False,
        album.note,
    )


def _reduction(done: Mastered) -> float:
    """The deepest gain reduction of a track, in dB."""
    if not done.gains.size:
        return 0.0
    return max(0.0, -20.0 * math.log10(float(done.gains.min() / gain_factor(done.gain_db))))


def _album_measurement(figures: tuple[float, float], tracks: list[Measurement]) -> Measurement:
    """The album as one programme: its pooled loudness and range, and the
    largest of the tracks' peaks and maxima."""
    return Measurement(
        figures[0],
        figures[1],
        max(track.true_peak_dbtp for track in tracks),
        max(track.sample_peak_dbfs for track in tracks),
        max(track.max_momentary_lufs for track in tracks),
        max(track.max_short_term_lufs for track in tracks),
    )


def _channels(source: Audio, axis: int) -> int:
    if source.ndim != 2:
        return 1
    return int(source.shape[0] if axis % 2 == 1 else source.shape[1])


def _one_pass(
    source: Audio,
    scratch: Audio,
    settings: PassSettings,
    sample_rate: int,
    attack_ms: float,
    hold_ms: float,
    release_ms: float,
    axis: int,
) -> tuple[Audio, npt.NDArray[np.float32]]:
    gained = source if settings.gain_db == 0.0 else apply_gain(source, settings.gain_db, scratch)
    out, gains = limit(
        gained,
        sample_rate,
        settings.threshold_dBFS,
        attack_ms,
        hold_ms,
        release_ms,
        detection=settings.detection,
        axis=axis,
    )
    total = gain_factor(settings.gain_db + settings.trim_db)
    if settings.trim_db != 0.0:
        np.multiply(out, gain_factor(settings.trim_db), out=out)
    np.multiply(gains, total, out=gains)
    return out, gains
