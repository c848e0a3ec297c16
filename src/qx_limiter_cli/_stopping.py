"""Stopping cleanly on Ctrl-C, SIGTERM and SIGHUP.

The handlers only take note: they set a flag and raise nothing. Python runs
a handler in the main thread between any two bytecodes, and an exception
raised from there can land between a lock's acquire and the `with` that
would release it (a queue's, say), leaving another thread blocked for good.
Instead every thread, the main one included, calls check() where stopping
is safe: between the stages of a file, in every wait (all of them are short
and repeated) and just before an output is renamed into place; check()
raises there (KeyboardInterrupt for Ctrl-C, Stopped for the others), and
each temporary file is removed by the code that made it.

A third signal, for a run that does not stop soon enough, ends the process
at once (its temporary files are then removed by a later run writing the
same outputs).

A file delivered as a task on a Dask worker has no signal of its own to
see: its run is stopped on the client, which calls the task off. check()
sees that too, through the test the task sets for its threads
(unless_called_off), and raises CalledOff at the same safe points.
"""

from __future__ import annotations

import os
import signal
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from types import FrameType

_requested = threading.Event()
_signal_number: int = signal.SIGINT
_received = 0
# Signals after the first that end the process without waiting.
_AT_ONCE = 3
# Whether the task this thread works for was called off; None outside tasks.
# A context variable, not a global: a worker runs the tasks of several runs
# side by side, and a thread of the pipeline inherits its file's (_stages).
_called_off: ContextVar[Callable[[], bool] | None] = ContextVar(
    "qx_limiter_called_off", default=None
)


class Stopped(BaseException):
    """The process was asked to stop. A BaseException, like KeyboardInterrupt,
    so that no handler of ordinary errors swallows it."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


class CalledOff(BaseException):
    """The task delivering this file was called off: its run was stopped, or
    its client is gone. Nobody waits for the file any more; what it began
    is removed on the way out, as for a stop."""


def check() -> None:
    """Raises Stopped (KeyboardInterrupt for Ctrl-C) once a stop was asked
    for, CalledOff once the file's task was called off; called wherever a
    thread may stop."""
    if _requested.is_set():
        if _signal_number == signal.SIGINT:
            raise KeyboardInterrupt
        raise Stopped(_signal_number)
    called_off = _called_off.get()
    if called_off is not None and called_off():
        raise CalledOff


@contextmanager
def unless_called_off(called_off: Callable[[], bool]) -> Iterator[None]:
    """check() in this thread, and in the threads it starts for the file,
    also asks `called_off` for the block."""
    token = _called_off.set(called_off)
    try:
        yield
    finally:
        _called_off.reset(token)


def requested() -> bool:
    return _requested.is_set()


def _handle(signum: int, _frame: FrameType | None) -> None:
    global _signal_number, _received
    _received += 1
    if _received >= _AT_ONCE:
        os.write(
            2,
            b"qx-limiter: error: stopped at once; temporary files may remain "
            b"until the same outputs are written again\n",
        )
        os._exit(128 + signum)
    if not _requested.is_set():
        _signal_number = signum
        _requested.set()


@contextmanager
def stop_on_signals() -> Iterator[None]:
    """Installs the handlers for the block (from the main thread only, where
    Python allows it) and restores the previous ones after it."""
    global _received
    _requested.clear()
    _received = 0
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    numbers = [signal.SIGINT, signal.SIGTERM]
    if hasattr(signal, "SIGHUP"):  # not on Windows
        numbers.append(signal.SIGHUP)
    # A signal that was ignored stays ignored: under nohup, SIGHUP must not
    # stop the run, nor Ctrl-C a job started in the background by a script.
    previous = {
        number: signal.signal(number, _handle)
        for number in numbers
        if signal.getsignal(number) is not signal.SIG_IGN
    }
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
