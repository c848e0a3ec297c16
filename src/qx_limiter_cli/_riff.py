"""The metadata of WAV-family files (WAV, RF64, Sony Wave64), kept across a
run: the chunks an input carries besides its audio (bext, iXML, cue , LIST
and any other) and the channel mask of its WAVE_FORMAT_EXTENSIBLE header.

libsndfile writes the output's own header and audio; it copies neither.
So the output is written by libsndfile a few bytes into its temporary file,
leaving room in front, and once it is complete the front is filled with a
header of our own: the output's chunks as libsndfile wrote them, its format
chunk carrying the channel mask, the input's chunks byte for byte, and a
JUNK chunk (which every reader skips) over what remains of libsndfile's
header, up to its data chunk. The audio is not moved.
"""

from __future__ import annotations

import functools
import io
import math
import os
import struct
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO

import numpy as np
import soundfile as sf

# The output formats (libsndfile's names) whose header is ours to extend.
CONTAINERS = {"WAV": "RIFF", "WAVEX": "RIFF", "RF64": "RF64", "W64": "W64"}

# Chunks that describe the audio itself, which libsndfile writes for the
# output: its format, length, peaks and padding; every other chunk is carried.
_OWN = frozenset(
    {
        b"fmt ",
        b"data",
        b"fact",
        b"ds64",
        b"PEAK",
        b"levl",
        b"MD5 ",
        b"JUNK",
        b"junk",
        b"PAD ",
        b"FLLR",
        b"filr",
    }
)
# Chunks larger than this are not carried (a file can claim anything).
MAX_CARRIED = 16 << 20

# Wave64 names chunks by GUID; those of RIFF chunks are the four characters
# followed by these twelve bytes, except the list chunk, which has its own.
_W64_SUFFIX = bytes.fromhex("f3acd3118cd100c04f8edb8a")
_W64_LIST = b"list" + bytes.fromhex("2f91cf11a5d628db04c10000")
_W64_RIFF = b"riff" + bytes.fromhex("2e91cf11a5d628db04c10000")

_EXTENSIBLE = 0xFFFE
# The SubFormat GUID of WAVE_FORMAT_EXTENSIBLE: the format tag, then this.
_SUBFORMAT_SUFFIX = bytes.fromhex("000000001000800000aa00389b71")


@dataclass(frozen=True)
class Chunk:
    """A chunk of the input: its four-character name and where its payload is."""

    name: bytes
    offset: int
    size: int


@dataclass(frozen=True)
class Metadata:
    """What a WAV-family input carries besides its audio."""

    mask: int | None
    chunks: tuple[Chunk, ...] = ()
    # Chunks left behind for their size.
    dropped: tuple[str, ...] = ()

    def room(self, container: str) -> int:
        """The bytes to leave in front of libsndfile's output for the header
        that carries this: the chunks, the format chunk's growth to the
        extensible form (24 bytes at most) and a JUNK chunk with a few bytes
        in it (ffmpeg refuses a Wave64 file with an empty one)."""
        if container == "W64":
            return sum(24 + _up(chunk.size, 8) for chunk in self.chunks) + 24 + 24 + 8
        return sum(8 + _up(chunk.size, 2) for chunk in self.chunks) + 24 + 8 + 8


