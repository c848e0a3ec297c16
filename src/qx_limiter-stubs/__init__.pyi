"""Type information for the qx_limiter extension module.

The module is compiled, so its signatures and return types live here, in a
stub-only package that type checkers find for ``import qx_limiter``.
"""

from typing import SupportsFloat, SupportsIndex, TypeAlias, final

import numpy as np
import numpy.typing as npt

__all__ = ["QXLimiter", "limit"]

# Settings pass through Python's float conversion, which takes __float__
# and also __index__ (so NumPy integers and plain ints are welcome).
_Float: TypeAlias = SupportsFloat | SupportsIndex
# Only the two booleans and NumPy's boolean scalars, never 0 or 1.
_Bool: TypeAlias = bool | np.bool_

# The limited audio: a new float32 array with the shape of the input, which
# has one or two dimensions (left open here, so that indexing shape[1] of a
# two-dimensional result needs no cast).
_Audio: TypeAlias = np.ndarray[tuple[int, ...], np.dtype[np.float32]]
# One linked gain per frame, shared by every channel of that frame.
_FrameGains: TypeAlias = np.ndarray[tuple[int], np.dtype[np.float32]]

@final
class QXLimiter:
    """A configurable look-ahead brick-wall limiter."""

    def __new__(
        cls,
        sample_rate: SupportsIndex,
        threshold_dBFS: _Float = 0.0,
        attack_ms: _Float = 5.0,
        hold_ms: _Float = 15.0,
        release_ms: _Float = 40.0,
        true_peak: _Bool = False,
    ) -> QXLimiter: ...
    def process(
        self, audio: npt.ArrayLike, axis: SupportsIndex = -1
    ) -> tuple[_Audio, _FrameGains]: ...
    @property
    def sample_rate(self) -> int: ...
    @property
    def threshold(self) -> float: ...
    @property
    def threshold_dBFS(self) -> float: ...
    @property
    def true_peak(self) -> bool: ...
    @property
    def lookahead_samples(self) -> int: ...
    @property
    def attack_samples(self) -> int: ...
    @property
    def hold_samples(self) -> int: ...
    @property
    def release_samples(self) -> float: ...

def limit(
    audio: npt.ArrayLike,
    sample_rate: SupportsIndex,
    threshold_dBFS: _Float = 0.0,
    attack_ms: _Float = 5.0,
    hold_ms: _Float = 15.0,
    release_ms: _Float = 40.0,
    axis: SupportsIndex = -1,
    true_peak: _Bool = False,
) -> tuple[_Audio, _FrameGains]: ...
