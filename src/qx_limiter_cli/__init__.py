"""The qx-limiter command line: limits audio files with qx_limiter.

Run it as ``qx-limiter`` or ``python -m qx_limiter_cli``. It needs the
optional extra ``qx_limiter[cli]`` (soundfile, tqdm, matplotlib); this
package imports without them and says so when it is run.
"""

from ._cli import main

__all__ = ["main"]
