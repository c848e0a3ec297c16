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
from typing import NoReturn

_requested = threading.Event()
_signal_number: int = signal.SIGINT
# Sections of the main thread that a signal must not cut in two, and whether
# a stop waits for the end of one.
_holding = 0
_pending = False


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
        _raise(_signal_number)


def _handle(signum: int, _frame: FrameType | None) -> None:
    global _signal_number, _pending
    if _requested.is_set():
        return  # already stopping: a second signal must not cut the cleanup short
    _signal_number = signum
    _requested.set()
    if _holding:
        _pending = True
        return
    _raise(signum)


def _raise(signum: int) -> NoReturn:
    if signum == signal.SIGINT:
        raise KeyboardInterrupt
    raise Stopped(signum)


@contextmanager
def deferred() -> Iterator[None]:
    """A section in which a stop asked for by a signal waits for its end:
    between creating a temporary file and taking note of its name, the
    exception would leave a file that nobody knows to remove. Only the main
    thread needs it; signals interrupt no other."""
    global _holding, _pending
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    _holding += 1
    try:
        yield
    finally:
        _holding -= 1
    if _pending and not _holding:
        _pending = False
        _raise(_signal_number)


@contextmanager
def stop_on_signals() -> Iterator[None]:
    """Installs the handlers for the block (from the main thread only, where
    Python allows it) and restores the previous ones after it."""
    global _pending
    _requested.clear()
    _pending = False
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
