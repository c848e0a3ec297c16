"""Tools around the qx_limiter module: a streaming limiter for audio of any
length, identical to one ``qx_limiter.limit`` call over the whole signal; a
loudness and true-peak meter (``measure``, ``Meter``); and ``master``, which
delivers audio to a loudness and a true-peak ceiling that the meter confirms.
"""

from importlib.metadata import PackageNotFoundError, version

from ._master import Mastered, master
from ._meter import Measurement, Meter, integrated_loudness, limit, measure
from ._native import StreamLimiter

try:
    __version__ = version("qx_limiter")
except PackageNotFoundError:  # imported from a source tree, not installed
    __version__ = "0+unknown"

__all__ = ["Mastered", "Measurement", "Meter", "StreamLimiter", "__version__",
           "integrated_loudness", "limit", "master", "measure"]
