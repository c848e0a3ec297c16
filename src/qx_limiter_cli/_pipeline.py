"""One pass over a file, a chunk at a time, in bounded memory.

Three threads share a limiting pass (see _stages): a reader decodes chunks
into a ring of buffers and measures them, the file's own thread applies the
pass's gain and limits each chunk, and the writer meters the limiter's
output (what master measures), quantises it, meters it as the file will
hold it and encodes it into the temporary output. What the report and the
figure need is gathered on the way. Bounded queues join the threads, so at
most a few chunks are in memory at once; the limiter, the meter, libsndfile
and NumPy release the interpreter lock, so the three run on separate cores.
A failure or a stop in any of them stops all three.

A measuring pass (the input before its first limiting pass, or a written
file decoded again) reads in one thread and meters in the other.
"""

from __future__ import annotations

import itertools
import threading
from collections.abc import Callable
from contextlib import closing
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from qx_limiter_tools import Measurement, Meter, PassSettings, SampleError, gain_factor

from . import _stopping
from ._columns import Columns
from ._dither import Dither
from ._formats import PCM_BITS, STORED_EXACTLY, AudioError, Shortfall
from ._options import REDUCED_DB
from ._planning import Job
from ._quantise import Quantiser, peak
from ._reading import Reader, open_input
from ._stages import QUEUE_DEPTH, Pipe, Stage, run_beside
from ._writing import Encoder

if TYPE_CHECKING:
    from ._media import MediaEncoder, MediaSource

Samples = npt.NDArray[np.float32]

# Frames per chunk: large enough that the cost of each call (Python, the
# queues, libsndfile's set-up) vanishes, small enough that a chunk stays in
# the processor's caches between reading, limiting and quantising. Tests
# set it smaller, to stream short files in many chunks.
CHUNK_FRAMES = 1 << 16


