"""Audio files through soundfile (libsndfile): reading, output formats,
quantisation to the file's sample width, and writes that never leave a
half-written file behind."""

from __future__ import annotations

import io
import math
import os
import re
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager, suppress
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO, cast

import numpy as np
import numpy.typing as npt
import soundfile as sf

from . import _stopping

Samples = npt.NDArray[np.float32]

# Integer subtypes, by bits per sample. libsndfile reads them as value / 2**(bits-1),
# which float32 holds exactly up to 24 bits, so a file passes through unchanged
# where the limiter leaves its gain at 1.
PCM_BITS = {"PCM_S8": 8, "PCM_U8": 8, "PCM_16": 16, "PCM_24": 24, "PCM_32": 32}
FLOAT_SUBTYPES = frozenset({"FLOAT", "DOUBLE"})

# File extensions that name a format differently from libsndfile.
_EXTENSION_FORMATS = {"AIF": "AIFF", "AIFC": "AIFF", "OGA": "OGG", "OPUS": "OGG", "WAVE": "WAV",
                      "SND": "AU", "SF": "IRCAM", "IFF": "SVX"}

# Text chunks that are carried over from the input when the output can hold them.
_TEXT_FIELDS = ("title", "copyright", "software", "artist", "comment", "date",
                "album", "license", "tracknumber", "genre")


class AudioError(Exception):
    """A problem with one file that the user can fix; the message names no
    path unless it is about another file than the one being limited."""


# Frames read or written per call: large enough that the per-call cost
# vanishes, small enough that copies stay in the processor's caches.
BLOCK_FRAMES = 1 << 16

# Data-chunk sizes that mean "not known" rather than a length: what a writer
# that streamed its output (to a pipe) leaves in the header.
_UNKNOWN_SIZES = frozenset({0, 0xFFFFFFFF, 0x7FFFFFFF})

# libsndfile notes a header size larger than the file in its log, for the
# chunk that holds the audio: "data : 192000 (should be 95978)" (WAV, RF64),
# " SSND : 288008 (should be 143981)" (AIFF), "Data Size : ..." (AU).
_SHORT_DATA_CHUNK = re.compile(
    r"^\s*(?:data|SSND|Data Size)\s*:\s*(\d+)\s*\(should be (\d+)\)", re.MULTILINE)


@dataclass(frozen=True)
class Shortfall:
    """Audio that a file's header promises and the file does not hold."""

    promised_seconds: float | None  # None: the header gives no length in time
    held_seconds: float
    detail: str

    def describe(self) -> str:
        promised = "" if self.promised_seconds is None else f"{self.promised_seconds:.3f} s of "
        return (f"truncated: its header promises {promised}audio, "
                f"the file holds {self.held_seconds:.3f} s ({self.detail})")


@dataclass(frozen=True)
class Header:
    """What an input file's header says, and what its size shows is missing."""

    sample_rate: int
    channels: int
    frames: int
    format: str
    subtype: str
    shortfall: Shortfall | None = None


def read_header(path: Path) -> Header:
    try:
        info = sf.info(_libsndfile_name(path))
    except (sf.SoundFileError, RuntimeError) as error:
        raise AudioError(f"cannot read it as audio ({_libsndfile_reason(error)})") from None
    rate, frames = int(info.samplerate), int(info.frames)
    return Header(rate, int(info.channels), frames, str(info.format), str(info.subtype),
                  _short_data_chunk(str(info.extra_info), frames, rate))


def _short_data_chunk(log: str, frames: int, sample_rate: int) -> Shortfall | None:
    """libsndfile reads a file whose audio chunk is cut off up to its end and
    reports only the frames there are; its log keeps what the header said."""
    found = _SHORT_DATA_CHUNK.search(log)
    if found is None:
        return None
    promised, present = int(found.group(1)), int(found.group(2))
    if promised <= present or promised in _UNKNOWN_SIZES:
        return None
    held = frames / sample_rate
    # The bytes held are to the frames held as the bytes promised to the
    # frames promised, closely enough for a length in seconds.
    return Shortfall(held * promised / present if present > 0 else None, held,
                     f"{promised} bytes of audio data promised, {present} present")


