"""The command line's options: parsing, checking each value as it is read,
and the exit statuses and names that every part of the run uses."""

from __future__ import annotations

import argparse
import math
import os
import re
import signal
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import NoReturn

from ._presets import Preset, PresetError, builtin_presets, preset_file

PROG = "qx-limiter"
EXTRA_HINT = "pip install 'qx_limiter[cli]' (from a clone of the repository: pip install '.[cli]')"
CLUSTER_HINT = "pip install 'qx_limiter[cluster]' (from a clone: pip install '.[cluster]')"

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


# The platforms' targets that come with the command line (presets.toml).
PRESETS = builtin_presets()
DITHERS = ("tpdf", "none")
# Integer outputs of this many bits or fewer are dithered unless --dither none.
DITHER_MAX_BITS = 16
# The report's file formats, by the extension of --report.
REPORT_FORMATS = (".json", ".csv")
# The figure's file formats, by the extension of --plot (matplotlib's names).
PLOT_FORMATS = {".png": "png", ".svg": "svg", ".pdf": "pdf", ".jpg": "jpeg", ".jpeg": "jpeg"}


class UsageError(Exception):
    """The command line itself is wrong."""


# What argparse takes for a negative number rather than an option: its own
# rule knows no exponent (-1e300) and no -inf (refused by the value's check,
# with the reason, rather than as a missing value).
_NEGATIVE_NUMBER = re.compile(r"^-(?:(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?|inf|nan)$", re.IGNORECASE)


class _Parser(argparse.ArgumentParser):
    def __init__(self, **kwargs: object) -> None:
        super().__init__(**kwargs)  # type: ignore[arg-type]
        self._negative_number_matcher = _NEGATIVE_NUMBER

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


def _loudness(text: str) -> float:
    value = _number(text)
    if not (math.isfinite(value) and -60.0 <= value <= 0.0):
        raise argparse.ArgumentTypeError(f"must be a LUFS value from -60 to 0, got {text}")
    return value


def _milliseconds(text: str) -> float:
    value = _number(text)
    if not (math.isfinite(value) and value >= 0.0):
        raise argparse.ArgumentTypeError(
            f"must be a finite number of milliseconds, at least 0, got {text}"
        )
    return value


def _budget(text: str) -> float:
    value = _number(text)
    if not (math.isfinite(value) and value >= 0.0):
        raise argparse.ArgumentTypeError(f"must be a finite number of dB, at least 0, got {text}")
    return value


def _attack(text: str) -> float:
    # The look-ahead must span at least one frame; how many milliseconds that
    # takes depends on each file's rate, checked when the files are read.
    value = _number(text)
    if not (math.isfinite(value) and value > 0.0):
        raise argparse.ArgumentTypeError(
            f"must be a finite number of milliseconds, more than 0, got {text}"
        )
    return value


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a whole number of at least 1, got {text}")
    return value


# A Dask scheduler's address: a protocol (tcp:// by default), a host name or
# address ([...] for IPv6) and a port.
_SCHEDULER = re.compile(r"^(?:(?:tcp|tls|ws|wss|ucx)://)?(?:\[[0-9A-Fa-f:.]+\]|[^\s:/\[\]]+):\d+$")


def _scheduler(text: str) -> str:
    # Checked here: Dask takes some malformed addresses for a while first.
    if not _SCHEDULER.match(text):
        raise argparse.ArgumentTypeError(
            f"must be a Dask scheduler's address, tcp://HOST:PORT, got {text}"
        )
    return text


# What "-" stands for: standard input as an input, standard output as -o.
STDIN = Path("/dev/stdin")
STDOUT = Path("/dev/stdout")


def _input(text: str) -> Path:
    return STDIN if text == "-" else Path(text)


def _path(stream: str) -> Callable[[str], Path]:
    # "-" would otherwise become a file of that name; ./- still names one.
    def convert(text: str) -> Path:
        if text == "-":
            raise argparse.ArgumentTypeError(
                f"{stream} ('-') is not supported; name a file (./- for a file named -)"
            )
        return Path(text)

    return convert


