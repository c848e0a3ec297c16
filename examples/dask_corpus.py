"""Deliver a tree of audio files on a Dask cluster, from Python.

    pip install 'qx_limiter[cluster]'
    python examples/dask_corpus.py IN_DIR OUT_DIR [--glob '**/*.wav']
        [--scheduler tcp://HOST:8786 | --workers 2] [qx-limiter options, e.g. --preset podcast]

The command line does the work: with --scheduler, each file's delivery
(the loudness target, the verified ceiling, dither and the report) is one
task on the cluster, and what it writes is what it writes on one machine.
This example adds a tree: every file under IN_DIR that matches the
pattern is delivered to the same relative path under OUT_DIR, one run of
qx_limiter_cli.main per folder, all on one cluster: the scheduler given,
or a local cluster of --workers processes started here once for all of
them (rather than one per run, as --cluster-workers would).

Every worker must see IN_DIR and OUT_DIR at the paths this machine does.
The exit status is the first run's that was not 0.
"""

from __future__ import annotations

import argparse
import logging
import sys
from collections import defaultdict
from contextlib import ExitStack
from pathlib import Path

from distributed import LocalCluster

from qx_limiter_cli import main as qx_limiter


def deliver_tree(
    in_dir: Path, out_dir: Path, pattern: str, scheduler: str, options: list[str]
) -> int:
    """Delivers the files under `in_dir` that match `pattern` into the same
    folders under `out_dir`, on the cluster of `scheduler`."""
    folders: defaultdict[Path, list[Path]] = defaultdict(list)
    for path in sorted(in_dir.glob(pattern)):
        if path.is_file():
            folders[path.parent].append(path)
    status = 0
    for folder, files in folders.items():
        target = out_dir / folder.relative_to(in_dir)
        done = qx_limiter(
            [*map(str, files), "--output-dir", str(target), "--scheduler", scheduler, *options]
        )
        status = status or done
        if done >= 2:  # options that cannot work, or a stop: for the rest too
            break
    return status


def main(arguments: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("in_dir", type=Path)
    parser.add_argument("out_dir", type=Path)
    parser.add_argument("--glob", default="**/*.wav", help="files to deliver under IN_DIR")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running Dask scheduler")
    where.add_argument("--workers", type=int, default=2, help="local worker processes")
    known, options = parser.parse_known_args(arguments)
    with ExitStack() as stack:
        scheduler = known.scheduler
        if scheduler is None:
            cluster = stack.enter_context(
                LocalCluster(
                    n_workers=known.workers,
                    threads_per_worker=1,
                    processes=True,
                    host="127.0.0.1",
                    dashboard_address=None,
                    silence_logs=logging.ERROR,
                )
            )
            scheduler = cluster.scheduler_address
        return deliver_tree(known.in_dir, known.out_dir, known.glob, scheduler, options)


if __name__ == "__main__":
    sys.exit(main())
