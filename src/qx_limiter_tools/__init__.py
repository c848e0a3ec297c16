"""Tools around the qx_limiter module: a streaming limiter for audio of any
length, identical to one ``qx_limiter.limit`` call over the whole signal, and
a loudness and true-peak meter (``measure``, ``Meter``).
"""

from importlib.metadata import PackageNotFoundError, version

from ._meter import Measurement, Meter, integrated_loudness, measure
from ._native import StreamLimiter

try:
    __version__ = version("qx_limiter")
except PackageNotFoundError:  # imported from a source tree, not installed
    __version__ = "0+unknown"

__all__ = ["Measurement", "Meter", "StreamLimiter", "__version__", "integrated_loudness",
           "measure"]
