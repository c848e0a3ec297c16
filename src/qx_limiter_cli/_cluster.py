"""The files of a run delivered on a Dask cluster (--scheduler, or
--cluster-workers for one started on this machine).

Everything is checked on this machine first, as for a run on one machine;
each file's Job is then one task, run by whichever worker is free, with the
same plan, delivery loop, pipeline, dither and writing (_on_worker.deliver).
Only paths and settings travel, never audio: the paths are made absolute
here, so that a worker started in another folder finds the same files, and
each outcome comes back with the paths as the user gave them, so that the
lines, the messages and the report are those of a run on one machine.

Before anything is written, every worker is asked whether it sees the
inputs and can write into the output folders (a shared file system), and
whether it runs the versions that write the same bytes; those that do not
are named.

A worker lost mid-file leaves its temporary file, which carries the run's
tag: Dask gives the file to another worker, whose attempt removes it, and
the run removes every one of its own at the end, whatever machine made it.
A worker lost after renaming its output leaves the output's receipt, by
which the next attempt keeps it (_writing._rename_with_receipt); the run
drops each file's receipts once it has the file's outcome. A stop here
calls off the tasks not finished; a running one sees that at its next safe
point and removes what it began, and the run waits for that before it ends.

The files go out as one map of tasks, each a whole delivery. Work that
decides across files (an album's gain, say) fits the same frame: a map that
measures, the decision here, and a second map that delivers.
"""

from __future__ import annotations

import dataclasses
import logging
import os
import queue
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import ExitStack, contextmanager, suppress
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, TypeVar

from . import _stopping
from ._album import Track
from ._on_worker import Run, Seen, busy, deliver, measure, unseen, versions_here
from ._reporting import Failure, Outcome, Written
from ._writing import WRITER, new_run, receipt, remove_run

if TYPE_CHECKING:
    from distributed import Client, Future

    from ._options import Options
    from ._planning import Job

Finished = Callable[[int, Outcome], None]
Process = Callable[[list["Job"], Finished], None]

# How long the main thread waits at most before it looks for a signal.
_WAKE_SECONDS = 0.05
# How long a run waits for a scheduler's first worker.
_FIRST_WORKER_SECONDS = 30.0
# How long a stopped run waits for its running tasks to notice and clean up.
_CALLED_OFF_SECONDS = 30.0

T = TypeVar("T")


class ClusterError(Exception):
    """The cluster cannot run the files: one complete line each."""

    def __init__(self, lines: list[str]) -> None:
        super().__init__("\n".join(lines))
        self.lines = lines


@dataclass(frozen=True)
class OnCluster:
    """The maps a run sends to the cluster: the files' deliveries, and the
    measuring of an album's tracks."""

    deliver: Process
    measure: Callable[[list[Job]], list[Track | str]]


@contextmanager
def on_cluster(options: Options, jobs: list[Job]) -> Iterator[OnCluster]:
    """Connects to the cluster (or starts one here), checks its workers, and
    gives the function that delivers the files on it; at the end, removes
    the run's temporary files that lost workers left behind."""
    # Outputs get the permissions they get on one machine: this process's
    # umask's, whatever the workers' is.
    run = Run(new_run(), WRITER.get().mode)
    folders = list(
        dict.fromkeys(
            path.parent.absolute()
            for job in jobs
            for path in (job.target, job.plot)
            if path is not None
        )
    )
    with ExitStack() as stack:
        client = stack.enter_context(_connected(options))
        stack.callback(remove_run, folders, run.tag)
        _stopping.check()
        _check_workers(client, jobs, folders)
        _stopping.check()
        yield OnCluster(
            lambda jobs, finished: _deliver_all(client, run, jobs, finished),
            lambda jobs: _measure_all(client, run, jobs),
        )


