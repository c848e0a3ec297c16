"""TPDF dither for integer outputs of 16 bits or fewer, where rounding alone
leaves distortion that follows the signal.

The dither of a sample depends only on a key and on the sample's place in
the file (frame × channels + channel), never on how the file was cut into
chunks: Philox, a counter-based generator, yields the same words for the
same counter wherever a chunk starts. The key comes from the output's name
and the run's settings, so the same command writes the same file.
"""

from __future__ import annotations

import hashlib
import sys

import numpy as np
import numpy.typing as npt

Floats = npt.NDArray[np.float32]

# Philox turns each step of its counter into four 64-bit words; one word
# gives one sample its two uniform values.
_WORDS_PER_STEP = 4
_TO_STEPS = np.float32(2.0**-32)


def dither_key(*parts: object) -> tuple[int, int]:
    """A 128-bit key from the text of `parts` (the output's name, its format
    and the settings)."""
    digest = hashlib.sha256("\n".join(str(part) for part in parts).encode()).digest()
    return int.from_bytes(digest[:8], "little"), int.from_bytes(digest[8:16], "little")


class Dither:
    """Triangular (TPDF) noise of ±1 step, sample by sample in file order."""

    def __init__(self, key: tuple[int, int]) -> None:
        self._key = np.array(key, dtype=np.uint64)
        self._next = 0  # the index of the next sample in the file

    def next(self, count: int) -> Floats:
        """The dither of the next `count` samples, in steps of the output."""
        first, self._next = self._next, self._next + count
        step, skip = divmod(first, _WORDS_PER_STEP)
        words = np.random.Philox(key=self._key, counter=step).random_raw(skip + count)[skip:]
        halves = words.view(np.uint32)
        # The word's high and low 32 bits, whatever the machine's byte order.
        high, low = (
            (halves[1::2], halves[0::2])
            if sys.byteorder == "little"
            else (halves[0::2], halves[1::2])
        )
        # The difference of two uniform values is triangular over (-1, 1).
        difference = np.subtract(high, low, dtype=np.int64)
        return np.multiply(difference, _TO_STEPS, dtype=np.float32, casting="unsafe")
