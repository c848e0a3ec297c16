"""Integer samples as the bytes an uncompressed file stores them in, for
libsndfile to read and write as they are.

libsndfile converts samples between the file's width and the caller's type
in small blocks, each one a read or write of its own (for 24 bits, the
costliest part of reading and writing a file). Where the file stores plain
interleaved samples, NumPy converts a whole chunk in a few passes instead
and libsndfile moves its bytes in one piece. The values are the ones its
own conversion gives: a sample of a W-bit file is read as the integer
shifted to the top of 32 bits, over 2**31, in float32; and the quantiser's
left-justified integers are written without rounding at any width.

Each converter keeps its buffers from chunk to chunk: what it returns is
valid until its next call.
"""

from __future__ import annotations

import sys
from typing import TypeVar

import numpy as np
import numpy.typing as npt

Int32s = npt.NDArray[np.int32]
Floats = npt.NDArray[np.float32]
Bytes = npt.NDArray[np.uint8]

# Formats whose audio data is the samples' bytes, interleaved, in this byte
# order (libsndfile writes AIFF big-endian), and the widths converted here.
_ORDERS = {"WAV": "<", "WAVEX": "<", "W64": "<", "RF64": "<", "AIFF": ">"}
_WIDTHS = {"PCM_16": 2, "PCM_24": 3, "PCM_32": 4}
_FROM_TOP = np.float32(2.0**-31)
G = TypeVar("G", bound=np.generic)


def width(file_format: str, subtype: str) -> int | None:
    """The bytes per sample, where a file of this format and subtype stores
    plain interleaved samples that this module converts."""
    if file_format not in _ORDERS or sys.byteorder != "little":
        return None
    return _WIDTHS.get(subtype)


def _grown(buffer: npt.NDArray[G], size: int) -> npt.NDArray[G]:
    return buffer if buffer.size >= size else np.empty(size, dtype=buffer.dtype)


class Unpacker:
    """Reads the samples of a chunk from its bytes into float32."""

    def __init__(self, file_format: str, subtype: str) -> None:
        self._order, self.width = _ORDERS[file_format], _WIDTHS[subtype]
        # 3-byte samples get a spare byte before them and one after (see
        # to_float); the others start aligned.
        self._at = 1 if self.width == 3 else 0
        self._bytes: Bytes = np.empty(0, dtype=np.uint8)
        self._tops: Int32s = np.empty(0, dtype=np.int32)

    def space(self, samples: int) -> Bytes:
        """Where the bytes of up to `samples` samples are to be read."""
        self._bytes = _grown(self._bytes, samples * self.width + 2)
        return self._bytes[self._at : self._at + samples * self.width]

    def to_float(self, samples: int, out: Floats) -> None:
        """The first `samples` samples read into space(), into `out`."""
        flat = out.reshape(-1)[:samples]
        if self.width != 3:
            stored = self._bytes[: samples * self.width].view(f"{self._order}i{self.width}")
            scale = np.float32(2.0 ** (1 - 8 * self.width))
            np.multiply(stored, scale, out=flat, dtype=np.float32, casting="unsafe")
            return
        # Four bytes read from every third one hold a sample's three and one
        # byte of its neighbour (or the spare byte), which the mask clears:
        # the sample at the top of 32 bits, with no shuffling of bytes.
        overlapping = np.ndarray(
            (samples,),
            dtype=f"{self._order}i4",
            buffer=self._bytes,
            offset=0 if self._order == "<" else 1,
            strides=(3,),
        )
        self._tops = _grown(self._tops, samples)
        tops = self._tops[:samples]
        np.bitwise_and(overlapping, np.int32(-256), out=tops)
        np.multiply(tops, _FROM_TOP, out=flat, dtype=np.float32, casting="unsafe")


class Packer:
    """Packs left-justified 32-bit samples into the bytes a file stores."""

    def __init__(self, file_format: str, subtype: str) -> None:
        self._order, self._width = _ORDERS[file_format], _WIDTHS[subtype]
        self._bytes: Bytes = np.empty(0, dtype=np.uint8)

    def __call__(self, stored: Int32s) -> npt.NDArray[np.generic]:
        """The bytes of `stored` (which may be overwritten)."""
        flat = stored.reshape(-1)
        if self._width == 4:
            return flat if self._order == "<" else flat.byteswap(inplace=True)
        # One spare byte after the samples: see _three_bytes.
        self._bytes = _grown(self._bytes, flat.size * self._width + 1)
        packed = self._bytes[: flat.size * self._width]
        if self._width == 2:
            np.right_shift(flat, 16, out=packed.view(f"{self._order}i2"), casting="unsafe")
        else:
            _three_bytes(flat, self._order, self._bytes)
        return packed


def _three_bytes(flat: Int32s, order: str, packed: Bytes) -> None:
    """The top three bytes of each sample, in `order`, one sample after the
    other: each sample is written as four bytes, every third byte, so that
    its fourth (in little-endian order its sign, in big-endian its low byte,
    which is zero) is overwritten by the next sample's first. NumPy writes
    the elements of an output in order; _OVERLAPPING_WRITES checks that this
    NumPy does, and without it libsndfile packs the samples."""
    overlapping = np.ndarray((flat.size,), dtype=f"{order}i4", buffer=packed, strides=(3,))
    if order == "<":
        np.right_shift(flat, 8, out=overlapping)
    else:
        np.copyto(overlapping, flat)


def _writes_in_order() -> bool:
    samples = np.arange(-(2**23), 2**23, 65537 * 3, dtype=np.int32) << 8
    for order, top in (("<", slice(1, 4)), (">", slice(3, 0, -1))):
        packed = np.zeros(samples.size * 3 + 1, dtype=np.uint8)
        _three_bytes(samples.copy(), order, packed)
        expected = samples.view(np.uint8).reshape(-1, 4)[:, top].reshape(-1)
        if not np.array_equal(packed[:-1], expected):
            return False
    return True


_OVERLAPPING_WRITES = _writes_in_order()


def packer(file_format: str, subtype: str) -> Packer | None:
    """A packer for this format and subtype; None where libsndfile must
    convert the samples itself."""
    size = width(file_format, subtype)
    if size is None or (size == 3 and not _OVERLAPPING_WRITES):
        return None
    return Packer(file_format, subtype)
