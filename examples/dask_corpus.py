"""Limit a folder of audio files with Dask, on one machine or a cluster.

    pip install qx_limiter soundfile 'dask[distributed]'
    python examples/dask_corpus.py IN_DIR OUT_DIR [--glob '**/*.wav'] [--threshold-dBFS -1]
        [--attack-ms 5] [--hold-ms 15] [--release-ms 40] [--true-peak]
        [--scheduler tcp://HOST:8786 | --workers 2]

Every file matching the pattern under IN_DIR is read, limited with
`qx_limiter.limit` and written under OUT_DIR at the same relative path, as a
32-bit float WAV (which holds the limiter's samples exactly). Each file is
one task, run where a worker is free: with --scheduler on an existing Dask
cluster (`dask scheduler` on one machine, `dask worker tcp://HOST:8786` on
each of the others; every worker must see IN_DIR and OUT_DIR at the same
paths, on a shared file system), otherwise on a local cluster of --workers
processes. The file names travel to the workers, not the audio, and a
worker holds one file at a time per thread.

A file that fails (unreadable, or a sample that is not finite) is reported
by name and the others are finished; the exit status is then 1.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
from contextlib import ExitStack
from pathlib import Path
from typing import Any

import numpy as np
import soundfile as sf
from dask.distributed import Client, LocalCluster, as_completed

from qx_limiter import limit


def limit_file(source: str, target: str, settings: dict[str, Any]) -> dict[str, Any]:
    """Limits one file into `target` (written whole or not at all); runs on a worker."""
    audio, rate = sf.read(source, dtype="float32", always_2d=True)  # (frames, channels)
    out, gains = limit(audio, rate, axis=0, **settings)
    Path(target).parent.mkdir(parents=True, exist_ok=True)
    handle, partial = tempfile.mkstemp(dir=Path(target).parent, suffix=".part")
    os.close(handle)
    try:
        sf.write(partial, out, rate, subtype="FLOAT", format="WAV")
        os.replace(partial, target)
    except BaseException:
        os.unlink(partial)
        raise
    return {"source": source, "target": target, "seconds": len(audio) / rate,
            "largest_reduction_db": -20 * float(np.log10(gains.min())) if gains.size else 0.0}


def limit_corpus(client: Client, in_dir: Path, out_dir: Path, pattern: str = "**/*.wav",
                 **settings: Any) -> tuple[list[dict[str, Any]], dict[str, str]]:
    """Limits every file under `in_dir` that matches `pattern` on the cluster
    behind `client`. Returns the summaries of the files done and, for each
    file that failed, its error."""
    sources = sorted(path for path in in_dir.glob(pattern) if path.is_file())
    targets = [out_dir / path.relative_to(in_dir).with_suffix(".wav") for path in sources]
    if len(set(targets)) < len(targets):
        raise ValueError("two inputs differ only in their extension; "
                         "they would be written to the same output")
    futures = client.map(limit_file, [str(p) for p in sources], [str(p) for p in targets],
                         settings=settings, pure=False)
    done: list[dict[str, Any]] = []
    failed: dict[str, str] = {}
    source_of = {future.key: str(path) for future, path in zip(futures, sources)}
    for future in as_completed(futures):
        if future.status == "error":
            error = future.exception()
            failed[source_of[future.key]] = f"{type(error).__name__}: {error}"
        else:
            done.append(future.result())
        future.release()
    return sorted(done, key=lambda summary: summary["source"]), failed


def main(arguments: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("in_dir", type=Path)
    parser.add_argument("out_dir", type=Path)
    parser.add_argument("--glob", default="**/*.wav", help="files to limit under IN_DIR")
    parser.add_argument("--threshold-dBFS", type=float, default=0.0)
    parser.add_argument("--attack-ms", type=float, default=5.0)
    parser.add_argument("--hold-ms", type=float, default=15.0)
    parser.add_argument("--release-ms", type=float, default=40.0)
    parser.add_argument("--true-peak", action="store_true")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running Dask scheduler")
    where.add_argument("--workers", type=int, default=2, help="local worker processes")
    options = parser.parse_args(arguments)
    settings = dict(threshold_dBFS=options.threshold_dBFS, attack_ms=options.attack_ms,
                    hold_ms=options.hold_ms, release_ms=options.release_ms,
                    true_peak=options.true_peak)
    with ExitStack() as stack:
        if options.scheduler:
            client = stack.enter_context(Client(options.scheduler))
        else:
            # The limiter releases the interpreter lock, so threads would do
            # as well; processes keep one worker's memory apart from another's.
            cluster = stack.enter_context(LocalCluster(
                n_workers=options.workers, threads_per_worker=1, processes=True,
                host="127.0.0.1", dashboard_address=None))
            client = stack.enter_context(Client(cluster))
        done, failed = limit_corpus(client, options.in_dir, options.out_dir,
                                    options.glob, **settings)
    for summary in done:
        print(f"{summary['source']} -> {summary['target']}: {summary['seconds']:.2f} s, "
              f"gain reduction up to {summary['largest_reduction_db']:.2f} dB")
    for source, error in failed.items():
        print(f"{source}: {error}", file=sys.stderr)
    print(f"{len(done)} files limited, {len(failed)} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