def known_subtypes() -> list[str]:
    """Every subtype name this libsndfile knows, for any format."""
    return list(sf.available_subtypes())


@dataclass(frozen=True)
class OutputFormat:
    """How an output is written; `note` says what was chosen for the user."""

    format: str
    subtype: str
    note: str | None = None


def output_format(output: Path, source: Path, header: Header,
                  subtype: str | None) -> OutputFormat:
    """The output's format, from its extension, and its subtype: as asked,
    else the input's, else the nearest one the format holds.

    An output without an extension, or with its input's own extension that
    names no format (as --output-dir gives it), keeps the input's format;
    any other extension must name a format that libsndfile writes."""
    extension = output.suffix[1:].upper()
    named = _EXTENSION_FORMATS.get(extension, extension)
    notes = []
    if extension and named in sf.available_formats():
        file_format = named
    elif not extension or output.suffix.lower() == source.suffix.lower():
        file_format = header.format
        notes.append(f"{file_format}, the input's format")
    else:
        raise AudioError(f"cannot write {output.suffix} files: no format that libsndfile "
                         f"writes has that extension; use {_common_extensions()}")
    if subtype is not None:
        chosen = subtype
        if not sf.check_format(file_format, chosen):
            choices = ", ".join(sf.available_subtypes(file_format)) or "none"
            raise AudioError(f"{file_format} files cannot hold {chosen} samples; "
                             f"{file_format} takes {choices}")
    elif extension == "OPUS" and header.subtype != "OPUS":
        chosen = "OPUS"  # .opus names the codec, not only the Ogg container
    elif sf.check_format(file_format, header.subtype):
        chosen = header.subtype
    else:
        chosen = _nearest_subtype(file_format, header.subtype)
        notes.append(f"{chosen}: {file_format} cannot hold {header.subtype}")
    _check_writable(file_format, chosen, header)
    return OutputFormat(file_format, chosen, "; ".join(notes) or None)


def _nearest_subtype(file_format: str, source: str) -> str:
    """The subtype closest to `source` that `file_format` holds: the same
    integer width where there is one, else 24-bit PCM, else the format's own."""
    bits = PCM_BITS.get(source)
    if bits is not None:
        same_width = [name for name, width in PCM_BITS.items()
                      if width == min(bits, 24) and sf.check_format(file_format, name)]
        if same_width:
            return same_width[0]
    if sf.check_format(file_format, "PCM_24"):
        return "PCM_24"
    return str(sf.default_subtype(file_format))


def _check_writable(file_format: str, subtype: str, header: Header) -> None:
    """Opens an encoder in memory, which is how libsndfile says whether it
    takes this rate and channel count (MP3 and Opus take a few rates, MP3 two
    channels, FLAC eight)."""
    try:
        with sf.SoundFile(io.BytesIO(), "w", samplerate=header.sample_rate,
                          channels=header.channels, subtype=subtype, format=file_format):
            pass
    except (sf.SoundFileError, RuntimeError) as error:
        raise AudioError(f"{file_format} {subtype} cannot hold {header.channels} channels at "
                         f"{header.sample_rate} Hz ({_libsndfile_reason(error)})") from None


def _common_extensions() -> str:
    common = [name.lower() for name in ("WAV", "FLAC", "AIFF", "OGG", "MP3", "CAF", "W64")
              if name in sf.available_formats()]
    return ", ".join(f".{name}" for name in common) + " or another format of libsndfile"


@dataclass(frozen=True)
class Decoded:
    """An input's audio, frames-first (frames, channels), its text fields and
    what its header promised beyond the frames that could be read."""

    frames: Samples
    text: dict[str, str]
    shortfall: Shortfall | None


