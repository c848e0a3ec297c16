"""The limiter's samples as an output stores them, a chunk at a time.

Integer subtypes are rounded here, not by libsndfile, and every step is kept
at or inside the ceiling, so that the written file, read back, never exceeds
it. Each sample is rounded on its own (after its own dither, where there is
dither), so the file is the same whatever the chunks were.
"""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

from ._dither import Dither
from ._formats import PCM_BITS

Samples = npt.NDArray[np.float32]
Stored = npt.NDArray[np.int32] | Samples


class Quantiser:
    """Turns chunks of limited samples into what libsndfile is handed, and
    keeps the peak of the samples the file stores.

    With `dither`, integer samples that need rounding get it (in steps of
    the subtype) before they are rounded, and are still kept inside the
    ceiling. With
    `as_read`, each call also leaves in `audio` the values that the file,
    read back as float32, gives, for the meter of what was written.
    """

    def __init__(
        self, subtype: str, ceiling: float, dither: Dither | None = None, as_read: bool = False
    ) -> None:
        self._bits = PCM_BITS.get(subtype)
        self._dither = dither if self._bits is not None else None
        self._as_read = as_read
        # The largest magnitude stored so far, in steps of the subtype (1.0
        # for float subtypes).
        self._peak_steps = 0.0
        self._scale = 1.0
        self._stored: npt.NDArray[np.int32] = np.empty(0, dtype=np.int32)
        if self._bits is None:
            return
        self._scale = 2.0 ** (self._bits - 1)
        steps = math.floor(ceiling * self._scale)
        self._top = _float32_at_most(min(steps, self._scale - 1))
        self._bottom = -_float32_at_most(min(steps, self._scale))
        self._factor = np.float32(self._scale)
        # libsndfile takes 32-bit integers left-justified and shifts them down
        # to the file's width without rounding, so these values arrive unchanged.
        self._shift = 32 - self._bits

    @property
    def peak(self) -> float:
        """The largest magnitude stored so far, as a linear value."""
        return self._peak_steps / self._scale

    def __call__(self, audio: Samples) -> Stored:
        """The samples as they will be stored; `audio` is overwritten. For
        integer subtypes, the result is valid until the next call."""
        if audio.size == 0:
            return audio
        if self._bits is None:
            self._peak_steps = max(self._peak_steps, peak(audio))
            return audio
        np.multiply(audio, self._factor, out=audio)
        if self._dither is not None:
            # Samples already on the output's grid (those the limiter left
            # as a file of this width gave them) need no rounding, and keep
            # their value: a file passes through unchanged where nothing
            # was done to it.
            noise = self._dither.next(audio.size).reshape(audio.shape)
            np.add(audio, noise, out=audio, where=np.rint(audio) != audio)
        # Clipping before rounding gives what rounding first would: the
        # bounds are whole numbers, and rounding never crosses one.
        np.clip(audio, self._bottom, self._top, out=audio)
        # Rounding is monotonic, so the rounded extremes are the extremes of
        # the rounded samples.
        highest, lowest = float(np.rint(audio.max())), float(np.rint(audio.min()))
        self._peak_steps = max(self._peak_steps, highest, -lowest)
        if self._stored.size < audio.size:
            self._stored = np.empty(audio.size, dtype=np.int32)
        stored = self._stored[: audio.size].reshape(audio.shape)
        np.rint(audio, out=stored, casting="unsafe")
        if self._shift:
            np.left_shift(stored, self._shift, out=stored)
        if self._as_read:
            # The stored integers over 2 ** (bits - 1), as libsndfile reads
            # them: exact in float32, the scale being a power of two.
            np.rint(audio, out=audio)
            np.multiply(audio, np.float32(1.0 / self._scale), out=audio)
        return stored


def peak(audio: Samples) -> float:
    """The largest sample magnitude, as a linear value."""
    if audio.size == 0:
        return 0.0
    return float(max(audio.max(), -audio.min()))


def _float32_at_most(value: float) -> np.float32:
    """The largest float32 that is not above `value` (which is an integer
    that float32 may not hold, such as 2**31 - 1)."""
    rounded = np.float32(value)
    if float(rounded) > value:
        rounded = np.nextafter(rounded, np.float32(0.0))
    return rounded
