"""One file, from its input to its output (and figure), through the
delivery loop of qx_limiter_tools, run over the file as it streams.

Without a loudness target or a verified ceiling, one limiting pass writes
the output, as the limiter alone gives it. With them, a DeliveryPlan
decides every pass: where the gain depends on the input's loudness, a first
reading measures the input with the loudness profile that finds the gain;
each pass then limits at the plan's gain and threshold, writes the output,
and meters the limiter's output (what master measures, so the decisions and
the samples are master's) and what the file holds (as rounded, or decoded
again for lossy formats), which the plan verifies in the same loop. The
input is read twice where the first pass lands, which the waveform
detection and the profile make the rule.
"""

from __future__ import annotations

import math
import time
from collections.abc import Iterator
from contextlib import ExitStack, contextmanager
from pathlib import Path

from qx_limiter_tools import (
    DeliveryPlan,
    LoudnessModel,
    Measurement,
    Meter,
    PassSettings,
    deliver,
    profiling_meter,
)
from qx_limiter_tools import Passed as Measured

from . import _stopping
from ._formats import STORED_EXACTLY, AudioError, Shortfall
from ._options import PLOT_FORMATS, STDOUT
from ._pipeline import Passed, columns_of, limiting_pass, measuring_pass
from ._planning import Job, refusal
from ._reporting import Failure, Outcome, Written, dbfs, decibels, reduction_db
from ._writing import file_peak, fresh, replacing, sending


def limit_file(job: Job) -> Outcome:
    """Limits one file; a problem the user can fix comes back as a Failure."""
    started = time.perf_counter()
    try:
        _stopping.check()
        return _deliver(job, started)
    except AudioError as error:
        return Failure(job, str(error))
    except OSError as error:  # the figure's temporary file; the rest are AudioErrors
        return Failure(job, f"cannot write the figure {job.plot} ({error.strerror or error})")
    except MemoryError:
        return Failure(
            job,
            f"not enough memory to limit it ({job.channels} channels at {job.sample_rate} Hz)",
        )


def _deliver(job: Job, started: float) -> Written:
    s = job.settings
    with ExitStack() as files:
        # The figure is renamed into place only once the audio is.
        picture = (
            files.enter_context(replacing(job.plot, job.overwrite))
            if job.plot is not None
            else None
        )
        # Creating, completing or renaming the audio's temporary file.
        files.enter_context(_reported_as(f"cannot write {job.target}"))
        temporary = files.enter_context(
            sending() if job.target == STDOUT else replacing(job.target, job.overwrite)
        )
        warnings: list[str] = []

        before: Measurement | None = job.before
        plan: DeliveryPlan | None = None
        if job.album_gain_db is not None:
            # A track of an album, at the gain decided on all of them.
            margin, offset = _codec_aims(job)
            plan = DeliveryPlan(
                job.sample_rate,
                s.threshold_dBFS,
                None,
                true_peak=s.true_peak,
                gain_db=job.album_gain_db,
                codec_margin_db=margin,
                codec_offset_lu=offset,
            )
        elif s.loudness_lufs is not None:
            # The deciding reading: the input's figures and its profile.
            meter = profiling_meter(job.sample_rate, job.channels, dual_mono=s.dual_mono)
            before, reader = measuring_pass(job.source, job.sample_rate, meter, media=job.media)
            _held(job, job.shortfall or reader.shortfall(), warnings)
            model = LoudnessModel(meter, job.sample_rate, s.attack_ms, s.hold_ms, s.release_ms)
            del meter  # its own copy of the profile, 11 MB an hour, is done with
            margin, offset = _codec_aims(job)
            plan = DeliveryPlan(
                job.sample_rate,
                s.threshold_dBFS,
                s.loudness_lufs,
                before=before,
                model=model,
                true_peak=s.true_peak,
                max_limiting_db=s.max_limiting_db,
                codec_margin_db=margin,
                codec_offset_lu=offset,
            )
        elif job.delivering:
            margin, offset = _codec_aims(job)
            plan = DeliveryPlan(
                job.sample_rate,
                s.threshold_dBFS,
                None,
                true_peak=s.true_peak,
                codec_margin_db=margin,
                codec_offset_lu=offset,
            )

        last: list[tuple[Passed, float, Measurement | None]] = []
        notes: list[str] = []

        def run(settings: PassSettings) -> Measured:
            """One pass: it writes the file and measures what it made."""
            nonlocal before
            _stopping.check()
            if last:
                fresh(temporary)
            first = before is None
            passed = limiting_pass(
                job,
                settings,
                temporary,
                meter_input=job.measured and first,
                meter_output=plan is not None,
                meter_written=job.measured,
                plot=picture is not None,
            )
            if first:  # the first reading of the input
                _held(job, passed.shortfall, warnings)
                before = passed.input
            peak, written = _written(job, temporary, passed)
            last[:] = [(passed, peak, written)]
            if passed.output is None:
                return Measured(_UNMEASURED)  # no plan asks
            deepest = reduction_db(passed.tally.deepest)
            if passed.trial is not None:
                # The platform's decoding decides, and the file's own
                # samples (rounded) are held as well.
                return Measured(passed.output, _worse(passed.trial, written), deepest)
            return Measured(
                passed.output, written if written is not passed.output else None, deepest
            )

        if plan is None:
            run(PassSettings(0.0, s.threshold_dBFS, "sample"))
        else:
            deliver(plan, run)
        passed, peak_after, after = last[0]
        _finish(job, temporary, after, warnings)
        if (
            s.true_peak
            and passed.trial is not None
            and passed.trial.true_peak_dbtp > s.threshold_dBFS
        ):
            notes.append(
                f"after {job.trial_codec[0] if job.trial_codec else 'the codec'}, it "
                f"still reads {passed.trial.true_peak_dbtp - s.threshold_dBFS:.2f} dB "
                f"over the ceiling"
            )
        reached = plan.loudness_reached if plan is not None else None
        notes += [plan.note] if plan is not None and plan.note else []
        if s.true_peak and after is not None and after.true_peak_dbtp > s.threshold_dBFS:
            notes.append(
                f"the written file still reads {after.true_peak_dbtp - s.threshold_dBFS:.2f} "
                f"dB over the ceiling after {plan.passes if plan else 1} passes"
            )
            reached = False if s.loudness_lufs is not None else reached
        warnings += notes
        tally = passed.tally
        if picture is not None and job.plot is not None and passed.columns is not None:
            from ._plot import write_plot

            columns = passed.columns
            if columns.frames != passed.held:
                columns = columns_of(job, passed.settings, passed.held)
            with _reported_as(f"cannot write the figure {job.plot}"):
                write_plot(
                    picture,
                    PLOT_FORMATS[job.plot.suffix.lower()],
                    _title(job, tally.input_peak, tally.deepest, after, plan, reached),
                    job.sample_rate,
                    columns,
                    tally.input_peak,
                    job.settings.threshold_dBFS,
                    job.ceiling,
                    "dBTP" if s.true_peak else "dBFS",
                )
        _stopping.check()
    return Written(
        job,
        tally.input_peak,
        peak_after,
        tally.deepest,
        tally.reduced_share(),
        time.perf_counter() - started,
        tuple(warnings),
        before,
        after,
        plan.gain_db if plan is not None else 0.0,
        plan.passes if plan is not None else 1,
        reached,
        "; ".join(notes),
        passed.settings.threshold_dBFS,
        passed.held,
        passed.trial,
        passed.written_powers,
    )


