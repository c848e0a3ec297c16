"""qx-limiter: limits audio files with qx_limiter.

Everything a user can get wrong is checked before the first file is touched
(paths, formats, subtypes, the settings against each file's sample rate);
what can only go wrong while a file is processed (a sample that is not
finite, a full disk) ends that file alone, and nothing half-written stays
behind. Each file streams through in chunks (see _pipeline), so memory
stays bounded whatever the files' lengths.

Only the options are imported up front: --help and a missing extra are
answered without soundfile, tqdm or matplotlib.
"""

from __future__ import annotations

import contextlib
import importlib
import importlib.util
import sys
import time
from collections.abc import Callable, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from pathlib import Path
from typing import TYPE_CHECKING

from . import _stopping
from ._options import (
    CLUSTER_HINT,
    EXIT_FAILURE,
    EXIT_INTERRUPTED,
    EXIT_USAGE,
    EXTRA_HINT,
    Options,
    UsageError,
    parse,
)
from ._reporting import fail

if TYPE_CHECKING:
    from ._album import Album, AlbumRun
    from ._planning import Job
    from ._reporting import Outcome


# How long the main thread waits at most before it looks for a signal.
_WAKE_SECONDS = 0.05


class MissingExtra(Exception):
    """A package of the optional extra is not installed."""


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    args = list(sys.argv[1:] if argv is None else argv)
    with _stopping.stop_on_signals():
        try:
            if args[:1] == ["check"]:
                from ._check import check_main

                return check_main(args[1:])
            return _main(args)
        except KeyboardInterrupt:
            return fail(EXIT_INTERRUPTED, "interrupted; nothing was written")
        except _stopping.Stopped as stopped:
            return fail(128 + stopped.signum, f"stopped by {stopped}; nothing was written")


def _main(argv: Sequence[str] | None) -> int:
    try:
        options = parse(argv)
        _check_extras(options.plot is not None)
        if options.on_cluster and importlib.util.find_spec("distributed") is None:
            raise MissingExtra(
                f"dask[distributed] is not installed; a cluster needs the extra: {CLUSTER_HINT}"
            )
    except UsageError as error:
        return fail(EXIT_USAGE, str(error))
    except MissingExtra as error:
        return fail(EXIT_FAILURE, str(error))
    from ._options import STDOUT
    from ._planning import FileErrors, make_folders, plan

    try:
        jobs, folders = plan(options)
        _stopping.check()
        make_folders(folders)
    except UsageError as error:
        return fail(EXIT_USAGE, str(error))
    except FileErrors as errors:
        return fail(EXIT_FAILURE, *errors.lines)
    if options.on_cluster:
        return _on_cluster(jobs, options)

    def deliver(jobs: list[Job], finished: Callable[[int, Outcome], None]) -> None:
        _process(jobs, options.jobs, finished)

    if options.album:
        from ._album import AlbumRun, measure_here

        album = AlbumRun(measure_here(options.jobs), deliver)
        return _run(jobs, options, album.process, album)
    if options.output == STDOUT:
        # Standard output carries the audio: what is said goes to standard error.
        with contextlib.redirect_stdout(sys.stderr):
            return _run(jobs, options, deliver)
    return _run(jobs, options, deliver)


def _on_cluster(jobs: list[Job], options: Options) -> int:
    """The run, each file a task of a Dask cluster (only the run needs dask)."""
    from ._cluster import ClusterError, on_cluster

    try:
        with on_cluster(options, jobs) as cluster:
            if options.album:
                from ._album import AlbumRun

                album = AlbumRun(cluster.measure, cluster.deliver)
                return _run(jobs, options, album.process, album)
            return _run(jobs, options, cluster.deliver)
    except ClusterError as error:
        return fail(EXIT_FAILURE, *error.lines)


