"""One file, from its input to its output (and figure): the passes that
master() runs over an array, run here over the file as it streams.

Without a loudness target or a verified ceiling, one limiting pass writes
the output, as the limiter alone gives it. With them, master's Delivery
decides every pass: the input is measured first where the gain depends on
its loudness; each pass limits at the plan's gain and threshold and meters
the limiter's output, which is what master measures, so the decisions are
master's; once Delivery asks for no more, the last pass is run again and
written (writing, the costliest step, is done once), so the samples are
master's too. Then what was written is verified: the samples the file holds
(metered as they were quantised, or the file decoded again, for lossy
formats); where they read over the ceiling, master's passes run again under
a lower ceiling and the file is written again, a bounded number of times.
"""

from __future__ import annotations

import math
import time
from collections.abc import Iterator
from contextlib import ExitStack, contextmanager
from pathlib import Path

from qx_limiter_tools import Measurement, Meter
from qx_limiter_tools._master import LOUDNESS_TOLERANCE_LU, OVERSHOOT_MARGIN_DB, Delivery

from . import _stopping
from ._formats import STORED_EXACTLY, AudioError, Shortfall
from ._options import PLOT_FORMATS
from ._pipeline import PassSettings, Passed, columns_of, limiting_pass, measuring_pass
from ._planning import Job, refusal
from ._reporting import Failure, Outcome, Report, decibels, dbfs, reduction_db
from ._writing import file_peak, fresh, replacing

# Passes after master's, at most, where what was written (a lossy codec's
# decoding, or dithered samples) reads over the ceiling.
MAX_ENCODINGS = 4


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
        return Failure(job, f"not enough memory to limit it ({job.channels} channels at "
                            f"{job.sample_rate} Hz)")


def _deliver(job: Job, started: float) -> Report:
    s = job.settings
    with ExitStack() as files:
        # The figure is renamed into place only once the audio is.
        picture = files.enter_context(replacing(job.plot, job.overwrite)) \
            if job.plot is not None else None
        # Creating, completing or renaming the audio's temporary file.
        files.enter_context(_reported_as(f"cannot write {job.target}"))
        temporary = files.enter_context(replacing(job.target, job.overwrite))
        warnings: list[str] = []

        before: Measurement | None = None
        if s.loudness_lufs is not None:
            before, reader = measuring_pass(job.source, job.sample_rate)
            _held(job, job.shortfall or reader.shortfall(), warnings)
        plan = Delivery.start(before, job.sample_rate, s.threshold_dBFS, s.loudness_lufs,
                              verify_true_peak=s.true_peak) if job.delivering else None

        written_once = False

        def run(settings: PassSettings, write: bool) -> Passed:
            """One pass: it decides, or (its settings decided) it writes."""
            nonlocal written_once, before
            _stopping.check()
            if write and written_once:
                fresh(temporary)
            written_once = written_once or write
            first = before is None
            passed = limiting_pass(job, settings, temporary if write else None,
                                   meter_input=job.measured and first,
                                   plot=write and picture is not None)
            if first:  # the first reading of the input
                _held(job, passed.shortfall, warnings)
                before = passed.input
            return passed

        def settle(plan: Delivery) -> tuple[Passed, int]:
            """Master's passes under `plan`, until it asks for no more."""
            decided, count = run(_pass_settings(job, plan), False), 1
            while decided.output is not None and plan.review(decided.output):
                decided, count = run(_pass_settings(job, plan), False), count + 1
            return decided, count

        passes = 1
        if plan is not None:
            decided, passes = settle(plan)
        passed = run(_pass_settings(job, plan), True)
        peak_after, after = _written(job, temporary, passed)

        # What the file holds, verified: where a codec's decoding (or
        # dither) reads over the ceiling or off the loudness target, master's
        # passes run again, under a ceiling lowered by the excess and for a
        # target moved by the difference.
        encodings, tracking = 0, _Tracking()
        while plan is not None and after is not None and encodings < MAX_ENCODINGS:
            over, off = _misses(job, plan, after)
            if over <= 0.0 and off == 0.0:
                break
            plan = _moved(plan, before, tracking.lower(decided, after, over), off)
            decided, more = settle(plan)
            passes, encodings = passes + more, encodings + 1
            passed = run(_pass_settings(job, plan), True)
            peak_after, after = _written(job, temporary, passed)

        reached, notes = _outcome(job, plan, after, encodings)
        warnings += notes
        tally = passed.tally
        if picture is not None and job.plot is not None and passed.columns is not None:
            from ._plot import write_plot

            columns = passed.columns
            if columns.frames != passed.held:
                columns = columns_of(job, passed.settings, passed.held)
            with _reported_as(f"cannot write the figure {job.plot}"):
                write_plot(picture, PLOT_FORMATS[job.plot.suffix.lower()],
                           _title(job, tally.input_peak, tally.deepest, after, plan, reached),
                           job.sample_rate, columns, tally.input_peak,
                           job.settings.threshold_dBFS, job.ceiling,
                           "dBTP" if s.true_peak else "dBFS")
        _stopping.check()
    return Report(job, tally.input_peak, peak_after, tally.deepest, tally.reduced_share(),
                  time.perf_counter() - started, tuple(warnings), before, after,
                  plan.gain_db if plan is not None else 0.0, passes, reached, "; ".join(notes),
                  passed.settings.threshold_dBFS, passed.held)