# Where a pass measures nothing (a rate the meter does not take, without a
# target), the plan has nothing to decide on either: it is never asked.
_UNMEASURED = Measurement(-math.inf, -math.inf, -math.inf, -math.inf)


# A lossy codec's decoded true peak reads over what it was given: measured
# on music-like audio limited at -1 dBTP, MP3 320k by +0.25 dB, AAC 256k by
# +0.3, Vorbis by +0.6, Opus 96k by +1.45, and more at low bit rates. The
# first pass aims this much lower (at high bit rates, at or below 128 kbit/s
# per channel pair), so that its decoded reading holds and the file is
# encoded once; where it still reads over, the loop lowers the threshold by
# what it read and by the margin again (AAC 128k read +0.87, +1.10, +1.35
# and +0.58 dB over the limiter's threshold on four encodes of the guide's
# podcast at thresholds from -1.8 to -2.4 dBFS: the overshoot moves by more
# than the threshold does).
CODEC_MARGINS_DB = {
    "mp3": (0.5, 1.0),
    "aac": (0.5, 1.0),
    "vorbis": (0.75, 1.25),
    "opus": (1.0, 1.75),
}
LOW_BIT_RATE = 128_000
# And its decoded loudness reads lower than what it was given, by 0.03 (MP3
# 320k) to 0.11 LU (AAC 256k, Vorbis, Opus 96k) on the same audio: the first
# pass aims between, so its decoded reading lands within the tolerance.
CODEC_OFFSET_LU = -0.07
# libsndfile's names of its lossy subtypes, as --codec names them.
_LOSSY_SUBTYPES = {"VORBIS": "vorbis", "OPUS": "opus", "MPEG_LAYER_III": "mp3"}


