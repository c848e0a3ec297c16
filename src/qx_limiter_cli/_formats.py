"""What libsndfile tells about audio files (through soundfile): an input's
header and what it shows to be missing, and the format and subtype an
output is written in."""

from __future__ import annotations

import io
import os
import re
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

import soundfile as sf

from ._layout import defined_mask
from ._riff import CONTAINERS, Metadata, read_metadata

if TYPE_CHECKING:
    from ._media import MediaOutput, MediaSource


# Integer subtypes, by bits per sample. libsndfile reads them as value / 2**(bits-1),
# which float32 holds exactly up to 24 bits, so a file passes through unchanged
# where the limiter leaves its gain at 1.
PCM_BITS = {"PCM_S8": 8, "PCM_U8": 8, "PCM_16": 16, "PCM_24": 24, "PCM_32": 32}
FLOAT_SUBTYPES = frozenset({"FLOAT", "DOUBLE"})
# Subtypes whose stored samples are exactly those handed to libsndfile:
# integers rounded by the quantiser, and float formats that hold float32 as
# it is. What any other subtype stores (a lossy or ADPCM codec's decoding)
# is only known by reading the file back.
STORED_EXACTLY = frozenset(PCM_BITS) | FLOAT_SUBTYPES

# File extensions that name a format differently from libsndfile.
_EXTENSION_FORMATS = {
    "AIF": "AIFF",
    "AIFC": "AIFF",
    "OGA": "OGG",
    "OPUS": "OGG",
    "WAVE": "WAV",
    "SND": "AU",
    "SF": "IRCAM",
    "IFF": "SVX",
}

# Text chunks that are carried over from the input when the output can hold them.
TEXT_FIELDS = (
    "title",
    "copyright",
    "software",
    "artist",
    "comment",
    "date",
    "album",
    "license",
    "tracknumber",
    "genre",
)


class AudioError(Exception):
    """A problem with one file that the user can fix; the message names no
    path unless it is about another file than the one being limited."""


# Data-chunk sizes that mean "not known" rather than a length: what a writer
# that streamed its output (to a pipe) leaves in the header.
_UNKNOWN_SIZES = frozenset({0, 0xFFFFFFFF, 0x7FFFFFFF})

# libsndfile notes a header size larger than the file in its log, for the
# chunk that holds the audio: "data : 192000 (should be 95978)" (WAV, RF64),
# " SSND : 288008 (should be 143981)" (AIFF), "Data Size : ..." (AU).
_SHORT_DATA_CHUNK = re.compile(
    r"^\s*(?:data|SSND|Data Size)\s*:\s*(\d+)\s*\(should be (\d+)\)", re.MULTILINE
)


@dataclass(frozen=True)
class Shortfall:
    """Audio that a file's header promises and the file does not hold."""

    promised_seconds: float | None  # None: the header gives no length in time
    held_seconds: float
    detail: str

    def describe(self) -> str:
        promised = "" if self.promised_seconds is None else f"{self.promised_seconds:.3f} s of "
        return (
            f"truncated: its header promises {promised}audio, "
            f"the file holds {self.held_seconds:.3f} s ({self.detail})"
        )


@dataclass(frozen=True)
class Header:
    """What an input file's header says, and what its size shows is missing;
    for WAV-family files, the chunks and channel mask it carries."""

    sample_rate: int
    channels: int
    frames: int
    format: str
    subtype: str
    shortfall: Shortfall | None = None
    metadata: Metadata | None = None
    # Read through PyAV: the container and the audio stream delivered.
    media: MediaSource | None = None
    # PyAV's inputs: every stream (index, kind, codec, attached picture).
    streams: tuple[tuple[int, str, str, bool], ...] = ()

    @property
    def mask(self) -> int | None:
        """The channel mask the file states, or the one its format defines
        for its channel count; None where the layout is not known."""
        if self.metadata is not None and self.metadata.mask is not None:
            return self.metadata.mask
        return defined_mask(self.format, self.channels)


def read_header(path: Path, audio_stream: int | None = None) -> Header:
    """libsndfile's reading of the header where it reads the file, else
    PyAV's (AAC, M4A, video containers): the `audio_stream`-th audio
    stream, the first by default."""
    try:
        info = sf.info(libsndfile_name(path))
    except (sf.SoundFileError, RuntimeError) as error:
        if _libsndfile_extension(path):
            # A file named for one of libsndfile's own formats that it
            # cannot read is damaged: said as libsndfile says it.
            raise AudioError(f"cannot read it as audio ({libsndfile_reason(error)})") from None
        return _media_header(path, audio_stream, libsndfile_reason(error))
    if audio_stream not in (None, 0):
        raise AudioError(
            f"--audio-stream {audio_stream}: it holds one audio stream (counted from 0)"
        )
    rate, frames = int(info.samplerate), int(info.frames)
    file_format = str(info.format)
    metadata = read_metadata(path) if file_format in CONTAINERS else None
    return Header(
        rate,
        int(info.channels),
        frames,
        file_format,
        str(info.subtype),
        _short_data_chunk(str(info.extra_info), frames, rate),
        metadata,
    )


