"""Planning a run: every input, output, folder and setting is checked before
the first file is written, and each file becomes a Job."""

from __future__ import annotations

import dataclasses
import errno
import math
import os
import stat
from contextlib import suppress
from dataclasses import dataclass
from pathlib import Path

from qx_limiter_tools import METER_RATES, Measurement, StreamLimiter, smallest_attack_ms

from . import _formats
from ._dither import dither_key
from ._formats import PCM_BITS, STORED_EXACTLY, OutputFormat, Shortfall
from ._media import MediaSource
from ._options import DITHER_MAX_BITS, STDIN, STDOUT, Options, UsageError
from ._riff import CONTAINERS, Front, Metadata, written_mask

# The highest rate of any input: twice the highest that audio files use
# (DXD, 352.8 kHz, and 384 kHz); beyond it, a header is taken for damaged.
MAX_RATE = 768000


class FileErrors(Exception):
    """Files that cannot be limited: one complete line each, naming the file."""

    def __init__(self, lines: list[str]) -> None:
        super().__init__("\n".join(lines))
        self.lines = lines


@dataclass(frozen=True)
class Settings:
    """The settings that take effect, as the options and the preset give
    them. With `true_peak`, threshold_dBFS is a ceiling for true peaks that
    the meter verifies; without it, the limiter holds it for sample peaks."""

    threshold_dBFS: float
    attack_ms: float
    hold_ms: float
    release_ms: float
    true_peak: bool
    loudness_lufs: float | None = None
    preset: str | None = None
    dither: str = "none"
    max_limiting_db: float | None = None
    dual_mono: bool = False


@dataclass(frozen=True)
class Job:
    source: Path
    target: Path
    plot: Path | None
    sample_rate: int
    # The frame count in the header, which places the figure's columns.
    frames: int
    output: OutputFormat
    settings: Settings
    # The ceiling as a linear value, as the limiter holds it.
    ceiling: float
    # What the header shows to be missing, where truncated inputs are allowed.
    shortfall: Shortfall | None
    allow_truncated: bool
    # The key of the dither, where the output is dithered.
    dither: tuple[int, int] | None = None
    # Whether the input and what was written are measured (loudness and
    # true peak), for the passes, the report file or the figure.
    measured: bool = False
    channels: int = 0
    # Whether outputs, figures and the report may replace existing files.
    overwrite: bool = False
    # The WAV-family header that carries the input's chunks and channel mask.
    front: Front | None = None
    # libsndfile's name of the input's format (or PyAV's reading's).
    input_format: str = ""
    # A track of an album: the album's gain, decided on every track's
    # loudness, and this track's own measurement, taken then.
    album_gain_db: float | None = None
    before: Measurement | None = None
    # Read through PyAV: the container and the audio stream delivered.
    media: MediaSource | None = None
    # How messages name the input and the output ("-" for the standard
    # streams), where not by their paths.
    label: str | None = None
    # The platform's codec and bit rate that each pass's audio is also
    # encoded with and decoded again, in memory, to verify the ceiling.
    trial_codec: tuple[str, int] | None = None

    @property
    def shown(self) -> str:
        """The input as messages name it."""
        return self.label if self.label is not None else str(self.source)

    @property
    def shown_target(self) -> str:
        return "-" if self.target == STDOUT else str(self.target)

    @property
    def delivering(self) -> bool:
        """Whether the file goes through master's passes: a loudness target
        or a verified true-peak ceiling."""
        return self.settings.loudness_lufs is not None or self.settings.true_peak

    def limiter(
        self, threshold_dBFS: float | None = None, detection: str = "sample"
    ) -> StreamLimiter:
        """A fresh limiter for one pass over the file: at the ceiling of the
        settings with sample-peak detection, unless a pass says otherwise."""
        s = self.settings
        if threshold_dBFS is None:
            threshold_dBFS = s.threshold_dBFS
        return StreamLimiter(
            self.sample_rate,
            threshold_dBFS,
            s.attack_ms,
            s.hold_ms,
            s.release_ms,
            detection=detection,
        )


