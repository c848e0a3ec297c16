"""qx-limiter: limits audio files with qx_limiter.

Everything a user can get wrong is checked before the first file is touched
(paths, formats, subtypes, the settings against each file's sample rate);
what can only go wrong while a file is processed (a sample that is not
finite, a full disk) ends that file alone, and nothing half-written stays
behind.
"""

from __future__ import annotations

import argparse
import errno
import importlib
import importlib.metadata
import math
import os
import re
import signal
import sys
import time
from collections.abc import Callable, Sequence
from concurrent.futures import Future, ThreadPoolExecutor, as_completed
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, NoReturn

import numpy as np

from qx_limiter import QXLimiter

from . import _stopping

if TYPE_CHECKING:
    from ._audio import Decoded, OutputFormat, Samples, Shortfall


PROG = "qx-limiter"
EXTRA_HINT = "pip install 'qx_limiter[cli]' (from a clone of the repository: pip install '.[cli]')"

# Exit statuses: 1 when a file could not be limited (or the extra is
# missing), 2 for a command line that cannot work (the usual meaning of 2
# for command-line tools), 128 + the signal's number when stopped by one
# (130 for Ctrl-C), as a shell reports a process that a signal ended.
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 128 + signal.SIGINT

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


def _attack(text: str) -> float:
    # The look-ahead must span at least one frame; how many milliseconds that
    # takes depends on each file's rate, checked when the files are read.
    value = _number(text)
    if not (math.isfinite(value) and value > 0.0):
        raise argparse.ArgumentTypeError(
            f"must be a finite number of milliseconds, more than 0, got {text}")
    return value


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a whole number of at least 1, got {text}")
    return value


def _path(stream: str) -> Callable[[str], Path]:
    # "-" would otherwise become a file of that name; ./- still names one.
    def convert(text: str) -> Path:
        if text == "-":
            raise argparse.ArgumentTypeError(
                f"{stream} ('-') is not supported; name a file (./- for a file named -)")
        return Path(text)
    return convert


def _version() -> str:
    try:
        return importlib.metadata.version("qx_limiter")
    except importlib.metadata.PackageNotFoundError:
        return "(version unknown: not installed)"


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Limit audio files (WAV, FLAC, AIFF, OGG and whatever else libsndfile "
                    "reads) with a look-ahead brick-wall limiter. The output keeps each "
                    "input's sample rate, channels and, where its format holds it, sample "
                    "format.",
        epilog="Prints one line per file: sample peak before and after (as the written "
               "file holds it), the largest gain reduction, the share of frames reduced "
               f"by more than {REDUCED_DB:g} dB and the time taken; then a summary. "
               "Integer samples are rounded inside the ceiling, so a PCM output never "
               "exceeds it; lossy formats (OGG, MP3) can, once decoded. Frames and "
               "channels in messages are counted from 0. Exit status: 0 when every file "
               "was limited, 1 when a file could not be, 2 for an invalid command line, "
               "128 + the signal's number when stopped (130 for Ctrl-C).",
    )
    parser.add_argument("inputs", nargs="+", metavar="IN", type=_path("standard input"),
                        help="audio files to limit")
    target = parser.add_mutually_exclusive_group(required=True)
    target.add_argument("-o", "--output", metavar="OUT", type=_path("standard output"),
                        help="output file, for a single input; its extension chooses the "
                             "format (no extension: the input's)")
    target.add_argument("--output-dir", metavar="DIR", type=_path("standard output"),
                        help="directory for the outputs, named as the inputs")
    parser.add_argument("--threshold-dBFS", dest="threshold_dBFS", metavar="X", type=_ceiling,
                        default=0.0, help="output ceiling in dBFS, at most 0 (default: 0)")
    parser.add_argument("--attack-ms", metavar="X", type=_attack, default=5.0,
                        help="look-ahead (attack) time in milliseconds; one frame at "
                             "least, so 500 / sample rate or more (default: 5)")
    parser.add_argument("--hold-ms", metavar="X", type=_milliseconds, default=15.0,
                        help="hold time in milliseconds (default: 15)")
    parser.add_argument("--release-ms", metavar="X", type=_milliseconds, default=40.0,
                        help="release time in milliseconds (default: 40)")
    parser.add_argument("--true-peak", action="store_true",
                        help="detect ITU-R BS.1770 true peaks instead of sample peaks")
    parser.add_argument("--subtype", metavar="SUBTYPE", type=str.upper,
                        help="sample format of the outputs, e.g. PCM_16, PCM_24, FLOAT "
                             "(default: the input's, or the nearest the format holds)")
    parser.add_argument("--jobs", metavar="N", type=_jobs, default=1,
                        help="files limited at the same time, in threads (default: 1)")
    parser.add_argument("--plot", metavar="PNG", type=_path("standard output"),
                        help="write a figure of each file, waveforms and gain reduction; "
                             "with several inputs, each output's name is added to PNG's")
    parser.add_argument("--overwrite", action="store_true",
                        help="replace outputs and figures that exist already (default: "
                             "refuse, before anything is written)")
    parser.add_argument("--allow-truncated", action="store_true",
                        help="limit the part of a truncated input that it holds, with a "
                             "warning (default: refuse the file)")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="print only warnings and errors")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
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
    overwrite: bool
    allow_truncated: bool
    quiet: bool