@contextmanager
def _connected(options: Options) -> Iterator[Client]:
    import dask
    from distributed import Client, LocalCluster

    # Dask reports what it does about lost workers and retries in its log;
    # the run reports each file, as on one machine.
    logger = logging.getLogger("distributed")
    level = logger.level
    logger.setLevel(logging.CRITICAL)
    try:
        if options.scheduler is None:
            assert options.cluster_workers is not None
            # Processes, one file at a time each: a file's delivery runs in
            # three threads already, and the plan's decisions in Python.
            # Forked where the system allows, they start with everything this
            # process imported: a quarter of a second rather than more than
            # one for processes that import Dask, NumPy and the rest again.
            method = (
                "fork"
                if sys.platform.startswith("linux")
                else dask.config.get("distributed.worker.multiprocessing-method")
            )
            with (
                dask.config.set({"distributed.worker.multiprocessing-method": method}),
                LocalCluster(
                    n_workers=options.cluster_workers,
                    threads_per_worker=1,
                    processes=True,
                    host="127.0.0.1",
                    dashboard_address=None,
                    silence_logs=logging.CRITICAL,
                    # No dashboard; the scheduler's few pages of
                    # its own on any free port, not on 8787 with
                    # a warning where another cluster has it.
                    scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                    preload=["qx_limiter_cli._on_worker"],
                ) as cluster,
                Client(cluster, set_as_default=False) as client,
            ):
                yield client
            return
        try:
            # As long as Dask's configuration says (distributed.comm.timeouts.connect).
            client = Client(options.scheduler, set_as_default=False)
        except (OSError, ValueError, TypeError) as error:  # TypeError: TLS not set up
            raise ClusterError(
                [f"cannot reach the scheduler {options.scheduler} ({error})"]
            ) from None
        with client:
            _first_worker(client, options.scheduler)
            yield client
    finally:
        logger.setLevel(level)


def _first_worker(client: Client, address: str) -> None:
    deadline = time.monotonic() + _FIRST_WORKER_SECONDS
    while True:
        try:
            client.wait_for_workers(1, timeout=_WAKE_SECONDS * 10)
            return
        except TimeoutError:
            _stopping.check()
            if time.monotonic() > deadline:
                raise ClusterError(
                    [
                        f"the scheduler {address} has no workers (none joined in "
                        f"{_FIRST_WORKER_SECONDS:g} s)"
                    ]
                ) from None


def _check_workers(client: Client, jobs: list[Job], folders: list[Path]) -> None:
    """Every worker must see the inputs' folders and write into the outputs'
    at this machine's paths, and run the versions that write the same bytes."""
    samples: dict[Path, Seen] = {}
    for job in jobs:
        source = job.source.absolute()
        if source.parent not in samples:
            found = os.stat(source)
            samples[source.parent] = Seen(str(source), found.st_size, int(found.st_mtime))
    answers: dict[str, tuple[str, list[str]]] = client.run(
        unseen, list(samples.values()), [str(folder) for folder in folders], versions_here()
    )
    problems = [
        f"the worker {address} on {host} {problem}"
        for address, (host, found) in sorted(answers.items())
        for problem in found
    ]
    if problems:
        raise ClusterError(problems)


def _deliver_all(client: Client, run: Run, jobs: list[Job], finished: Finished) -> None:
    """One task per file; each outcome, as it comes, with the paths as given."""
    sent = [_absolute(job) for job in jobs]
    # Named for the run, so that a worker's state tells its tasks apart.
    keys = [f"qx-limiter-{run.tag}-{index}" for index in range(len(jobs))]
    futures: list[Future[Outcome | None]] = client.map(deliver, sent, key=keys, run=run)
    done: queue.SimpleQueue[int] = queue.SimpleQueue()
    for index, future in enumerate(futures):
        future.add_done_callback(lambda _, index=index: done.put(index))
    left = len(futures)
    try:
        while left:
            try:
                index = done.get(timeout=_WAKE_SECONDS)
            except queue.Empty:
                _stopping.check()
                continue
            outcome = _outcome(futures[index], jobs[index])
            futures[index].release()
            _drop_receipts(sent[index], run.tag)
            finished(index, outcome)
            left -= 1
            _stopping.check()
    except BaseException:
        # The files not finished are called off; the running ones remove what
        # they began, which the run waits for.
        client.cancel([future for future in futures if not future.done()])
        _wait_until_called_off(client, run.tag)
        raise


