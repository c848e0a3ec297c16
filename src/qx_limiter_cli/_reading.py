"""An input read a chunk at a time into buffers that the caller recycles,
up to the frames its header promises, and what it turned out to hold."""

from __future__ import annotations

from collections.abc import Callable, Generator
from pathlib import Path
from typing import TYPE_CHECKING, Protocol

import numpy as np
import numpy.typing as npt
import soundfile as sf

from ._formats import TEXT_FIELDS, AudioError, Shortfall, libsndfile_name, libsndfile_reason
from ._layout import from_stored, stored_order
from ._pcm import Unpacker, width

if TYPE_CHECKING:
    from ._media import MediaSource

Samples = npt.NDArray[np.float32]


class Reader(Protocol):
    """What the pipeline reads an input through: libsndfile's InputReader,
    or PyAV's MediaReader for what libsndfile does not read."""

    text: dict[str, str]
    promised: int
    channels: int
    sample_rate: int
    held: int

    def chunks(
        self, frames: int, next_buffer: Callable[[], Samples]
    ) -> Generator[Samples, None, None]: ...

    def close(self) -> None: ...

    def shortfall(self) -> Shortfall | None: ...


def open_input(
    path: Path, media: MediaSource | None = None, sample_rate: int | None = None
) -> Reader:
    """The input opened by the reader that handles it, resampled where
    `sample_rate` is another rate than its own."""
    reader: Reader
    if media is None:
        reader = InputReader(path)
    else:
        from ._media import MediaReader

        reader = MediaReader(path, media)
    if sample_rate is None or sample_rate == reader.sample_rate:
        return reader
    from ._resampling import ResamplingReader

    return ResamplingReader(reader, sample_rate)


# Where a decoder gives up, libsndfile drops the whole block it was asked for
# and cannot go on; blocks of these sizes, from a fresh handle, recover the
# frames decoded before that point.
_RECOVERY_BLOCKS = (4096, 256, 16)

# Plain interleaved samples are read as bytes through soundfile's own
# bindings of libsndfile (sf_read_raw), where they have them.
_RAW_READS = hasattr(getattr(sf, "_snd", None), "sf_read_raw") and hasattr(sf, "_ffi")


class InputReader:
    """One input, opened at once (so that a file that cannot be opened fails
    before anything is written) and read by chunks()."""

    def __init__(self, path: Path) -> None:
        self._path = path
        try:
            source = sf.SoundFile(libsndfile_name(path))
        except (sf.SoundFileError, RuntimeError) as error:
            raise AudioError(f"cannot read it as audio ({libsndfile_reason(error)})") from None
        self._source: sf.SoundFile | None = source
        texts = {name: str(getattr(source, name)) for name in TEXT_FIELDS}
        self.text = {name: value for name, value in texts.items() if value}
        self.promised = int(source.frames)
        self.channels = int(source.channels)
        self.sample_rate = int(source.samplerate)
        self.held = 0
        self._failure: str | None = None
        file_format, subtype = str(source.format), str(source.subtype)
        self._unpacker = (
            Unpacker(file_format, subtype) if _RAW_READS and width(file_format, subtype) else None
        )
        self._order = stored_order(file_format, subtype, self.channels)

    def close(self) -> None:
        if self._source is not None:
            self._source.close()
            self._source = None

    def chunks(
        self, frames: int, next_buffer: Callable[[], Samples]
    ) -> Generator[Samples, None, None]:
        """The frames the file holds, up to `frames` of them, in views of
        buffers from `next_buffer` (frames-first, float32). A view is only
        valid until the next buffer is asked for. A decoder that gives up
        part of the way ends the chunks; shortfall() then says why."""
        block = 0  # 0: whole buffers; after a decoder failed, smaller blocks
        buffer: Samples | None = None
        try:
            while self.held < frames and self._source is not None:
                if buffer is None:
                    buffer = next_buffer()
                size = min(block or buffer.shape[0], buffer.shape[0], frames - self.held)
                try:
                    count = self._read(buffer[:size])
                except (sf.SoundFileError, RuntimeError) as error:
                    self._failure = libsndfile_reason(error)
                    block = self._reopen(block or buffer.shape[0])
                    continue
                if count == 0:
                    if block:
                        self._failure = None  # the smaller blocks read to the end
                    break
                self.held += count
                if block and self.held >= frames:
                    self._failure = None
                chunk, buffer = buffer[:count], None
                from_stored(chunk, self._order)
                yield chunk
        finally:
            self.close()

    def _read(self, out: Samples) -> int:
        assert self._source is not None
        if self._unpacker is None:
            return int(self._source.read(out=out, dtype="float32", always_2d=True).shape[0])
        # Plain interleaved samples: the bytes in one piece, converted here.
        space = self._unpacker.space(out.size)
        handle = self._source._file
        got = int(sf._snd.sf_read_raw(handle, sf._ffi.from_buffer(space), space.nbytes))  # type: ignore[attr-defined]
        if got < 0 or (got < space.nbytes and sf._snd.sf_error(handle)):
            reason = sf._ffi.string(sf._snd.sf_strerror(handle))  # type: ignore[attr-defined]
            raise RuntimeError(reason.decode(errors="replace"))
        count = got // (self._unpacker.width * self.channels)
        self._unpacker.to_float(count * self.channels, out)
        return count

    def _reopen(self, block: int) -> int:
        """A fresh handle at the frame where the last good block ended, and
        the next smaller block size; none when there is none left."""
        self.close()
        smaller = [size for size in _RECOVERY_BLOCKS if size < block]
        if not smaller:
            return block
        try:
            self._source = sf.SoundFile(libsndfile_name(self._path))
            self._source.seek(self.held)
        except (sf.SoundFileError, RuntimeError):
            self.close()
        return smaller[0]

    def shortfall(self) -> Shortfall | None:
        """What the header promised beyond the frames that could be read."""
        if self.held >= self.promised:
            return None
        reason = f": {self._failure}" if self._failure else ""
        return Shortfall(
            self.promised / self.sample_rate,
            self.held / self.sample_rate,
            f"{self.promised} frames promised, {self.held} can be read{reason}",
        )
