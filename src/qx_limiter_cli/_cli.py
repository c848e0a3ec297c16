"""qx-limiter: limits audio files with qx_limiter.

Everything a user can get wrong is checked before the first file is touched
(paths, formats, subtypes, the settings against each file's sample rate);
what can only go wrong while a file is processed (a sample that is not
finite, a full disk) ends that file alone, and nothing half-written stays
behind.
"""

from __future__ import annotations

import argparse
import importlib
import math
import os
import re
import sys
import time
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor, as_completed
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, NoReturn, TextIO

import numpy as np

from qx_limiter import QXLimiter

if TYPE_CHECKING:
    from ._audio import Samples

PROG = "qx-limiter"
EXTRA_HINT = "pip install 'qx_limiter[cli]'"

# Exit statuses: 1 when a file could not be limited (or the extra is
# missing), 2 for a command line that cannot work (the usual meaning of 2
# for command-line tools).
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# A frame counts as reduced when its gain is more than this many dB below 1.
# Not 0: after a reduction the gain recovers exponentially and takes long to
# reach exactly 1, while the last hundredths of a dB make no audible change.
REDUCED_DB = 0.1
_REDUCED_GAIN = np.float32(10.0 ** (-REDUCED_DB / 20.0))


class UsageError(Exception):
    """The command line itself is wrong."""


class MissingExtra(Exception):
    """A package of the optional extra is not installed."""


class FileErrors(Exception):
    """Files that cannot be limited: one complete line each, naming the file."""

    def __init__(self, lines: list[str]) -> None:
        super().__init__("\n".join(lines))
        self.lines = lines


class _Parser(argparse.ArgumentParser):
    # One line instead of argparse's usage block followed by the message.
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None


def _ceiling(text: str) -> float:
    value = _number(text)
    if not (math.isfinite(value) and value <= 0.0):
        raise argparse.ArgumentTypeError(f"must be a finite dBFS value at most 0, got {text}")
    return value


def _milliseconds(text: str) -> float:
    value = _number(text)
    if not (math.isfinite(value) and value >= 0.0):
        raise argparse.ArgumentTypeError(
            f"must be a finite number of milliseconds, at least 0, got {text}")
    return value


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a whole number of at least 1, got {text}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Limit audio files (WAV, FLAC, AIFF, OGG and whatever else libsndfile "
                    "reads) with a look-ahead brick-wall limiter. The output keeps each "
                    "input's sample rate, channels and sample format.",
        epilog="Prints one line per file: sample peak before and after, the largest gain "
               f"reduction, the share of frames reduced by more than {REDUCED_DB:g} dB and "
               "the time taken. Integer samples are rounded inside the ceiling, so a "
               "PCM output never exceeds it; lossy formats (OGG) can, once decoded. "
               "Exit status: 0 when every file was limited, 1 when a file could not be, "
               "2 for an invalid command line.",
    )
    parser.add_argument("inputs", nargs="+", metavar="IN", type=Path, help="audio files to limit")
    target = parser.add_mutually_exclusive_group(required=True)
    target.add_argument("-o", "--output", metavar="OUT", type=Path,
                        help="output file, for a single input; its extension may choose "
                             "another format")
    target.add_argument("--output-dir", metavar="DIR", type=Path,
                        help="directory for the outputs, named as the inputs (created if missing)")
    parser.add_argument("--threshold-dBFS", dest="threshold_dBFS", metavar="X", type=_ceiling,
                        default=0.0, help="output ceiling in dBFS, at most 0 (default: 0)")
    parser.add_argument("--attack-ms", metavar="X", type=_milliseconds, default=5.0,
                        help="look-ahead (attack) time in milliseconds (default: 5)")
    parser.add_argument("--hold-ms", metavar="X", type=_milliseconds, default=15.0,
                        help="hold time in milliseconds (default: 15)")
    parser.add_argument("--release-ms", metavar="X", type=_milliseconds, default=40.0,
                        help="release time in milliseconds (default: 40)")
    parser.add_argument("--true-peak", action="store_true",
                        help="detect ITU-R BS.1770 true peaks instead of sample peaks")
    parser.add_argument("--subtype", metavar="SUBTYPE", type=str.upper,
                        help="sample format of the outputs, e.g. PCM_16, PCM_24, FLOAT "
                             "(default: the input's)")
    parser.add_argument("--jobs", metavar="N", type=_jobs, default=1,
                        help="files limited at the same time, in threads (default: 1)")
    parser.add_argument("--plot", metavar="PNG", type=Path,
                        help="write a figure of each file, waveforms and gain reduction; "
                             "with several inputs, each output's name is added to PNG's")
    return parser


@dataclass(frozen=True)
class Options:
    inputs: list[Path]
    output: Path | None
    output_dir: Path | None
    threshold_dBFS: float
    attack_ms: float
    hold_ms: float
    release_ms: float
    true_peak: bool
    subtype: str | None
    jobs: int
    plot: Path | None


@dataclass(frozen=True)
class Job:
    source: Path
    target: Path
    plot: Path | None
    sample_rate: int
    file_format: str
    subtype: str
    limiter: QXLimiter


