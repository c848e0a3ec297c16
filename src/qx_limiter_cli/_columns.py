"""What the figure of a file shows, gathered while the file streams past:
for each column of pixels, the smallest and largest sample of the input and
of the output and the deepest and shallowest gain of the frames under it.

The columns are placed from the frame count in the header, before the first
frame is read, exactly where a figure of the whole file would put them.
Imports no matplotlib.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

WIDTH_INCHES, HEIGHT_INCHES, DPI = 10.0, 5.6, 100
# The figure's margins, as fractions of its width: the plotting area between
# them has one column of pixels per column here.
LEFT, RIGHT = 0.08, 0.98
COLUMNS = max(1, round((RIGHT - LEFT) * WIDTH_INCHES * DPI))

Floats = npt.NDArray[np.float32]


class Columns:
    """Per-column extremes of a file of `frames` frames, for chunks added in
    order of their first frame (any sizes)."""

    def __init__(self, frames: int, columns: int = COLUMNS) -> None:
        self.frames = frames
        count = min(frames, columns)
        self.starts = np.arange(count, dtype=np.int64) * frames // max(count, 1)
        self.input_low, self.input_high = _extremes(count)
        self.output_low, self.output_high = _extremes(count)
        self.gain_low, self.gain_high = _extremes(count)

    def times(self, sample_rate: int) -> npt.NDArray[np.float64]:
        """The middle of each column, in seconds."""
        ends = np.append(self.starts[1:], self.frames)
        return np.asarray((self.starts + ends) / (2.0 * sample_rate), dtype=np.float64)

    def add_input(self, first: int, audio: Floats) -> None:
        """(frames, channels) input samples from frame `first` on."""
        _gather(self.starts, first, audio, self.input_low, self.input_high)

    def add_output(self, first: int, audio: Floats, gains: Floats) -> None:
        """(frames, channels) limited samples from frame `first` on, and
        their gains."""
        _gather(self.starts, first, audio, self.output_low, self.output_high)
        _gather(self.starts, first, gains, self.gain_low, self.gain_high)


def _extremes(count: int) -> tuple[Floats, Floats]:
    return (np.full(count, np.inf, dtype=np.float32), np.full(count, -np.inf, dtype=np.float32))


def _gather(
    starts: npt.NDArray[np.int64], first: int, values: Floats, low: Floats, high: Floats
) -> None:
    frames = values.shape[0]
    if frames == 0 or starts.size == 0:
        return
    # The columns this chunk reaches into, and where each begins in it.
    since = int(np.searchsorted(starts, first, side="right")) - 1
    until = int(np.searchsorted(starts, first + frames - 1, side="right"))
    begins = np.maximum(starts[since:until] - first, 0)
    # Every channel of every frame of a column counts: in frames-first
    # memory, a column's frames are one run of samples.
    width = values.shape[1] if values.ndim == 2 else 1
    flat = np.ascontiguousarray(values).reshape(-1)
    offsets = (begins * width).astype(np.intp)
    np.minimum(low[since:until], np.minimum.reduceat(flat, offsets), out=low[since:until])
    np.maximum(high[since:until], np.maximum.reduceat(flat, offsets), out=high[since:until])
