"""What a Dask cluster costs qx-limiter beyond --jobs on one machine.

    python bench/bench_cluster.py [--files 40] [--seconds 1] [--repeats 3] [-- OPTIONS...]

Writes short float WAV files (48 kHz stereo, a few dB too loud) and runs
the command, as a process of its own each time, over 2 of them and over all
of them, three ways:

- --jobs 2: two files at a time in threads of one process;
- --cluster-workers 2: a local cluster of two worker processes started by
  the run itself, and closed at its end;
- --scheduler: the same two workers, started once by this script, as a
  cluster that runs already.

It prints the best wall time of each, and the targets: the fixed cost of a
cluster run (2 files) beyond the same run with --jobs 2, at most 1 s, and
the cost of each further file beyond --jobs 2's, at most 50 ms. OPTIONS go
to every run (default: --preset streaming --subtype PCM_16). Needs
qx_limiter[cluster]. State the machine's load with the figures: they move
with it.
"""

from __future__ import annotations

import argparse
import logging
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import soundfile as sf
from distributed import LocalCluster

RATE = 48000


def make_files(folder: Path, count: int, seconds: float) -> list[str]:
    rng = np.random.default_rng(0)
    names = []
    for index in range(count):
        audio = (rng.standard_normal((int(seconds * RATE), 2)) * 0.5).astype(np.float32)
        sf.write(folder / f"in{index:03}.wav", audio, RATE, subtype="FLOAT")
        names.append(f"in{index:03}.wav")
    return names


def best(folder: Path, arguments: list[str], repeats: int) -> float:
    """The best wall time of the command, each run writing anew."""
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        done = subprocess.run(
            [
                sys.executable,
                "-m",
                "qx_limiter_cli",
                *arguments,
                "--output-dir",
                "out",
                "--overwrite",
                "-q",
            ],
            cwd=folder,
            capture_output=True,
            text=True,
        )
        times.append(time.perf_counter() - started)
        if done.returncode != 0:
            sys.exit(f"qx-limiter failed ({done.returncode}): {done.stderr}")
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--files", type=int, default=40)
    parser.add_argument("--seconds", type=float, default=1.0)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument(
        "options", nargs="*", default=["--preset", "streaming", "--subtype", "PCM_16"]
    )
    options = parser.parse_args()
    with (
        tempfile.TemporaryDirectory() as name,
        LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
            silence_logs=logging.ERROR,
            scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
        ) as cluster,
    ):
        folder = Path(name)
        files = make_files(folder, options.files, options.seconds)
        ways = {
            "--jobs 2": ["--jobs", "2"],
            "--cluster-workers 2": ["--cluster-workers", "2"],
            "--scheduler": ["--scheduler", cluster.scheduler_address],
        }
        times = {
            way: (
                best(folder, [*files[:2], *options.options, *extra], options.repeats),
                best(folder, [*files, *options.options, *extra], options.repeats),
            )
            for way, extra in ways.items()
        }
    load = ", ".join(f"{value:.2f}" for value in os.getloadavg())
    print(
        f"{options.files} files of {options.seconds:g} s, float stereo at {RATE} Hz, "
        f"{' '.join(options.options)}; {os.cpu_count()} cores, load {load}; "
        f"best of {options.repeats}:"
    )
    few, many = times["--jobs 2"]
    for way, (two, every) in times.items():
        line = f"  {way:<20} 2 files {two:6.2f} s   {options.files} files {every:6.2f} s"
        if way != "--jobs 2":
            fixed = two - few
            each = ((every - two) - (many - few)) / (options.files - 2)
            line += (
                f"   fixed cost {fixed:+.2f} s (target 1 s)   per file {each * 1000:+.0f} ms "
                f"(target 50 ms)"
            )
        print(line)


if __name__ == "__main__":
    main()