def _libsndfile_extension(path: Path) -> bool:
    extension = path.suffix[1:].upper()
    return _EXTENSION_FORMATS.get(extension, extension) in sf.available_formats()


def _media_header(path: Path, audio_stream: int | None, reason: str) -> Header:
    from . import _media

    try:
        probed = _media.probe(path, audio_stream)
    except AudioError as error:
        if str(error).startswith("cannot read it as audio") and audio_stream is None:
            raise AudioError(f"cannot read it as audio ({reason})") from None
        raise
    subtype = probed.source.codec.upper()
    return Header(
        probed.sample_rate,
        probed.channels,
        probed.frames,
        probed.format_name,
        subtype,
        media=probed.source,
        streams=probed.streams,
    )


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
    return Shortfall(
        held * promised / present if present > 0 else None,
        held,
        f"{promised} bytes of audio data promised, {present} present",
    )


def known_subtypes() -> list[str]:
    """Every subtype name this libsndfile knows, for any format."""
    return list(sf.available_subtypes())


@dataclass(frozen=True)
class OutputFormat:
    """How an output is written; `note` says what was chosen for the user."""

    format: str
    subtype: str
    note: str | None = None
    # Written through PyAV: FFmpeg's muxer and encoder.
    media: MediaOutput | None = None


def output_format(
    output: Path,
    source: Path,
    header: Header,
    subtype: str | None,
    codec: str | None = None,
    bit_rate: int | None = None,
) -> OutputFormat:
    """The output's format, from its extension, and its subtype: as asked,
    else the input's, else the nearest one the format holds.

    An output without an extension, or with its input's own extension that
    names no format (as --output-dir gives it), keeps the input's format;
    any other extension must name a format that libsndfile writes."""
    extension = output.suffix[1:].upper()
    named = _EXTENSION_FORMATS.get(extension, extension)
    media = _media_output(output, source, header, subtype, codec, bit_rate)
    if media is not None:
        return media
    notes = []
    if extension and named in sf.available_formats():
        file_format = named
    elif not extension or output.suffix.lower() == source.suffix.lower():
        file_format = header.format
        notes.append(f"{file_format}, the input's format")
    else:
        raise AudioError(
            f"cannot write {output.suffix} files: no format that libsndfile "
            f"writes has that extension; use {_common_extensions()}"
        )
    if subtype is not None:
        chosen = subtype
        if not sf.check_format(file_format, chosen):
            choices = ", ".join(sf.available_subtypes(file_format)) or "none"
            raise AudioError(
                f"{file_format} files cannot hold {chosen} samples; "
                f"{file_format} takes {choices}"
            )
    elif extension == "OPUS" and header.subtype != "OPUS":
        chosen = "OPUS"  # .opus names the codec, not only the Ogg container
    elif (
        sf.check_format(file_format, header.subtype)
        and _refusal(file_format, header.subtype, header) is None
    ):
        chosen = header.subtype
    else:
        # libsndfile lists some codecs for containers whose encoder then
        # refuses them (MPEG layer III in WAV): those fall back too.
        chosen = _nearest_subtype(file_format, header.subtype)
        notes.append(f"{chosen}: {file_format} cannot hold {header.subtype}")
    _check_writable(file_format, chosen, header)
    return OutputFormat(file_format, chosen, "; ".join(notes) or None)


