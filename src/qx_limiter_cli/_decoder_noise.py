"""The MP3 decoder's messages, kept off the terminal.

libsndfile decodes MP3 with libmpg123, which prints what it finds wrong in a
stream ("[src/libmpg123/layer3.c:...] error: dequantization failed!",
"Note: Trying to resync...") straight to the process's standard error,
past -q and in the middle of the report. While a run reads MP3 files,
standard error's descriptor leads into a pipe: the decoder's lines are
counted and the run turns them into one warning; anything else that arrives
there goes on to standard error as it came. Python's own messages do not
take that way: sys.stderr, where it writes to the descriptor, is pointed at
the real standard error for the time.
"""

from __future__ import annotations

import os
import re
import sys
import threading
from collections.abc import Iterator
from contextlib import contextmanager, suppress
from dataclasses import dataclass, field

# libmpg123's lines: its source file in brackets, or its "Note:" and
# "Warning:" notices.
_DECODER_LINE = re.compile(r"^(?:\[src/libmpg123/[^\]]*\]\s*|(?:Note|Warning|Error): )(.*)$")


@dataclass
class Heard:
    """The decoder's messages heard so far, without their prefixes."""

    messages: list[str] = field(default_factory=list)

    def warning(self) -> str | None:
        """One warning for all of them; None when there were none."""
        if not self.messages:
            return None
        count = len(self.messages)
        problems = "a problem" if count == 1 else f"{count} problems"
        return (
            f"the MP3 decoder reported {problems} in the stream (first: "
            f"{self.messages[0]}); what it could not decode was skipped"
        )


@contextmanager
def decoder_noise(active: bool) -> Iterator[Heard]:
    """Gathers the decoder's messages for the block, where `active`."""
    heard = Heard()
    if not active:
        yield heard
        return
    try:
        sys.stderr.flush()
        saved = os.dup(2)
        reading, writing = os.pipe()
    except (OSError, ValueError):
        yield heard  # no descriptors to spare: the messages stay where they were
        return
    os.dup2(writing, 2)
    os.close(writing)
    python_stderr = sys.stderr
    rebound = _on_descriptor_2(python_stderr)
    if rebound:
        sys.stderr = open(
            os.dup(saved),
            "w",
            buffering=1,  # noqa: SIM115
            encoding=python_stderr.encoding,
            errors=python_stderr.errors,
        )
    listener = threading.Thread(
        target=_listen,
        args=(reading, saved, heard),
        name="qx-limiter decoder messages",
        daemon=True,
    )
    listener.start()
    try:
        yield heard
    finally:
        if rebound:
            sys.stderr.close()
            sys.stderr = python_stderr
        os.dup2(saved, 2)  # the pipe's last writer goes: the listener reads to its end
        listener.join()
        os.close(saved)


def _on_descriptor_2(stream: object) -> bool:
    try:
        return stream.fileno() == 2  # type: ignore[attr-defined, no-any-return]
    except (AttributeError, OSError, ValueError):
        return False


def _listen(reading: int, passed_on: int, heard: Heard) -> None:
    rest = b""
    with open(reading, "rb", buffering=0) as pipe:
        while chunk := pipe.read(4096):
            *lines, rest = (rest + chunk).split(b"\n")
            for line in lines:
                _sort(line + b"\n", passed_on, heard)
    if rest:
        _sort(rest, passed_on, heard)


def _sort(line: bytes, passed_on: int, heard: Heard) -> None:
    found = _DECODER_LINE.match(line.decode(errors="replace").strip())
    if found is not None:
        heard.messages.append(found.group(1).strip())
        return
    with suppress(OSError):
        os.write(passed_on, line)
