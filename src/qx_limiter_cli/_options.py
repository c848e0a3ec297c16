"""The command line's options: parsing, checking each value as it is read,
and the exit statuses and names that every part of the run uses."""

from __future__ import annotations

import argparse
import importlib.metadata
import math
import signal
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import NoReturn

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


class UsageError(Exception):
    """The command line itself is wrong."""


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

