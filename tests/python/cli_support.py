"""Helpers for the command line's tests: generated audio, files, and runs of
main() with their output. Imported by test modules after they have skipped
where the extra qx_limiter[cli] is missing."""

import re
from pathlib import Path

import numpy as np
import soundfile as sf

from qx_limiter_cli import main

PCM_BITS = {"PCM_S8": 8, "PCM_U8": 8, "PCM_16": 16, "PCM_24": 24, "PCM_32": 32}


def music(frames, channels, seed=0, peak=2.0):
    """Frames-first noise with a few strong transients, peaking at `peak`."""
    rng = np.random.default_rng(seed)
    audio = rng.standard_normal((frames, channels)) * 0.1
    for start in rng.integers(0, frames - 200, size=6):
        audio[start:start + 200] += np.hanning(200)[:, None] * rng.uniform(0.5, 1.0, channels)
    return audio * (peak / np.abs(audio).max())


def write(path, audio, rate, subtype, file_format=None):
    if subtype not in ("FLOAT", "DOUBLE"):
        audio = np.clip(audio, -1.0, 1.0 - 2.0 ** -7)  # what an integer file can hold
    sf.write(path, audio, rate, subtype=subtype, format=file_format)
    return Path(path)


def run(capsys, *args):
    code = main([str(arg) for arg in args])
    out, err = capsys.readouterr()
    return code, out, err


def files_in(folder):
    """Every name in `folder` and below, hidden temporary files included."""
    folder = Path(folder)
    return sorted(str(path.relative_to(folder)) for path in folder.rglob("*"))


SUMMARY = re.compile(r"(\d+) files? written, (\d+) failed(?:, (\d+) not done)?, in \d+\.\d\d s")


def summary(out):
    """(written, failed) from the summary line, which must end the output."""
    found = SUMMARY.fullmatch(out.splitlines()[-1])
    assert found, out
    return int(found.group(1)), int(found.group(2))


def reported_peaks(line):
    """The before and after figures of a report line, as printed."""
    found = re.search(r": peak (\S+) -> (\S+) dBFS, ", line)
    assert found, line
    return found.group(1), found.group(2)


def dbfs(linear):
    return f"{20 * np.log10(linear):+.2f}" if linear > 0 else "-inf"
