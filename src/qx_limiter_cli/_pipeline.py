"""One file through the limiter, a chunk at a time, in bounded memory.

Three threads share the work (see _stages): a reader decodes chunks into a
ring of buffers and measures them, the file's own thread limits each chunk
and gathers its gains, and a writer quantises the limited samples and
encodes them into the temporary output. What the report and the figure need
is gathered on the way. Bounded queues join the threads, so at most a few
chunks are in memory at once; the limiter, libsndfile and NumPy release the
interpreter lock, so the three run on separate cores. A failure or a stop in
any of them stops all three, and the temporary files are removed.
"""

from __future__ import annotations

import itertools
import re
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import ExitStack, closing, contextmanager

import numpy as np
import numpy.typing as npt

from . import _stopping
from ._columns import Columns
from ._formats import STORED_EXACTLY, AudioError
from ._options import REDUCED_DB
from ._planning import Job, refusal
from ._quantise import Quantiser, peak
from ._reading import InputReader
from ._reporting import Failure, Outcome, Report, dbfs, reduction_db
from ._stages import QUEUE_DEPTH, Pipe, Stage, run_beside
from ._writing import Encoder, file_peak, replacing

Samples = npt.NDArray[np.float32]

# Frames per chunk: large enough that the cost of each call (Python, the
# queues, libsndfile's set-up) vanishes, small enough that a chunk stays in
# the processor's caches between reading, limiting and quantising. Tests
# set it smaller, to stream short files in many chunks.
CHUNK_FRAMES = 1 << 16

# A frame counts as reduced when its gain is more than REDUCED_DB below 1.
_REDUCED_GAIN = np.float32(10.0 ** (-REDUCED_DB / 20.0))


def limit_file(job: Job) -> Outcome:
    """Limits one file; a problem the user can fix comes back as a Failure."""
    started = time.perf_counter()
    try:
        _stopping.check()
        tally, peak_after, warnings = _limit(job)
    except AudioError as error:
        return Failure(job, str(error))
    except OSError as error:  # the figure's temporary file; the rest are AudioErrors
        return Failure(job, f"cannot write the figure {job.plot} ({error.strerror or error})")
    return Report(job, tally.input_peak, peak_after, tally.deepest, tally.reduced_share(),
                  time.perf_counter() - started, warnings)


class _Tally:
    """What the report needs, gathered chunk by chunk."""

    def __init__(self) -> None:
        self.input_peak = 0.0
        self.deepest = 1.0
        self.reduced = 0
        self.frames = 0

    def add_gains(self, gains: Samples) -> None:
        if gains.size:
            self.deepest = min(self.deepest, float(gains.min()))
            self.reduced += int(np.count_nonzero(gains < _REDUCED_GAIN))
            self.frames += gains.size

    def reduced_share(self) -> float:
        return self.reduced / self.frames if self.frames else 0.0


def _limit(job: Job) -> tuple[_Tally, float, tuple[str, ...]]:
    """Streams the file into its output (and figure); returns the tally, the
    peak of the samples the output holds and the warnings."""
    reader = InputReader(job.source)
    with ExitStack() as files, closing(reader):
        # The figure is renamed into place only once the audio is.
        picture = files.enter_context(replacing(job.plot)) if job.plot is not None else None
        # Creating, completing or renaming the audio's temporary file.
        files.enter_context(_reported_as(f"cannot write {job.target}"))
        temporary = files.enter_context(replacing(job.target))

        def encoder() -> Encoder:
            return Encoder(temporary, job.target, job.sample_rate, reader.channels, job.output,
                           reader.text)

        columns = Columns(reader.promised) if picture is not None else None
        quantiser = Quantiser(job.output.subtype, job.ceiling)
        tally = _Tally()
        _stream(job, reader, encoder, quantiser, tally, columns)

        warnings: tuple[str, ...] = ()
        shortfall = job.shortfall or reader.shortfall()
        if shortfall is not None:
            if not job.allow_truncated:
                raise AudioError(refusal(shortfall))
            warnings = (f"{shortfall.describe()}; limited what it holds",)
        if job.output.subtype in STORED_EXACTLY:
            peak_after = quantiser.peak
        else:
            peak_after = file_peak(temporary, job.target)
        if picture is not None and columns is not None:
            from ._plot import write_plot

            if columns.frames != reader.held:
                # A decoder gave up early: the columns were placed for the
                # length the header promised, the figure shows what was held.
                columns = _columns_of(job, reader.held)
            with _reported_as(f"cannot write the figure {job.plot}"):
                write_plot(picture, _title(job, tally.input_peak, tally.deepest),
                           job.sample_rate, columns, tally.input_peak,
                           job.settings.threshold_dBFS, job.ceiling)
        _stopping.check()
    return tally, peak_after, warnings