def codec_margin_db(job: Job) -> float:
    """How far under the ceiling the first pass aims, for the codec between
    the limiter and what is verified (none for a file that stores its
    samples exactly, without --verify-codec)."""
    bit_rate: int | None = None
    if job.trial_codec is not None:
        codec, bit_rate = job.trial_codec
    elif job.output.media is not None and job.output.subtype not in STORED_EXACTLY:
        codec, bit_rate = job.output.media.codec, job.output.media.bit_rate
    elif job.output.subtype not in STORED_EXACTLY:
        codec = _LOSSY_SUBTYPES.get(job.output.subtype, "vorbis")
    else:
        return 0.0
    high, low = CODEC_MARGINS_DB.get(codec, (0.5, 1.0))
    pairs = max(1, job.channels // 2)
    return low if bit_rate is not None and bit_rate / pairs <= LOW_BIT_RATE else high


def _codec_aims(job: Job) -> tuple[float, float]:
    """Where a codec stands between the limiter and what is verified, how
    far under the ceiling (dB) and off the loudness (LU) the first pass
    aims."""
    margin = codec_margin_db(job)
    return margin, CODEC_OFFSET_LU if margin else 0.0


def _worse(trial: Measurement, written: Measurement | None) -> Measurement:
    """The codec's reading, with the higher of the two true peaks."""
    if written is None or written.true_peak_dbtp <= trial.true_peak_dbtp:
        return trial
    return Measurement(
        trial.integrated_lufs,
        trial.loudness_range_lu,
        written.true_peak_dbtp,
        max(trial.sample_peak_dbfs, written.sample_peak_dbfs),
    )


def _finish(job: Job, temporary: Path, after: Measurement | None, warnings: list[str]) -> None:
    """What goes into the finished file before it takes its place: the
    input's tags and cover art, and with a loudness target, the loudness
    fields of a carried bext chunk, from what the file holds."""
    from ._tags import read_tags, write_tags

    try:
        write_tags(temporary, job.output, read_tags(job.source), job.target)
    except ImportError:
        from ._options import EXTRA_HINT

        warnings.append(
            f"mutagen is not installed: tags and cover art beyond RIFF INFO were "
            f"not carried; {EXTRA_HINT}"
        )
    front = job.front
    if (
        job.settings.loudness_lufs is not None
        and after is not None
        and front is not None
        and any(chunk.name == b"bext" for chunk in front.metadata.chunks)
    ):
        from ._riff import set_bext_loudness

        with _reported_as(f"cannot write {job.target}"):
            set_bext_loudness(
                temporary, after.integrated_lufs, after.loudness_range_lu, after.true_peak_dbtp
            )


def _held(job: Job, shortfall: Shortfall | None, warnings: list[str]) -> None:
    """A truncated input is refused, or limited with a warning."""
    if shortfall is None:
        return
    if not job.allow_truncated:
        raise AudioError(refusal(shortfall))
    warnings.append(f"{shortfall.describe()}; limited what it holds")


def _written(job: Job, temporary: Path, passed: Passed) -> tuple[float, Measurement | None]:
    """The peak of the samples the output holds and, where the file is
    measured, the meter's reading of them: as they were quantised, or
    decoded from the file where a codec stands between."""
    if job.output.subtype in STORED_EXACTLY:
        return passed.stored_peak, passed.written
    if passed.decoded_peak is not None:
        return passed.decoded_peak, passed.decoded  # decoded as it was encoded
    meter = (
        Meter(job.sample_rate, passed.channels, dual_mono=job.settings.dual_mono)
        if job.measured
        else None
    )
    if job.output.media is not None:
        from ._media import decoded_peak

        largest = decoded_peak(temporary, job.target, job.output.media.audio_number, meter)
    else:
        largest = file_peak(temporary, job.target, meter)
    if meter is None:
        return largest, None
    passed.written_powers = meter.powers()
    return largest, meter.result()


@contextmanager
def _reported_as(what: str) -> Iterator[None]:
    """The system's error, as the failure of one file: what failed and why."""
    try:
        yield
    except OSError as error:
        raise AudioError(f"{what} ({error.strerror or error})") from None


def _title(
    job: Job,
    peak_before: float,
    deepest: float,
    after: Measurement | None,
    plan: DeliveryPlan | None,
    reached: bool | None,
) -> str:
    """The figure's title: what the output reads against what was asked,
    the gain brought to a loudness target (and whether it was reached) and
    the deepest gain reduction."""
    s = job.settings
    reduction = f"gain reduction up to {reduction_db(deepest):.2f} dB"
    if after is None:
        mode = "true peak" if s.true_peak else "sample peak"
        return (
            f"{job.source.name}: ceiling {s.threshold_dBFS:+.2f} dBFS ({mode}), "
            f"input peak {dbfs(peak_before)} dBFS, {reduction}"
        )
    ceiling = (
        f"{s.threshold_dBFS:+.2f} dBTP"
        if s.true_peak
        else f"{s.threshold_dBFS:+.2f} dBFS sample peak"
    )
    loudness = after.integrated_lufs
    level = f"{loudness:.2f} LUFS" if math.isfinite(loudness) else ""
    if s.loudness_lufs is not None and plan is not None:
        missed = "" if reached else ", missed"
        level += f" (target {s.loudness_lufs:g}{missed}, gain {decibels(plan.gain_db)} dB)"
    level += ", " if level else ""
    return (
        f"{job.source.name}: {level}true peak {decibels(after.true_peak_dbtp)} dBTP "
        f"(ceiling {ceiling}), {reduction}"
    )
