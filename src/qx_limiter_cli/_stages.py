"""Threads that work side by side on a stream of chunks, joined by bounded
queues, and stop together: when one fails, when another stops, or when the
run is stopped by a signal.

Waits are short (POLL_SECONDS) and repeated: a thread waiting on a queue or
on another thread checks between them whether it should stop; and the main
thread runs the handlers of signals that the system may have handed to
another thread only when it runs Python again.
"""

from __future__ import annotations

import contextvars
import queue
import threading
from collections.abc import Callable
from typing import Generic, TypeVar

from . import _stopping

# Chunks waiting between two threads; enough to ride out a stall of one.
QUEUE_DEPTH = 4
POLL_SECONDS = 0.05

T = TypeVar("T")


class Cancelled(Exception):
    """Another stage of the pipeline failed or stopped."""


class Pipe(Generic[T]):
    """A bounded queue between two stages, None marking its end; waiting on
    it ends when the run is stopped (Stopped, KeyboardInterrupt) or another
    stage fails (Cancelled)."""

    def __init__(self, stop: threading.Event) -> None:
        self._queue: queue.Queue[T | None] = queue.Queue(QUEUE_DEPTH)
        self._stop = stop

    def put(self, item: T | None) -> None:
        while True:
            self._check()
            try:
                return self._queue.put(item, timeout=POLL_SECONDS)
            except queue.Full:
                pass

    def get(self) -> T | None:
        while True:
            self._check()
            try:
                return self._queue.get(timeout=POLL_SECONDS)
            except queue.Empty:
                pass

    def _check(self) -> None:
        _stopping.check()
        if self._stop.is_set():
            raise Cancelled


class Stage(threading.Thread):
    """Runs one stage; keeps the exception that ended it and stops the
    others with it."""

    def __init__(self, work: Callable[[], None], stop: threading.Event, name: str) -> None:
        super().__init__(name=name, daemon=True)
        self._work = work
        # A new thread starts from an empty context; the stage works for the
        # file of the thread that made it, and stops where that file's task
        # is called off (_stopping.unless_called_off).
        self._context = contextvars.copy_context()
        self._halt = stop
        self.error: BaseException | None = None

    def run(self) -> None:
        try:
            self._context.run(self._work)
        except Cancelled:
            pass
        except BaseException as error:
            self.error = error
            self._halt.set()


def join(stages: list[Stage], stop: threading.Event) -> None:
    """Waits for the stages; a stop that arrives meanwhile ends them first."""
    try:
        for stage in stages:
            while stage.is_alive():
                stage.join(POLL_SECONDS)
                _stopping.check()
    except BaseException:
        stop.set()
        for stage in stages:
            if stage.ident is not None:  # started
                stage.join()
        raise


def run_beside(work: Callable[[], None], stages: list[Stage], stop: threading.Event) -> None:
    """Runs `work` in this thread while the stages run in theirs, and
    raises what stopped any of them."""
    try:
        # Every stage that started is joined below: none is left running
        # into the interpreter's shutdown.
        for stage in stages:
            stage.start()
        work()
    except Cancelled:
        pass  # another stage failed; its error is raised below
    except BaseException:
        stop.set()
        raise
    finally:
        join(stages, stop)
    for stage in stages:
        if stage.error is not None:
            raise stage.error
    if stop.is_set():
        raise RuntimeError("a stage of the pipeline stopped without saying why")
