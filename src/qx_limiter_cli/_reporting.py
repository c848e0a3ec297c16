"""What a run tells: one line per file in the order the files were named,
warnings and errors, and the summary."""

from __future__ import annotations

import math
import sys
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from ._options import PROG, REDUCED_DB

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from qx_limiter_tools import Measurement

    from ._album import Album
    from ._planning import Job


@dataclass(frozen=True)
class Written:
    """A file written. `before` and `after` are the meter's readings of the
    input and of what was written (decoded, for lossy formats), where the
    file was measured; `gain_db` the gain brought to the loudness target;
    `threshold_dBFS` the limiter's in the last pass."""

    job: Job
    peak_before: float
    peak_after: float
    deepest_gain: float
    reduced_share: float
    seconds: float
    warnings: tuple[str, ...] = ()
    before: Measurement | None = None
    after: Measurement | None = None
    gain_db: float = 0.0
    passes: int = 1
    loudness_reached: bool | None = None
    note: str = ""
    threshold_dBFS: float = 0.0
    frames: int = 0
    # What the platform's codec (--verify-codec) decodes from the output.
    after_codec: Measurement | None = None
    # The sub-block powers of what was written, where it was measured: an
    # album's loudness is gated over every track's.
    powers: npt.NDArray[np.float64] | None = field(default=None, repr=False, compare=False)

    def line(self) -> str:
        note = f" ({self.job.output.note})" if self.job.output.note else ""
        delivered = ""
        if self.job.delivering and self.before is not None and self.after is not None:
            passes = "pass" if self.passes == 1 else "passes"
            delivered = (
                f"loudness {lufs(self.before.integrated_lufs)} -> "
                f"{lufs(self.after.integrated_lufs)} LUFS, true peak "
                f"{decibels(self.before.true_peak_dbtp)} -> "
                f"{decibels(self.after.true_peak_dbtp)} dBTP, gain "
                f"{decibels(self.gain_db)} dB, {self.passes} {passes}, "
            )
            trial = self.job.trial_codec
            if self.after_codec is not None and trial is not None:
                delivered += (
                    f"after {trial[0]} at {trial[1] // 1000} kbit/s "
                    f"{lufs(self.after_codec.integrated_lufs)} LUFS, "
                    f"{decibels(self.after_codec.true_peak_dbtp)} dBTP, "
                )
        return (
            f"{self.job.shown} -> {self.job.shown_target}{note}: "
            f"peak {dbfs(self.peak_before)} -> {dbfs(self.peak_after)} dBFS, "
            f"gain reduction up to {reduction_db(self.deepest_gain):.2f} dB, "
            f"over {REDUCED_DB:g} dB on {self.reduced_share:.1%} of frames, "
            f"{delivered}{self.seconds:.2f} s"
        )


@dataclass(frozen=True)
class Failure:
    job: Job
    reason: str

    def line(self) -> str:
        return f"{self.job.shown}: {self.reason}"


Outcome = Written | Failure


def dbfs(linear: float) -> str:
    return f"{20.0 * math.log10(linear):+.2f}" if linear > 0.0 else "-inf"


def decibels(value: float) -> str:
    """A figure in dB with its sign; -inf for silence."""
    return f"{value:+.2f}" if math.isfinite(value) else "-inf"


def lufs(value: float) -> str:
    return f"{value:.2f}" if math.isfinite(value) else "-inf"


def reduction_db(gain: float) -> float:
    # max() turns the -0.0 of an untouched file into 0.0.
    return max(0.0, -20.0 * math.log10(gain)) if gain > 0.0 else math.inf


def fail(status: int, *lines: str) -> int:
    for line in lines:
        print(f"{PROG}: error: {line}", file=sys.stderr)
    return status


def warn(line: str) -> None:
    import tqdm

    # tqdm.write keeps the line above a progress bar instead of through it.
    tqdm.tqdm.write(f"{PROG}: warning: {line}", file=sys.stderr)


class InOrder:
    """Prints each file's outcome in the order the files were named, as soon
    as the files before it are done, and counts them for the summary."""

    def __init__(self, jobs: int, quiet: bool, progress: Callable[[], object]) -> None:
        self._outcomes: list[Outcome | None] = [None] * jobs
        self._next = 0
        self._quiet = quiet
        self._progress = progress
        self.written = 0
        self.failed = 0

    @property
    def outcomes(self) -> list[Outcome]:
        """The outcomes so far, in the order the files were named."""
        return [outcome for outcome in self._outcomes if outcome is not None]

    def finished(self, index: int, outcome: Outcome) -> None:
        self._outcomes[index] = outcome
        if isinstance(outcome, Written):
            self.written += 1
        else:
            self.failed += 1
        self._progress()
        self.flush(upto_gap=True)

    def flush(self, upto_gap: bool = False) -> None:
        while self._next < len(self._outcomes):
            outcome = self._outcomes[self._next]
            if outcome is None and upto_gap:
                return
            self._next += 1
            if outcome is not None:
                self._print(outcome)

    def _print(self, outcome: Outcome) -> None:
        import tqdm

        if isinstance(outcome, Failure):
            tqdm.tqdm.write(f"{PROG}: error: {outcome.line()}", file=sys.stderr)
            return
        for warning in outcome.warnings:
            warn(f"{outcome.job.shown}: {warning}")
        if not self._quiet:
            tqdm.tqdm.write(outcome.line(), file=sys.stdout)

    def summary(self, seconds: float) -> str:
        files = "file" if self.written == 1 else "files"
        undone = len(self._outcomes) - self.written - self.failed
        rest = f", {undone} not done" if undone else ""
        return f"{self.written} {files} written, {self.failed} failed{rest}, in {seconds:.2f} s"


def album_line(album: Album) -> str:
    """The album's line: its loudness and range as one programme, before
    and after, its largest true peak, the gain and the rounds."""
    after = album.after
    rounds = "round" if album.rounds == 1 else "rounds"
    if after is None:
        return f"album: loudness {lufs(album.before.integrated_lufs)} LUFS; not delivered whole"
    return (
        f"album: loudness {lufs(album.before.integrated_lufs)} -> "
        f"{lufs(after.integrated_lufs)} LUFS, range {lufs(album.before.loudness_range_lu)} "
        f"-> {lufs(after.loudness_range_lu)} LU, true peak up to "
        f"{decibels(after.true_peak_dbtp)} dBTP, gain {decibels(album.gain_db)} dB, "
        f"gain reduction up to {album.deepest_db:.2f} dB, {album.rounds} {rounds}"
    )
