"""Audio files through soundfile (libsndfile): reading, output formats,
quantisation to the file's sample width, and writes that never leave a
half-written file behind."""

from __future__ import annotations

import math
import os
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager, suppress
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt
import soundfile as sf

Samples = npt.NDArray[np.float32]

# Integer subtypes, by bits per sample. libsndfile reads them as value / 2**(bits-1),
# which float32 holds exactly up to 24 bits, so a file passes through unchanged
# where the limiter leaves its gain at 1.
PCM_BITS = {"PCM_S8": 8, "PCM_U8": 8, "PCM_16": 16, "PCM_24": 24, "PCM_32": 32}
FLOAT_SUBTYPES = frozenset({"FLOAT", "DOUBLE"})

# File extensions that name a format differently from libsndfile.
_EXTENSION_FORMATS = {"AIF": "AIFF", "AIFC": "AIFF", "OGA": "OGG", "OPUS": "OGG"}

# Text chunks that are carried over from the input when the output can hold them.
_TEXT_FIELDS = ("title", "copyright", "software", "artist", "comment", "date",
                "album", "license", "tracknumber", "genre")


class AudioError(Exception):
    """A problem with one file that the user can fix; the message names no path."""


@dataclass(frozen=True)
class Header:
    """What an input file's header says."""

    sample_rate: int
    channels: int
    frames: int
    format: str
    subtype: str


def read_header(path: Path) -> Header:
    try:
        info = sf.info(str(path))
    except (sf.SoundFileError, RuntimeError) as error:
        raise AudioError(f"cannot read it as audio ({_libsndfile_reason(error)})") from None
    return Header(int(info.samplerate), int(info.channels), int(info.frames),
                  str(info.format), str(info.subtype))


def known_subtypes() -> list[str]:
    """Every subtype name this libsndfile knows, for any format."""
    return list(sf.available_subtypes())


def output_format(output: Path, source: Header, subtype: str | None) -> tuple[str, str]:
    """The output's format (from its extension, else the input's) and subtype
    (as asked, else the input's), checked against what libsndfile can write."""
    extension = output.suffix[1:].upper()
    extension = _EXTENSION_FORMATS.get(extension, extension)
    file_format = extension if extension in sf.available_formats() else source.format
    chosen = subtype if subtype is not None else source.subtype
    if not sf.check_format(file_format, chosen):
        choices = ", ".join(sf.available_subtypes(file_format)) or "none"
        hint = "" if subtype is not None else " (choose one with --subtype)"
        raise AudioError(f"{file_format} files cannot hold {chosen} samples{hint}; "
                         f"{file_format} takes {choices}")
    return file_format, chosen


def read_frames(path: Path) -> tuple[Samples, dict[str, str]]:
    """All frames as a frames-first (frames, channels) float32 array, and the
    file's text fields."""
    try:
        with sf.SoundFile(str(path)) as source:
            frames = np.asarray(source.read(dtype="float32", always_2d=True), dtype=np.float32)
            text = {name: str(getattr(source, name)) for name in _TEXT_FIELDS}
    except (sf.SoundFileError, RuntimeError) as error:
        raise AudioError(f"cannot read it as audio ({_libsndfile_reason(error)})") from None
    return frames, {name: value for name, value in text.items() if value}


def quantise(audio: Samples, subtype: str, ceiling: float) -> tuple[npt.NDArray[np.int32] | Samples, float]:
    """The samples as they will be stored, and their peak as a linear value.

    For integer subtypes the samples are rounded here, not by libsndfile, and
    every step is kept at or inside the ceiling, so that the written file,
    read back, never exceeds it. `audio` is overwritten.
    """
    bits = PCM_BITS.get(subtype)
    if bits is None:
        return audio, peak(audio)
    scale = 2.0 ** (bits - 1)
    steps = math.floor(ceiling * scale)
    top = _float32_at_most(min(steps, scale - 1))
    bottom = -_float32_at_most(min(steps, scale))
    np.multiply(audio, np.float32(scale), out=audio)
    np.rint(audio, out=audio)
    np.clip(audio, bottom, top, out=audio)
    stored_peak = peak(audio) / scale
    stored = audio.astype(np.int32)
    # libsndfile takes 32-bit integers left-justified and shifts them down to
    # the file's width without rounding, so these values arrive unchanged.
    np.left_shift(stored, 32 - bits, out=stored)
    return stored, stored_peak


@contextmanager
def replacing(target: Path) -> Iterator[Path]:
    """A temporary path beside `target` that replaces it once the block ends
    without an exception; on any failure the temporary file is removed and
    `target` is left as it was."""
    handle, name = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".part")
    os.close(handle)
    temporary = Path(name)
    try:
        yield temporary
        os.chmod(temporary, _NEW_FILE_MODE)
        os.replace(temporary, target)
    except BaseException:
        with suppress(OSError):
            temporary.unlink()
        raise


def write_frames(target: Path, samples: npt.NDArray[np.int32] | Samples, sample_rate: int,
                 file_format: str, subtype: str, text: dict[str, str]) -> None:
    """Writes (frames, channels) samples to `target` through a temporary file."""
    try:
        with replacing(target) as temporary:
            with sf.SoundFile(str(temporary), "w", samplerate=sample_rate,
                              channels=samples.shape[1], subtype=subtype,
                              format=file_format) as sink:
                for name, value in text.items():
                    # Not every format has room for every field; those are dropped.
                    with suppress(sf.SoundFileError, RuntimeError):
                        setattr(sink, name, value)
                sink.write(samples)
    except (sf.SoundFileError, RuntimeError) as error:
        raise AudioError(f"cannot write it ({_libsndfile_reason(error)})") from None
    except OSError as error:
        raise AudioError(f"cannot write it ({error.strerror or error})") from None


def peak(audio: Samples) -> float:
    """The largest sample magnitude, as a linear value."""
    if audio.size == 0:
        return 0.0
    return float(max(audio.max(), -audio.min()))


def _float32_at_most(value: float) -> np.float32:
    """The largest float32 that is not above `value` (which is an integer
    that float32 may not hold, such as 2**31 - 1)."""
    rounded = np.float32(value)
    if float(rounded) > value:
        rounded = np.nextafter(rounded, np.float32(0.0))
    return rounded


def _libsndfile_reason(error: BaseException) -> str:
    # libsndfile's own words, without the "Error opening '<path>': " that
    # soundfile puts in front: the caller names the file already.
    reason = getattr(error, "error_string", None) or str(error)
    return str(reason).strip().rstrip(".")


def _file_mode() -> int:
    # mkstemp makes files only the owner can read; a finished output gets the
    # permissions any new file of this process would get.
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


_NEW_FILE_MODE = _file_mode()
