"""Tools around the qx_limiter module: a streaming limiter for audio of any
length, identical to one ``qx_limiter.limit`` call over the whole signal.
"""

from importlib.metadata import PackageNotFoundError, version

from ._native import StreamLimiter

try:
    __version__ = version("qx_limiter")
except PackageNotFoundError:  # imported from a source tree, not installed
    __version__ = "0+unknown"

__all__ = ["StreamLimiter", "__version__"]