def _up(size: int, step: int) -> int:
    return -(-size // step) * step


def read_metadata(path: Path) -> Metadata | None:
    """The chunks and channel mask of a WAV, RF64 or Wave64 file; None for
    any other file, or one whose chunk list cannot be walked."""
    try:
        with open(path, "rb") as file:
            return _walk(file)
    except (OSError, struct.error, ValueError):
        return None


def _walk(file: BinaryIO) -> Metadata | None:
    read, seek = file.read, file.seek
    end = seek(0, os.SEEK_END)
    seek(0)
    start = read(12)
    if len(start) < 12:
        return None
    w64 = start[:4] == b"riff"
    if w64:
        rest = read(28)
        if start + rest[:4] != _W64_RIFF or rest[12:16] != b"wave":
            return None
        position = 40
    elif start[:4] in (b"RIFF", b"RF64") and start[8:12] == b"WAVE":
        position = 12
    else:
        return None
    mask: int | None = None
    data_size: int | None = None
    chunks: list[Chunk] = []
    dropped: list[str] = []
    while True:
        seek(position)
        head = read(24 if w64 else 8)
        if len(head) < (24 if w64 else 8):
            break
        if w64:
            name = _riff_name(head[:16])
            size = struct.unpack("<Q", head[16:24])[0] - 24
            payload, step = position + 24, 8
        else:
            name = head[:4]
            size = struct.unpack("<I", head[4:8])[0]
            payload, step = position + 8, 2
        if name == b"ds64":
            seek(payload)
            data_size = struct.unpack("<Q", read(28)[8:16])[0]
        if name == b"data" and not w64 and size == 0xFFFFFFFF and data_size is not None:
            size = data_size
        if size < 0 or payload + size > end:
            size = max(0, end - payload)  # cut short: what is there
        if name == b"fmt " and size >= 24:
            seek(payload)
            fmt = read(24)
            if struct.unpack("<H", fmt[:2])[0] == _EXTENSIBLE:
                mask = struct.unpack("<I", fmt[20:24])[0] or None
        elif name is not None and name not in _OWN:
            if size > MAX_CARRIED:
                dropped.append(name.decode("latin-1"))
            else:
                chunks.append(Chunk(name, payload, size))
        position = payload + _up(size, step)
        if position >= end:
            break
    return Metadata(mask, tuple(chunks), tuple(dropped))


@functools.cache
def written_mask(file_format: str, subtype: str, channels: int) -> int | None:
    """The channel mask that libsndfile writes by itself for such an output:
    what its header states, or for a plain header of one or two channels,
    the layout that everyone reads it as (centre; left and right)."""
    memory = io.BytesIO()
    with sf.SoundFile(
        memory, "w", samplerate=48000, channels=channels, subtype=subtype, format=file_format
    ) as file:
        file.write(np.zeros((1, channels), dtype=np.float32))
    memory.seek(0)
    found = _walk(memory)
    if found is not None and found.mask is not None:
        return found.mask
    return {1: 0x4, 2: 0x3}.get(channels)


def _riff_name(guid: bytes) -> bytes | None:
    if guid == _W64_LIST:
        return b"LIST"
    if guid[4:] == _W64_SUFFIX:
        return guid[:4]
    return None  # a Wave64 chunk with no RIFF name: not carried


def _w64_guid(name: bytes) -> bytes:
    return _W64_LIST if name == b"LIST" else name + _W64_SUFFIX


@dataclass(frozen=True)
class Front:
    """The header an output gets in front of libsndfile's: the channel mask
    and the chunks of `source` that `metadata` lists."""

    container: str
    source: Path
    metadata: Metadata
    mask: int | None

    def room(self) -> int:
        return self.metadata.room(self.container)

    def write(self, descriptor: int, base: int) -> None:
        graft(descriptor, base, self.container, self.source, self.metadata, self.mask)


def graft(
    descriptor: int, base: int, container: str, source: Path, metadata: Metadata, mask: int | None
) -> None:
    """Puts the header in front of the output that libsndfile wrote at
    `base` in the file open as `descriptor` (room for `metadata` left):
    libsndfile's chunks, the format chunk with `mask` (where given), the
    input's chunks read from `source`, then JUNK up to the audio."""
    w64 = container == "W64"
    head_size, step = (24, 8) if w64 else (8, 2)
    total = os.fstat(descriptor).st_size
    # libsndfile's chunks before its data chunk.
    position = base + (40 if w64 else 12)
    own: list[tuple[bytes, bytes]] = []
    while True:
        head = os.pread(descriptor, head_size, position)
        name = _riff_name(head[:16]) if w64 else head[:4]
        if name is None or name == b"data":
            break
        size = (
            struct.unpack("<Q", head[16:24])[0] - 24 if w64 else struct.unpack("<I", head[4:8])[0]
        )
        payload = os.pread(descriptor, size, position + head_size)
        own.append((name, _with_mask(payload, mask) if name == b"fmt " else payload))
        position += head_size + _up(size, step)
    data_at = position
    with open(source, "rb") as file:
        carried = []
        for chunk in metadata.chunks:
            file.seek(chunk.offset)
            carried.append((chunk.name, file.read(chunk.size)))
    # libsndfile's RF64 reader loses its way after a chunk of odd size (it
    # skips no pad byte) and then finds no audio: those go after the audio,
    # where it does not look and other readers do.
    after = [
        (name, payload) for name, payload in carried if container == "RF64" and len(payload) % 2
    ]
    carried = [entry for entry in carried if entry not in after]
    if after:
        tail = bytes(total % 2) + b"".join(_chunk(name, payload, w64) for name, payload in after)
        os.pwrite(descriptor, tail, total)
        total += len(tail)
    body = b"".join(_chunk(name, payload, w64) for name, payload in own + carried)
    front = (40 if w64 else 12) + len(body)
    junk = data_at - front - head_size
    if junk < 0:
        raise ValueError("no room was left for the header")
    body += _chunk(b"junk" if w64 else b"JUNK", bytes(junk), w64)
    if w64:
        start = _W64_RIFF + struct.pack("<Q", total) + b"wave" + _W64_SUFFIX
    elif container == "RF64":
        start = b"RF64" + struct.pack("<I", 0xFFFFFFFF) + b"WAVE"
        body = _rf64_sizes(body, total)
    else:
        start = b"RIFF" + struct.pack("<I", total - 8) + b"WAVE"
    os.pwrite(descriptor, start + body, 0)


def _chunk(name: bytes, payload: bytes, w64: bool) -> bytes:
    if w64:
        return (
            _w64_guid(name)
            + struct.pack("<Q", 24 + len(payload))
            + payload
            + bytes(_up(len(payload), 8) - len(payload))
        )
    return name + struct.pack("<I", len(payload)) + payload + bytes(len(payload) & 1)


def _rf64_sizes(body: bytes, total: int) -> bytes:
    """The ds64 chunk (first) with the file's size; the data and sample
    counts libsndfile wrote in it stay."""
    assert body[:4] == b"ds64"
    return body[:8] + struct.pack("<Q", total - 8) + body[16:]


def _with_mask(fmt: bytes, mask: int | None) -> bytes:
    """A format chunk payload in the extensible form with `mask`; as it is
    without a mask, or for a format that has no extensible form here (only
    PCM and IEEE float)."""
    if mask is None or len(fmt) < 16:
        return fmt
    tag, channels, rate, per_second, align, bits = struct.unpack("<HHIIHH", fmt[:16])
    if tag == _EXTENSIBLE and len(fmt) >= 40:
        return fmt[:20] + struct.pack("<I", mask) + fmt[24:]
    if tag not in (1, 3):
        return fmt
    return (
        struct.pack(
            "<HHIIHHHHI", _EXTENSIBLE, channels, rate, per_second, align, bits, 22, bits, mask
        )
        + struct.pack("<H", tag)
        + _SUBFORMAT_SUFFIX
    )


# Where the loudness fields of a bext chunk's version 2 lie in its payload:
# the version (after description, originator, reference, date, time and
# time reference), then LoudnessValue, LoudnessRange, MaxTruePeakLevel,
# each a little-endian int16 in hundredths (after the 64-byte UMID).
_BEXT_VERSION = 346
_BEXT_LOUDNESS = 412
_BEXT_SIZE = 602  # without the coding history


def set_bext_loudness(
    path: Path, integrated_lufs: float, range_lu: float, true_peak_dbtp: float
) -> bool:
    """Fills the loudness fields of the bext chunk of the WAV-family file at
    `path` with what was measured, and makes the chunk version 2; every
    other byte stays. A figure that is not finite (silence) leaves its
    field as it was. False where the file has no bext chunk to fill."""
    metadata = read_metadata(path)
    found = [
        chunk
        for chunk in (metadata.chunks if metadata else ())
        if chunk.name == b"bext" and chunk.size >= _BEXT_SIZE
    ]
    if not found:
        return False
    at = found[0].offset
    with open(path, "r+b") as file:
        file.seek(at + _BEXT_VERSION)
        version = struct.unpack("<H", file.read(2))[0]
        file.seek(at + _BEXT_VERSION)
        file.write(struct.pack("<H", max(2, version)))
        for index, value in enumerate((integrated_lufs, range_lu, true_peak_dbtp)):
            if math.isfinite(value):
                file.seek(at + _BEXT_LOUDNESS + 2 * index)
                file.write(struct.pack("<h", max(-32768, min(32767, round(value * 100)))))
    return True
