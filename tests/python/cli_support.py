"""Helpers for the command line's tests: generated audio, files, and runs of
main() with their output. The signals need NumPy alone; writing files needs
soundfile, which the modules that write skip without (the extra
qx_limiter[cli])."""

import re
from pathlib import Path

import numpy as np

from qx_limiter_cli import main

PCM_BITS = {"PCM_S8": 8, "PCM_U8": 8, "PCM_16": 16, "PCM_24": 24, "PCM_32": 32}


def music(frames, channels, seed=0, peak=2.0):
    """Frames-first noise with a few strong transients, peaking at `peak`."""
    rng = np.random.default_rng(seed)
    audio = rng.standard_normal((frames, channels)) * 0.1
    for start in rng.integers(0, frames - 200, size=6):
        audio[start : start + 200] += np.hanning(200)[:, None] * rng.uniform(0.5, 1.0, channels)
    return audio * (peak / np.abs(audio).max())


def write(path, audio, rate, subtype, file_format=None):
    if subtype not in ("FLOAT", "DOUBLE"):
        audio = np.clip(audio, -1.0, 1.0 - 2.0**-7)  # what an integer file can hold
    import soundfile as sf

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


def song(rate, seconds, channels=2, level_db=-16.0, seed=0):
    """Frames-first music-like audio at about `level_db` RMS: a chord over a
    little noise, with a transient four times a second, which the limiter
    has to catch and whose inter-sample peaks the meter reads over the
    samples."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(rate * seconds)) / rate
    x = np.zeros((t.size, channels))
    for c in range(channels):
        for f in (110, 220, 330, 660, 1320):
            x[:, c] += np.sin(2 * np.pi * f * t + rng.uniform(0, 6)) / f * 110
        x[:, c] += rng.standard_normal(t.size) * 0.05
    for start in rng.integers(0, t.size - 200, size=int(seconds * 4)):
        x[start : start + 150] += rng.standard_normal((150, channels)) * 2.0
    return x * (10 ** (level_db / 20) / np.sqrt(np.mean(x**2)))


def read_report(path):
    """The records of a --report file, JSON or CSV (CSV cells as text)."""
    import csv
    import json

    path = Path(path)
    if path.suffix == ".json":
        return json.loads(path.read_text())
    with open(path, newline="") as lines:
        return list(csv.DictReader(lines))


def slow_writing(pause=0.002, chunk_frames=4096):
    """Makes this process's command line write every chunk `pause` seconds
    late, in small chunks, so that a file streams long enough to be caught
    mid-way: in a process that runs main(), or on a Dask worker (run there
    through Client.run, before the run's tasks)."""
    import time

    from qx_limiter_cli import _pipeline, _writing

    _pipeline.CHUNK_FRAMES = chunk_frames
    write = getattr(_writing.Encoder.write, "unhurried", _writing.Encoder.write)

    def slow_write(self, samples):
        time.sleep(pause)
        write(self, samples)

    slow_write.unhurried = write
    _writing.Encoder.write = slow_write


def as_another_machine(another=True):
    """Makes this process's command line name its temporary files as a
    machine of its own would (a Dask worker's, through Client.run): its
    files are then no longer those of a process that this machine can see
    to be dead."""
    import os

    from qx_limiter_cli import _writing

    real = getattr(_writing._host, "real", _writing._host)
    name = f"machine-{os.getpid()}"
    pretended = lambda: name  # noqa: E731
    pretended.real = real
    _writing._host = pretended if another else real
