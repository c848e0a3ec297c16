"""The loudness and true-peak meter: integrated loudness and loudness range
(ITU-R BS.1770 / EBU R 128, gated as libebur128 gates them), true peak and
sample peak, over a whole array or over audio in chunks."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import SupportsIndex

import numpy as np
import numpy.typing as npt

from . import _native


@dataclass(frozen=True)
class Measurement:
    """The figures of a signal; ``-inf`` where a figure is undefined.

    Attributes:
        integrated_lufs: Integrated loudness in LUFS (-inf for silence or
            under 400 ms of audio).
        loudness_range_lu: Loudness range in LU (-inf for silence or under
            3 s of audio).
        true_peak_dbtp: True peak in dBTP: the band-limited waveform's peak.
        sample_peak_dbfs: Largest sample magnitude in dBFS.
        max_momentary_lufs: The loudest 400 ms window, ungated, the windows
            moving 100 ms at a time (-inf under 400 ms of audio).
        max_short_term_lufs: The loudest 3 s window, likewise (-inf under
            3 s of audio).
    """

    integrated_lufs: float
    loudness_range_lu: float
    true_peak_dbtp: float
    sample_peak_dbfs: float
    max_momentary_lufs: float = -math.inf
    max_short_term_lufs: float = -math.inf


def measure(
    audio: npt.ArrayLike,
    sample_rate: SupportsIndex,
    *,
    axis: SupportsIndex = -1,
    dual_mono: bool = False,
) -> Measurement:
    """Measure a whole signal.

    Args:
        audio: Mono (1-D) or multichannel (2-D) audio, as ``qx_limiter.limit``
            takes it (converted to ``numpy.float32``, never modified).
        sample_rate: 8000 to 384000 Hz.
        axis: The frame axis, as for ``qx_limiter.limit``.

    Channels are weighted by position as libebur128 weights them: L R C
    (1), LFE (0), Ls Rs (1.41) for 5.1; channels after the sixth count for
    the peaks but not the loudness. With ``dual_mono``, one channel counts
    as the same signal in two (a mono file played on two loudspeakers,
    +3.01 dB); it changes nothing for more channels.

    Raises:
        ValueError: For the arrays and settings ``qx_limiter.limit`` refuses,
            a rate outside 8000 to 384000 Hz, or a sample that is not finite
            or beyond 2 ** 32 (naming its frame and channel).
    """
    return Measurement(*_native.measure(audio, sample_rate, axis=axis, dual_mono=dual_mono))


def integrated_loudness(
    audio: npt.ArrayLike,
    sample_rate: SupportsIndex,
    *,
    axis: SupportsIndex = -1,
    dual_mono: bool = False,
) -> float:
    """The integrated loudness alone (LUFS), as ``measure`` gives it, faster."""
    return _native.integrated_loudness(audio, sample_rate, axis=axis, dual_mono=dual_mono)


class Meter:
    """The figures of audio that arrives in chunks, bit for bit those of
    ``measure`` over the whole signal however it is cut.

    One instance serves one call at a time (``RuntimeError`` otherwise).
    """

    __slots__ = ("_native",)

    def __init__(
        self,
        sample_rate: SupportsIndex,
        channels: SupportsIndex,
        *,
        profile_frames: SupportsIndex = 0,
        dual_mono: bool = False,
    ) -> None:
        self._native = _native.Meter(
            sample_rate, channels, profile_frames=profile_frames, dual_mono=dual_mono
        )

    def add(self, chunk: npt.ArrayLike, *, axis: SupportsIndex = -1) -> None:
        """Measure the next chunk (any number of frames, the meter's channel
        count). A refused chunk changes nothing; a bad sample's frame is
        counted from the first chunk."""
        self._native.add(chunk, axis=axis)

    def result(self) -> Measurement:
        """The figures of everything added so far; more may be added after."""
        return Measurement(*self._native.result())

    def powers(self) -> npt.NDArray[np.float64]:
        """The completed 100 ms sub-blocks' powers (channel-weighted sums of
        K-weighted squares): what the gated figures are made of, and what
        ``pooled_loudness`` gates across several programmes."""
        return self._native.powers()

    def profile(self) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
        """The loudness profile of the completed 100 ms sub-blocks, for a
        meter made with ``profile_frames`` > 0: every sub-block cut into
        groups of that many frames (the last one shorter where they do not
        divide it), and for each group its largest sample magnitude over
        every channel and its channel-weighted sum of K-weighted squares
        (the sub-block's power is their sum), as two float32 arrays."""
        return self._native.profile()


def limit(
    audio: npt.ArrayLike,
    sample_rate: SupportsIndex,
    threshold_dBFS: float = 0.0,
    attack_ms: float = 5.0,
    hold_ms: float = 15.0,
    release_ms: float = 40.0,
    *,
    detection: str = "waveform",
    axis: SupportsIndex = -1,
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
    """Limit a whole signal in memory with ``StreamLimiter``'s detection.

    Returns ``(audio, gains)`` as ``qx_limiter.limit`` does, bit for bit what
    a ``StreamLimiter(sample_rate, threshold_dBFS, attack_ms, hold_ms,
    release_ms, detection=detection)`` gives over the whole signal. With the
    default ``detection="waveform"`` one pass lands at or under the threshold
    as ``measure`` reads it (within 0.05 dB), and every sample at or under it.
    """
    stream = _native.StreamLimiter(
        sample_rate, threshold_dBFS, attack_ms, hold_ms, release_ms, detection=detection
    )
    head, head_gains = stream.process(audio, axis=axis)
    tail, tail_gains = stream.flush()
    frame_axis = 1 if _frames_last(audio, axis) else 0
    return (np.concatenate([head, tail], axis=frame_axis), np.concatenate([head_gains, tail_gains]))


def _frames_last(audio: npt.ArrayLike, axis: SupportsIndex) -> bool:
    ndim = np.ndim(audio)
    return ndim == 2 and (int(axis) % 2) == 1


def pooled_loudness(
    powers: Sequence[npt.ArrayLike], sample_rate: SupportsIndex
) -> tuple[float, float]:
    """The integrated loudness (LUFS) and loudness range (LU) of several
    programmes gated as one, as BS.1770 and EBU Tech 3342 gate a programme
    and libebur128 gates several states together: each programme's blocks
    and short-term windows (from ``Meter.powers()``) pooled, none across two.
    What an album's figures are."""
    return _native.pooled_loudness(powers, sample_rate)
