"""Media that libsndfile does not handle, through PyAV (FFmpeg's libraries):
AAC, ALAC, M4A and the soundtracks of video containers (MP4, MOV, MKV,
WebM) in; M4A/MP4 audio, video containers and the codecs libsndfile lacks
out.

An input's audio stream is decoded as it streams, frame by frame, into the
same recycled chunk buffers as libsndfile's reads. An output is encoded a
frame of the encoder's size at a time. Where the input is a container with
other streams (video, other audio tracks, subtitles, attached pictures),
the output carries them packet for packet: the input is demuxed again
beside the encoder, and each of its packets is muxed once the delivered
audio has reached its time, so the file comes out interleaved and nothing
but a packet or two waits in memory. Their timestamps are kept; the
delivered audio starts where the input's did.

Only the plain names of what was chosen travel in a Job (MediaSource,
MediaOutput): the containers are opened where the audio is read or written.
"""

from __future__ import annotations

import io
import math
import queue
import threading
from collections.abc import Callable, Generator, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from fractions import Fraction
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from . import _stopping
from ._formats import TEXT_FIELDS, AudioError, Shortfall

if TYPE_CHECKING:
    from qx_limiter_tools import Meter

Samples = npt.NDArray[np.float32]


@dataclass(frozen=True)
class MediaSource:
    """An input read through PyAV: its container (FFmpeg's name), the index
    of the audio stream delivered, that stream's codec, channel layout and
    bit rate, and how many other streams the container holds."""

    container: str
    stream: int
    codec: str
    layout: str
    bit_rate: int | None
    others: int


@dataclass(frozen=True)
class MediaOutput:
    """An output written through PyAV: FFmpeg's muxer and encoder, the bit
    rate (None: the encoder's own choice, or lossless), the channel layout,
    and whether the input's other streams are carried (the input's own
    index of the delivered audio stream, else None)."""

    muxer: str
    codec: str
    bit_rate: int | None
    layout: str
    remux_stream: int | None = None
    # The delivered audio among the output's audio streams (the input's
    # order is kept).
    audio_number: int = 0


# Output extensions that only PyAV writes: FFmpeg's muxer and the codec it
# gets unless --codec says otherwise.
MUXERS = {
    "M4A": ("ipod", "aac"),
    "M4B": ("ipod", "aac"),
    "MP4": ("mp4", "aac"),
    "M4V": ("mp4", "aac"),
    "MOV": ("mov", "aac"),
    "MKV": ("matroska", "aac"),
    "MKA": ("matroska", "aac"),
    "WEBM": ("webm", "opus"),
    "AAC": ("adts", "aac"),
}
# Extensions that libsndfile writes and PyAV writes too, where --codec or
# --bitrate asks for what libsndfile cannot set.
ALSO_MUXERS = {
    "MP3": ("mp3", "mp3"),
    "OGG": ("ogg", "opus"),
    "OPUS": ("ogg", "opus"),
    "OGA": ("ogg", "opus"),
}
# The names --codec takes, and FFmpeg's encoder for each.
ENCODERS = {"aac": "aac", "alac": "alac", "opus": "libopus", "mp3": "libmp3lame", "flac": "flac"}
# Lossless codecs: their samples are rounded by the quantiser (at the
# input's width, 16 or 24 bits) and stored exactly.
LOSSLESS = frozenset({"alac", "flac"})
# The bit rate per channel pair that a lossy encoder gets when neither
# --bitrate nor the input (the same codec at a known rate) gives one.
DEFAULT_BIT_RATES = {"aac": 256_000, "opus": 160_000, "mp3": 320_000}
# The codec names FFmpeg's decoders give, as --codec names them.
_DECODED_AS = {
    "aac": "aac",
    "alac": "alac",
    "opus": "opus",
    "mp3": "mp3",
    "flac": "flac",
    "mp3float": "mp3",
    "libopus": "opus",
}
# Containers whose muxer takes nearly any codec, and whose codec table
# FFmpeg cannot always answer for.
_OPEN_MUXERS = frozenset({"matroska", "ogg"})


