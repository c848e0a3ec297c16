"""python -m qx_limiter_cli: the same as the qx-limiter command."""

import sys

from ._cli import main

sys.exit(main())