def plan(options: Options) -> tuple[list[Job], list[Path]]:
    """Checks every input, output and setting before anything is written;
    returns the jobs and the folders to create for their outputs."""
    inputs = options.inputs
    if options.album and options.loudness_target is None:
        raise UsageError("--album needs a loudness target (--loudness or --preset)")
    if options.output is not None and len(inputs) > 1:
        raise UsageError(
            f"-o/--output takes a single input, got {len(inputs)}; use --output-dir for several"
        )
    if options.subtype is not None and options.subtype not in _formats.known_subtypes():
        known = ", ".join(_formats.known_subtypes())
        raise UsageError(f"argument --subtype: unknown subtype {options.subtype}; known: {known}")
    if (
        options.output_dir is not None
        and options.output_dir.exists()
        and not options.output_dir.is_dir()
    ):
        raise UsageError(f"argument --output-dir: {options.output_dir} is not a directory")

    if inputs.count(STDIN) > 1:
        raise UsageError("standard input (-) can be read once; name it once")
    if options.output == STDOUT and options.plot is not None and len(inputs) > 1:
        raise UsageError("--plot takes one figure with -o -")
    if options.output is not None:
        targets = [options.output]
    else:
        assert options.output_dir is not None  # one of the two is required
        targets = [options.output_dir / source.name for source in inputs]
    plots = _plot_paths(options.plot, targets)

    folders = _folders(
        [*[t for t in targets if t != STDOUT], *plots, options.report], options.output_dir
    )
    files = [
        (source, target, plot)
        for source, target, plot in zip(inputs, targets, plots)
        if source != STDIN and target != STDOUT
    ]
    problems = (
        _folder_problems(folders)
        + _clashes([f[0] for f in files], [f[1] for f in files], [f[2] for f in files])
        + _report_problems(options, inputs, [*targets, *plots])
    )
    input_ids = {key for source in inputs if (key := _file_id(source)) is not None}
    jobs = []
    checked: set[Path] = set()
    for source, target, plot in zip(inputs, targets, plots):
        if source in checked:
            continue  # the same input named twice is limited once
        checked.add(source)
        label = None
        try:
            if source == STDIN:
                label, source = "-", _spooled()
                if options.output_dir is not None:
                    target = options.output_dir / "stdin.wav"
            job = _job(source, target, plot, options, input_ids)
            jobs.append(dataclasses.replace(job, label=label) if label else job)
        except FileErrors as errors:
            problems += [
                f"-{line[len(str(source)):]}" if label and line.startswith(str(source)) else line
                for line in errors.lines
            ]
    if problems:
        raise FileErrors(problems)
    return jobs, folders


def _spooled() -> Path:
    """Standard input, read to its end into a temporary file (removed when
    the process ends): a delivery target measures the whole input before
    the first pass writes, and libsndfile reads headers that a streaming
    writer left without sizes from a file."""
    import atexit
    import shutil
    import sys
    import tempfile

    handle, name = tempfile.mkstemp(prefix="qx-limiter-stdin.", suffix=".audio")
    atexit.register(_remove, Path(name))
    with os.fdopen(handle, "wb") as spool:
        shutil.copyfileobj(sys.stdin.buffer, spool, 1 << 20)
    if os.path.getsize(name) == 0:
        raise FileErrors(["-: standard input is empty; pipe a WAV or FLAC stream into it"])
    return Path(name)


def _remove(path: Path) -> None:
    with suppress(OSError):
        path.unlink()


def _plot_paths(plot: Path | None, targets: list[Path]) -> list[Path | None]:
    if plot is None or len(targets) == 1:
        return [plot] * len(targets)
    return [plot.with_name(f"{plot.stem}-{target.stem}{plot.suffix}") for target in targets]


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
            problems.append(
                f"cannot write into {folder}: {existing} is not writable "
                f"({os.strerror(_why_not_writable(existing))})"
            )
    return problems


def _why_not_writable(folder: Path) -> int:
    """EROFS where the folder's file system is mounted read-only, which
    access() also reports as a refusal; EACCES otherwise."""
    with suppress(OSError, AttributeError):
        if os.statvfs(folder).f_flag & os.ST_RDONLY:
            return errno.EROFS
    return errno.EACCES


def make_folders(folders: list[Path]) -> None:
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
    input_at = {key: source for source in reversed(inputs) if (key := _file_id(source)) is not None}
    written_by: dict[str, tuple[Path, str]] = {}
    for source, target, plot in zip(inputs, targets, plots):
        for written, what in ((target, "output"), (plot, "figure")):
            if written is None:
                continue
            key = _file_id(written)
            other = input_at.get(key) if key is not None else None
            if other is not None:
                problems.append(
                    f"{source}: the {what} {written} would overwrite the input "
                    f"{other}; choose another output"
                )
            real = os.path.realpath(written)
            first_source, first_what = written_by.setdefault(real, (source, what))
            if (first_source, first_what) != (source, what):
                owner = (
                    f"its own {first_what}"
                    if first_source == source
                    else f"the {first_what} of {first_source}"
                )
                problems.append(f"{source}: the {what} {written} is also {owner}")
    return problems