def _stream_number(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be a whole number of at least 0, got {text}")
    return value


# The codecs --codec names (FFmpeg's encoders behind them, in _media).
CODECS = ("aac", "alac", "opus", "mp3", "flac")
_BIT_RATE = re.compile(r"^(\d+(?:\.\d+)?)([kKmM]?)$")


def _bit_rate(text: str) -> int:
    found = _BIT_RATE.match(text.strip())
    value = 0
    if found:
        value = round(
            float(found.group(1)) * {"": 1, "k": 1000, "m": 1_000_000}[found.group(2).lower()]
        )
    if not 6_000 <= value <= 2_000_000:
        raise argparse.ArgumentTypeError(
            f"must be a bit rate from 6k to 2000k (bits per second: 256k, 96000), got {text}"
        )
    return value


def _codec_at(text: str) -> tuple[str, int]:
    codec, colon, rate = text.partition(":")
    codec = codec.strip().lower()
    lossy = [name for name in CODECS if name not in ("alac", "flac")]
    if codec not in lossy or not colon:
        raise argparse.ArgumentTypeError(
            f"must be a lossy codec and its bit rate, CODEC:RATE, with CODEC one of "
            f"{', '.join(lossy)} (aac:256k, opus:96k), got {text}"
        )
    return codec, _bit_rate(rate)


def _sample_rate(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 8000 <= value <= 768000:
        raise argparse.ArgumentTypeError(f"must be a rate in Hz from 8000 to 768000, got {text}")
    return value


def _report(text: str) -> Path:
    path = _path("standard output")(text)
    if path.suffix.lower() not in REPORT_FORMATS:
        raise argparse.ArgumentTypeError(
            f"must name a .json or .csv file (the extension chooses), got {text}"
        )
    return path


def _plot(text: str) -> Path:
    path = _path("standard output")(text)
    if path.suffix.lower() not in PLOT_FORMATS:
        raise argparse.ArgumentTypeError(
            f"must name a .png, .svg, .pdf or .jpg file (the extension chooses), got {text}"
        )
    return path


def _output(text: str) -> str:
    """-o's text as given: a trailing separator makes it a folder (parse);
    "-" is standard output."""
    return text


_SEPARATORS = tuple(sep for sep in (os.sep, os.altsep) if sep)
# A value that --true-peak takes as its ceiling rather than as an input.
_NUMBER = re.compile(r"^[-+]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?|inf|nan)$", re.IGNORECASE)


def _presets_help() -> str:
    return "; ".join(f"{name}: {p.summary()} ({p.source})" for name, p in PRESETS.items())


def _version() -> str:
    # The installed package's metadata, as qx_limiter_tools reads it.
    from qx_limiter_tools import __version__

    return __version__


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Limit audio files (WAV, FLAC, AIFF, OGG and whatever else libsndfile "
        "reads; AAC, M4A and the soundtracks of MP4, MOV, MKV and WebM videos "
        "through PyAV) with a look-ahead brick-wall limiter. The output keeps "
        "each input's sample rate (unless --sample-rate), channels and, where "
        "its format holds it, sample format; a video container's other streams, "
        "chapters, tags and cover art are carried as they are.",
        epilog="Prints one line per file: sample peak before and after (as the written "
        "file holds it), the largest gain reduction, the share of frames reduced "
        f"by more than {REDUCED_DB:g} dB, with --loudness, --preset or --true-peak "
        "also the integrated loudness and true peak before and after (measured on "
        "what was written, decoded where the format is lossy), the gain and the "
        "passes, and the time taken; then a summary. "
        "Integer samples are rounded inside the ceiling, so a PCM output never "
        "exceeds it; lossy formats (OGG, MP3) can, once decoded, except with "
        "--true-peak, which encodes them again from a lower ceiling. Frames and "
        "channels in messages are counted from 0. Exit status: 0 when every file "
        "was limited, 1 when a file could not be, 2 for an invalid command line, "
        "128 + the signal's number when stopped (130 for Ctrl-C). "
        "qx-limiter check FILE... --preset NAME measures files against a preset "
        "and writes no audio (qx-limiter check --help).",
    )
    parser.add_argument(
        "inputs",
        nargs="+",
        metavar="IN",
        type=_input,
        help="audio files to limit (media too: M4A, MP4, MOV, MKV, WebM "
        "through PyAV); - reads a WAV or FLAC stream from standard "
        "input, spooled to a temporary file first (a delivery target "
        "measures the whole input before it writes; ./- names a file)",
    )
    target = parser.add_mutually_exclusive_group(required=True)
    target.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        type=_output,
        help="output file, for a single input; its extension chooses the "
        "format (no extension: the input's); ending in a separator "
        "(out/), a folder, as --output-dir; - writes a WAV stream to "
        "standard output once the file is complete (the report lines "
        "then go to standard error)",
    )
    target.add_argument(
        "--output-dir",
        metavar="DIR",
        type=_path("standard output"),
        help="directory for the outputs, named as the inputs",
    )
    parser.add_argument(
        "--threshold-dBFS",
        dest="threshold_dBFS",
        metavar="X",
        type=_ceiling,
        help="output ceiling in dBFS (in dBTP with --true-peak), at most 0 "
        "(default: the preset's, else 0)",
    )
    parser.add_argument(
        "--loudness",
        metavar="LUFS",
        type=_loudness,
        help="bring each file's integrated loudness (ITU-R BS.1770) to this "
        "target, -60 to 0, under the ceiling (default: the preset's, "
        "else the level is left as it is)",
    )
    parser.add_argument(
        "--preset",
        metavar="NAME",
        help="a platform's loudness and true-peak ceiling, with --true-peak; "
        "--loudness and --threshold-dBFS, given too, take precedence. " + _presets_help(),
    )
    parser.add_argument(
        "--presets",
        metavar="FILE",
        type=Path,
        action="append",
        default=[],
        help="a TOML or JSON file of presets of your own, in the form of the "
        "command line's presets.toml (loudness_lufs, tolerance_lu, "
        "ceiling_dbtp, source; optionally max_short_term_lufs, "
        "max_momentary_lufs, loudness_range_lu); may be given again",
    )
    parser.add_argument(
        "--album",
        action="store_true",
        help="deliver the inputs as one album to the loudness target: one gain "
        "for every track, found on their loudness as one programme (the "
        "gating blocks of all tracks pooled, not an average of theirs), so "
        "that the tracks keep their differences; each track is held under "
        "the ceiling, and the report adds a record for the album",
    )
    parser.add_argument(
        "--max-limiting-db",
        metavar="X",
        type=_budget,
        help="the deepest gain reduction allowed: where the loudness target "
        "takes more limiting, the loudness is lowered to what X dB "
        "allows, and the line and the report say so",
    )
    parser.add_argument(
        "--dual-mono",
        action="store_true",
        help="measure one-channel files as the same signal in two channels "
        "(a mono programme heard on two loudspeakers, 3 dB louder than "
        "one channel counts)",
    )
    parser.add_argument(
        "--attack-ms",
        metavar="X",
        type=_attack,
        default=5.0,
        help="look-ahead (attack) time in milliseconds; one frame at "
        "least, so 500 / sample rate or more (default: 5)",
    )
    parser.add_argument(
        "--hold-ms",
        metavar="X",
        type=_milliseconds,
        default=15.0,
        help="hold time in milliseconds (default: 15)",
    )
    parser.add_argument(
        "--release-ms",
        metavar="X",
        type=_milliseconds,
        default=40.0,
        help="release time in milliseconds (default: 40)",
    )
    # --true-peak X, turned into this by parse(), which checks the value.
    parser.add_argument("--ceiling-of-true-peak", dest="true_peak_ceiling", help=argparse.SUPPRESS)
    parser.add_argument(
        "--true-peak",
        action="store_true",
        help="hold the ceiling for ITU-R BS.1770 true peaks, verified by the "
        "meter on what was written, limiting again at a lower threshold "
        "where it reads over (default: sample peaks, held by the "
        "limiter alone); --true-peak X also sets the ceiling to X dBTP, "
        "as --threshold-dBFS X with --true-peak",
    )
    parser.add_argument(
        "--subtype",
        metavar="SUBTYPE",
        type=str.upper,
        help="sample format of the outputs, e.g. PCM_16, PCM_24, FLOAT "
        "(default: the input's, or the nearest the format holds)",
    )
    parser.add_argument(
        "--dither",
        choices=DITHERS,
        default="tpdf",
        help=f"dither before rounding to integer outputs of "
        f"{DITHER_MAX_BITS} bits or fewer: tpdf (triangular, seeded by "
        f"the output's name and the settings, so the same command "
        f"writes the same file) or none (default: tpdf)",
    )
    parser.add_argument(
        "--audio-stream",
        metavar="N",
        type=_stream_number,
        help="the audio stream to deliver, counted from 0 among the input's "
        "audio streams (default: the first); the others are carried "
        "into a video container's output as they are",
    )
    parser.add_argument(
        "--codec",
        choices=CODECS,
        type=str.lower,
        help="the output's codec, for outputs written through PyAV (.m4a, "
        ".mp4, .mov, .mkv, .webm, .aac; .mp3, .ogg and .opus with it or "
        "--bitrate) (default: AAC in MP4-family files and Matroska, "
        "Opus in WebM and Ogg, a video soundtrack's own codec)",
    )
    parser.add_argument(
        "--bitrate",
        metavar="RATE",
        type=_bit_rate,
        help="the lossy codec's bit rate, e.g. 256k (default: the input's, "
        "where it has the same codec, else AAC 256k, Opus 160k, MP3 "
        "320k per channel pair); the written file is decoded again and "
        "measured, as for every lossy output",
    )
    parser.add_argument(
        "--sample-rate",
        metavar="HZ",
        type=_sample_rate,
        help="resample each output to this rate (python-soxr, very high "
        "quality) before it is limited, so the ceiling holds at the "
        "output's rate; Opus takes 48000 (default: the input's rate)",
    )
    parser.add_argument(
        "--verify-codec",
        metavar="CODEC:RATE",
        type=_codec_at,
        help="verify the ceiling and the loudness after the codec a platform "
        "transcodes to (aac:256k, opus:96k, mp3:320k): each pass also "
        "encodes the limited audio and decodes it again, in memory, and "
        "the delivery loop lowers the ceiling where that reads over; the "
        "output keeps its own format (a lossless WAV, say) (default: the "
        "preset's codec, where it names one)",
    )
    parser.add_argument(
        "--report",
        metavar="FILE",
        type=_report,
        help="write one record per file (settings, loudness and peaks before "
        "and after, gain, passes, status) to FILE.json or FILE.csv",
    )
    parser.add_argument(
        "--jobs",
        metavar="N",
        type=_jobs,
        default=1,
        help="files limited at the same time, in threads (default: 1)",
    )
    # Each file a task of a Dask cluster (_cluster); the extra qx_limiter[cluster].
    cluster = parser.add_mutually_exclusive_group()
    cluster.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        type=_scheduler,
        help="deliver each file as a task on the Dask cluster of this "
        "scheduler (tcp://HOST:8786), on whichever worker is free; "
        "every worker must see the inputs and outputs at the paths "
        "this machine does (a shared file system)",
    )
    cluster.add_argument(
        "--cluster-workers",
        metavar="N",
        type=_jobs,
        help="deliver the files on a Dask cluster of N worker processes "
        "started on this machine for the run",
    )
    parser.add_argument(
        "--plot",
        metavar="PNG",
        type=_plot,
        help="write a figure of each file, waveforms and gain reduction, "
        "as .png, .svg, .pdf or .jpg; with several inputs, each output's "
        "name is added to PNG's",
    )
    parser.add_argument(
        "--overwrite",
        action="store_true",
        help="replace outputs and figures that exist already (default: "
        "refuse, before anything is written)",
    )
    parser.add_argument(
        "--allow-truncated",
        action="store_true",
        help="limit the part of a truncated input that it holds, with a "
        "warning (default: refuse the file)",
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="print only warnings and errors")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    return parser