def _av() -> Any:
    """PyAV, imported where it is used: --help, and runs that never touch
    media, need not load FFmpeg."""
    try:
        import av
    except ImportError:
        from ._options import EXTRA_HINT

        raise AudioError(f"reading or writing this format needs PyAV (av); {EXTRA_HINT}") from None
    return av


def _reason(error: BaseException) -> str:
    text = str(getattr(error, "strerror", None) or error).strip().rstrip(".")
    return text or type(error).__name__


@dataclass(frozen=True)
class Probed:
    """What PyAV tells of an input: its rate, channels and estimated
    length, and how to read it again."""

    sample_rate: int
    channels: int
    frames: int
    source: MediaSource
    format_name: str
    # Every stream's codec and kind, for the output's check.
    streams: tuple[tuple[int, str, str, bool], ...]


def probe(path: Path, audio_stream: int | None) -> Probed:
    """The `audio_stream`-th audio stream of `path` (the first by default)."""
    av = _av()
    try:
        container = av.open(str(path), "r")
    except (av.FFmpegError, OSError, ValueError) as error:
        raise AudioError(f"cannot read it as audio ({_reason(error)})") from None
    with container:
        audio = list(container.streams.audio)
        if not audio:
            raise AudioError("holds no audio stream")
        wanted = 0 if audio_stream is None else audio_stream
        if not 0 <= wanted < len(audio):
            raise AudioError(
                f"--audio-stream {wanted}: it holds {len(audio)} audio "
                f"stream{'s' if len(audio) != 1 else ''} (counted from 0)"
            )
        stream = audio[wanted]
        context = stream.codec_context
        rate = int(getattr(context, "sample_rate", 0) or 0)
        channels = int(getattr(context, "channels", 0) or 0)
        if rate <= 0 or channels <= 0:
            raise AudioError(f"its audio stream {wanted} states no sample rate or channels")
        seconds = 0.0
        if stream.duration is not None and stream.time_base is not None:
            seconds = float(stream.duration * stream.time_base)
        elif container.duration is not None:
            seconds = container.duration / 1_000_000
        streams = tuple(
            (
                s.index,
                s.type,
                s.codec_context.codec.canonical_name if s.codec_context is not None else "",
                bool(s.disposition & _ATTACHED_PIC),
            )
            for s in container.streams
        )
        source = MediaSource(
            container.format.name,
            stream.index,
            context.name,
            context.layout.name,
            stream.bit_rate or context.bit_rate or None,
            len(streams) - 1,
        )
        return Probed(
            rate,
            channels,
            max(0, round(seconds * rate)),
            source,
            _format_name(container.format.name, path),
            streams,
        )


# AV_DISPOSITION_ATTACHED_PIC: a cover picture, one packet, carried by tags.
_ATTACHED_PIC = 1024


def _format_name(container: str, path: Path) -> str:
    """A short name for the input's format, as the report shows it."""
    extension = path.suffix[1:].upper()
    if "mp4" in container or "mov" in container:
        return extension if extension in ("M4A", "M4B", "MP4", "M4V", "MOV") else "MP4"
    if "matroska" in container:
        return "WEBM" if extension == "WEBM" else "MKV"
    return container.split(",")[0].upper()