@dataclass(frozen=True)
class Job:
    source: Path
    target: Path
    plot: Path | None
    sample_rate: int
    output: OutputFormat
    limiter: QXLimiter
    # What the header shows to be missing, where truncated inputs are allowed.
    shortfall: Shortfall | None
    allow_truncated: bool


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
                f"peak {_dbfs(self.peak_before)} -> {_dbfs(self.peak_after)} dBFS, "
                f"gain reduction up to {_reduction_db(self.deepest_gain):.2f} dB, "
                f"over {REDUCED_DB:g} dB on {self.reduced_share:.1%} of frames, "
                f"{self.seconds:.2f} s")


@dataclass(frozen=True)
class Failure:
    job: Job
    reason: str

    def line(self) -> str:
        return f"{self.job.source}: {self.reason}"


Outcome = Report | Failure


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
    except UsageError as error:
        return _fail(EXIT_USAGE, str(error))
    except MissingExtra as error:
        return _fail(EXIT_FAILURE, str(error))
    with _stopping.stop_on_signals():
        try:
            jobs, folders = _plan(options)
            _make_folders(folders)
            return _run(jobs, options)
        except UsageError as error:
            return _fail(EXIT_USAGE, str(error))
        except FileErrors as errors:
            return _fail(EXIT_FAILURE, *errors.lines)
        except KeyboardInterrupt:
            return _fail(EXIT_INTERRUPTED, "interrupted; nothing was written")
        except _stopping.Stopped as stopped:
            return _fail(128 + stopped.signum, f"stopped by {stopped}; nothing was written")


def _fail(status: int, *lines: str) -> int:
    for line in lines:
        print(f"{PROG}: error: {line}", file=sys.stderr)
    return status


def _warn(line: str) -> None:
    import tqdm

    # tqdm.write keeps the line above a progress bar instead of through it.
    tqdm.tqdm.write(f"{PROG}: warning: {line}", file=sys.stderr)


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


def _plan(options: Options) -> tuple[list[Job], list[Path]]:
    """Checks every input, output and setting before anything is written;
    returns the jobs and the folders to create for their outputs."""
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

    folders = _folders([*targets, *plots], options.output_dir)
    problems = _folder_problems(folders) + _clashes(inputs, targets, plots)
    input_ids = {key for source in inputs if (key := _file_id(source)) is not None}
    jobs = []
    checked: set[Path] = set()
    for source, target, plot in zip(inputs, targets, plots):
        if source in checked:
            continue  # the same input named twice is limited once
        checked.add(source)
        try:
            jobs.append(_job(source, target, plot, options, input_ids))
        except FileErrors as errors:
            problems += errors.lines
    if problems:
        raise FileErrors(problems)
    return jobs, folders


def _plot_paths(plot: Path | None, targets: list[Path]) -> list[Path | None]:
    if plot is None or len(targets) == 1:
        return [plot] * len(targets)
    return [plot.with_name(f"{plot.stem}-{target.stem}{plot.suffix or '.png'}")
            for target in targets]


def _folders(files: list[Path | None], output_dir: Path | None) -> list[Path]:
    """The folders to create before the first file: --output-dir and those
    that the outputs and figures go into, each once."""
    named = [output_dir] if output_dir is not None else []
    named += [path.parent for path in files if path is not None]
    return list(dict.fromkeys(named))


def _folder_problems(folders: list[Path]) -> list[str]:
    """One line for each folder that cannot be created or written into."""
    problems = []
    for folder in folders:
        existing = folder
        while not existing.exists() and existing.parent != existing:
            existing = existing.parent
        if not existing.is_dir():
            problems.append(f"cannot write into {folder}: {existing} is not a directory")
        elif not os.access(existing, os.W_OK | os.X_OK):
            problems.append(f"cannot write into {folder}: {existing} is not writable "
                            f"({os.strerror(errno.EACCES)})")
    return problems


def _make_folders(folders: list[Path]) -> None:
    problems = []
    for folder in folders:
        try:
            folder.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            problems.append(f"cannot create the folder {folder} ({error.strerror or error})")
    if problems:
        raise FileErrors(problems)


