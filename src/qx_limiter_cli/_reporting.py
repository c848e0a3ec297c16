"""What a run tells: one line per file in the order the files were named,
warnings and errors, and the summary."""

from __future__ import annotations

import math
import sys
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING

from ._options import PROG, REDUCED_DB

if TYPE_CHECKING:
    from ._planning import Job


@dataclass(frozen=True)
class Report:
    job: Job
    peak_before: float
    peak_after: float
    deepest_gain: float
    reduced_share: float
    seconds: float
    warnings: tuple[str, ...] = ()

    def line(self) -> str:
        note = f" ({self.job.output.note})" if self.job.output.note else ""
        return (f"{self.job.source} -> {self.job.target}{note}: "
                f"peak {dbfs(self.peak_before)} -> {dbfs(self.peak_after)} dBFS, "
                f"gain reduction up to {reduction_db(self.deepest_gain):.2f} dB, "
                f"over {REDUCED_DB:g} dB on {self.reduced_share:.1%} of frames, "
                f"{self.seconds:.2f} s")


@dataclass(frozen=True)
class Failure:
    job: Job
    reason: str

    def line(self) -> str:
        return f"{self.job.source}: {self.reason}"


Outcome = Report | Failure


def dbfs(linear: float) -> str:
    return f"{20.0 * math.log10(linear):+.2f}" if linear > 0.0 else "-inf"


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

    def finished(self, index: int, outcome: Outcome) -> None:
        self._outcomes[index] = outcome
        if isinstance(outcome, Report):
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
            warn(f"{outcome.job.source}: {warning}")
        if not self._quiet:
            tqdm.tqdm.write(outcome.line(), file=sys.stdout)

    def summary(self, seconds: float) -> str:
        files = "file" if self.written == 1 else "files"
        undone = len(self._outcomes) - self.written - self.failed
        rest = f", {undone} not done" if undone else ""
        return f"{self.written} {files} written, {self.failed} failed{rest}, in {seconds:.2f} s"