class MediaReader:
    """An input's audio stream decoded by PyAV, with InputReader's interface:
    chunks of float32 frames in WAV channel order (FFmpeg's own) into the
    caller's buffers. The container's length is an estimate: the chunks
    run to the end of the stream."""

    def __init__(self, path: Path, source: MediaSource) -> None:
        av = _av()
        self._path = path
        try:
            self._container: Any = av.open(str(path), "r")
            self._stream = self._container.streams[source.stream]
        except (av.FFmpegError, OSError, IndexError) as error:
            raise AudioError(f"cannot read it as audio ({_reason(error)})") from None
        context = self._stream.codec_context
        self.sample_rate = int(context.sample_rate)
        self.channels = int(context.channels)
        # The container's text, for outputs whose tags libsndfile writes
        # (RIFF INFO, AIFF); mutagen carries the rest.
        found = {key.lower(): str(value) for key, value in self._container.metadata.items()}
        found.setdefault("tracknumber", found.pop("track", ""))
        self.text = {name: found[name] for name in TEXT_FIELDS if found.get(name)}
        self.held = 0
        seconds = (
            float(self._stream.duration * self._stream.time_base)
            if self._stream.duration is not None
            else (self._container.duration or 0) / 1_000_000
        )
        self.promised = max(0, round(seconds * self.sample_rate))
        self._resampler = av.AudioResampler(
            format="flt", layout=context.layout, rate=self.sample_rate
        )

    def close(self) -> None:
        if self._container is not None:
            self._container.close()
            self._container = None

    def chunks(
        self, frames: int, next_buffer: Callable[[], Samples]
    ) -> Generator[Samples, None, None]:
        """The stream's frames in views of buffers from `next_buffer`; up to
        `frames` where fewer than the container's estimate are asked for."""
        limit = frames if frames < self.promised else math.inf
        buffer = next_buffer()
        filled = 0
        try:
            for packed in self._decoded():
                at = 0
                while at < packed.shape[0] and self.held + filled < limit:
                    take = int(
                        min(
                            packed.shape[0] - at,
                            buffer.shape[0] - filled,
                            limit - self.held - filled,
                        )
                    )
                    buffer[filled : filled + take] = packed[at : at + take]
                    filled += take
                    at += take
                    if filled == buffer.shape[0]:
                        self.held += filled
                        yield buffer[:filled]
                        buffer, filled = next_buffer(), 0
                if self.held + filled >= limit:
                    break
            if filled:
                self.held += filled
                yield buffer[:filled]
        finally:
            self.close()

    def _decoded(self) -> Iterator[npt.NDArray[np.float32]]:
        av = _av()
        try:
            for frame in self._container.decode(self._stream):
                for converted in self._resampler.resample(frame):
                    yield converted.to_ndarray().reshape(-1, self.channels)
                _stopping.check()
            for converted in self._resampler.resample(None):
                yield converted.to_ndarray().reshape(-1, self.channels)
        except av.FFmpegError as error:
            raise AudioError(f"cannot decode its audio ({_reason(error)})") from None

    def shortfall(self) -> Shortfall | None:
        # A stream ends where its packets end; the container's length was
        # an estimate, not a promise.
        return None


def first_sample_seconds(path: Path, source: MediaSource) -> float:
    """When the input's audio starts, as its first decoded frame says."""
    av = _av()
    with av.open(str(path), "r") as container:
        for frame in container.decode(container.streams[source.stream]):
            return float(frame.time) if frame.time is not None else 0.0
    return 0.0


# The WAV channel mask's bits, in order, by FFmpeg's names.
_MASK_NAMES = (
    "FL",
    "FR",
    "FC",
    "LFE",
    "BL",
    "BR",
    "FLC",
    "FRC",
    "BC",
    "SL",
    "SR",
    "TC",
    "TFL",
    "TFC",
    "TFR",
    "TBL",
    "TBC",
    "TBR",
)


def layout_for(channels: int, mask: int | None = None) -> str:
    """FFmpeg's layout for a WAV channel mask (the channels' own order
    being the mask's), or for the layout a channel count defines."""
    from ._layout import DEFINED_MASKS

    if mask is None:
        mask = {1: 0x4, 2: 0x3}.get(channels, DEFINED_MASKS.get(channels))
    names = [name for bit, name in enumerate(_MASK_NAMES) if mask and mask >> bit & 1]
    if mask is None or len(names) != channels:
        return f"{channels} channels"
    av = _av()
    return str(av.AudioLayout("+".join(names)).name)