def _clashes(inputs: list[Path], targets: list[Path], plots: list[Path | None]) -> list[str]:
    """Outputs that would overwrite an input, or each other."""
    problems = []
    # The first input of each file, as the user named it.
    input_at = {key: source for source in reversed(inputs)
                if (key := _file_id(source)) is not None}
    written_by: dict[str, Path] = {}
    for source, target, plot in zip(inputs, targets, plots):
        for written in (target, plot):
            if written is None:
                continue
            key = _file_id(written)
            other = input_at.get(key) if key is not None else None
            if other is not None:
                problems.append(f"{source}: the output {written} would overwrite the input "
                                f"{other}; choose another output")
            real = os.path.realpath(written)
            if written_by.setdefault(real, source) != source:
                problems.append(f"{source}: the output {written} is also the output of "
                                f"{written_by[real]}")
    return problems


def _file_id(path: Path) -> tuple[int, int] | None:
    # The same file through any link or path; one that does not exist yet
    # is nobody's.
    try:
        found = os.stat(path)
    except OSError:
        return None
    return found.st_dev, found.st_ino


def _job(source: Path, target: Path, plot: Path | None, options: Options,
         inputs: set[tuple[int, int]]) -> Job:
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
        # An output that is an input is refused whatever --overwrite says.
        if written is not None and not options.overwrite and os.path.lexists(written) \
                and _file_id(written) not in inputs:
            raise problem(f"the output {written} exists; add --overwrite to replace it")
    try:
        header = _audio.read_header(source)
        output = _audio.output_format(target, source, header, options.subtype)
    except _audio.AudioError as error:
        raise problem(str(error)) from None
    if header.shortfall is not None and not options.allow_truncated:
        raise problem(_refusal(header.shortfall))
    attack = _attack_problem(options.attack_ms, header.sample_rate)
    if attack is not None:
        raise problem(attack)
    try:
        limiter = QXLimiter(header.sample_rate, options.threshold_dBFS, options.attack_ms,
                            options.hold_ms, options.release_ms, options.true_peak)
    except ValueError as error:
        raise problem(_in_option_terms(str(error))) from None
    return Job(source, target, plot, header.sample_rate, output, limiter, header.shortfall,
               options.allow_truncated)


def _refusal(shortfall: Shortfall) -> str:
    return f"{shortfall.describe()}; --allow-truncated limits what it holds"


def _attack_problem(attack_ms: float, sample_rate: int) -> str | None:
    """The look-ahead is attack_ms * rate / 1000 frames, rounded half up, and
    must be at least one."""
    if attack_ms * sample_rate / 1000.0 >= 0.5:
        return None
    return (f"--attack-ms {attack_ms:g} is less than one frame at {sample_rate} Hz; "
            f"the smallest that works at this rate is {_smallest_attack(sample_rate)}")


def _smallest_attack(sample_rate: int) -> str:
    """500 / rate milliseconds, written with four significant digits and
    rounded up, so that the value shown works as it is written."""
    exact = 500.0 / sample_rate
    decimals = max(0, 3 - math.floor(math.log10(exact)))
    step = 10.0 ** -decimals
    shown = math.ceil(exact / step - 1e-9) * step
    while float(f"{shown:.{decimals}f}") * sample_rate / 1000.0 < 0.5:
        shown += step
    text = f"{shown:.{decimals}f}"
    return text.rstrip("0").rstrip(".") if "." in text else text


def _in_option_terms(message: str) -> str:
    """The limiter's messages name its parameters; say the option instead."""
    return re.sub(r"true_peak does not support sample_rate=(\d+)",
                  r"--true-peak does not support \1 Hz", message)


class _InOrder:
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
            _warn(f"{outcome.job.source}: {warning}")
        if not self._quiet:
            tqdm.tqdm.write(outcome.line(), file=sys.stdout)

    def summary(self, seconds: float) -> str:
        files = "file" if self.written == 1 else "files"
        undone = len(self._outcomes) - self.written - self.failed
        rest = f", {undone} not done" if undone else ""
        return f"{self.written} {files} written, {self.failed} failed{rest}, in {seconds:.2f} s"


def _run(jobs: list[Job], options: Options) -> int:
    import tqdm

    started = time.perf_counter()
    bar = tqdm.tqdm(total=len(jobs), unit="file", file=sys.stdout, leave=False,
                    disable=options.quiet or len(jobs) < 2 or not sys.stdout.isatty())
    printer = _InOrder(len(jobs), options.quiet, lambda: bar.update(1))
    status, stop = 0, ""
    try:
        _process(jobs, options.jobs, printer.finished)
    except KeyboardInterrupt:
        status, stop = EXIT_INTERRUPTED, "interrupted"
    except _stopping.Stopped as stopped:
        status, stop = 128 + stopped.signum, f"stopped by {stopped}"
    finally:
        bar.close()
    printer.flush()
    if stop:
        _fail(status, f"{stop}; the files not finished were not written")
    if not options.quiet:
        print(printer.summary(time.perf_counter() - started))
    return status or (EXIT_FAILURE if printer.failed else 0)


