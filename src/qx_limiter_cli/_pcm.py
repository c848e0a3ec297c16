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
"""

from __future__ import annotations

import sys
from collections.abc import Callable

import numpy as np
import numpy.typing as npt

Int32s = npt.NDArray[np.int32]
Bytes = npt.NDArray[np.generic]

# Formats whose audio data is the samples' bytes, interleaved, in this byte
# order (libsndfile writes AIFF big-endian), and the widths packed here.
_ORDERS = {"WAV": "<", "WAVEX": "<", "W64": "<", "RF64": "<", "AIFF": ">"}
_WIDTHS = {"PCM_16": 2, "PCM_24": 3, "PCM_32": 4}


def width(file_format: str, subtype: str) -> int | None:
    """The bytes per sample, where a file of this format and subtype stores
    plain interleaved samples that this module converts."""
    if file_format not in _ORDERS or sys.byteorder != "little":
        return None
    return _WIDTHS.get(subtype)


def packer(file_format: str, subtype: str) -> Callable[[Int32s], Bytes] | None:
    """What packs left-justified 32-bit samples for this format and
    subtype; None where libsndfile must convert them itself."""
    order, width = _ORDERS.get(file_format), _WIDTHS.get(subtype)
    if order is None or width is None or sys.byteorder != "little":
        return None
    if width == 4:
        return (lambda stored: stored) if order == "<" else _byteswapped
    if width == 2:
        return lambda stored: np.right_shift(stored, 16).astype(f"{order}i2")
    return _three_bytes if order == "<" else _three_bytes_big


def _byteswapped(stored: Int32s) -> Bytes:
    return stored.byteswap()


def _three_bytes_big(stored: Int32s) -> Bytes:
    # Byte-swapped, the top three bytes of each sample come first; shifted
    # left once more, they are where the little-endian packing takes them.
    swapped = stored.byteswap().view(np.uint32)
    np.left_shift(swapped, 8, out=swapped)
    return _three_bytes(swapped.view(np.int32))


def _three_bytes(stored: Int32s) -> Bytes:
    """The top three bytes of each sample, little-endian: every four samples
    a, b, c, d (low byte zero) become the three 32-bit words
    a >> 8 | b << 16, b >> 16 | c << 8 and c >> 24 | d."""
    flat = stored.reshape(-1).view(np.uint32)
    whole = flat.size // 4 * 4
    packed = np.empty(flat.size * 3, dtype=np.uint8)
    words = packed[:whole * 3].view(np.uint32).reshape(-1, 3)
    a, b, c, d = flat[:whole].reshape(-1, 4).T
    first, second, third = words.T
    spare = np.empty(whole // 4, dtype=np.uint32)
    np.right_shift(a, 8, out=first)
    np.left_shift(b, 16, out=spare)
    np.bitwise_or(first, spare, out=first)
    np.right_shift(b, 16, out=second)
    np.left_shift(c, 8, out=spare)
    np.bitwise_or(second, spare, out=second)
    np.right_shift(c, 24, out=third)
    np.bitwise_or(third, d, out=third)
    # The last chunk of a file may leave up to three samples over.
    packed[whole * 3:] = flat[whole:].view(np.uint8).reshape(-1, 4)[:, 1:].reshape(-1)
    return packed


_FROM_32_BITS = np.float32(2.0 ** -31)


def unpack(data: npt.NDArray[np.uint8], file_format: str, subtype: str,
           out: npt.NDArray[np.float32]) -> None:
    """Fills `out` (as many samples as `data` holds) with the file's samples
    as libsndfile reads them into float32."""
    order, size = _ORDERS[file_format], _WIDTHS[subtype]
    flat = out.reshape(-1)
    if size == 3:
        top = _from_three_bytes(data if order == "<" else _reversed_triples(data))
        np.multiply(top, _FROM_32_BITS, out=flat, dtype=np.float32, casting="unsafe")
        return
    samples = data.view(f"{order}i{size}")
    scale = np.float32(2.0 ** (1 - 8 * size))
    np.multiply(samples, scale, out=flat, dtype=np.float32, casting="unsafe")


def _reversed_triples(data: npt.NDArray[np.uint8]) -> npt.NDArray[np.uint8]:
    return np.ascontiguousarray(data.reshape(-1, 3)[:, ::-1]).reshape(-1)


def _from_three_bytes(data: npt.NDArray[np.uint8]) -> Int32s:
    """Little-endian 3-byte samples as 32-bit integers, shifted to the top:
    every three 32-bit words x, y, z hold four samples, which are x << 8,
    (x >> 16) & 0xff00 | y << 16, (y >> 8) & 0xffff00 | z << 24 and
    z & 0xffffff00."""
    count = data.size // 3
    whole = count // 4 * 4
    top = np.empty(count, dtype=np.uint32)
    x, y, z = data[:whole * 3].view(np.uint32).reshape(-1, 3).T
    a, b, c, d = top[:whole].reshape(-1, 4).T
    spare = np.empty(whole // 4, dtype=np.uint32)
    np.left_shift(x, 8, out=a)
    np.right_shift(x, 16, out=b)
    np.bitwise_and(b, 0xFF00, out=b)
    np.left_shift(y, 16, out=spare)
    np.bitwise_or(b, spare, out=b)
    np.right_shift(y, 8, out=c)
    np.bitwise_and(c, 0xFFFF00, out=c)
    np.left_shift(z, 24, out=spare)
    np.bitwise_or(c, spare, out=c)
    np.bitwise_and(z, 0xFFFFFF00, out=d)
    rest = top[whole:].view(np.uint8).reshape(-1, 4)
    rest[:, 0] = 0
    rest[:, 1:] = data[whole * 3:].reshape(-1, 3)
    return top.view(np.int32)