def check_output(
    output: MediaOutput,
    sample_rate: int,
    channels: int,
    streams: tuple[tuple[int, str, str, bool], ...] = (),
) -> None:
    """AudioError where the muxer or the encoder refuses what it would be
    given: the codec in this container, the rate, the channels, or one of
    the input's other streams; said before anything is written."""
    av = _av()
    try:
        container = av.open(io.BytesIO(), "w", format=output.muxer)
    except (av.FFmpegError, ValueError) as error:
        raise AudioError(f"cannot write {output.muxer} files ({_reason(error)})") from None
    with container:
        supported = container.supported_codecs
        name = _DECODED_AS.get(output.codec, output.codec)
        if (
            output.muxer not in _OPEN_MUXERS
            and output.codec not in supported
            and ENCODERS.get(name, name) not in supported
        ):
            raise AudioError(f"a {output.muxer} file cannot hold {name} audio")
        codec = av.Codec(ENCODERS.get(name, name), "w")
        rates = codec.audio_rates
        if rates and sample_rate not in rates:
            listed = ", ".join(str(rate) for rate in sorted(rates))
            raise AudioError(
                f"the {name} encoder takes {listed} Hz, not {sample_rate} Hz; "
                f"add --sample-rate {_nearest_rate(rates, sample_rate)} to "
                f"resample"
            )
        try:
            stream = container.add_stream(codec.name, rate=sample_rate, layout=output.layout)
            if output.bit_rate is not None:
                stream.bit_rate = output.bit_rate
            stream.codec_context.open()
        except (av.FFmpegError, ValueError) as error:
            raise AudioError(
                f"the {name} encoder takes no {channels} channels at "
                f"{sample_rate} Hz ({_reason(error)})"
            ) from None
        for index, kind, codec_name, attached in streams:
            if index == output.remux_stream or (attached and _tags_carry_pictures(output)):
                continue
            if output.muxer not in _OPEN_MUXERS and codec_name not in supported:
                raise AudioError(
                    f"a {output.muxer} file cannot hold its stream {index} "
                    f"({kind}, {codec_name}); write .mkv, which holds it"
                )


def _nearest_rate(rates: Any, wanted: int) -> int:
    listed = [int(rate) for rate in rates]
    above = sorted(rate for rate in listed if rate >= wanted)
    return above[0] if above else max(listed)


def _tags_carry_pictures(output: MediaOutput) -> bool:
    """MP4-family outputs get their cover art through the tags (covr),
    not as a stream."""
    return output.muxer in ("ipod", "mp4", "mov")