@contextmanager
def _reported_as(what: str) -> Iterator[None]:
    """The system's error, as the failure of one file: what failed and why."""
    try:
        yield
    except OSError as error:
        raise AudioError(f"{what} ({error.strerror or error})") from None


def _stream(job: Job, reader: InputReader, encoder: Callable[[], Encoder],
            quantiser: Quantiser, tally: _Tally, columns: Columns | None) -> None:
    """Runs the three stages. The work is shared out so that each has about
    as much to do: the reader also measures the input, the writer also
    quantises and packs the samples."""
    stop = threading.Event()
    decoded: Pipe[Samples] = Pipe(stop)
    limited: Pipe[Samples] = Pipe(stop)
    # As many buffers as chunks can be queued, in the limiter's hands and
    # being read: the reader never refills one that is still in use.
    ring = itertools.cycle([np.empty((CHUNK_FRAMES, reader.channels), dtype=np.float32)
                            for _ in range(QUEUE_DEPTH + 2)])

    def read() -> None:
        first = 0
        with closing(reader.chunks(reader.promised, ring.__next__)) as chunks:
            for chunk in chunks:
                tally.input_peak = max(tally.input_peak, peak(chunk))
                if columns is not None:
                    columns.add_input(first, chunk)
                first += chunk.shape[0]
                decoded.put(chunk)
        decoded.put(None)

    def write() -> None:
        # Opened here, not in the file's own thread: that may be the main
        # thread, where a signal raises at any point, and an exception
        # raised in libsndfile's callbacks into Python would be lost.
        output = encoder()
        try:
            while (audio := limited.get()) is not None:
                output.write(quantiser(audio))
            output.finish()
        finally:
            output.abandon()

    stages = [Stage(read, stop, "qx-limiter reader"), Stage(write, stop, "qx-limiter writer")]
    run_beside(lambda: _limit_chunks(job, decoded, limited, tally, columns), stages, stop)


def _limit_chunks(job: Job, decoded: Pipe[Samples], limited: Pipe[Samples], tally: _Tally,
                  columns: Columns | None) -> None:
    limiter = job.limiter()
    written = 0

    def emit(audio: Samples, gains: Samples) -> None:
        nonlocal written
        tally.add_gains(gains)
        if columns is not None:
            columns.add_output(written, audio, gains)
        written += gains.shape[0]
        if gains.size:
            limited.put(audio)

    while (chunk := decoded.get()) is not None:
        try:
            # Frames-first, as soundfile reads them: no transposed copy.
            emit(*limiter.process(chunk, axis=0))
        except ValueError as error:
            raise AudioError(_locate(str(error), job.sample_rate)) from None
    emit(*limiter.flush())
    limited.put(None)


def _columns_of(job: Job, frames: int) -> Columns:
    """The figure's columns for the first `frames` frames of the input,
    gathered in a second pass over it."""
    columns = Columns(frames)
    limiter = job.limiter()
    reader = InputReader(job.source)
    buffer = np.empty((CHUNK_FRAMES, reader.channels), dtype=np.float32)
    written = 0
    with closing(reader):
        for chunk in reader.chunks(frames, lambda: buffer):
            columns.add_input(reader.held - chunk.shape[0], chunk)
            audio, gains = limiter.process(chunk, axis=0)
            columns.add_output(written, audio, gains)
            written += gains.shape[0]
            _stopping.check()
    audio, gains = limiter.flush()
    columns.add_output(written, audio, gains)
    return columns


def _title(job: Job, peak_before: float, deepest: float) -> str:
    mode = "true peak" if job.settings.true_peak else "sample peak"
    return (f"{job.source.name}: ceiling {job.settings.threshold_dBFS:+.2f} dBFS ({mode}), "
            f"input peak {dbfs(peak_before)} dBFS, gain reduction up to "
            f"{reduction_db(deepest):.2f} dB")


_BAD_SAMPLE = re.compile(r"input sample at frame (\d+), channel (\d+)")


def _locate(message: str, sample_rate: int) -> str:
    """Adds the time to the limiter's frame; frame and channel are counted
    from 0, from the start of the file, so that they index the file as read
    (audio[frame, channel])."""
    found = _BAD_SAMPLE.search(message)
    if found is None:
        return message
    frame = int(found.group(1))
    where = f"sample at frame {frame} ({frame / sample_rate:.3f} s), channel {found.group(2)}"
    return message[:found.start()] + where + message[found.end():]