def _report_problems(options: Options, inputs: list[Path], written: list[Path | None]) -> list[str]:
    """The report file must not replace an input or an output, nor a file
    that exists without --overwrite."""
    report = options.report
    if report is None:
        return []
    key = _file_id(report)
    if key is not None and any(_file_id(source) == key for source in inputs):
        return [f"the report {report} would overwrite an input; choose another name"]
    real = os.path.realpath(report)
    if any(path is not None and os.path.realpath(path) == real for path in written):
        return [f"the report {report} would overwrite an output; choose another name"]
    if report.is_dir():
        return [f"the report {report} is a directory"]
    unusual = not_a_file(report) if os.path.lexists(report) else None
    if unusual is not None:
        return [f"the report {report} is {unusual}, not a file; qx-limiter replaces only files"]
    if not options.overwrite and os.path.lexists(report):
        return [f"the report {report} exists; add --overwrite to replace it"]
    return []


def not_a_file(path: Path) -> str | None:
    """What `path` (which exists) is where it is something an output must not
    replace: a FIFO, a device or a socket. A symbolic link is replaced by the
    output itself (what it points to is left alone); a folder is refused
    apart."""
    mode = os.lstat(path).st_mode
    kinds = (
        (stat.S_ISFIFO, "a named pipe"),
        (stat.S_ISCHR, "a character device"),
        (stat.S_ISBLK, "a block device"),
        (stat.S_ISSOCK, "a socket"),
    )
    return next((kind for test, kind in kinds if test(mode)), None)


def _file_id(path: Path) -> tuple[int, int] | None:
    # The same file through any link or path; one that does not exist yet
    # is nobody's.
    try:
        found = os.stat(path)
    except OSError:
        return None
    return found.st_dev, found.st_ino


def _job(
    source: Path, target: Path, plot: Path | None, options: Options, inputs: set[tuple[int, int]]
) -> Job:
    def problem(text: str) -> FileErrors:
        return FileErrors([f"{source}: {text}"])

    if not source.exists():
        raise problem("no such file")
    if target == STDOUT:
        return _job_to_stdout(source, plot, options, inputs)
    if source.is_dir():
        raise problem("is a directory, not an audio file")
    if not os.access(source, os.R_OK):
        raise problem("permission denied")
    if target.is_dir():
        raise problem(f"the output {target} is a directory")
    for written in (target, plot):
        if written is None or not os.path.lexists(written):
            continue
        unusual = not_a_file(written)
        if unusual is not None:
            raise problem(
                f"the output {written} is {unusual}, not a file; qx-limiter replaces only files"
            )
        # An output that is an input is refused whatever --overwrite says.
        if not options.overwrite and _file_id(written) not in inputs:
            raise problem(f"the output {written} exists; add --overwrite to replace it")
    try:
        header = _formats.read_header(source, options.audio_stream)
        if not 1 <= header.sample_rate <= MAX_RATE:
            raise problem(
                f"its sample rate, {header.sample_rate} Hz, is beyond what qx-limiter "
                f"takes ({MAX_RATE} Hz at most)"
            )
        if options.sample_rate is not None and options.sample_rate != header.sample_rate:
            # Everything after the reader works at the output's rate.
            header = dataclasses.replace(
                header,
                sample_rate=options.sample_rate,
                frames=round(header.frames * options.sample_rate / header.sample_rate),
            )
        output = _formats.output_format(
            target, source, header, options.subtype, options.codec, options.bitrate
        )
        trial = _trial_codec(options, output, header.sample_rate, header.channels, header.mask)
    except _formats.AudioError as error:
        raise problem(str(error)) from None
    if header.shortfall is not None and not options.allow_truncated:
        raise problem(refusal(header.shortfall))
    attack = _attack_problem(options.attack_ms, header.sample_rate)
    if attack is not None:
        raise problem(attack)
    rate = header.sample_rate
    metered = METER_RATES[0] <= rate <= METER_RATES[1]
    settings = _settings(options, output.subtype)
    if not metered and (settings.true_peak or settings.loudness_lufs is not None):
        option = (
            "--preset"
            if options.preset is not None
            else "--true-peak"
            if settings.true_peak
            else "--loudness"
        )
        raise problem(
            f"{option} does not support {rate} Hz; the loudness and true-peak meter "
            f"takes {METER_RATES[0]} to {METER_RATES[1]} Hz"
        )
    dither = None
    if settings.dither != "none":
        dither = dither_key(
            target.name, output.format, output.subtype, rate, header.channels, settings
        )
    measured = metered and (
        settings.true_peak
        or settings.loudness_lufs is not None
        or options.report is not None
        or plot is not None
    )
    if trial is not None and not metered:
        raise problem(
            f"--verify-codec does not support {rate} Hz; the loudness and true-peak "
            f"meter takes {METER_RATES[0]} to {METER_RATES[1]} Hz"
        )
    job = Job(
        source,
        target,
        plot,
        rate,
        header.frames,
        output,
        settings,
        0.0,
        header.shortfall,
        options.allow_truncated,
        dither,
        measured or trial is not None,
        header.channels,
        options.overwrite,
        _front(source, header, output),
        header.format,
        media=header.media,
        trial_codec=trial,
    )
    try:
        ceiling = job.limiter().threshold
    except ValueError as error:
        raise problem(str(error)) from None
    except MemoryError:
        raise problem(
            f"not enough memory to limit {header.channels} channels at {rate} Hz "
            f"with a look-ahead of {options.attack_ms:g} ms"
        ) from None
    return dataclasses.replace(job, ceiling=ceiling)


