"""Delivering audio to a target, a pass at a time: the plan that decides
each pass, the model of loudness it decides with, and the one loop that runs
passes until the plan asks for no more.

A pass applies a gain, limits under a threshold and measures what it made.
`master` runs passes over an array in memory; the command line runs them
over a file as it streams, writing and verifying each; both through
`deliver`, so that they decide alike.

The gain for a loudness target is found without a pass per guess: a meter
with a profile (`Meter(..., profile_frames=...)`) gives, for every
millisecond or so of the input, its largest sample and its K-weighted
energy, and from those the limiter's gain curve at any trial gain (its
envelope run over the profile's levels) and the loudness it leaves follow
at once. The passes then only confirm, and correct the model by what they
measured.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterator
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from . import _native
from ._meter import Measurement, Meter, pooled_loudness

# How close to the target the loudness has to come, in LU.
LOUDNESS_TOLERANCE_LU = 0.1
# Passes, at most, before the last resort below.
MAX_PASSES = 8
# Below this many LU per dB of gain the limiter takes more than half of what
# more gain would add: the gain goes no further, and the target is called
# out of reach rather than bought with ever deeper limiting (the last few
# tenths of a LU can cost 15 dB of gain reduction on dense music).
MIN_SLOPE = 0.5
# The largest change of gain from one pass to the next.
MAX_STEP_DB = 12.0
# How far under a true-peak ceiling the limiter holds the waveform. One pass
# of the waveform detection can leave the meter's reading up to 0.021 dB
# over its threshold; and the 4x meters in common use (libebur128, ffmpeg's
# ebur128) interpolate with filters of their own, which read a limited
# broadband transient up to 0.41 dB above the band-limited waveform, 0.24
# dB above the level the limiter holds, where the waveform and the BS.1770
# filter both read under the ceiling (measured on noise bursts in music,
# 44.1 to 192 kHz). A ceiling is only delivered if those meters agree.
DETECTION_MARGIN_DB = 0.3
# What the threshold comes down by beyond what the meter found over.
OVERSHOOT_MARGIN_DB = 0.01
# Where lowering the threshold moved the reading less than that (a codec's
# overshoot grows as its input is limited harder), the next step is larger
# by the inverse of the ratio, up to this many times.
MAX_LOWERING_RATIO = 5.0
# The last resort, when the passes run out with the ceiling still not held:
# the whole output comes down by what is over, and this much more.
SAFETY_MARGIN_DB = 0.1
# The profile's groups last about this long (frames: the rate / 375): the
# model reads the same loudness with groups from 0.67 to 5 ms (within 0.01
# LU on the perf signal and on clipped bursts), and an hour's profile takes
# 11 MB at this size.
PROFILE_GROUP_SECONDS = 1.0 / 375.0
# Sub-blocks of the profile that the model's envelope takes at a time.
MODEL_RUN_SUBBLOCKS = 2048


def check_targets(loudness_lufs: float | None, ceiling_dbtp: float) -> None:
    """ValueError for a loudness or a ceiling that cannot be delivered to."""
    if not (
        isinstance(ceiling_dbtp, (int, float))
        and math.isfinite(ceiling_dbtp)
        and ceiling_dbtp <= 0.0
    ):
        raise ValueError(f"ceiling_dbtp must be a finite dBTP value at most 0, got {ceiling_dbtp}")
    if loudness_lufs is not None and not (
        isinstance(loudness_lufs, (int, float)) and -70.0 <= loudness_lufs <= 0.0
    ):
        raise ValueError(
            f"loudness_lufs must be a LUFS value from -70 to 0, or None, got {loudness_lufs}"
        )


def detects_true_peak(sample_rate: int) -> bool:
    """Whether ``qx_limiter.limit(..., true_peak=True)`` takes this rate."""
    return _native.detects_true_peak(sample_rate)


METER_RATES: tuple[int, int] = _native.METER_RATES


def smallest_attack_ms(sample_rate: int) -> float:
    """The smallest attack whose look-ahead spans a frame at this rate."""
    return _native.smallest_attack_ms(sample_rate)


def gain_factor(gain_db: float) -> np.float32:
    """A gain in dB as the float32 factor that every pass multiplies by, in
    memory or a chunk at a time, so that the same samples come out."""
    return np.float32(10.0 ** (gain_db / 20.0))


def profile_frames(sample_rate: int) -> int:
    """Frames per group of the loudness profile at this rate."""
    return max(1, round(sample_rate * PROFILE_GROUP_SECONDS))


def profiling_meter(sample_rate: int, channels: int, *, dual_mono: bool = False) -> Meter:
    """A meter that also keeps the loudness profile the plan models with."""
    return Meter(
        sample_rate, channels, profile_frames=profile_frames(sample_rate), dual_mono=dual_mono
    )


@dataclass(frozen=True)
class PassSettings:
    """What one pass does: the gain before the limiter, its threshold and
    its detection ("sample" or "waveform"), and the last resort's trim after
    it (0 dB normally)."""

    gain_db: float
    threshold_dBFS: float
    detection: str
    trim_db: float = 0.0


@dataclass(frozen=True)
class Passed:
    """What a pass measured: the limiter's output (what the plan decides
    on), and what was written where that differs (quantised samples, or a
    codec's decoding) and is to be verified too."""

    output: Measurement
    written: Measurement | None = None
    # The largest gain reduction the limiter applied, in dB (where a
    # limiting budget is to be verified).
    max_reduction_db: float | None = None


class LoudnessModel:
    """The integrated loudness that a pass at a gain and a threshold would
    give, from a meter's profile of the input: the limiter's envelope over
    the groups' levels gives a gain per group, which scales the group's
    K-weighted energy. Close, not exact: with the detection's own levels it
    comes within 0.001 LU of what a pass measures, but the profile's levels
    are sample peaks, which read under the waveform's peaks where full-band
    transients are limited (0.2 LU too loud at -14 LUFS on the drum bursts
    of the perf signal); the plan corrects it by the difference a pass
    measured."""

    def __init__(
        self, meter: Meter, sample_rate: int, attack_ms: float, hold_ms: float, release_ms: float
    ) -> None:
        levels, energies = meter.profile()
        self._levels = levels
        self._energies = energies.astype(np.float64)
        self._configure(sample_rate, attack_ms, hold_ms, release_ms)

    def _configure(
        self, sample_rate: int, attack_ms: float, hold_ms: float, release_ms: float
    ) -> None:
        self._subblock = (sample_rate + 5) // 10
        group = profile_frames(sample_rate)
        self._groups = -(-self._subblock // group)
        # The envelope at the groups' rate: the same times, a group a frame.
        self._rate = max(1, round(sample_rate * self._groups / self._subblock))
        self.sample_rate = sample_rate
        self._times = (max(attack_ms, 1000.0 / self._rate), hold_ms, release_ms)

    def profile(self) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float64]]:
        """The profile it models with (levels, energies): what travels where
        the model is rebuilt elsewhere (``from_profile``)."""
        return self._levels, self._energies

    @classmethod
    def from_profile(
        cls,
        profile: tuple[npt.NDArray[np.float32], npt.NDArray[np.float64]],
        sample_rate: int,
        attack_ms: float,
        hold_ms: float,
        release_ms: float,
    ) -> LoudnessModel:
        """The model of a profile taken elsewhere (on another machine)."""
        model = cls.__new__(cls)
        model._levels, model._energies = profile
        model._configure(sample_rate, attack_ms, hold_ms, release_ms)
        return model

    def gains(self, gain_db: float, threshold_dBFS: float) -> npt.NDArray[np.float32]:
        """The limiter's gain of each group at this gain and threshold."""
        runs = list(self._gain_runs(gain_db, threshold_dBFS))
        return np.concatenate(runs) if runs else np.zeros(0, np.float32)

    def _gain_runs(
        self, gain_db: float, threshold_dBFS: float
    ) -> Iterator[npt.NDArray[np.float32]]:
        """The groups' gains in order, a run at a time: the envelope streams
        over the profile, so that a trial gain takes memory for a run, not
        for the programme (an hour's profile is 1.35 million groups)."""
        over = np.float32(min(1e30, 10.0 ** ((gain_db - threshold_dBFS) / 20.0)))
        envelope = _native.StreamLimiter(self._rate, 0.0, *self._times, detection="sample")
        step = self._groups * MODEL_RUN_SUBBLOCKS
        for start in range(0, self._levels.size, step):
            # Over 2^30 times the threshold, a level is limited to nothing all
            # the same (and the limiter takes no sample beyond 2^32).
            levels = np.minimum(self._levels[start : start + step] * over, np.float32(2.0**30))
            yield envelope.process(levels)[1]
        yield envelope.flush()[1]

    def powers(self, gain_db: float, threshold_dBFS: float) -> npt.NDArray[np.float64]:
        """The sub-block powers of the output at this gain and threshold."""
        groups = self._groups
        powers = np.empty(self._levels.size // groups)
        done = 0  # groups summed into their sub-blocks
        left = np.zeros(0, np.float32)  # gains of a sub-block not yet complete
        for run in self._gain_runs(gain_db, threshold_dBFS):
            if left.size:
                run = np.concatenate([left, run])
            whole = run.size // groups * groups
            scaled = self._energies[done : done + whole] * np.square(run[:whole], dtype=np.float64)
            powers[done // groups : (done + whole) // groups] = scaled.reshape(-1, groups).sum(
                axis=1
            )
            done += whole
            left = run[whole:]
        powers *= 10.0 ** (gain_db / 10.0)
        return powers

    def loudness(self, gain_db: float, threshold_dBFS: float) -> float:
        """The integrated loudness of the output at this gain and threshold."""
        return pooled_loudness([self.powers(gain_db, threshold_dBFS)], self.sample_rate)[0]

    def max_reduction_db(self, gain_db: float, threshold_dBFS: float) -> float:
        """The deepest gain reduction of the output, in dB."""
        least = min(
            (float(run.min()) for run in self._gain_runs(gain_db, threshold_dBFS) if run.size),
            default=1.0,
        )
        return max(0.0, -20.0 * math.log10(least))


class AlbumModel:
    """The loudness of several programmes gated as one (an album), each
    under the same gain and threshold, from their LoudnessModels."""

    def __init__(self, models: list[LoudnessModel]) -> None:
        self._models = models
        self.sample_rate = models[0].sample_rate if models else 48000

    def loudness(self, gain_db: float, threshold_dBFS: float) -> float:
        """The album's integrated loudness at this gain and threshold."""
        return pooled_loudness(
            [model.powers(gain_db, threshold_dBFS) for model in self._models], self.sample_rate
        )[0]

    def max_reduction_db(self, gain_db: float, threshold_dBFS: float) -> float:
        """The deepest gain reduction of any track, in dB."""
        return max(
            (model.max_reduction_db(gain_db, threshold_dBFS) for model in self._models), default=0.0
        )


class DeliveryPlan:
    """The settings of each pass, decided from what the passes before it
    measured, until the output reads on the loudness target (within
    LOUDNESS_TOLERANCE_LU) and at or under the ceiling, or a note says why
    it cannot.

    Args:
        sample_rate: The audio's rate.
        ceiling_dbtp: The ceiling, for true peaks as the meter reads them
            (``true_peak``), else for samples, which the limiter holds alone.
        loudness_lufs: The integrated loudness to reach, or None.
        before: The input's measurement (needed with a loudness target).
        model: The input's LoudnessModel (or an AlbumModel), which finds the
            gain without a pass per guess; without one, the passes search
            for it.
        true_peak: Whether the ceiling is for true peaks.
        gain_db: A gain decided elsewhere (an album's, for one of its
            tracks), in place of a loudness target.
        max_limiting_db: The deepest gain reduction allowed: where the
            loudness target takes more, the gain stops where the limiter
            reaches it, and the note says what loudness that gives.
        codec_margin_db: How much further under the ceiling the first pass
            aims where a codec stands between the limiter and what is
            verified (its usual overshoot), so that the first decoded
            reading holds and the file is encoded once; and how much
            further than what was over a pass lowers the threshold after a
            decoded reading read over all the same, since a codec's
            overshoot moves from one encode to the next (by 0.2 dB on AAC
            at 128 kbit/s), so that the second encode holds.
        codec_offset_lu: The loudness the codec is expected to add to what
            it is given (negative where it takes some away: a lossy codec's
            low-pass takes a few hundredths of a LU); the first pass aims
            that much the other way, and the passes then correct it by
            what they measured.

    Attributes:
        passes: The passes reviewed so far.
        loudness_reached: Whether the loudness is on target (None without
            a target); read it once the plan is done.
        note: Why a target was missed, or what the last resort did; empty
            otherwise.
    """

    def __init__(
        self,
        sample_rate: int,
        ceiling_dbtp: float,
        loudness_lufs: float | None,
        *,
        before: Measurement | None = None,
        model: LoudnessModel | AlbumModel | None = None,
        true_peak: bool = True,
        gain_db: float | None = None,
        max_limiting_db: float | None = None,
        codec_margin_db: float = 0.0,
        codec_offset_lu: float = 0.0,
    ) -> None:
        check_targets(loudness_lufs, ceiling_dbtp)
        if loudness_lufs is not None and before is None:
            raise ValueError("a loudness target needs the input's measurement")
        if loudness_lufs is not None and gain_db is not None:
            raise ValueError("give a loudness target or a gain, not both")
        if max_limiting_db is not None and not (
            math.isfinite(max_limiting_db) and max_limiting_db >= 0.0
        ):
            raise ValueError(
                f"max_limiting_db must be a finite number of dB, at least 0, got "
                f"{max_limiting_db}"
            )
        self.max_limiting_db = max_limiting_db
        self.sample_rate = sample_rate
        self.ceiling_dbtp = ceiling_dbtp
        self.loudness_lufs = loudness_lufs
        self.true_peak = true_peak
        self.passes = 0
        self.note = ""
        self.loudness_reached: bool | None = None if loudness_lufs is None else True
        self._model = model
        # What the passes measured over what the model said; at first, what
        # the codec is expected to add.
        self._offset = codec_offset_lu if math.isfinite(codec_offset_lu) else 0.0
        self._capped = False
        self._on_written = False  # what was written decides, a codec standing between
        self._silent_input = False
        self._previous: tuple[float, float] | None = None  # depth and loudness over it
        self._lowering: tuple[float, float] | None = None  # threshold and reading before
        detection = "waveform" if true_peak else "sample"
        if not (math.isfinite(codec_margin_db) and codec_margin_db >= 0.0):
            raise ValueError(
                f"codec_margin_db must be a finite dB value at least 0, got {codec_margin_db}"
            )
        self._codec_margin = codec_margin_db if true_peak else 0.0
        threshold = min(
            0.0,
            ceiling_dbtp
            - (DETECTION_MARGIN_DB if true_peak else 0.0)
            - (codec_margin_db if true_peak else 0.0),
        )
        self._settings = PassSettings(gain_db or 0.0, threshold, detection)
        if loudness_lufs is None or before is None:
            return
        if not math.isfinite(before.integrated_lufs):
            self._silent_input = True
            self.loudness_reached = False
            self.note = (
                "the input has no loudness to bring to the target (silence, or "
                "shorter than one 400 ms block)"
            )
            return
        self._settings = PassSettings(
            self._gain_for(loudness_lufs - before.integrated_lufs, threshold), threshold, detection
        )

    @property
    def gain_db(self) -> float:
        """The gain brought to the loudness target (of the pass to come, or
        of the last one once the plan is done)."""
        return self._settings.gain_db

    @property
    def threshold_dBFS(self) -> float:
        """The limiter's threshold (of the pass to come, or of the last one
        once the plan is done)."""
        return self._settings.threshold_dBFS

    def first(self) -> PassSettings:
        """The first pass's settings."""
        return self._settings

    def review(self, passed: Passed) -> PassSettings | None:
        """Takes what the last pass measured; returns the next pass's
        settings, or None when the plan is done."""
        self.passes += 1
        s = self._settings
        again = False
        threshold = s.threshold_dBFS
        output = passed.output
        if passed.written is not None and (self._on_written or self._done(output)):
            # The limiter's output is on target; what was written may not be
            # (a codec's overshoot, a step of dither): that is what counts,
            # from the first time it misses on.
            output = passed.written
            self._on_written = self._on_written or not self._done(output)
        over = self._over(output)
        if over > 0.0:
            beyond = self._codec_margin if output is passed.written else 0.0
            threshold = self._lowered(s.threshold_dBFS, output.true_peak_dbtp, over, beyond)
            again = True
        gain = s.gain_db
        if self.loudness_lufs is not None:
            gain, more = self._loudness(output, threshold)
            again = again or more
        deeper = self._beyond_budget(passed)
        if deeper > 0.0 and gain >= s.gain_db:
            # The model under-read the limiting: the gain comes down by what
            # the limiter went past the budget (the reduction follows it).
            gain = s.gain_db - deeper
            self._over_budget(output.integrated_lufs - deeper)
            again = True
        if again and self.passes >= MAX_PASSES:
            if over > 0.0:
                # The ceiling comes first: everything comes down by what is
                # over (true peaks scale with the signal).
                trim = s.trim_db - (over + SAFETY_MARGIN_DB)
                self.note = (
                    f"the limiter still left {over:.2f} dB over the ceiling after "
                    f"{self.passes} passes; the output was lowered by {-trim:.2f} dB"
                )
                if self.loudness_lufs is not None:
                    self.loudness_reached = False
                self._settings = PassSettings(s.gain_db, s.threshold_dBFS, s.detection, trim)
                return self._settings
            if not self.note:
                self.note = f"the loudness did not settle within {MAX_PASSES} passes"
            return None
        if not again:
            return None
        self._settings = PassSettings(gain, threshold, s.detection, s.trim_db)
        return self._settings

    def _beyond_budget(self, passed: Passed) -> float:
        """How far the last pass's deepest reduction went past the budget."""
        if self.max_limiting_db is None or passed.max_reduction_db is None:
            return 0.0
        excess = passed.max_reduction_db - self.max_limiting_db
        return excess + OVERSHOOT_MARGIN_DB if excess > 0.01 else 0.0

    def _over_budget(self, loudness: float) -> None:
        """The loudness target takes more limiting than the budget allows."""
        self._capped = True
        self.loudness_reached = False
        target = f"{self.loudness_lufs:g} LUFS" if self.loudness_lufs is not None else "the gain"
        self.note = (
            f"{target} would take more than {self.max_limiting_db:g} dB of gain "
            f"reduction (the limiting budget); the loudness was lowered to about "
            f"{loudness:.2f} LUFS, which the budget allows"
        )

    def _over(self, measured: Measurement) -> float:
        """How far the measured true peak is over the ceiling (0 where the
        ceiling is for samples, which the limiter holds by itself)."""
        return measured.true_peak_dbtp - self.ceiling_dbtp if self.true_peak else 0.0

    def _done(self, output: Measurement) -> bool:
        if self._over(output) > 0.0:
            return False
        if self.loudness_lufs is None or self._capped or not math.isfinite(output.integrated_lufs):
            return True
        return abs(self.loudness_lufs - output.integrated_lufs) <= LOUDNESS_TOLERANCE_LU

    def _lowered(self, threshold: float, reading: float, over: float, beyond: float) -> float:
        """The threshold for a reading `over` dB lower and `beyond` dB
        further: by what is over, more where the last lowering moved the
        reading by less than itself."""
        ratio = 1.0
        if self._lowering is not None and self._lowering[0] != threshold:
            ratio = (self._lowering[1] - reading) / (self._lowering[0] - threshold)
        self._lowering = (threshold, reading)
        step = over / min(1.0, max(1.0 / MAX_LOWERING_RATIO, ratio)) + OVERSHOOT_MARGIN_DB + beyond
        return min(0.0, threshold - step)

    def _loudness(self, measured: Measurement, threshold: float) -> tuple[float, bool]:
        """The gain of the next pass for the loudness (under `threshold`),
        and whether the loudness calls for another pass."""
        assert self.loudness_lufs is not None
        s = self._settings
        moved = threshold != s.threshold_dBFS
        if not math.isfinite(measured.integrated_lufs):
            # Silence, or a ceiling so low that nothing passes the gate.
            self.loudness_reached = False
            if not self._silent_input:
                self.note = "the output has no loudness to measure (silence)"
            return s.gain_db, False
        short = self.loudness_lufs - measured.integrated_lufs
        # The limiter scales: the same audio with its gain and threshold
        # raised alike comes out raised alike. So the gain over the threshold
        # says how deep it limits, and the loudness over the threshold what
        # that depth gives, whatever the threshold.
        depth = (s.gain_db - s.threshold_dBFS, measured.integrated_lufs - s.threshold_dBFS)
        previous, self._previous = self._previous, depth
        if self._capped:
            # Out of reach: the depth of limiting stays, under a threshold
            # that the ceiling may have moved.
            return s.gain_db + (threshold - s.threshold_dBFS), moved
        if abs(short) <= LOUDNESS_TOLERANCE_LU and not moved:
            self.loudness_reached = True
            self.note = ""
            return s.gain_db, False
        self.loudness_reached = abs(short) <= LOUDNESS_TOLERANCE_LU
        # How much louder a dB of gain made it last time: 1 while the limiter
        # leaves the level alone, less the harder it works. What the passes
        # measured overrules the model: a step up that bought less than
        # MIN_SLOPE per dB is taken back.
        slope = 1.0
        if previous is not None and depth[0] != previous[0]:
            slope = (depth[1] - previous[1]) / (depth[0] - previous[0])
            if short > 0.0 and depth[0] > previous[0] and slope < MIN_SLOPE:
                gain = previous[0] + threshold
                self._cap(previous[1] + threshold)
                return gain, gain != s.gain_db or moved
        if self._model is None:
            step = min(MAX_STEP_DB, max(-MAX_STEP_DB, short / max(slope, MIN_SLOPE)))
            return s.gain_db + step + (threshold - s.threshold_dBFS), True
        self._offset = measured.integrated_lufs - self._model.loudness(s.gain_db, s.threshold_dBFS)
        gain = self._gain_for(s.gain_db + short, threshold)
        return gain, gain != s.gain_db or moved

    def _cap(self, loudest: float) -> None:
        """The target is out of reach at a sound cost: the loudness is left
        at about `loudest`, and the note says so."""
        self._capped = True
        self.loudness_reached = False
        unit = "dBTP" if self.true_peak else "dBFS"
        self.note = (
            f"{self.loudness_lufs:g} LUFS cannot be reached under a "
            f"{self.ceiling_dbtp:g} {unit} ceiling without heavy limiting: beyond "
            f"about {loudest:.2f} LUFS, a further dB of gain adds less than "
            f"{MIN_SLOPE:g} LU, the rest limited away"
        )

    def _gain_for(self, guess: float, threshold: float) -> float:
        """The gain that the model (with the passes' correction) says brings
        the loudness to the target under `threshold`, starting from `guess`;
        where a further dB of gain would add less than MIN_SLOPE LU before
        the target, the gain where that begins, with a note. Without a
        model, `guess`."""
        target = self.loudness_lufs
        model = self._model
        if model is None or target is None:
            return guess

        def reach(gain: float) -> float:
            return model.loudness(gain, threshold) + self._offset

        def worth(gain: float) -> bool:
            return reach(gain + 0.5) - reach(gain - 0.5) >= MIN_SLOPE

        gain = _solve(reach, target, guess)
        if not math.isfinite(reach(gain)):
            return gain  # nothing to measure under this threshold: the pass will say
        budget = self.max_limiting_db
        if budget is not None and model.max_reduction_db(gain, threshold) > budget:
            # The deepest reduction grows with the gain: the largest gain
            # within the budget, then the worth of it below.
            good, bad = gain - 4 * MAX_STEP_DB, gain
            while bad - good > 0.01:
                middle = 0.5 * (good + bad)
                fits = model.max_reduction_db(middle, threshold) <= budget
                good, bad = (middle, bad) if fits else (good, middle)
            if worth(good):
                self._over_budget(reach(good))
                return good
            gain = good
        if worth(gain):
            return gain
        # Beyond the gain where a dB stops being worth half a LU, the rest
        # is limiting: find that gain (the slope only falls with the gain).
        good, bad = gain - MAX_STEP_DB, gain
        while not worth(good) and good > gain - 8 * MAX_STEP_DB:
            good, bad = good - MAX_STEP_DB, good
        while bad - good > 0.02:
            middle = 0.5 * (good + bad)
            good, bad = (middle, bad) if worth(middle) else (good, middle)
        self._cap(reach(good))
        return good


def _solve(reach: Callable[[float], float], target: float, guess: float) -> float:
    """The gain where `reach` (increasing) meets `target`, by a secant from
    `guess`, kept within MAX_STEP_DB of it; the closest found otherwise."""
    a, fa = guess, reach(guess) - target
    if abs(fa) < 1e-4:
        return a
    b = a + max(-MAX_STEP_DB, min(MAX_STEP_DB, -fa))
    fb = reach(b) - target
    for _ in range(12):
        if abs(fb) < 1e-4 or fb == fa:
            break
        c = b - fb * (b - a) / (fb - fa)
        c = max(guess - MAX_STEP_DB, min(guess + 2 * MAX_STEP_DB, c))
        a, fa, b, fb = b, fb, c, reach(c) - target
    return b if abs(fb) <= abs(fa) else a


def deliver(plan: DeliveryPlan, run: Callable[[PassSettings], Passed]) -> Passed:
    """Runs passes, each with the settings the plan gives, until it asks for
    no more; returns what the last one measured."""
    settings = plan.first()
    while True:
        passed = run(settings)
        following = plan.review(passed)
        if following is None:
            return passed
        settings = following