def _process(jobs: list[Job], threads: int, finished: Callable[[int, Outcome], None]) -> None:
    if threads == 1 or len(jobs) == 1:
        for index, job in enumerate(jobs):
            finished(index, _limit_file(job))
        return
    with ThreadPoolExecutor(max_workers=min(threads, len(jobs))) as pool:
        futures: dict[Future[Outcome], int] = {
            pool.submit(_limit_file, job): index for index, job in enumerate(jobs)}
        try:
            for future in as_completed(futures):
                finished(futures[future], future.result())
        except BaseException:
            # The files not started are dropped; the running ones see the
            # stop and remove what they had begun to write.
            for future in futures:
                future.cancel()
            raise


def _limit_file(job: Job) -> Outcome:
    """Limits one file; a problem the user can fix comes back as a Failure."""
    from . import _audio

    started = time.perf_counter()
    try:
        _stopping.check()
        decoded, warnings = _read(job)
        _stopping.check()
        limited, gains = _limit(job, decoded.frames)
        _stopping.check()
        peak_before = _audio.peak(decoded.frames)
        deepest = float(gains.min()) if gains.size else 1.0
        reduced = np.count_nonzero(gains < _REDUCED_GAIN) / gains.size if gains.size else 0.0
        peak_after = _write(job, decoded, limited, gains, _title(job, peak_before, deepest))
    except _audio.AudioError as error:
        return Failure(job, str(error))
    except OSError as error:  # the audio's own writing reports its errors as AudioError
        return Failure(job, f"cannot write the figure {job.plot} ({error.strerror or error})")
    return Report(job, peak_before, peak_after, deepest, float(reduced),
                  time.perf_counter() - started, warnings)


def _read(job: Job) -> tuple[Decoded, tuple[str, ...]]:
    """The input's audio; a truncated input is refused unless allowed, and
    then limited with a warning."""
    from . import _audio

    decoded = _audio.read_frames(job.source)
    shortfall = job.shortfall or decoded.shortfall
    if shortfall is None:
        return decoded, ()
    if not job.allow_truncated:
        raise _audio.AudioError(_refusal(shortfall))
    return decoded, (f"{shortfall.describe()}; limited what it holds",)


def _limit(job: Job, frames: Samples) -> tuple[Samples, Samples]:
    from . import _audio

    try:
        # Frames-first, as soundfile reads them: no transposed copy.
        return job.limiter.process(frames, axis=0)
    except ValueError as error:
        raise _audio.AudioError(_locate(str(error), frames.shape[1], job.sample_rate)) \
            from None


def _write(job: Job, decoded: Decoded, limited: Samples, gains: Samples, title: str) -> float:
    """Writes the output (and the figure, renamed into place only once the
    audio is); returns the peak of the samples the written file holds."""
    from . import _audio

    def store() -> float:
        return _audio.write_audio(job.target, limited, job.sample_rate, job.output,
                                  decoded.text, job.limiter.threshold)

    if job.plot is None:
        return store()
    from ._plot import write_plot

    with _audio.replacing(job.plot) as picture:
        # Drawn first: storing the audio rounds `limited` in place.
        write_plot(picture, title, job.sample_rate, decoded.frames, limited, gains,
                   job.limiter.threshold_dBFS, job.limiter.threshold)
        return store()


def _title(job: Job, peak_before: float, deepest: float) -> str:
    mode = "true peak" if job.limiter.true_peak else "sample peak"
    return (f"{job.source.name}: ceiling {job.limiter.threshold_dBFS:+.2f} dBFS ({mode}), "
            f"input peak {_dbfs(peak_before)} dBFS, gain reduction up to "
            f"{_reduction_db(deepest):.2f} dB")


_FLAT_INDEX = re.compile(r"input sample at flat index (\d+)")


def _locate(message: str, channels: int, sample_rate: int) -> str:
    """Turns the limiter's flat index into the frame of the file, its time
    and the channel, both counted from 0 as the limiter and NumPy count
    them, so that the numbers index the file as read (audio[frame, channel])."""
    found = _FLAT_INDEX.search(message)
    if found is None:
        return message
    frame, channel = divmod(int(found.group(1)), channels)
    where = f"sample at frame {frame} ({frame / sample_rate:.3f} s), channel {channel}"
    return message[:found.start()] + where + message[found.end():]