def _job_to_stdout(
    source: Path, plot: Path | None, options: Options, inputs: set[tuple[int, int]]
) -> Job:
    """Standard output takes a WAV stream: the job is planned as a WAV file
    (sized, since it is sent only once complete)."""
    job = _job(source, Path(os.devnull, "standard-output.wav"), plot, options, inputs)
    return dataclasses.replace(job, target=STDOUT)


def _trial_codec(
    options: Options, output: OutputFormat, rate: int, channels: int, mask: int | None
) -> tuple[str, int] | None:
    """The codec to verify after: --verify-codec's, or the preset's, for an
    output that stores its samples exactly (a lossy output is verified
    after its own codec, decoded from the file)."""
    trial = options.trial_codec
    if trial is None:
        return None
    if output.subtype not in STORED_EXACTLY:
        if options.verify_codec is None:
            return None  # the preset's codec: the file's own stands in for it
        raise _formats.AudioError(
            f"--verify-codec is for outputs that store their samples exactly; a "
            f"{output.subtype} output is verified after its own codec, decoded from the file"
        )
    from ._media import check_trial, layout_for

    check_trial(trial[0], trial[1], rate, channels, layout_for(channels, mask))
    return trial


def _front(source: Path, header: _formats.Header, output: OutputFormat) -> Front | None:
    """What a WAV-family output carries beyond what libsndfile writes: the
    input's chunks (from a WAV-family input) and its channel mask, where the
    output's samples are PCM or float (the formats with an extensible
    header)."""
    container = CONTAINERS.get(output.format)
    if container is None:
        return None
    metadata = header.metadata or Metadata(None)
    mask = header.mask if output.subtype in STORED_EXACTLY else None
    if mask == written_mask(output.format, output.subtype, header.channels):
        mask = None  # what libsndfile writes already
    if mask is None and not metadata.chunks:
        return None
    return Front(container, source, metadata, mask)


def _settings(options: Options, subtype: str) -> Settings:
    """What takes effect for an output of this subtype: dither only where
    it is rounded to 16 bits or fewer."""
    bits = PCM_BITS.get(subtype)
    dithered = bits is not None and bits <= DITHER_MAX_BITS and options.dither != "none"
    return Settings(
        options.ceiling,
        options.attack_ms,
        options.hold_ms,
        options.release_ms,
        options.verified,
        options.loudness_target,
        options.preset,
        options.dither if dithered else "none",
        options.max_limiting_db,
        options.dual_mono,
    )


def refusal(shortfall: Shortfall) -> str:
    return f"{shortfall.describe()}; --allow-truncated limits what it holds"


def _attack_problem(attack_ms: float, sample_rate: int) -> str | None:
    """The look-ahead must span a frame at the file's rate."""
    smallest = smallest_attack_ms(sample_rate)
    if attack_ms >= smallest:
        return None
    return (
        f"--attack-ms {attack_ms:g} is less than one frame at {sample_rate} Hz; "
        f"the smallest that works at this rate is {_shown_up(smallest)}"
    )


def _shown_up(value: float) -> str:
    """`value` with four significant digits, rounded up, so that the value
    shown is at least `value` as it is written."""
    decimals = max(0, 3 - math.floor(math.log10(value)))
    step = 10.0**-decimals
    shown = math.ceil(value / step - 1e-9) * step
    while float(f"{shown:.{decimals}f}") < value:
        shown += step
    text = f"{shown:.{decimals}f}"
    return text.rstrip("0").rstrip(".") if "." in text else text
