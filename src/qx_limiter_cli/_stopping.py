"""Stopping cleanly on Ctrl-C, SIGTERM and SIGHUP.

Python delivers signals to the main thread only, between bytecodes. The
handlers here raise there (KeyboardInterrupt for Ctrl-C, Stopped for the
others) and also set a flag that the worker threads of --jobs check at every
stage and just before an output is renamed into place, so that after a stop
no new output appears and every temporary file is removed by the code that
made it.
"""

from __future__ import annotations

import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType

_requested = threading.Event()
_signal_number: int = signal.SIGINT


class Stopped(BaseException):
    """The process was asked to stop. A BaseException, like KeyboardInterrupt,
    so that no handler of ordinary errors swallows it."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def check() -> None:
    """Raises Stopped once a stop was asked for; called between the stages of
    a file and before anything is renamed into place."""
    if _requested.is_set():
        raise Stopped(_signal_number)


def _handle(signum: int, _frame: FrameType | None) -> None:
    global _signal_number
    if _requested.is_set():
        return  # already stopping: a second signal must not cut the cleanup short
    _signal_number = signum
    _requested.set()
    if signum == signal.SIGINT:
        raise KeyboardInterrupt
    raise Stopped(signum)


@contextmanager
def stop_on_signals() -> Iterator[None]:
    """Installs the handlers for the block (from the main thread only, where
    Python allows it) and restores the previous ones after it."""
    _requested.clear()
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    numbers = [signal.SIGINT, signal.SIGTERM]
    if hasattr(signal, "SIGHUP"):  # not on Windows
        numbers.append(signal.SIGHUP)
    # A signal that was ignored stays ignored: under nohup, SIGHUP must not
    # stop the run, nor Ctrl-C a job started in the background by a script.
    previous = {number: signal.signal(number, _handle) for number in numbers
                if signal.getsignal(number) is not signal.SIG_IGN}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
