"""Where each channel sits. Inside the command line, channels are in the
order of a WAV file's channel mask (front left, front right, centre, LFE,
back or surround pairs...), the order the meter weights them in. Ogg Vorbis
and Ogg Opus store 3 to 8 channels in an order of their own (left, centre,
right, ..., LFE last), which libsndfile neither writes nor reads for us: the
samples are put in that order as they are written and back as they are read.
"""

from __future__ import annotations

from typing import TypeVar, cast

import numpy as np
import numpy.typing as npt

Samples = TypeVar("Samples", bound=npt.NDArray[np.generic])

# For n channels, the channel (in mask order) that each channel of an Ogg
# Vorbis or Opus stream holds: 3 L C R; 4 FL FR RL RR; 5 FL C FR RL RR;
# 6 FL C FR RL RR LFE; 7 FL C FR SL SR RC LFE; 8 FL C FR SL SR RL RR LFE.
_VORBIS_ORDER = {
    3: (0, 2, 1),
    4: (0, 1, 2, 3),
    5: (0, 2, 1, 3, 4),
    6: (0, 2, 1, 4, 5, 3),
    7: (0, 2, 1, 5, 6, 4, 3),
    8: (0, 2, 1, 6, 7, 4, 5, 3),
}

# The channel masks of the layouts that Vorbis, Opus and FLAC define for 3
# to 8 channels: 3.0, quad, 5.0, 5.1, 6.1 (back centre, side pair) and 7.1.
DEFINED_MASKS = {3: 0x7, 4: 0x33, 5: 0x37, 6: 0x3F, 7: 0x70F, 8: 0x63F}


def stored_order(file_format: str, subtype: str, channels: int) -> tuple[int, ...] | None:
    """The channel (in mask order) that each channel of a file of this
    format holds, where it differs from mask order; None where it does not."""
    if file_format == "OGG" and subtype in ("VORBIS", "OPUS"):
        order = _VORBIS_ORDER.get(channels)
        if order is not None and order != tuple(range(channels)):
            return order
    return None


def defined_mask(file_format: str, channels: int) -> int | None:
    """The channel mask that a format without one defines for its channel
    count (FLAC, Ogg Vorbis, Ogg Opus; 3 to 8 channels); None elsewhere."""
    if file_format in ("FLAC", "OGG"):
        return DEFINED_MASKS.get(channels)
    return None


def to_stored(samples: Samples, order: tuple[int, ...] | None) -> Samples:
    """Frames-first samples in mask order, put in a file's stored order."""
    return samples if order is None else cast(Samples, samples[:, order])


def from_stored(samples: npt.NDArray[np.float32], order: tuple[int, ...] | None) -> None:
    """Frames-first samples as a file stores them, put back in mask order in
    place."""
    if order is not None:
        samples[:, order] = samples.copy()