class MediaEncoder:
    """Encodes chunks of stored samples into `path` (the temporary file)
    with PyAV, carrying the input's other streams where asked; every error
    is an AudioError naming `target`. The same methods as Encoder."""

    def __init__(
        self,
        path: Path,
        target: Path,
        sample_rate: int,
        channels: int,
        output: MediaOutput,
        bits: int | None,
        source: Path | None,
        start_seconds: float = 0.0,
        meter: Meter | None = None,
    ) -> None:
        av = _av()
        self._target = target
        self._rate = sample_rate
        self._channels = channels
        self._input: Any = None
        self._pending: Iterator[Any] | None = None
        self._waiting: Any = None
        self._carried: dict[int, Any] = {}
        self._output: Any = None
        self._bits = bits
        # A lossy output's packets, decoded again beside the encoder.
        self.verifier: PacketDecoder | None = None
        with self._reasons():
            options = {"movflags": "+faststart"} if output.muxer in ("ipod", "mp4", "mov") else {}
            self._output = av.open(str(path), "w", format=output.muxer, options=options)
            encoder = ENCODERS.get(output.codec, output.codec)
            if output.remux_stream is None or source is None:
                self._audio = self._audio_stream(encoder, output)
                if source is not None:
                    self._described(source)
            else:
                self._remuxed(source, output, encoder)
            context = self._audio.codec_context
            context.open()
            self._format = context.format.name
            self._planar = bool(context.format.is_planar)
            self._size = int(context.frame_size) or 4096
            dtype = {"s16": np.int16, "s32": np.int32, "flt": np.float32}[
                self._format.removesuffix("p")
            ]
            self._dtype = dtype
            self._fifo: npt.NDArray[Any] = np.empty((self._size, channels), dtype=dtype)
            self._filled = 0
            self._pts = round(start_seconds * sample_rate)
            self._time_base = Fraction(1, sample_rate)
            if output.codec not in LOSSLESS:
                self.verifier = PacketDecoder(context, channels, meter)

    def _audio_stream(self, encoder: str, output: MediaOutput) -> Any:
        stream = self._output.add_stream(encoder, rate=self._rate, layout=output.layout)
        context = stream.codec_context
        if output.bit_rate is not None:
            stream.bit_rate = output.bit_rate
        formats = [f.name for f in (context.codec.audio_formats or [])]
        # Float where the encoder takes it; a lossless encoder gets integers
        # at the width it stores (ALAC: s16p or s32p, FLAC: s16 or s32).
        wanted = [name for name in ("fltp", "flt") if name in formats] or [
            name for name in formats if name.startswith("s32")
        ] + [name for name in formats if name.startswith("s16")]
        if output.codec in LOSSLESS:
            width = "s16" if self._bits == 16 else "s32"
            wanted = [name for name in formats if name.startswith(width)] or wanted
        if wanted:
            context.format = wanted[0]
        stream.time_base = Fraction(1, self._rate)
        return stream

    def _described(self, source: Path) -> None:
        """A media input's container tags and chapters, where its streams
        are not carried (an M4A's chapters into an M4A, say)."""
        av = _av()
        with av.open(str(source), "r") as container:
            self._output.metadata.update(container_tags(container))
            chapters = container.chapters()
            if chapters:
                self._output.set_chapters(chapters)

    def _remuxed(self, source: Path, output: MediaOutput, encoder: str) -> None:
        """The output's streams in the input's order: the delivered audio
        encoded afresh, every other one a copy of its template."""
        av = _av()
        self._input = av.open(str(source), "r")
        self._output.metadata.update(container_tags(self._input))
        self._audio = None
        for stream in self._input.streams:
            if stream.index == output.remux_stream:
                self._audio = self._audio_stream(encoder, output)
                self._audio.metadata.update(_stream_tags(stream))
                self._audio.disposition = stream.disposition
                continue
            if stream.disposition & _ATTACHED_PIC:
                if not _tags_carry_pictures(output):
                    self._attach(source, stream)
                continue  # MP4-family outputs: the tags carry the cover
            copy = self._output.add_stream_from_template(stream)
            copy.metadata.update(_stream_tags(stream))
            copy.disposition = stream.disposition
            self._carried[stream.index] = copy
        for attachment in getattr(self._input.streams, "attachments", ()):
            self._output.add_attachment(
                attachment.name, attachment.mimetype, bytes(attachment.data)
            )
        chapters = self._input.chapters()
        if chapters:
            self._output.set_chapters(chapters)
        carried = [self._input.streams[index] for index in self._carried]
        self._pending = iter(self._input.demux(*carried)) if carried else None

    def _attach(self, source: Path, stream: Any) -> None:
        """An attached picture (cover art, a Matroska attachment) as the
        output's attachment: its one packet, named as it was."""
        av = _av()
        with av.open(str(source), "r") as again:
            picture = next(
                (
                    bytes(packet)
                    for packet in again.demux(again.streams[stream.index])
                    if packet.size
                ),
                None,
            )
        if picture is None:
            return
        tags = stream.metadata
        mimetype = tags.get("mimetype") or {"png": "image/png", "mjpeg": "image/jpeg"}.get(
            stream.codec_context.name, "application/octet-stream"
        )
        name = tags.get("filename") or f"cover.{'png' if 'png' in mimetype else 'jpg'}"
        self._output.add_attachment(name, mimetype, picture)

    def write(self, samples: npt.NDArray[Any]) -> None:
        with self._reasons():
            if self._format.startswith("s16") and samples.dtype == np.int32:
                samples = np.right_shift(samples, 16)  # left-justified 16-bit samples
            at = 0
            while at < samples.shape[0]:
                take = min(samples.shape[0] - at, self._size - self._filled)
                self._fifo[self._filled : self._filled + take] = samples[at : at + take]
                self._filled += take
                at += take
                if self._filled == self._size:
                    self._encode(self._fifo)
                    self._filled = 0

    def _encode(self, block: npt.NDArray[Any] | None) -> None:
        av = _av()
        frame = None
        if block is not None:
            data = np.ascontiguousarray(block.T) if self._planar else block.reshape(1, -1)
            frame = av.AudioFrame.from_ndarray(
                data, format=self._format, layout=self._audio.codec_context.layout
            )
            frame.sample_rate = self._rate
            frame.pts = self._pts
            frame.time_base = self._time_base
            self._pts += block.shape[0]
        for packet in self._audio.encode(frame):
            self._carry_until(
                packet.pts * packet.time_base
                if packet.pts is not None and packet.time_base
                else None
            )
            if self.verifier is not None:
                self.verifier.put(bytes(packet))  # muxing takes the packet's data
            self._output.mux(packet)

    def _carry_until(self, seconds: Fraction | None) -> None:
        """Muxes the other streams' packets up to `seconds` (all of them
        where None)."""
        while self._pending is not None:
            packet = self._waiting
            if packet is None:
                packet = next(self._pending, None)
                if packet is None:
                    self._pending = None
                    return
                if packet.size == 0 and packet.dts is None:
                    continue  # the demuxer's end-of-stream marker
            at = packet.dts if packet.dts is not None else packet.pts
            if (
                seconds is not None
                and at is not None
                and packet.time_base is not None
                and at * packet.time_base > seconds
            ):
                self._waiting = packet
                return
            self._waiting = None
            packet.stream = self._carried[packet.stream_index]
            self._output.mux(packet)
            _stopping.check()

    def finish(self) -> None:
        """Encodes what is left, flushes the encoder, muxes the rest of the
        other streams and completes the file."""
        with self._reasons():
            if self._filled:
                self._encode(self._fifo[: self._filled])
                self._filled = 0
            self._encode(None)
            self._carry_until(None)
            self._output.close()
            self._output = None
            if self.verifier is not None:
                self.verifier.finish()
        self.abandon()

    def abandon(self) -> None:
        if self.verifier is not None:
            self.verifier.stop()
        for name in ("_output", "_input"):
            container = getattr(self, name, None)
            if container is not None:
                try:
                    container.close()
                except Exception:  # noqa: BLE001 - it is being removed
                    pass
                setattr(self, name, None)

    @contextmanager
    def _reasons(self) -> Iterator[None]:
        """FFmpeg's and the system's errors as the failure of this output."""
        av = _av()
        try:
            yield
        except (av.FFmpegError, OSError, ValueError) as error:
            self.abandon()
            raise AudioError(f"cannot write {self._target} ({_reason(error)})") from None