@dataclass(frozen=True)
class Report:
    job: Job
    peak_before: float
    peak_after: float
    deepest_gain: float
    reduced_share: float
    seconds: float

    def line(self) -> str:
        return (f"{self.job.source} -> {self.job.target}: "
                f"peak {_dbfs(self.peak_before)} -> {_dbfs(self.peak_after)} dBFS, "
                f"gain reduction up to {_reduction_db(self.deepest_gain):.2f} dB, "
                f"over {REDUCED_DB:g} dB on {self.reduced_share:.1%} of frames, "
                f"{self.seconds:.2f} s")


def _dbfs(linear: float) -> str:
    return f"{20.0 * math.log10(linear):+.2f}" if linear > 0.0 else "-inf"


def _reduction_db(gain: float) -> float:
    # max() turns the -0.0 of an untouched file into 0.0.
    return max(0.0, -20.0 * math.log10(gain)) if gain > 0.0 else math.inf


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    try:
        options = Options(**vars(build_parser().parse_args(argv)))
        _check_extras(options.plot is not None)
        jobs = _plan(options)
    except UsageError as error:
        return _fail(EXIT_USAGE, str(error))
    except MissingExtra as error:
        return _fail(EXIT_FAILURE, str(error))
    except FileErrors as errors:
        return _fail(EXIT_FAILURE, *errors.lines)
    try:
        return _run(jobs, options)
    except KeyboardInterrupt:
        return _fail(EXIT_INTERRUPTED, "interrupted; the files not finished were not written")


def _fail(status: int, *lines: str) -> int:
    for line in lines:
        print(f"{PROG}: error: {line}", file=sys.stderr)
    return status


def _check_extras(plotting: bool) -> None:
    """The command line needs the packages of the optional extra; the
    qx_limiter module itself does not."""
    needed = ["soundfile", "tqdm"] + (["matplotlib"] if plotting else [])
    missing = [name for name in needed if not _importable(name)]
    if missing:
        names = " and ".join(filter(None, (", ".join(missing[:-1]), missing[-1])))
        verb = "is" if len(missing) == 1 else "are"
        raise MissingExtra(f"{names} {verb} not installed; the command line needs the "
                           f"extra: {EXTRA_HINT}")


def _importable(name: str) -> bool:
    try:
        importlib.import_module(name)
    except ImportError:
        return False
    return True


def _plan(options: Options) -> list[Job]:
    """Checks every input, output and setting before anything is written."""
    from . import _audio

    inputs = options.inputs
    if options.output is not None and len(inputs) > 1:
        raise UsageError(f"-o/--output takes a single input, got {len(inputs)}; "
                         f"use --output-dir for several")
    if options.subtype is not None and options.subtype not in _audio.known_subtypes():
        known = ", ".join(_audio.known_subtypes())
        raise UsageError(f"argument --subtype: unknown subtype {options.subtype}; known: {known}")
    if options.output_dir is not None and options.output_dir.exists() \
            and not options.output_dir.is_dir():
        raise UsageError(f"argument --output-dir: {options.output_dir} is not a directory")

    if options.output is not None:
        targets = [options.output]
    else:
        assert options.output_dir is not None  # one of the two is required
        targets = [options.output_dir / source.name for source in inputs]
    plots = _plot_paths(options.plot, targets)

    problems = _clashes(inputs, targets, plots)
    jobs = []
    checked: set[Path] = set()
    for source, target, plot in zip(inputs, targets, plots):
        if source in checked:
            continue  # the same input named twice is limited once
        checked.add(source)
        try:
            jobs.append(_job(source, target, plot, options))
        except FileErrors as errors:
            problems += errors.lines
    if problems:
        raise FileErrors(problems)
    return jobs


def _plot_paths(plot: Path | None, targets: list[Path]) -> list[Path | None]:
    if plot is None or len(targets) == 1:
        return [plot] * len(targets)
    return [plot.with_name(f"{plot.stem}-{target.stem}{plot.suffix or '.png'}")
            for target in targets]


def _clashes(inputs: list[Path], targets: list[Path], plots: list[Path | None]) -> list[str]:
    """Outputs that would overwrite an input, or each other."""
    problems = []
    written_by: dict[str, Path] = {}
    for source, target, plot in zip(inputs, targets, plots):
        for written in (target, plot):
            if written is None:
                continue
            for other in inputs:
                if _same_file(written, other):
                    problems.append(f"{source}: the output {written} would overwrite the input "
                                    f"{other}; choose another output")
                    break
            key = os.path.realpath(written)
            if written_by.setdefault(key, source) != source:
                problems.append(f"{source}: the output {written} is also the output of "
                                f"{written_by[key]}")
    return problems


def _same_file(one: Path, other: Path) -> bool:
    # Through links too; a path that does not exist yet overwrites nothing.
    try:
        return os.path.samefile(one, other)
    except OSError:
        return False