def read_frames(path: Path) -> Decoded:
    """Reads every frame the file holds. A file whose decoder gives up part
    of the way (a cut FLAC or MP3) yields the frames before that point and a
    shortfall that says what is missing."""
    try:
        with sf.SoundFile(_libsndfile_name(path)) as source:
            text = {name: str(getattr(source, name)) for name in _TEXT_FIELDS}
            promised, rate = int(source.frames), int(source.samplerate)
            audio = np.empty((promised, int(source.channels)), dtype=np.float32)
            held, failure = _read_blocks(source, audio, BLOCK_FRAMES)
        held, failure = _read_up_to_failure(path, audio, held, failure)
    except (sf.SoundFileError, RuntimeError) as error:
        raise AudioError(f"cannot read it as audio ({_libsndfile_reason(error)})") from None
    shortfall = None
    if held < promised:
        reason = f": {failure}" if failure else ""
        shortfall = Shortfall(promised / rate, held / rate,
                              f"{promised} frames promised, {held} can be read{reason}")
        audio = audio[:held]
    return Decoded(audio, {name: value for name, value in text.items() if value}, shortfall)


def _read_up_to_failure(path: Path, audio: Samples, held: int,
                        failure: str | None) -> tuple[int, str | None]:
    """libsndfile drops the whole block in which a decoder fails and cannot
    go on after it; a fresh handle seeks to where the last good block ended
    and smaller blocks recover the frames decoded before the failure."""
    block = BLOCK_FRAMES
    while failure is not None and block > 16:
        block //= 16
        try:
            with sf.SoundFile(_libsndfile_name(path)) as source:
                source.seek(held)
                held, again = _read_blocks(source, audio, block, held)
        except (sf.SoundFileError, RuntimeError):
            break
        if again is None:
            failure = None
    return held, failure