def parse(argv: Sequence[str] | None = None) -> Options:
    """The options of a command line (sys.argv's by default)."""
    args = list(sys.argv[1:] if argv is None else argv)
    values = vars(build_parser().parse_args(_ceiling_of_true_peak(args)))
    output: str | None = values.pop("output")
    if output is not None and output.endswith(_SEPARATORS):
        # -o and --output-dir exclude each other: the folder is the only one.
        values["output_dir"], output = Path(output), None
    values["output"] = (STDOUT if output == "-" else Path(output)) if output is not None else None
    given = values.pop("true_peak_ceiling")
    if given is not None:
        try:
            ceiling = _ceiling(given)
        except argparse.ArgumentTypeError as error:
            raise UsageError(f"argument --true-peak: {error}") from None
        if values["threshold_dBFS"] is not None:
            raise UsageError(
                "the ceiling is given twice, with --true-peak and --threshold-dBFS; give it once"
            )
        values["threshold_dBFS"], values["true_peak"] = ceiling, True
    values["preset_figures"] = chosen_preset(values["preset"], values["presets"])
    if values["jobs"] != 1 and (values["scheduler"] or values["cluster_workers"]):
        raise UsageError(
            "--jobs does not apply on a cluster: each worker runs as many files "
            "at once as it has threads"
        )
    return Options(**values)


