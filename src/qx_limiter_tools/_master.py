"""Delivering audio to a target: a loudness, a true-peak ceiling, or both.

`master` brings the integrated loudness to a target with one gain, limits
the true peaks to a ceiling, and measures what it made: limiting lowers the
loudness, so the gain is raised by the shortfall and the pass repeated;
where the strict meter still reads over the ceiling, the limiter's
threshold comes down by what it found over, and the pass is repeated. The
decisions between passes belong to `Delivery`, so that the command line,
which runs the same passes over a file in chunks, makes exactly the same
ones.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from qx_limiter import limit

from ._meter import Measurement, measure

Audio = npt.NDArray[np.float32]

# The rates at which the limiter detects true peaks itself; elsewhere it
# detects sample peaks, and the meter's verification does the rest.
_REFERENCE_RATES = frozenset({8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000,
                              88200, 96000})

# How close to the target the loudness has to come, in LU.
LOUDNESS_TOLERANCE_LU = 0.1
# Passes of the limiter, at most, before the last resort below.
MAX_PASSES = 8
# Below this many LU per dB of gain, the limiter takes more than half of
# what more gain would add: the last step is taken back and the target is
# called out of reach, rather than bought with ever deeper limiting (the
# last few tenths of a LU can cost 15 dB of gain reduction on dense music).
MIN_SLOPE = 0.5
# The largest change of gain from one pass to the next.
MAX_STEP_DB = 12.0
# What the threshold comes down by beyond what the meter found over the
# ceiling: the reading rises and falls with the threshold, not exactly.
OVERSHOOT_MARGIN_DB = 0.01
# Where lowering the threshold left the meter's reading exactly as it was
# (the limiter's detector does not reach the peak the meter reads, as on
# clipped, full-band bursts), the next step is this many times larger.
SEARCH_FACTOR = 2.0
# The last resort, when the passes run out with the ceiling still not held:
# the whole output comes down by what is over, and this much more.
SAFETY_MARGIN_DB = 0.1


def check_targets(loudness_lufs: float | None, ceiling_dbtp: float) -> None:
    """ValueError for a loudness or a ceiling that cannot be delivered to."""
    if not (isinstance(ceiling_dbtp, (int, float)) and math.isfinite(ceiling_dbtp)
            and ceiling_dbtp <= 0.0):
        raise ValueError(f"ceiling_dbtp must be a finite dBTP value at most 0, got {ceiling_dbtp}")
    if loudness_lufs is not None and not (isinstance(loudness_lufs, (int, float))
                                          and -70.0 <= loudness_lufs <= 0.0):
        raise ValueError(f"loudness_lufs must be a LUFS value from -70 to 0, or None, got "
                         f"{loudness_lufs}")


def limiter_detects_true_peak(sample_rate: int) -> bool:
    """Whether `limit(..., true_peak=True)` detects true peaks at this rate
    (every rate from 176.4 kHz up is measured on its own samples)."""
    return sample_rate in _REFERENCE_RATES or sample_rate >= 176400


def apply_gain(audio: Audio, gain_db: float, out: Audio | None = None) -> Audio:
    """The audio times the gain, in float32 sample by sample, so that the same
    samples come out in one piece or in chunks; into `out` when given."""
    return np.multiply(audio, np.float32(10.0 ** (gain_db / 20.0)), out=out, dtype=np.float32)


@dataclass
class Delivery:
    """The settings of the next pass, and what the last one showed."""

    sample_rate: int
    ceiling_dbtp: float
    loudness_lufs: float | None
    gain_db: float = 0.0
    threshold_dBFS: float = 0.0
    passes: int = 0
    loudness_reached: bool = True
    note: str = ""
    # The gain of the last resort, applied after the limiter; 0 dB normally.
    trim_db: float = 0.0
    # The gain and the loudness of the pass before, over its threshold.
    _previous: tuple[float, float] | None = None
    # The last step down of the threshold, the true peak read before it,
    # and the gain and trim it was taken at.
    _lowering: tuple[float, float, float, float] | None = None
    # False: the ceiling holds for sample peaks, which the limiter keeps
    # under its threshold by itself; true peaks are neither detected nor
    # verified, and only the loudness calls for another pass.
    verify_true_peak: bool = True
    # The ceiling and loudness as the caller gave them, for the notes: a
    # plan made to write a file again aims at moved ones.
    stated: tuple[float, float | None] | None = None
    # Raising the gain stopped paying (MIN_SLOPE): the loudness is left as
    # the last worthwhile step made it.
    _capped: bool = False

    @classmethod
    def start(cls, before: Measurement | None, sample_rate: int, ceiling_dbtp: float,
              loudness_lufs: float | None, *, verify_true_peak: bool = True) -> Delivery:
        """The first pass's settings. `before` (the input's measurement) may
        be None where there is no loudness target, which is all it serves."""
        plan = cls(sample_rate, ceiling_dbtp, loudness_lufs, threshold_dBFS=min(0.0, ceiling_dbtp),
                   verify_true_peak=verify_true_peak, stated=(ceiling_dbtp, loudness_lufs))
        if loudness_lufs is not None:
            if before is None:
                raise ValueError("a loudness target needs the input's measurement")
            if math.isfinite(before.integrated_lufs):
                plan.gain_db = loudness_lufs - before.integrated_lufs
            else:
                plan.loudness_reached = False
                plan.note = "the input has no loudness to bring to the target (silence, or " \
                            "shorter than one 400 ms block)"
        return plan

    @property
    def true_peak(self) -> bool:
        """Whether the limiter of the next pass detects true peaks."""
        return self.verify_true_peak and limiter_detects_true_peak(self.sample_rate)

    def review(self, after: Measurement) -> bool:
        """Takes the measurement of the last pass's output; returns whether
        another pass is needed, with the settings for it."""
        self.passes += 1
        again = False
        threshold_used = self.threshold_dBFS
        over = after.true_peak_dbtp - self.ceiling_dbtp if self.verify_true_peak else 0.0
        if over > 0.0:
            step = over + OVERSHOOT_MARGIN_DB
            last = self._lowering
            if last is not None and last[2:] == (self.gain_db, self.trim_db):
                # The last step left the reading exactly as it was: the
                # limiter's detector does not reach the peak the meter reads
                # (clipped, full-band bursts), so the steps grow until it does.
                if last[1] == after.true_peak_dbtp:
                    step = max(step, SEARCH_FACTOR * last[0])
            self._lowering = (step, after.true_peak_dbtp, self.gain_db, self.trim_db)
            self.threshold_dBFS = min(0.0, self.threshold_dBFS - step)
            again = True
        if self.loudness_lufs is not None and not math.isfinite(after.integrated_lufs):
            # Silence (or a ceiling so low that nothing passes the gate):
            # no loudness at all, whatever the target.
            self.loudness_reached = False
            self.note = self.note or "the output has no loudness to measure (silence)"
        elif self.loudness_lufs is not None and not self._capped:
            short = self.loudness_lufs - after.integrated_lufs
            self.loudness_reached = abs(short) <= LOUDNESS_TOLERANCE_LU
            # The limiter scales: the same audio with its gain and threshold
            # raised alike comes out raised alike. So the gain over the
            # threshold says how deep it limits, and the loudness over the
            # threshold what that depth gives, whatever the threshold.
            depth = (self.gain_db - threshold_used, after.integrated_lufs - threshold_used)
            previous, self._previous = self._previous, depth
            if self.loudness_reached:
                self.note = ""
            else:
                # How much louder a dB of gain made it last time: 1 while the
                # limiter leaves the level alone, less the harder it works.
                slope = 1.0
                if previous is not None and depth[0] != previous[0]:
                    slope = (depth[1] - previous[1]) / (depth[0] - previous[0])
                if short > 0.0 and slope < MIN_SLOPE:
                    # The limiter took more than half of the last step: it
                    # is taken back (to the depth of the pass before, under
                    # the next pass's threshold), and the loudness left there.
                    self._capped = True
                    loudest = after.integrated_lufs
                    if previous is not None and depth[0] > previous[0]:
                        self.gain_db = previous[0] + self.threshold_dBFS
                        loudest = previous[1] + self.threshold_dBFS
                        again = True
                    ceiling, target = self.stated or (self.ceiling_dbtp, self.loudness_lufs)
                    self.note = (f"{target:g} LUFS cannot be reached under a {ceiling:g} dBTP "
                                 f"ceiling without heavy limiting (a further dB of gain added "
                                 f"{max(slope, 0.0):.2f} LU); the loudness was left at about "
                                 f"{loudest:.2f} LUFS")
                else:
                    step = short / max(slope, MIN_SLOPE)
                    self.gain_db += min(MAX_STEP_DB, max(-MAX_STEP_DB, step))
                    again = True
        if again and self.passes >= MAX_PASSES:
            if over > 0.0:
                # The ceiling comes first: bring everything down by what is
                # over. True peaks scale with the signal, so one such pass
                # is enough; should rounding leave a trace, the next one
                # takes it.
                self.trim_db -= over + SAFETY_MARGIN_DB
                self.note = (f"the limiter still left {over:.2f} dB over the ceiling after "
                             f"{self.passes} passes; the output was lowered by "
                             f"{-self.trim_db:.2f} dB")
                if self.loudness_lufs is not None:
                    self.loudness_reached = False
                return True
            if not self.note:
                self.note = f"the loudness did not settle within {MAX_PASSES} passes"
            return False
        return again


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
        loudness_lufs: The integrated loudness to reach, or None to leave the
            level as it is.
        ceiling_dbtp: The true-peak ceiling. No output sample and no true
            peak, as ``measure`` reads it, is above it.
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
    before = measure(source, sample_rate, axis=axis)
    plan = Delivery.start(before, sample_rate, ceiling_dbtp, loudness_lufs,
                          verify_true_peak=true_peak)
    # Every pass's gained input goes into the same array: the limiter copies
    # it, and fresh pages for each pass cost as much as the multiplication.
    scratch = np.empty_like(source)
    run: Callable[[], tuple[Audio, npt.NDArray[np.float32]]] = lambda: _one_pass(
        source, scratch, plan, attack_ms, hold_ms, release_ms, axis)
    out, gains = run()
    after = measure(out, sample_rate, axis=axis)
    while plan.review(after):
        out, gains = run()
        after = measure(out, sample_rate, axis=axis)
    return Mastered(out, gains, before, after, plan.gain_db, plan.passes, plan.loudness_reached,
                    plan.note)


def _one_pass(source: Audio, scratch: Audio, plan: Delivery, attack_ms: float, hold_ms: float,
              release_ms: float, axis: int) -> tuple[Audio, npt.NDArray[np.float32]]:
    gained = source if plan.gain_db == 0.0 else apply_gain(source, plan.gain_db, scratch)
    out, gains = limit(gained, plan.sample_rate, plan.threshold_dBFS,
                       attack_ms, hold_ms, release_ms, axis, plan.true_peak)
    total = np.float32(10.0 ** ((plan.gain_db + plan.trim_db) / 20.0))
    if plan.trim_db != 0.0:
        np.multiply(out, np.float32(10.0 ** (plan.trim_db / 20.0)), out=out)
    np.multiply(gains, total, out=gains)
    return out, gains
