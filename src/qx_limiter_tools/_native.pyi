"""Types of the native part of qx_limiter_tools."""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypeAlias, final

import numpy as np
import numpy.typing as npt

_Float: TypeAlias = SupportsFloat | SupportsIndex
_Bool: TypeAlias = bool | np.bool_
_Audio: TypeAlias = np.ndarray[tuple[int, ...], np.dtype[np.float32]]
_FrameGains: TypeAlias = np.ndarray[tuple[int], np.dtype[np.float32]]

@final
class StreamLimiter:
    """The limiter of ``qx_limiter.limit`` over audio that arrives in chunks."""

    def __new__(
        cls,
        sample_rate: SupportsIndex,
        threshold_dBFS: _Float = 0.0,
        attack_ms: _Float = 5.0,
        hold_ms: _Float = 15.0,
        release_ms: _Float = 40.0,
        true_peak: _Bool = False,
        *,
        detection: str | None = None,
    ) -> StreamLimiter: ...
    def process(
        self, chunk: npt.ArrayLike, *, axis: SupportsIndex = -1
    ) -> tuple[_Audio, _FrameGains]: ...
    def flush(self) -> tuple[_Audio, _FrameGains]: ...
    @property
    def latency(self) -> int: ...
    @property
    def detection(self) -> str: ...
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

_Readings: TypeAlias = tuple[float, float, float, float, float, float]

def measure(
    audio: npt.ArrayLike,
    sample_rate: SupportsIndex,
    *,
    axis: SupportsIndex = -1,
    dual_mono: bool = False,
) -> _Readings: ...
def integrated_loudness(
    audio: npt.ArrayLike,
    sample_rate: SupportsIndex,
    *,
    axis: SupportsIndex = -1,
    dual_mono: bool = False,
) -> float: ...
@final
class Meter:
    """The native meter behind ``qx_limiter_tools.Meter``."""

    def __new__(
        cls,
        sample_rate: SupportsIndex,
        channels: SupportsIndex,
        *,
        profile_frames: SupportsIndex = 0,
        dual_mono: bool = False,
    ) -> Meter: ...
    def add(self, chunk: npt.ArrayLike, *, axis: SupportsIndex = -1) -> None: ...
    def result(self) -> _Readings: ...
    def profile(self) -> tuple[_FrameGains, _FrameGains]: ...
    def powers(self) -> np.ndarray[tuple[int], np.dtype[np.float64]]: ...

METER_RATES: tuple[int, int]

def detects_true_peak(sample_rate: SupportsIndex, /) -> bool: ...
def smallest_attack_ms(sample_rate: SupportsIndex, /) -> float: ...
def pooled_loudness(
    powers: Sequence[npt.ArrayLike], sample_rate: SupportsIndex
) -> tuple[float, float]: ...

class SampleError(ValueError):
    """A sample that is not finite or beyond 2 ** 32 in magnitude."""

    frame: int
    channel: int
    reason: str