def _check_extras(plotting: bool) -> None:
    """The command line needs the packages of the optional extra; the
    qx_limiter module itself does not."""
    needed = ["soundfile", "tqdm"] + (["matplotlib"] if plotting else [])
    missing = [name for name in needed if not _importable(name)]
    if missing:
        names = " and ".join(filter(None, (", ".join(missing[:-1]), missing[-1])))
        verb = "is" if len(missing) == 1 else "are"
        raise MissingExtra(
            f"{names} {verb} not installed; the command line needs the extra: {EXTRA_HINT}"
        )


def _importable(name: str) -> bool:
    try:
        importlib.import_module(name)
    except ImportError:
        return False
    return True


Process = Callable[[list["Job"], Callable[[int, "Outcome"], None]], None]


def _run(jobs: list[Job], options: Options, process: Process, album: AlbumRun | None = None) -> int:
    import tqdm

    from ._decoder_noise import decoder_noise
    from ._reporting import InOrder, warn

    started = time.perf_counter()
    bar = tqdm.tqdm(
        total=len(jobs),
        unit="file",
        file=sys.stdout,
        leave=False,
        disable=options.quiet or len(jobs) < 2 or not sys.stdout.isatty(),
    )
    printer = InOrder(len(jobs), options.quiet, lambda: bar.update(1))
    status, stop = 0, ""
    mp3 = [job.source for job in jobs if job.input_format == "MP3"]
    with decoder_noise(bool(mp3)) as heard:
        try:
            process(jobs, printer.finished)
        except KeyboardInterrupt:
            status, stop = EXIT_INTERRUPTED, "interrupted"
        except _stopping.Stopped as stopped:
            status, stop = 128 + stopped.signum, f"stopped by {stopped}"
        finally:
            bar.close()
    printer.flush()
    noise = heard.warning()
    if noise is not None:
        warn(f"{mp3[0] if len(mp3) == 1 else 'the MP3 inputs'}: {noise}")
    if stop:
        nor = ", nor the report" if options.report is not None else ""
        fail(status, f"{stop}; the files not finished were not written{nor}")
    done = album.album if album is not None else None
    if not stop and done is not None:
        _album_lines(done)
    if stop:
        pass
    elif options.report is not None and not _report(
        options.report, printer.outcomes, options.overwrite, done
    ):
        status = EXIT_FAILURE
    if not options.quiet:
        print(printer.summary(time.perf_counter() - started))
    return status or (EXIT_FAILURE if printer.failed else 0)


def _album_lines(album: Album) -> None:
    """The album's line, after its tracks', and its warning where it missed."""
    from ._reporting import album_line, warn

    print(album_line(album))
    if album.note:
        warn(f"the album: {album.note}")


def _report(
    path: Path, outcomes: list[Outcome], overwrite: bool, album: Album | None = None
) -> bool:
    """Writes the report file; says why not where it cannot."""
    from ._records import write_report

    try:
        write_report(path, outcomes, overwrite, album)
    except OSError as error:
        fail(EXIT_FAILURE, f"cannot write the report {path} ({error.strerror or error})")
        return False
    return True


def _process(jobs: list[Job], threads: int, finished: Callable[[int, Outcome], None]) -> None:
    from ._delivering import limit_file

    if threads == 1 or len(jobs) == 1:
        for index, job in enumerate(jobs):
            finished(index, limit_file(job))
        return
    with ThreadPoolExecutor(max_workers=min(threads, len(jobs))) as pool:
        futures: dict[Future[Outcome], int] = {
            pool.submit(limit_file, job): index for index, job in enumerate(jobs)
        }
        try:
            pending = set(futures)
            while pending:
                # In short waits: the main thread runs the signal handlers,
                # and looks whether one asked for a stop between them.
                done, pending = wait(pending, timeout=_WAKE_SECONDS, return_when=FIRST_COMPLETED)
                for future in done:
                    finished(futures[future], future.result())
                _stopping.check()
        except BaseException:
            # The files not started are dropped; the running ones see the
            # stop and remove what they had begun to write.
            for future in futures:
                future.cancel()
            raise