def _pass_settings(job: Job, plan: Delivery | None) -> PassSettings:
    if plan is None:
        return PassSettings(0.0, job.settings.threshold_dBFS, False)
    return PassSettings(plan.gain_db, plan.threshold_dBFS, plan.true_peak, plan.trim_db)


def _misses(job: Job, plan: Delivery, after: Measurement) -> tuple[float, float]:
    """How far what was written reads over the ceiling (dB, where it is
    verified), and off the loudness target (LU, where master reached it on
    the limiter's output and the file misses it)."""
    s = job.settings
    over = after.true_peak_dbtp - s.threshold_dBFS if s.true_peak else 0.0
    off = 0.0
    if s.loudness_lufs is not None and plan.loudness_reached and \
            math.isfinite(after.integrated_lufs):
        off = after.integrated_lufs - s.loudness_lufs
        if abs(off) <= LOUDNESS_TOLERANCE_LU:
            off = 0.0
    return over, off


class _Tracking:
    """How much the ceiling comes down for what was written to read `over`
    dB lower. A codec's overshoot changes with the limiting: where the last
    change of the limiter's true peak moved the decoded one by less, the
    ceiling comes down by more (a secant, at most MAX_STEPS times the excess)."""

    MAX_STEPS = 5.0

    def __init__(self) -> None:
        self._last: tuple[float, float] | None = None

    def lower(self, passed: Passed, after: Measurement, over: float) -> float:
        if over <= 0.0 or passed.output is None:
            return 0.0
        limited, written = passed.output.true_peak_dbtp, after.true_peak_dbtp
        slope = 1.0
        if self._last is not None and self._last[0] != limited:
            slope = (self._last[1] - written) / (self._last[0] - limited)
        self._last = (limited, written)
        return over / min(1.0, max(1.0 / self.MAX_STEPS, slope)) + OVERSHOOT_MARGIN_DB


def _moved(plan: Delivery, before: Measurement | None, lower: float, off: float) -> Delivery:
    """A plan under a ceiling `lower` dB lower, for a target moved by `off`
    LU, starting from where the last plan ended."""
    target = plan.loudness_lufs - off if plan.loudness_lufs is not None else None
    moved = Delivery.start(before, plan.sample_rate, plan.ceiling_dbtp - lower, target,
                           verify_true_peak=plan.verify_true_peak)
    moved.gain_db = plan.gain_db - off
    moved.threshold_dBFS = min(0.0, plan.threshold_dBFS - lower)
    moved.stated = plan.stated  # the notes name what the user asked for
    return moved


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
    meter = Meter(job.sample_rate, passed.channels) if job.measured else None
    largest = file_peak(temporary, job.target, meter)
    return largest, meter.result() if meter is not None else None


def _outcome(job: Job, plan: Delivery | None, after: Measurement | None,
             encodings: int) -> tuple[bool | None, list[str]]:
    """Whether the loudness was reached, on what was written, and the notes
    that say why not, or what the passes had to do."""
    s = job.settings
    notes = [plan.note] if plan is not None and plan.note else []
    if s.true_peak and after is not None and after.true_peak_dbtp > s.threshold_dBFS:
        notes.append(f"the written file still reads {after.true_peak_dbtp - s.threshold_dBFS:.2f} "
                     f"dB over the ceiling after {encodings} more encodings")
        if s.loudness_lufs is not None:
            return False, notes
    if plan is None or s.loudness_lufs is None:
        return None, notes
    reached = plan.loudness_reached
    if reached and after is not None:
        off = after.integrated_lufs - s.loudness_lufs
        if not abs(off) <= LOUDNESS_TOLERANCE_LU:
            reached = False
            notes.append(f"the written file reads {after.integrated_lufs:.2f} LUFS, "
                         f"{off:+.2f} LU from the target")
    return reached, notes


@contextmanager
def _reported_as(what: str) -> Iterator[None]:
    """The system's error, as the failure of one file: what failed and why."""
    try:
        yield
    except OSError as error:
        raise AudioError(f"{what} ({error.strerror or error})") from None


def _title(job: Job, peak_before: float, deepest: float, after: Measurement | None,
           plan: Delivery | None, reached: bool | None) -> str:
    """The figure's title: what the output reads against what was asked,
    the gain brought to a loudness target (and whether it was reached) and
    the deepest gain reduction."""
    s = job.settings
    reduction = f"gain reduction up to {reduction_db(deepest):.2f} dB"
    if after is None:
        mode = "true peak" if s.true_peak else "sample peak"
        return (f"{job.source.name}: ceiling {s.threshold_dBFS:+.2f} dBFS ({mode}), "
                f"input peak {dbfs(peak_before)} dBFS, {reduction}")
    ceiling = f"{s.threshold_dBFS:+.2f} dBTP" if s.true_peak else \
        f"{s.threshold_dBFS:+.2f} dBFS sample peak"
    loudness = after.integrated_lufs
    level = f"{loudness:.2f} LUFS" if math.isfinite(loudness) else ""
    if s.loudness_lufs is not None and plan is not None:
        missed = "" if reached else ", missed"
        level += f" (target {s.loudness_lufs:g}{missed}, gain {decibels(plan.gain_db)} dB)"
    level += ", " if level else ""
    return (f"{job.source.name}: {level}true peak {decibels(after.true_peak_dbtp)} dBTP "
            f"(ceiling {ceiling}), {reduction}")