def chunk_frames(channels: int) -> int:
    """Frames per chunk for this many channels: CHUNK_FRAMES up to stereo,
    fewer beyond, so that a chunk's bytes (and the ring's) stay as they are
    for stereo whatever the channel count (a file may have 1024)."""
    return max(1, min(CHUNK_FRAMES, 2 * CHUNK_FRAMES // max(1, channels)))


# A frame counts as reduced when its gain is more than REDUCED_DB below 1.
_REDUCED_GAIN = np.float32(10.0 ** (-REDUCED_DB / 20.0))


class Tally:
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


@dataclass
class Passed:
    """What a limiting pass gathered: the meter's readings of the limiter's
    output (what master measures), of the samples the file holds where they
    differ and are known without decoding (integer subtypes), and of the
    input where it was measured on the way."""

    settings: PassSettings
    tally: Tally
    columns: Columns | None
    channels: int
    held: int
    shortfall: Shortfall | None
    stored_peak: float
    input: Measurement | None = None
    output: Measurement | None = None
    written: Measurement | None = None
    # The sub-block powers of what was written, where it was metered.
    written_powers: npt.NDArray[np.float64] | None = None
    # What the platform's codec (--verify-codec) decodes from the output.
    trial: Measurement | None = None
    # A lossy output written through PyAV, decoded again as it was encoded:
    # its largest sample and the meter's reading (where measured).
    decoded_peak: float | None = None
    decoded: Measurement | None = None


def limiting_pass(
    job: Job,
    settings: PassSettings,
    temporary: Path,
    *,
    meter_input: bool,
    meter_output: bool,
    meter_written: bool,
    plot: bool,
) -> Passed:
    """Streams the input through the limiter and writes the output into
    `temporary` (new and empty). Meters, as asked, the input, the limiter's
    output, and the samples the file holds where they are known without
    decoding (integer subtypes as rounded; float subtypes hold the
    limiter's output as it is)."""
    reader = open_input(job.source, job.media, job.sample_rate)
    with closing(reader):
        channels = reader.channels
        quantised = job.output.subtype in PCM_BITS
        exact = job.output.subtype in STORED_EXACTLY
        wanted = (
            meter_input,
            meter_output or (meter_written and exact and not quantised),
            meter_written and quantised,
        )
        meters = [
            Meter(job.sample_rate, channels, dual_mono=job.settings.dual_mono) if want else None
            for want in wanted
        ]
        quantiser = Quantiser(
            job.output.subtype,
            job.ceiling,
            Dither(job.dither) if job.dither is not None else None,
            as_read=meters[2] is not None,
        )
        columns = Columns(reader.promised) if plot else None
        tally = Tally()

        made: list[MediaEncoder] = []
        decoded_meter = (
            Meter(job.sample_rate, channels)
            if job.measured and job.output.media is not None
            else None
        )

        def encoder() -> Encoder | MediaEncoder:
            media = job.output.media
            if media is not None:
                from ._media import MediaEncoder, first_sample_seconds

                start = (
                    first_sample_seconds(job.source, job.media)
                    if media.remux_stream is not None and job.media is not None
                    else 0.0
                )
                made.append(
                    MediaEncoder(
                        temporary,
                        job.target,
                        job.sample_rate,
                        channels,
                        media,
                        PCM_BITS.get(job.output.subtype),
                        job.source if job.media is not None else None,
                        start,
                        decoded_meter,
                    )
                )
                return made[-1]
            # Where the input's own chunks are carried, its text is in them.
            text = reader.text if job.front is None or not job.front.metadata.chunks else {}
            return Encoder(
                temporary, job.target, job.sample_rate, channels, job.output, text, job.front
            )

        trial_meter = Meter(job.sample_rate, channels) if job.trial_codec is not None else None
        _stream(job, settings, reader, encoder, quantiser, tally, columns, meters, trial_meter)
        passed = Passed(
            settings,
            tally,
            columns,
            channels,
            reader.held,
            job.shortfall or reader.shortfall(),
            quantiser.peak,
        )
    readings = [meter.result() if meter is not None else None for meter in meters]
    passed.input, passed.output, passed.written = readings
    held = meters[2] if meters[2] is not None else meters[1]
    if meter_written and held is not None:
        passed.written_powers = held.powers()
    if trial_meter is not None:
        passed.trial = trial_meter.result()
    verifier = made[0].verifier if made else None
    if verifier is not None:
        passed.decoded_peak = verifier.largest
        passed.decoded = decoded_meter.result() if decoded_meter is not None else None
    if meter_written and exact and not quantised:
        passed.written = passed.output  # float samples are stored as they are
    if not meter_output:
        passed.output = None
    return passed


def _stream(
    job: Job,
    settings: PassSettings,
    reader: Reader,
    encoder: Callable[[], Encoder | MediaEncoder],
    quantiser: Quantiser,
    tally: Tally,
    columns: Columns | None,
    meters: list[Meter | None],
    trial_meter: Meter | None = None,
) -> None:
    """Runs the three stages: the reader also measures the input; the last
    stage meters the limited samples, quantises them, meters them as the
    file will hold them and encodes them."""
    input_meter, output_meter, written_meter = meters
    stop = threading.Event()
    decoded: Pipe[Samples] = Pipe(stop)
    limited: Pipe[Samples] = Pipe(stop)
    ring = _ring(reader.channels)

    def read() -> None:
        first = 0
        with closing(reader.chunks(reader.promised, ring.__next__)) as chunks:
            for chunk in chunks:
                tally.input_peak = max(tally.input_peak, peak(chunk))
                if columns is not None:
                    columns.add_input(first, chunk)
                if input_meter is not None:
                    _metered(input_meter, chunk, job.sample_rate)
                first += chunk.shape[0]
                decoded.put(chunk)
        decoded.put(None)

    def write() -> None:
        # Opened here, not in the file's own thread: that may be the main
        # thread, and libsndfile's callbacks into Python are best kept off it.
        output = encoder()
        trial = None
        if trial_meter is not None and job.trial_codec is not None:
            from ._media import CodecTrial, layout_for

            trial = CodecTrial(
                *job.trial_codec,
                job.sample_rate,
                reader.channels,
                layout_for(reader.channels, job.front.mask if job.front is not None else None),
                trial_meter,
            )
        try:
            while (audio := limited.get()) is not None:
                if output_meter is not None:
                    output_meter.add(audio, axis=0)
                stored = quantiser(audio)
                if written_meter is not None:
                    written_meter.add(audio, axis=0)  # left as the file will read
                if trial is not None:
                    trial.add(audio)  # as the file will read, where it is measured
                output.write(stored)
            output.finish()
            if trial is not None:
                trial.finish()
        finally:
            output.abandon()

    stages = [Stage(read, stop, "qx-limiter reader"), Stage(write, stop, "qx-limiter writer")]
    run_beside(lambda: _limit_chunks(job, settings, decoded, limited, tally, columns), stages, stop)


def _ring(channels: int) -> itertools.cycle[Samples]:
    # As many buffers as chunks can be queued, in the next stage's hands and
    # being read: the reader never refills one that is still in use.
    return itertools.cycle(
        [
            np.empty((chunk_frames(channels), channels), dtype=np.float32)
            for _ in range(QUEUE_DEPTH + 2)
        ]
    )


def _limit_chunks(
    job: Job,
    settings: PassSettings,
    decoded: Pipe[Samples],
    limited: Pipe[Samples],
    tally: Tally,
    columns: Columns | None,
) -> None:
    limiter = job.limiter(settings.threshold_dBFS, settings.detection)
    gain = gain_factor(settings.gain_db) if settings.gain_db != 0.0 else None
    trim = gain_factor(settings.trim_db) if settings.trim_db != 0.0 else None
    written = 0

    def emit(audio: Samples, gains: Samples) -> None:
        nonlocal written
        if not gains.size:
            return  # (a limiter that saw no frame flushes an array of no channels)
        if trim is not None:
            np.multiply(audio, trim, out=audio)
            np.multiply(gains, trim, out=gains)  # the trim reduces the gain too
        tally.add_gains(gains)
        if columns is not None:
            columns.add_output(written, audio, gains)
        written += gains.shape[0]
        limited.put(audio)

    while (chunk := decoded.get()) is not None:
        if gain is not None:
            # The reader is done with the chunk: the gain goes in place.
            np.multiply(chunk, gain, out=chunk)
        try:
            # Frames-first, as soundfile reads them: no transposed copy.
            emit(*limiter.process(chunk, axis=0))
        except SampleError as error:
            raise AudioError(_located(error, job.sample_rate)) from None
        except ValueError as error:
            raise AudioError(str(error)) from None
    emit(*limiter.flush())
    limited.put(None)


def measuring_pass(
    path: Path,
    sample_rate: int,
    meter: Meter | None = None,
    frames: int | None = None,
    on_chunk: Callable[[int, Samples], None] | None = None,
    media: MediaSource | None = None,
) -> tuple[Measurement, Reader]:
    """The meter's reading of a file (an input, or an output decoded again),
    up to `frames` frames (all it holds by default), by `meter` where given
    (one that also keeps a profile, say); `on_chunk` sees each chunk and its
    first frame in the reading thread. Returns the reader, closed, for what
    it held."""
    reader = open_input(path, media, sample_rate)
    with closing(reader):
        if meter is None:
            meter = Meter(sample_rate, reader.channels)
        stop = threading.Event()
        decoded: Pipe[Samples] = Pipe(stop)
        ring = _ring(reader.channels)
        limit = reader.promised if frames is None else frames

        def read() -> None:
            first = 0
            with closing(reader.chunks(limit, ring.__next__)) as chunks:
                for chunk in chunks:
                    if on_chunk is not None:
                        on_chunk(first, chunk)
                    first += chunk.shape[0]
                    decoded.put(chunk)
            decoded.put(None)

        def measure() -> None:
            assert meter is not None
            while (chunk := decoded.get()) is not None:
                _metered(meter, chunk, sample_rate)

        run_beside(measure, [Stage(read, stop, "qx-limiter reader")], stop)
    return meter.result(), reader


def _metered(meter: Meter, chunk: Samples, sample_rate: int) -> None:
    try:
        meter.add(chunk, axis=0)
    except SampleError as error:  # located as the limiter locates it
        raise AudioError(_located(error, sample_rate)) from None


def columns_of(job: Job, settings: PassSettings, frames: int) -> Columns:
    """The figure's columns for the first `frames` frames of the input,
    gathered in another pass over it (a decoder gave up early, and the
    columns were placed for the length the header promised)."""
    columns = Columns(frames)
    limiter = job.limiter(settings.threshold_dBFS, settings.detection)
    gain, trim = gain_factor(settings.gain_db), gain_factor(settings.trim_db)
    reader = open_input(job.source, job.media, job.sample_rate)
    buffer = np.empty((chunk_frames(reader.channels), reader.channels), dtype=np.float32)
    written = 0
    with closing(reader):
        for chunk in reader.chunks(frames, lambda: buffer):
            columns.add_input(reader.held - chunk.shape[0], chunk)
            audio, gains = limiter.process(np.multiply(chunk, gain), axis=0)
            columns.add_output(written, audio * trim, gains * trim)
            written += gains.shape[0]
            _stopping.check()
    audio, gains = limiter.flush()
    columns.add_output(written, audio * trim, gains * trim)
    return columns


def _located(error: SampleError, sample_rate: int) -> str:
    """A bad sample as the line names it: its frame and channel counted from
    0, from the start of the file, so that they index the file as read
    (audio[frame, channel]), and its time."""
    return (
        f"sample at frame {error.frame} ({error.frame / sample_rate:.3f} s), channel "
        f"{error.channel} {error.reason}"
    )
