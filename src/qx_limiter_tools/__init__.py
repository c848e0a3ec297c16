"""Tools around the qx_limiter module: a streaming limiter for audio of any
length (``StreamLimiter``, and ``limit`` over a whole array), with a
detection that reads the peaks the meter reads; a loudness and true-peak
meter (``measure``, ``Meter``); ``master``, which delivers audio to a
loudness and a true-peak ceiling that the meter confirms; and the delivery
loop under it (``DeliveryPlan``, ``deliver``), for passes run elsewhere
(the command line runs them over files as they stream).
"""

from importlib.metadata import PackageNotFoundError, version

from ._delivery import (
    LOUDNESS_TOLERANCE_LU,
    METER_RATES,
    AlbumModel,
    DeliveryPlan,
    LoudnessModel,
    Passed,
    PassSettings,
    check_targets,
    deliver,
    detects_true_peak,
    gain_factor,
    profiling_meter,
    smallest_attack_ms,
)
from ._master import AlbumMastered, Mastered, master, master_album
from ._meter import Measurement, Meter, integrated_loudness, limit, measure, pooled_loudness
from ._native import SampleError, StreamLimiter

try:
    __version__ = version("qx_limiter")
except PackageNotFoundError:  # imported from a source tree, not installed
    __version__ = "0+unknown"

__all__ = [
    "LOUDNESS_TOLERANCE_LU",
    "METER_RATES",
    "AlbumMastered",
    "AlbumModel",
    "DeliveryPlan",
    "LoudnessModel",
    "Mastered",
    "Measurement",
    "Meter",
    "PassSettings",
    "Passed",
    "SampleError",
    "StreamLimiter",
    "__version__",
    "check_targets",
    "deliver",
    "detects_true_peak",
    "gain_factor",
    "integrated_loudness",
    "limit",
    "master",
    "master_album",
    "measure",
    "pooled_loudness",
    "profiling_meter",
    "smallest_attack_ms",
]