# What an MP4 demuxer reports of its own file, not tags.
_CONTAINER_OWN = frozenset({"major_brand", "minor_version", "compatible_brands", "encoder"})


def container_tags(container: Any) -> dict[str, str]:
    """A container's tags, less what its muxer wrote for itself."""
    return {
        key: value for key, value in container.metadata.items() if key.lower() not in _CONTAINER_OWN
    }


def _stream_tags(stream: Any) -> dict[str, str]:
    """A stream's tags (language, title, handler), less what the muxer
    writes for itself."""
    return {
        key: value
        for key, value in stream.metadata.items()
        if key.upper() not in ("ENCODER", "DURATION", "VENDOR_ID", "HANDLER_NAME")
    }


def decoded_peak(path: Path, target: Path, audio_number: int, meter: Meter | None = None) -> float:
    """The largest sample magnitude of a written file's audio as FFmpeg
    decodes it; `meter` measures what it decodes."""
    av = _av()
    largest = 0.0
    try:
        with av.open(str(path), "r") as container:
            stream = container.streams.audio[audio_number]
            channels = int(stream.codec_context.channels)
            resampler = av.AudioResampler(
                format="flt",
                layout=stream.codec_context.layout,
                rate=stream.codec_context.sample_rate,
            )
            for frame in container.decode(stream):
                for converted in resampler.resample(frame):
                    block = converted.to_ndarray().reshape(-1, channels)
                    if block.size:
                        largest = max(largest, float(np.abs(block).max()))
                        if meter is not None:
                            meter.add(block, axis=0)
                _stopping.check()
    except (av.FFmpegError, OSError, IndexError) as error:
        raise AudioError(f"cannot write {target} (reading it back: {_reason(error)})") from None
    return largest


