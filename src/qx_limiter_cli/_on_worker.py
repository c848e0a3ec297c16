"""What a Dask worker runs for the command line (see _cluster): one file's
delivery as a task, what the client asks of every worker before a run, and
how many of a run's files a worker is still busy with.

A task gets a Job, which holds paths and settings only, and returns its
Outcome, which holds figures and texts; no audio crosses the network.
"""

from __future__ import annotations

import errno
import os
import signal
import socket
import threading
from collections import Counter
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass

from . import _stopping, _writing
from ._album import Track, measure_track
from ._delivering import limit_file
from ._planning import Job
from ._reporting import Outcome


@dataclass(frozen=True)
class Run:
    """What every task of a run shares: the tag of its temporary files (so
    that the client can remove those of a worker lost on any machine) and
    the permissions of its outputs, from the client's umask: a worker's own
    (a service's, often 077) is not the user's."""

    tag: str
    mode: int


# The tasks of each run under way in this process, by the run's tag.
_busy: Counter[str] = Counter()
_busy_lock = threading.Lock()


def deliver(job: Job, run: Run) -> Outcome | None:
    """Delivers one file, as on one machine; None where the task was called
    off on the way (nobody waits for its outcome then)."""
    writer = _writing.Writer(run.tag, run.mode, retried=True)
    with _counted(run.tag), _stopping.unless_called_off(_called_off_test()):
        token = _writing.WRITER.set(writer)
        try:
            return limit_file(job)
        except _stopping.CalledOff:
            return None
        finally:
            _writing.WRITER.reset(token)


def measure(job: Job, run: Run) -> Track | str | None:
    """Measures one track of an album (see _album); None where the task was
    called off on the way."""
    with _counted(run.tag), _stopping.unless_called_off(_called_off_test()):
        try:
            return measure_track(job)
        except _stopping.CalledOff:
            return None


def busy(tag: str) -> int:
    """How many files of the run this worker is still working on."""
    with _busy_lock:
        return _busy[tag]


@contextmanager
def _counted(tag: str) -> Iterator[None]:
    with _busy_lock:
        _busy[tag] += 1
    try:
        yield
    finally:
        with _busy_lock:
            _busy[tag] -= 1
            if not _busy[tag]:
                del _busy[tag]


def _called_off_test() -> Callable[[], bool]:
    """Whether this task was called off: Dask cannot end a running task, and
    marks it cancelled on its worker where the client cancels it, or is
    gone; the scheduler then forgets it, and so does the worker."""
    from distributed import get_worker

    try:
        worker = get_worker()
        tasks, key = worker.state.tasks, worker.get_current_task()
    except (ValueError, AttributeError):  # not run as a task of a worker
        return lambda: False

    def called_off() -> bool:
        task = tasks.get(key)
        return task is None or task.state == "cancelled"

    return called_off


@dataclass(frozen=True)
class Seen:
    """An input as the client sees it: one of each folder, to be found the
    same on every worker."""

    path: str
    size: int
    mtime: int


def unseen(
    inputs: list[Seen], outputs: list[str], versions: dict[str, str]
) -> tuple[str, list[str]]:
    """This machine's name, and what it cannot see or write of a run: the
    folders of its inputs (through one file of each, which must be the file
    the client found), those of its outputs, and the versions of what
    writes the files (other versions could write other bytes)."""
    problems = []
    for seen in inputs:
        folder = os.path.dirname(seen.path)
        try:
            found = os.stat(seen.path)
        except OSError as error:
            problems.append(
                f"cannot see the input folder {folder} ({seen.path}: {error.strerror or error})"
            )
            continue
        if (found.st_size, int(found.st_mtime)) != (seen.size, seen.mtime):
            problems.append(
                f"sees another input folder at {folder}: {seen.path} is not the "
                f"file this machine reads there"
            )
        elif not os.access(seen.path, os.R_OK):
            problems.append(
                f"cannot read the inputs in {folder} ({seen.path}: {os.strerror(errno.EACCES)})"
            )
    for folder in outputs:
        if not os.path.isdir(folder):
            problems.append(f"cannot see the output folder {folder}")
        elif not os.access(folder, os.W_OK | os.X_OK):
            problems.append(f"cannot write into the output folder {folder}")
    for name, version in versions_here().items():
        if versions.get(name) != version:
            problems.append(f"runs {name} {version}, this machine {versions.get(name)}")
    return socket.gethostname(), problems


def versions_here() -> dict[str, str]:
    """What decides the bytes of an output, besides the Job: the limiter and
    the command line, and the library that encodes the files."""
    import soundfile as sf

    from qx_limiter_tools import __version__

    return {"qx_limiter": __version__, "libsndfile": str(sf.__libsndfile_version__)}


def dask_setup(worker: object) -> None:
    """Prepares a worker process that a run starts on this machine
    (--cluster-workers, which preloads this module). Ctrl-C reaches every
    process of the terminal's group, and a closed terminal's SIGHUP too:
    they are the run's to handle, which calls off the tasks and waits for
    them. A forked worker would otherwise keep the handlers of the command
    it was forked from, and stop its tasks as if it had been stopped."""
    for number in (signal.SIGINT, getattr(signal, "SIGHUP", None)):
        if number is not None:
            signal.signal(number, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
