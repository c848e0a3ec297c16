"""An input read at another rate (--sample-rate): python-soxr's streaming
resampler, at its very high quality, between the reader and the limiter,
so that the limiter and the meter work at the output's rate and the
ceiling holds there (a ceiling held at 44.1 kHz is not one at 48 kHz: the
resampler's own overshoot would come after it)."""

from __future__ import annotations

from collections.abc import Callable, Generator

import numpy as np
import numpy.typing as npt

from ._formats import AudioError, Shortfall
from ._reading import Reader

Samples = npt.NDArray[np.float32]


class ResamplingReader:
    """`reader`'s audio at `rate`, with the Reader's interface; the frames
    it promises are the input's, scaled, an estimate: chunks run to the
    end of the input."""

    def __init__(self, reader: Reader, rate: int) -> None:
        try:
            import soxr
        except ImportError:
            from ._options import EXTRA_HINT

            raise AudioError(f"--sample-rate needs python-soxr; {EXTRA_HINT}") from None

        self._reader = reader
        self._from = reader.sample_rate
        self.sample_rate = rate
        self.channels = reader.channels
        self.text = reader.text
        self.promised = round(reader.promised * rate / reader.sample_rate)
        self.held = 0
        self._stream = soxr.ResampleStream(
            self._from, rate, self.channels, dtype="float32", quality="VHQ"
        )
        frames = max(1, min(1 << 16, (1 << 17) // max(1, self.channels)))
        self._scratch = [np.empty((frames, self.channels), dtype=np.float32)]

    def close(self) -> None:
        self._reader.close()

    def shortfall(self) -> Shortfall | None:
        return self._reader.shortfall()

    def chunks(
        self, frames: int, next_buffer: Callable[[], Samples]
    ) -> Generator[Samples, None, None]:
        limit = frames if frames < self.promised else None
        scratch = self._scratch[0]  # the resampler copies what it keeps: one buffer serves
        buffer, filled = next_buffer(), 0
        source = self._reader.chunks(self._reader.promised, lambda: scratch)
        try:
            ending = np.empty((0, self.channels), dtype=np.float32)
            for last, chunk in _chunks_then_end(source, ending):
                out = self._stream.resample_chunk(chunk, last=last)
                at = 0
                while at < out.shape[0]:
                    take = min(out.shape[0] - at, buffer.shape[0] - filled)
                    if limit is not None:
                        take = min(take, limit - self.held - filled)
                    buffer[filled : filled + take] = out[at : at + take]
                    filled += take
                    at += take
                    if limit is not None and self.held + filled >= limit:
                        break
                    if filled == buffer.shape[0]:
                        self.held += filled
                        yield buffer
                        buffer, filled = next_buffer(), 0
                if limit is not None and self.held + filled >= limit:
                    break
            if filled:
                self.held += filled
                yield buffer[:filled]
        finally:
            source.close()
            self.close()


def _chunks_then_end(
    chunks: Generator[Samples, None, None], ending: Samples
) -> Generator[tuple[bool, Samples], None, None]:
    """Each chunk, then the empty one that flushes what the resampler holds
    back."""
    for chunk in chunks:
        yield False, chunk
    yield True, ending
