"""qx-limiter check: measures files against a preset's figures and writes no
audio. One line per file, in the order named: "pass" with the figures, or
"fail" with what missed and by how much; --report as for deliveries; the
exit status 0 only when every file passes, 1 when one fails or cannot be
measured, 2 for a command line that cannot work."""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path

from qx_limiter_tools import Measurement

from . import _stopping
from ._options import EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_USAGE, PROG, UsageError, chosen_preset
from ._presets import Preset
from ._records import Record
from ._reporting import decibels, fail, lufs


@dataclass(frozen=True)
class Checked:
    """One file's verdict: its figures and what missed, or why it could not
    be measured."""

    source: Path
    sample_rate: int = 0
    channels: int = 0
    frames: int = 0
    measured: Measurement | None = None
    failures: tuple[str, ...] = ()
    error: str = ""

    @property
    def passed(self) -> bool:
        return not self.error and not self.failures

    def line(self) -> str:
        m = self.measured
        if self.error or m is None:
            return f"{self.source}: {self.error}"
        figures = (
            f"{lufs(m.integrated_lufs)} LUFS, true peak {decibels(m.true_peak_dbtp)} "
            f"dBTP, range {_lu(m.loudness_range_lu)} LU, short-term max "
            f"{lufs(m.max_short_term_lufs)} LUFS, momentary max "
            f"{lufs(m.max_momentary_lufs)} LUFS"
        )
        if self.passed:
            return f"{self.source}: pass ({figures})"
        return f"{self.source}: fail: {'; '.join(self.failures)} ({figures})"


def _lu(value: float) -> str:
    return f"{value:.2f}" if math.isfinite(value) else "-inf"


def build_parser() -> argparse.ArgumentParser:
    from ._options import _Parser, _report

    parser = _Parser(
        prog=f"{PROG} check",
        description="Measure audio files against a platform's figures (integrated loudness "
        "within its tolerance, true peak at most its ceiling, and where it states "
        "them the largest short-term and momentary loudness and the loudness "
        "range), writing no audio.",
        epilog="Prints one line per file: pass, or fail with what missed and by how much. "
        "Exit status: 0 when every file passes, 1 when a file fails or cannot be "
        "measured, 2 for an invalid command line, 128 + the signal's number when "
        "stopped.",
    )
    parser.add_argument("inputs", nargs="+", metavar="FILE", type=Path, help="files to check")
    parser.add_argument(
        "--preset",
        metavar="NAME",
        required=True,
        help="the figures to check against (see qx-limiter --help)",
    )
    parser.add_argument(
        "--presets",
        metavar="FILE",
        type=Path,
        action="append",
        default=[],
        help="a TOML or JSON file of presets of your own",
    )
    parser.add_argument(
        "--dual-mono",
        action="store_true",
        help="measure one-channel files as the same signal in two channels "
        "(a mono file played on two loudspeakers, +3 dB)",
    )
    parser.add_argument(
        "--report",
        metavar="FILE",
        type=_report,
        help="write one record per file to FILE.json or FILE.csv",
    )
    parser.add_argument(
        "--overwrite", action="store_true", help="replace a report file that exists already"
    )
    parser.add_argument(
        "--jobs",
        metavar="N",
        type=int,
        default=1,
        help="files measured at the same time (default: 1)",
    )
    parser.add_argument(
        "-q", "--quiet", action="store_true", help="print only the files that fail and errors"
    )
    return parser


def check_main(argv: Sequence[str]) -> int:
    """Runs `qx-limiter check ...`; returns the exit status."""
    try:
        args = build_parser().parse_args(argv)
        preset = chosen_preset(args.preset, args.presets)
        if args.jobs < 1:
            raise UsageError(
                f"argument --jobs: must be a whole number of at least 1, got {args.jobs}"
            )
        if args.report is not None and not args.overwrite and os.path.lexists(args.report):
            raise UsageError(f"the report {args.report} exists; add --overwrite to replace it")
    except UsageError as error:
        return fail(EXIT_USAGE, str(error))
    assert preset is not None  # --preset is required
    started = time.perf_counter()
    from ._decoder_noise import decoder_noise
    from ._reporting import warn

    mp3 = [path for path in args.inputs if path.suffix.lower() == ".mp3"]
    try:
        with decoder_noise(bool(mp3)) as heard, ThreadPoolExecutor(max_workers=args.jobs) as pool:
            checked = list(pool.map(lambda path: _check(path, preset, args.dual_mono), args.inputs))
        noise = heard.warning()
        if noise is not None:
            warn(f"{mp3[0] if len(mp3) == 1 else 'the MP3 inputs'}: {noise}")
    except KeyboardInterrupt:
        return fail(EXIT_INTERRUPTED, "interrupted")
    except _stopping.Stopped as stopped:
        return fail(128 + stopped.signum, f"stopped by {stopped}")
    for verdict in checked:
        if verdict.error:
            print(f"{PROG}: error: {verdict.line()}", file=sys.stderr)
        elif not verdict.passed or not args.quiet:
            print(verdict.line())
    if args.report is not None:
        from ._records import records_text, write_text

        try:
            write_text(
                args.report,
                records_text(args.report, [_record(verdict, preset) for verdict in checked]),
                args.overwrite,
            )
        except OSError as error:
            fail(
                EXIT_FAILURE,
                f"cannot write the report {args.report} ({error.strerror or error})",
            )
            return EXIT_FAILURE
    passed = sum(verdict.passed for verdict in checked)
    if not args.quiet:
        print(
            f"{passed} passed, {len(checked) - passed} failed, against {preset.name}, "
            f"in {time.perf_counter() - started:.2f} s"
        )
    return 0 if passed == len(checked) else EXIT_FAILURE


def _check(path: Path, preset: Preset, dual_mono: bool) -> Checked:
    from qx_limiter_tools import METER_RATES, Meter

    from ._formats import AudioError, read_header
    from ._pipeline import measuring_pass

    _stopping.check()
    if not path.is_file():
        return Checked(path, error="no such file" if not path.exists() else "is not a file")
    if not os.access(path, os.R_OK):
        return Checked(path, error="permission denied")
    try:
        header = read_header(path)
        if not METER_RATES[0] <= header.sample_rate <= METER_RATES[1]:
            return Checked(
                path,
                header.sample_rate,
                header.channels,
                header.frames,
                error=f"the meter takes {METER_RATES[0]} to {METER_RATES[1]} Hz, "
                f"not {header.sample_rate} Hz",
            )
        meter = Meter(header.sample_rate, header.channels, dual_mono=dual_mono)
        measured, reader = measuring_pass(path, header.sample_rate, meter)
    except AudioError as error:
        return Checked(path, error=str(error))
    except MemoryError:
        return Checked(path, error="not enough memory to measure it")
    shortfall = header.shortfall or reader.shortfall()
    if shortfall is not None:
        return Checked(
            path,
            header.sample_rate,
            header.channels,
            reader.held,
            measured,
            error=shortfall.describe(),
        )
    return Checked(
        path,
        header.sample_rate,
        header.channels,
        reader.held,
        measured,
        tuple(preset.failures(measured)),
    )


def _record(verdict: Checked, preset: Preset) -> Record:
    from ._records import figures

    return {
        "input": str(verdict.source),
        "preset": preset.name,
        "sample_rate": verdict.sample_rate or None,
        "channels": verdict.channels or None,
        "frames": verdict.frames if not verdict.error else None,
        "measured": figures(verdict.measured),
        "passed": verdict.passed,
        "failures": "; ".join(verdict.failures) or None,
        "status": "ok" if not verdict.error else verdict.line(),
    }
