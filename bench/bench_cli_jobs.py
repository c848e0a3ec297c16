"""How much --jobs speeds up qx-limiter on several files.

    python bench/bench_cli_jobs.py [--files 2] [--seconds 120] [--repeats 5] [--sample-peak]

Writes the files (float WAV, 48 kHz stereo, a few dB too loud) to a
temporary folder and limits them three ways, printing the best wall time of
each and the CPU time it used:

- --jobs 1: one file after the other;
- --jobs N: N files at once in threads of one process (what the option does);
- N processes, one file each: the parallelism the machine itself offers for
  this work, with no interpreter lock and no address space in common, as a
  yardstick for the threads.

The limiter releases the interpreter lock while it works, so with a free
core per file the threads should come close to the processes, and both to
the time of one file. Needs qx_limiter[cli].
"""

from __future__ import annotations

import argparse
import contextlib
import io
import multiprocessing
import os
import resource
import sys
import tempfile
import time
from collections.abc import Callable
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np
import soundfile as sf

from qx_limiter_cli import main as qx_limiter

RATE = 48000


def make_files(folder: Path, count: int, seconds: float) -> list[Path]:
    rng = np.random.default_rng(0)
    paths = []
    for index in range(count):
        audio = (rng.standard_normal((int(seconds * RATE), 2)) * 0.5).astype(np.float32)
        path = folder / f"in{index}.wav"
        sf.write(path, audio, RATE, subtype="FLOAT")
        paths.append(path)
    return paths


def quiet_run(arguments: list[str]) -> int:
    with contextlib.redirect_stdout(io.StringIO()):
        return qx_limiter(arguments)


def _cpu_seconds() -> float:
    own = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def best(run: Callable[[], None], repeats: int) -> tuple[float, float]:
    """The best wall time, and the CPU time of that run over its wall time
    (the number of cores it kept busy)."""
    runs = []
    for _ in range(repeats):
        cpu = _cpu_seconds()
        started = time.perf_counter()
        run()
        wall = time.perf_counter() - started
        runs.append((wall, (_cpu_seconds() - cpu) / wall))
    return min(runs)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--files", type=int, default=2)
    parser.add_argument("--seconds", type=float, default=120.0)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--sample-peak", action="store_true")
    options = parser.parse_args()
    detection = [] if options.sample_peak else ["--true-peak"]
    with tempfile.TemporaryDirectory() as folder:
        sources = [str(path) for path in make_files(Path(folder), options.files, options.seconds)]
        # Every run writes the same outputs again.
        common = [
            "--output-dir",
            os.path.join(folder, "out"),
            "--threshold-dBFS",
            "-1",
            "--overwrite",
            *detection,
        ]

        def checked(status: int) -> None:
            if status != 0:
                sys.exit(f"qx-limiter failed with status {status}")

        serial = best(
            lambda: checked(quiet_run(sources + common + ["--jobs", "1"])), options.repeats
        )
        threads = best(
            lambda: checked(quiet_run(sources + common + ["--jobs", str(len(sources))])),
            options.repeats,
        )

        # Children's CPU time is only counted once they end: a fresh pool per run.
        def in_processes() -> None:
            context = multiprocessing.get_context("fork")
            with ProcessPoolExecutor(len(sources), mp_context=context) as pool:
                for status in pool.map(quiet_run, [[source] + common for source in sources]):
                    checked(status)

        processes = best(in_processes, options.repeats)

    mode = "sample" if options.sample_peak else "true"
    print(
        f"{options.files} files of {options.seconds:g} s float stereo at {RATE} Hz, {mode} peak, "
        f"{os.cpu_count()} cores, best of {options.repeats}:"
    )
    for name, (wall, cores) in (
        ("--jobs 1", serial),
        (f"--jobs {options.files}", threads),
        (f"{options.files} processes", processes),
    ):
        print(
            f"  {name:<12} {wall:6.2f} s  {cores:4.2f} cores busy  "
            f"speed-up {serial[0] / wall:4.2f}x"
        )


if __name__ == "__main__":
    main()