def _measure_all(client: Client, run: Run, jobs: list[Job]) -> list[Track | str]:
    """One task per track of an album; their figures and profiles, in order
    (a stop calls off those not finished)."""
    keys = [f"qx-limiter-measure-{run.tag}-{index}" for index in range(len(jobs))]
    futures: list[Future[Track | str | None]] = client.map(
        measure, [_absolute(job) for job in jobs], key=keys, run=run
    )
    try:
        while not all(future.done() for future in futures):
            time.sleep(_WAKE_SECONDS)
            _stopping.check()
    except BaseException:
        client.cancel([future for future in futures if not future.done()])
        _wait_until_called_off(client, run.tag)
        raise
    tracks: list[Track | str] = []
    for future in futures:
        if future.status != "finished":
            tracks.append("lost with the workers that took it")
            continue
        track = future.result()
        tracks.append(track if track is not None else "its task was called off on the worker")
    return tracks


def _outcome(future: Future[Outcome | None], job: Job) -> Outcome:
    from distributed import KilledWorker

    if future.status == "error":
        error = future.exception()
        if isinstance(error, KilledWorker):
            # Dask gave the file to other workers, and lost those too.
            return Failure(
                job,
                "lost with every worker that took it (Dask gives a file up "
                "after distributed.scheduler.allowed-failures of them)",
            )
    elif future.status == "cancelled":
        return Failure(job, "the cluster dropped it before it was done")
    outcome = future.result()  # an error of the program itself is raised here
    if outcome is None:
        return Failure(job, "its task was called off on the worker")
    return _as_given(outcome, job)


def _drop_receipts(job: Job, tag: str) -> None:
    """The file's outcome is in: no retry can come any more, and the receipts
    that let one keep the outputs in place can go."""
    for path in (job.target, job.plot):
        if path is not None:
            with suppress(OSError):
                receipt(path, tag).unlink(missing_ok=True)


def _wait_until_called_off(client: Client, tag: str) -> None:
    """Until no worker works on a file of the run any more."""
    deadline = time.monotonic() + _CALLED_OFF_SECONDS
    while time.monotonic() < deadline:
        counts: dict[str, int] = client.run(busy, tag, on_error="ignore")
        if not any(counts.values()):
            return
        time.sleep(_WAKE_SECONDS)


def _absolute(value: T) -> T:
    """`value` with every path in it (a Job, its Front...) made absolute."""
    return _with_paths(value, lambda path: path.absolute())


def _with_paths(value: T, change: Callable[[Path], Path]) -> T:
    result: Any = value
    if isinstance(value, Path):
        result = change(value)
    elif isinstance(value, tuple) and not hasattr(value, "_fields"):
        result = tuple(_with_paths(item, change) for item in value)
    elif dataclasses.is_dataclass(value) and not isinstance(value, type):
        changed = {}
        for field in dataclasses.fields(value):
            if field.init:
                before = getattr(value, field.name)
                after = _with_paths(before, change)
                if after is not before:
                    changed[field.name] = after
        if changed:
            result = dataclasses.replace(value, **changed)
    return result  # type: ignore[no-any-return]


def _as_given(outcome: Outcome, job: Job) -> Outcome:
    """The outcome of a file as a run on one machine tells it: its Job as
    planned, and the paths in its texts as the user gave them."""
    given = {str(path.absolute()): str(path) for path in _paths(job)}
    given = {absolute: path for absolute, path in given.items() if absolute != path}

    def text(words: str) -> str:
        for absolute in sorted(given, key=len, reverse=True):
            words = words.replace(absolute, given[absolute])
        return words

    if isinstance(outcome, Failure):
        return Failure(job, text(outcome.reason))
    report: Written = outcome
    return dataclasses.replace(
        report,
        job=job,
        note=text(report.note),
        warnings=tuple(text(warning) for warning in report.warnings),
    )


def _paths(value: object) -> list[Path]:
    found: list[Path] = []

    def keep(path: Path) -> Path:
        found.append(path)
        return path

    _with_paths(value, keep)
    return found