class PacketDecoder:
    """A lossy output's packets decoded again as they go into the file, in
    a thread of its own beside the encoder (the file's own decoding, with
    the codec's priming kept, which reads as near silence): the largest
    sample and, with `meter`, the meter's reading of what a player decodes,
    without reading the file back once it is written."""

    def __init__(self, encoder: Any, channels: int, meter: Meter | None) -> None:
        av = _av()
        decoder = av.CodecContext.create(encoder.codec.canonical_name, "r")
        decoder.sample_rate = encoder.sample_rate
        decoder.layout = encoder.layout
        if encoder.extradata:
            decoder.extradata = encoder.extradata
        decoder.open()
        self._decoder = decoder
        self._resampler = av.AudioResampler(
            format="flt", layout=encoder.layout, rate=encoder.sample_rate
        )
        self._channels = channels
        self._meter = meter
        self.largest = 0.0
        self._queue: queue.Queue[bytes | None] = queue.Queue(maxsize=256)
        self._stopped = threading.Event()
        self._error: BaseException | None = None
        self._thread = threading.Thread(target=self._run, name="qx-limiter decoder", daemon=True)
        self._thread.start()

    def put(self, data: bytes | None) -> None:
        while not self._stopped.is_set() and self._error is None:
            try:
                self._queue.put(data, timeout=0.05)
                return
            except queue.Full:
                _stopping.check()
        if self._error is not None:
            raise self._error

    def finish(self) -> None:
        self.put(None)
        while self._thread.is_alive():
            self._thread.join(0.05)
            _stopping.check()
        if self._error is not None:
            raise self._error

    def stop(self) -> None:
        self._stopped.set()
        if self._thread.is_alive() and threading.current_thread() is not self._thread:
            self._thread.join()

    def _run(self) -> None:
        av = _av()
        try:
            while not self._stopped.is_set():
                try:
                    data = self._queue.get(timeout=0.05)
                except queue.Empty:
                    continue
                for frame in self._decoder.decode(av.Packet(data) if data is not None else None):
                    self._take(frame)
                if data is None:
                    return
        except BaseException as error:  # noqa: BLE001 - raised in the encoder's thread
            self._error = error

    def _take(self, frame: Any) -> None:
        for converted in self._resampler.resample(frame):
            samples = converted.to_ndarray().reshape(-1, self._channels)
            if samples.size:
                self.largest = max(self.largest, float(np.abs(samples).max()))
                if self._meter is not None:
                    self._meter.add(samples, axis=0)