def _read_blocks(source: sf.SoundFile, audio: Samples, block: int,
                 held: int = 0) -> tuple[int, str | None]:
    """Fills `audio` from frame `held` on, `block` frames at a time; returns
    the frames it then holds and the decoder's complaint, if it stopped with
    one."""
    while held < audio.shape[0]:
        try:
            count = source.read(out=audio[held:held + block], dtype="float32",
                                always_2d=True).shape[0]
        except (sf.SoundFileError, RuntimeError) as error:
            return held, _libsndfile_reason(error)
        if count == 0:
            break
        held += count
    return held, None


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
    without an exception; on any failure, or when the run is being stopped,
    the temporary file is removed and `target` is left as it was."""
    temporary: Path | None = None
    try:
        with _stopping.deferred():
            handle, name = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.",
                                            suffix=".part")
            temporary = Path(name)
            os.close(handle)
        yield temporary
        # Some file systems (FAT, network shares) refuse chmod; the file is
        # complete all the same, only kept private.
        with suppress(OSError):
            os.chmod(temporary, _NEW_FILE_MODE)
        _stopping.check()
        os.replace(temporary, target)
    except BaseException:
        if temporary is not None:
            with suppress(OSError):
                temporary.unlink()
        raise


# Subtypes whose stored samples are exactly those handed to libsndfile:
# integers rounded by quantise(), and float formats that hold float32 as it
# is. What any other subtype stores (a lossy or ADPCM codec's decoding) is
# only known by reading the file back.
STORED_EXACTLY = frozenset(PCM_BITS) | FLOAT_SUBTYPES


def write_audio(target: Path, limited: Samples, sample_rate: int, output: OutputFormat,
                text: dict[str, str], ceiling: float) -> float:
    """Writes (frames, channels) `limited` to `target` through a temporary
    file; returns the peak of the samples the written file holds, as a linear
    value. `limited` is overwritten."""
    samples, stored_peak = quantise(limited, output.subtype, ceiling)
    try:
        with replacing(target) as temporary:
            _encode(temporary, samples, sample_rate, output, text)
            if output.subtype in STORED_EXACTLY:
                return stored_peak
            return file_peak(temporary)
    except (sf.SoundFileError, RuntimeError) as error:
        raise AudioError(f"cannot write {target} ({_libsndfile_reason(error)})") from None
    except OSError as error:
        raise AudioError(f"cannot write {target} ({error.strerror or error})") from None


def _encode(path: Path, samples: npt.NDArray[np.int32] | Samples, sample_rate: int,
            output: OutputFormat, text: dict[str, str]) -> None:
    descriptor = os.open(path, os.O_RDWR | os.O_TRUNC | getattr(os, "O_BINARY", 0))
    try:
        sink = _Sink(descriptor)
        try:
            # soundfile takes any object with these methods; its annotation
            # names only the usual file types.
            with sf.SoundFile(cast(BinaryIO, sink), "w", samplerate=sample_rate, channels=samples.shape[1],
                              subtype=output.subtype, format=output.format) as encoder:
                for name, value in text.items():
                    # Not every format has room for every field; those are dropped.
                    with suppress(sf.SoundFileError, RuntimeError):
                        setattr(encoder, name, value)
                for start in range(0, samples.shape[0], BLOCK_FRAMES):
                    encoder.write(samples[start:start + BLOCK_FRAMES])
                    if sink.error is not None:
                        break
                    _stopping.check()
        except AssertionError:
            # soundfile asserts that libsndfile took every frame; it did not,
            # and the sink knows why.
            if sink.error is None:
                raise RuntimeError("libsndfile wrote fewer frames than it was given") from None
        except (sf.SoundFileError, RuntimeError):
            if sink.error is None:
                raise
        if sink.error is not None:
            raise sink.error
    finally:
        os.close(descriptor)


class _Sink:
    """The file object libsndfile writes an output through (soundfile's
    virtual I/O). libsndfile reduces a failed write to "System error"; this
    keeps the system's own reason ("No space left on device") and then lets
    libsndfile see a short write, which ends the encoding."""

    def __init__(self, descriptor: int) -> None:
        self._descriptor = descriptor
        self.error: OSError | None = None

    def write(self, data: bytes) -> int:
        view = memoryview(data)
        done = 0
        while done < len(view) and self.error is None:
            try:
                done += os.write(self._descriptor, view[done:])
            except OSError as error:
                self.error = error
        return done

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        try:
            return os.lseek(self._descriptor, offset, whence)
        except OSError as error:
            self.error = self.error or error
            return -1

    def tell(self) -> int:
        return self.seek(0, os.SEEK_CUR)

    def read(self, size: int) -> bytes:
        try:
            return os.read(self._descriptor, size)
        except OSError as error:
            self.error = self.error or error
            return b""


def file_peak(path: Path) -> float:
    """The largest sample magnitude of a file as libsndfile decodes it."""
    largest = 0.0
    with sf.SoundFile(_libsndfile_name(path)) as source:
        # Counted blocks: some codecs (GSM 6.10 in WAV) cannot seek, and
        # soundfile reads those only by a given number of frames.
        block = np.empty((BLOCK_FRAMES, int(source.channels)), dtype=np.float32)
        while (count := source.read(out=block).shape[0]) > 0:
            largest = max(largest, peak(block[:count]))
    return largest


def _libsndfile_name(path: Path) -> str:
    # libsndfile takes the name "-" for standard input; a file of that name
    # is reached as ./-.
    name = str(path)
    return os.path.join(os.curdir, name) if name == "-" else name


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
    reason = str(getattr(error, "error_string", None) or error).strip().rstrip(".")
    return reason.removeprefix("Error : ")


def _file_mode() -> int:
    # mkstemp makes files only the owner can read; a finished output gets the
    # permissions any new file of this process would get.
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


_NEW_FILE_MODE = _file_mode()