def _media_output(
    output: Path,
    source: Path,
    header: Header,
    subtype: str | None,
    codec: str | None,
    bit_rate: int | None,
) -> OutputFormat | None:
    """An output that PyAV writes: a container libsndfile lacks (M4A, MP4,
    MOV, MKV, WebM, ADTS), a libsndfile format with a codec or bit rate
    that libsndfile cannot set (--codec, --bitrate), or a media input's
    own container (no extension, or the input's). None for libsndfile's."""
    from . import _media

    extension = output.suffix[1:].upper()
    same = not extension or output.suffix.lower() == source.suffix.lower()
    if extension in _media.MUXERS:
        muxer, default = _media.MUXERS[extension]
        file_format = extension
    elif extension in _media.ALSO_MUXERS and (codec is not None or bit_rate is not None):
        muxer, default = _media.ALSO_MUXERS[extension]
        file_format = extension
    elif same and header.media is not None:
        own = _media_muxer(header.media.container)
        if own is None:
            raise AudioError(
                f"cannot write {header.format} files; name an output of another "
                f"format ({', '.join('.' + e.lower() for e in _media.MUXERS)})"
            )
        muxer, default, file_format = own, "aac", header.format
    else:
        if codec is not None:
            written = [*_media.MUXERS, *_media.ALSO_MUXERS]
            raise AudioError(
                f"--codec {codec} needs an output that PyAV writes "
                f"({', '.join('.' + e.lower() for e in written)})"
            )
        return None
    remuxed = (
        header.media is not None
        and header.media.others > 0
        and muxer in ("mp4", "mov", "matroska", "webm")
    )
    if codec is None:
        # A video's soundtrack keeps its codec where it can be encoded and
        # the container takes it; anything else gets the container's own.
        kept = _media._DECODED_AS.get(header.media.codec) if header.media is not None else None
        codec = kept if remuxed and kept in _media.ENCODERS and kept != "flac" else default
        if muxer == "webm" and codec not in ("opus",):
            codec = "opus"
    if codec in _media.LOSSLESS:
        if bit_rate is not None:
            raise AudioError(f"--bitrate does not apply to {codec}, which is lossless")
        chosen = subtype or ("PCM_16" if PCM_BITS.get(header.subtype, 24) <= 16 else "PCM_24")
        if chosen not in ("PCM_16", "PCM_24"):
            raise AudioError(f"{codec} outputs take PCM_16 or PCM_24 samples, not {chosen}")
    else:
        if subtype is not None:
            raise AudioError(f"--subtype does not apply to {codec} outputs (lossy)")
        chosen = codec.upper()
        if bit_rate is None:
            source_rate = (
                header.media.bit_rate
                if header.media is not None and _media._DECODED_AS.get(header.media.codec) == codec
                else None
            )
            pairs = max(1, header.channels // 2)
            bit_rate = source_rate or _media.DEFAULT_BIT_RATES.get(codec, 128_000) * pairs
    layout = (
        header.media.layout
        if header.media is not None and header.media.layout
        else _media.layout_for(header.channels, header.mask)
    )
    number = sum(
        1
        for index, kind, _, _ in header.streams
        if kind == "audio" and header.media is not None and index < header.media.stream
    )
    media = _media.MediaOutput(
        muxer,
        codec,
        None if codec in _media.LOSSLESS else bit_rate,
        layout,
        header.media.stream if remuxed and header.media else None,
        number if remuxed else 0,
    )
    _media.check_output(
        media, header.sample_rate, header.channels, header.streams if remuxed else ()
    )
    rate = f" at {media.bit_rate // 1000} kbit/s" if media.bit_rate else ""
    return OutputFormat(file_format, chosen, f"{codec}{rate}", media)


def _media_muxer(container: str) -> str | None:
    """FFmpeg's muxer for a demuxer's files, where there is one."""
    if "mp4" in container or "mov" in container:
        return "mp4"
    if "matroska" in container:
        return "matroska"
    return {"aac": "adts", "mp3": "mp3", "ogg": "ogg"}.get(container)


def _nearest_subtype(file_format: str, source: str) -> str:
    """The subtype closest to `source` that `file_format` holds: the same
    integer width where there is one, else 24-bit PCM, else the format's own."""
    bits = PCM_BITS.get(source)
    if bits is not None:
        same_width = [
            name
            for name, width in PCM_BITS.items()
            if width == min(bits, 24) and sf.check_format(file_format, name)
        ]
        if same_width:
            return same_width[0]
    if sf.check_format(file_format, "PCM_24"):
        return "PCM_24"
    return str(sf.default_subtype(file_format))


def _check_writable(file_format: str, subtype: str, header: Header) -> None:
    reason = _refusal(file_format, subtype, header)
    if reason is not None:
        hint = ""
        rates = [int(rate) for rate in re.findall(r"\b\d{4,6}\b", reason)]
        if "sample rate" in reason and rates and header.sample_rate not in rates:
            above = [rate for rate in rates if rate >= header.sample_rate]
            hint = f"; add --sample-rate {min(above) if above else max(rates)} to resample"
        raise AudioError(
            f"{file_format} {subtype} cannot hold {header.channels} channels at "
            f"{header.sample_rate} Hz ({reason}){hint}"
        )


def _refusal(file_format: str, subtype: str, header: Header) -> str | None:
    """Opens an encoder in memory, which is how libsndfile says whether it
    takes this rate and channel count (MP3 and Opus take a few rates, MP3 two
    channels, FLAC eight); its reason where it does not."""
    try:
        with sf.SoundFile(
            io.BytesIO(),
            "w",
            samplerate=header.sample_rate,
            channels=header.channels,
            subtype=subtype,
            format=file_format,
        ):
            pass
    except (sf.SoundFileError, RuntimeError) as error:
        return libsndfile_reason(error)
    return None


def _common_extensions() -> str:
    common = [
        name.lower()
        for name in ("WAV", "FLAC", "AIFF", "OGG", "MP3", "CAF", "W64")
        if name in sf.available_formats()
    ]
    return ", ".join(f".{name}" for name in common) + " or another format of libsndfile"


def libsndfile_name(path: Path) -> str:
    # libsndfile takes the name "-" for standard input; a file of that name
    # is reached as ./-.
    name = str(path)
    return os.path.join(os.curdir, name) if name == "-" else name


def libsndfile_reason(error: BaseException) -> str:
    # libsndfile's own words, without the "Error opening '<path>': " that
    # soundfile puts in front: the caller names the file already.
    reason = str(getattr(error, "error_string", None) or error).strip().rstrip(".")
    return reason.removeprefix("Error : ")