def chosen_preset(name: str | None, files: list[Path]) -> Preset | None:
    """The preset named, among the command line's and those of `files`
    (which may replace them); UsageError for a name none has."""
    if name is None and not files:
        return None
    presets = dict(PRESETS)
    try:
        for path in files:
            presets.update(preset_file(path))
    except PresetError as error:
        raise UsageError(f"argument --presets: {error}") from None
    if name is None:
        return None
    if name not in presets:
        raise UsageError(
            f"argument --preset: invalid choice: {name!r} (choose from "
            f"{', '.join(map(repr, presets))})"
        )
    chosen = presets[name]
    if chosen.codec:
        try:
            _codec_at(chosen.codec)
        except argparse.ArgumentTypeError as error:
            raise UsageError(f"argument --preset: {name}'s codec {error}") from None
    return chosen


def _ceiling_of_true_peak(args: list[str]) -> list[str]:
    """--true-peak X (or --true-peak=X) sets the ceiling too; a number after
    the switch is taken for it rather than for an input file (./0 names a
    file called 0)."""
    out: list[str] = []
    at = 0
    while at < len(args):
        token = args[at]
        at += 1
        if token == "--":  # the rest are inputs
            out += args[at - 1 :]
            break
        name, equals, value = token.partition("=")
        if name != "--true-peak":
            out.append(token)
            continue
        out.append(name)
        if equals:
            out.append(f"--ceiling-of-true-peak={value}")
        elif at < len(args) and _NUMBER.match(args[at]):
            out.append(f"--ceiling-of-true-peak={args[at]}")
            at += 1
    return out