def _job(source: Path, target: Path, plot: Path | None, options: Options) -> Job:
    from . import _audio

    def problem(text: str) -> FileErrors:
        return FileErrors([f"{source}: {text}"])

    if not source.exists():
        raise problem("no such file")
    if source.is_dir():
        raise problem("is a directory, not an audio file")
    if not os.access(source, os.R_OK):
        raise problem("permission denied")
    if target.is_dir():
        raise problem(f"the output {target} is a directory")
    for written in (target, plot):
        # The output directory is created before the first file is written.
        if written is not None and written.parent != options.output_dir \
                and not written.parent.is_dir():
            raise problem(f"cannot write {written}: no such directory {written.parent}")
    try:
        header = _audio.read_header(source)
        file_format, subtype = _audio.output_format(target, header, options.subtype)
    except _audio.AudioError as error:
        raise problem(str(error)) from None
    try:
        limiter = QXLimiter(header.sample_rate, options.threshold_dBFS, options.attack_ms,
                            options.hold_ms, options.release_ms, options.true_peak)
    except ValueError as error:
        raise problem(str(error)) from None
    return Job(source, target, plot, header.sample_rate, file_format, subtype, limiter)


def _run(jobs: list[Job], options: Options) -> int:
    import tqdm

    if options.output_dir is not None:
        try:
            options.output_dir.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            return _fail(EXIT_FAILURE, f"{options.output_dir}: cannot create the directory "
                                          f"({error.strerror or error})")
    stdout: TextIO = sys.stdout
    bar = tqdm.tqdm(total=len(jobs), unit="file", file=stdout, leave=False,
                    disable=len(jobs) < 2 or not stdout.isatty())
    failed = 0

    def finished(outcome: Report | str) -> None:
        nonlocal failed
        # tqdm.write keeps the lines above the bar instead of through it.
        if isinstance(outcome, Report):
            tqdm.tqdm.write(outcome.line(), file=stdout)
        else:
            failed += 1
            tqdm.tqdm.write(f"{PROG}: error: {outcome}", file=sys.stderr)
        bar.update(1)

    try:
        if options.jobs == 1 or len(jobs) == 1:
            for job in jobs:
                finished(_limit_file(job))
        else:
            with ThreadPoolExecutor(max_workers=min(options.jobs, len(jobs))) as pool:
                futures = [pool.submit(_limit_file, job) for job in jobs]
                try:
                    for future in as_completed(futures):
                        finished(future.result())
                except KeyboardInterrupt:
                    for future in futures:
                        future.cancel()
                    raise
    finally:
        bar.close()
    return EXIT_FAILURE if failed else 0


def _limit_file(job: Job) -> Report | str:
    """Limits one file; a problem the user can fix comes back as its line."""
    from . import _audio

    started = time.perf_counter()
    try:
        frames, text = _audio.read_frames(job.source)
        try:
            # Frames-first, as soundfile reads them: no transposed copy.
            limited, gains = job.limiter.process(frames, axis=0)
        except ValueError as error:
            raise _audio.AudioError(_locate(str(error), frames.shape[1], job.sample_rate)) \
                from None
        peak_before = _audio.peak(frames)
        deepest = float(gains.min()) if gains.size else 1.0
        reduced = np.count_nonzero(gains < _REDUCED_GAIN) / gains.size if gains.size else 0.0
        if job.plot is None:
            peak_after = _store(job, limited, text)
        else:
            from ._plot import write_plot

            # The figure is renamed into place only once the audio is.
            with _audio.replacing(job.plot) as picture:
                write_plot(picture, _title(job, peak_before, deepest), job.sample_rate,
                           frames, limited, gains, job.limiter.threshold_dBFS,
                           job.limiter.threshold)
                peak_after = _store(job, limited, text)
    except _audio.AudioError as error:
        return f"{job.source}: {error}"
    except OSError as error:  # the audio's own writing reports its errors as AudioError
        return f"{job.source}: cannot write the figure {job.plot} ({error.strerror or error})"
    return Report(job, peak_before, peak_after, deepest, float(reduced),
                  time.perf_counter() - started)


def _store(job: Job, limited: Samples, text: dict[str, str]) -> float:
    from . import _audio

    samples, peak = _audio.quantise(limited, job.subtype, job.limiter.threshold)
    _audio.write_frames(job.target, samples, job.sample_rate, job.file_format, job.subtype, text)
    return peak


def _title(job: Job, peak_before: float, deepest: float) -> str:
    mode = "true peak" if job.limiter.true_peak else "sample peak"
    return (f"{job.source.name}: ceiling {job.limiter.threshold_dBFS:+.2f} dBFS ({mode}), "
            f"input peak {_dbfs(peak_before)} dBFS, gain reduction up to "
            f"{_reduction_db(deepest):.2f} dB")


_FLAT_INDEX = re.compile(r"input sample at flat index (\d+)")


def _locate(message: str, channels: int, sample_rate: int) -> str:
    """Turns the limiter's flat index into the frame of the file, its time
    and the channel (counted from 1), which is what a user can look up."""
    found = _FLAT_INDEX.search(message)
    if found is None:
        return message
    frame, channel = divmod(int(found.group(1)), channels)
    where = f"sample at frame {frame} ({frame / sample_rate:.3f} s), channel {channel + 1}"
    return message[:found.start()] + where + message[found.end():]