def check_trial(codec: str, bit_rate: int, sample_rate: int, channels: int, layout: str) -> None:
    """AudioError where the trial's encoder refuses this audio (Opus takes
    48 kHz and a few lower rates), naming the option that resamples."""
    av = _av()
    encoder = av.Codec(ENCODERS.get(codec, codec), "w")
    rates = encoder.audio_rates
    if rates and sample_rate not in rates:
        listed = ", ".join(str(rate) for rate in sorted(rates))
        raise AudioError(
            f"--verify-codec {codec}: the {codec} encoder takes {listed} Hz, not "
            f"{sample_rate} Hz; add --sample-rate "
            f"{_nearest_rate(rates, sample_rate)} to resample the output"
        )
    meter: Any = _NoMeter()
    CodecTrial(codec, bit_rate, sample_rate, channels, layout, meter)


class _NoMeter:
    def add(self, audio: object, axis: int = 0) -> None:
        pass


class CodecTrial:
    """A platform's codec run over the limited audio as it is written: each
    chunk encoded (FFmpeg's encoder, at the platform's bit rate) and the
    packets decoded at once, in memory, no file; `meter` measures what the
    platform's listeners would decode."""

    def __init__(
        self, codec: str, bit_rate: int, sample_rate: int, channels: int, layout: str, meter: Meter
    ) -> None:
        av = _av()
        self._meter = meter
        self._channels = channels
        try:
            encoder = av.CodecContext.create(ENCODERS.get(codec, codec), "w")
            encoder.sample_rate = sample_rate
            encoder.layout = layout
            formats = [f.name for f in (encoder.codec.audio_formats or [])]
            encoder.format = next(name for name in ("fltp", "flt") if name in formats)
            encoder.bit_rate = bit_rate
            encoder.time_base = Fraction(1, sample_rate)
            encoder.open()
            decoder = av.CodecContext.create(codec if codec != "mp3" else "mp3float", "r")
            decoder.sample_rate = sample_rate
            decoder.layout = layout
            if encoder.extradata:
                decoder.extradata = encoder.extradata
            decoder.open()
        except StopIteration:
            raise AudioError(f"the {codec} encoder takes no float samples") from None
        except (av.FFmpegError, ValueError) as error:
            raise AudioError(
                f"cannot run the {codec} encoder for --verify-codec ({_reason(error)})"
            ) from None
        self._encoder, self._decoder = encoder, decoder
        self._resampler = av.AudioResampler(format="flt", layout=layout, rate=sample_rate)
        self._planar = bool(encoder.format.is_planar)
        self._size = int(encoder.frame_size) or 1024
        self._fifo = np.empty((self._size, channels), dtype=np.float32)
        self._filled = 0
        self._pts = 0
        self._rate = sample_rate

    def add(self, audio: Samples) -> None:
        at = 0
        while at < audio.shape[0]:
            take = min(audio.shape[0] - at, self._size - self._filled)
            self._fifo[self._filled : self._filled + take] = audio[at : at + take]
            self._filled += take
            at += take
            if self._filled == self._size:
                self._round_trip(self._fifo)
                self._filled = 0

    def finish(self) -> None:
        if self._filled:
            self._round_trip(self._fifo[: self._filled])
            self._filled = 0
        self._round_trip(None)

    def _round_trip(self, block: Samples | None) -> None:
        av = _av()
        frame = None
        if block is not None:
            data = np.ascontiguousarray(block.T) if self._planar else block.reshape(1, -1)
            frame = av.AudioFrame.from_ndarray(
                data, format=self._encoder.format.name, layout=self._encoder.layout
            )
            frame.sample_rate = self._rate
            frame.pts = self._pts
            frame.time_base = Fraction(1, self._rate)
            self._pts += block.shape[0]
        packets = list(self._encoder.encode(frame))
        for packet in packets + ([None] if frame is None else []):
            for decoded in self._decoder.decode(packet):
                for converted in self._resampler.resample(decoded):
                    samples = converted.to_ndarray().reshape(-1, self._channels)
                    if samples.size:
                        self._meter.add(samples, axis=0)