@dataclass(frozen=True)
class Options:
    inputs: list[Path]
    output: Path | None
    output_dir: Path | None
    threshold_dBFS: float | None
    loudness: float | None
    preset: str | None
    presets: list[Path]
    attack_ms: float
    hold_ms: float
    release_ms: float
    true_peak: bool
    subtype: str | None
    dither: str
    report: Path | None
    jobs: int
    plot: Path | None
    overwrite: bool
    allow_truncated: bool
    quiet: bool
    scheduler: str | None = None
    cluster_workers: int | None = None
    album: bool = False
    max_limiting_db: float | None = None
    dual_mono: bool = False
    audio_stream: int | None = None
    codec: str | None = None
    bitrate: int | None = None
    verify_codec: tuple[str, int] | None = None
    sample_rate: int | None = None
    # The figures of --preset, from the command line's presets or --presets.
    preset_figures: Preset | None = None

    @property
    def ceiling(self) -> float:
        """The ceiling that takes effect: the option's, the preset's, or 0."""
        if self.threshold_dBFS is not None:
            return self.threshold_dBFS
        return self.preset_figures.ceiling_dbtp if self.preset_figures is not None else 0.0

    @property
    def loudness_target(self) -> float | None:
        if self.loudness is not None:
            return self.loudness
        return self.preset_figures.loudness_lufs if self.preset_figures is not None else None

    @property
    def on_cluster(self) -> bool:
        return self.scheduler is not None or self.cluster_workers is not None

    @property
    def trial_codec(self) -> tuple[str, int] | None:
        """The codec the ceiling is verified after: the option's, or the
        preset's."""
        if self.verify_codec is not None:
            return self.verify_codec
        figures = self.preset_figures
        return _codec_at(figures.codec) if figures is not None and figures.codec else None

    @property
    def verified(self) -> bool:
        """Whether the ceiling holds for true peaks that the meter verifies."""
        return self.true_peak or self.preset is not None or self.verify_codec is not None
