"""Tags and cover art, carried from the input to the output across formats
with mutagen: Vorbis comments (FLAC, Ogg Vorbis and Opus), ID3 (MP3, and the
id3 chunk of WAV and AIFF), MP4 atoms (M4A, MP4, MOV). Common fields are
mapped by name between them; any other field travels under its own name
(an ID3 TXXX or an MP4 freeform atom on the way). RIFF INFO is libsndfile's:
it reads the input's and writes the output's text fields.

Tags are written into the finished temporary file, before it is renamed
into place: an output is complete, tags and all, or not there.
"""

from __future__ import annotations

import base64
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from ._formats import AudioError, OutputFormat

# A common field's names: neutral (the Vorbis comment's), ID3 frame, MP4 atom.
_FIELDS = (
    ("title", "TIT2", "\xa9nam"),
    ("artist", "TPE1", "\xa9ART"),
    ("album", "TALB", "\xa9alb"),
    ("albumartist", "TPE2", "aART"),
    ("date", "TDRC", "\xa9day"),
    ("genre", "TCON", "\xa9gen"),
    ("composer", "TCOM", "\xa9wrt"),
    ("tracknumber", "TRCK", "trkn"),
    ("discnumber", "TPOS", "disk"),
    ("comment", "COMM", "\xa9cmt"),
    ("copyright", "TCOP", "cprt"),
    ("encodedby", "TENC", None),
    ("lyrics", "USLT", "\xa9lyr"),
    ("grouping", "TIT1", "\xa9grp"),
    ("bpm", "TBPM", "tmpo"),
    ("isrc", "TSRC", None),
    ("publisher", "TPUB", None),
    ("description", None, "desc"),
    ("podcasturl", None, "purl"),
    ("language", "TLAN", None),
)
_ID3 = {id3: name for name, id3, _ in _FIELDS if id3}
_MP4 = {mp4: name for name, _, mp4 in _FIELDS if mp4}
_TO_ID3 = {name: id3 for name, id3, _ in _FIELDS if id3}
_TO_MP4 = {name: mp4 for name, _, mp4 in _FIELDS if mp4}
_FREEFORM = "----:com.apple.iTunes:"
# What the encoder writes for itself: the output's, not the input's.
_OWN = frozenset({"encoder", "vendor", "encoding", "tsse", "\xa9too"})
# ID3 picture types (0 other, 3 front cover), which FLAC pictures share.
FRONT_COVER = 3


@dataclass(frozen=True)
class Picture:
    data: bytes
    mime: str = "image/jpeg"
    kind: int = FRONT_COVER
    description: str = ""


@dataclass
class Tags:
    """Text fields by neutral name (lower case), each with its values, and
    pictures in the input's order."""

    text: dict[str, list[str]] = field(default_factory=dict)
    pictures: list[Picture] = field(default_factory=list)

    def add(self, name: str, values: Iterable[object]) -> None:
        name = name.lower()
        if name in _OWN:
            return
        kept = [str(value) for value in values if str(value)]
        if kept:
            self.text.setdefault(name, []).extend(kept)

    def __bool__(self) -> bool:
        return bool(self.text or self.pictures)


def read_tags(path: Path) -> Tags:
    """The tags and pictures of any file mutagen reads; none where it reads
    nothing (WAV INFO and AIFF text are libsndfile's)."""
    import mutagen

    tags = Tags()
    opened: Any = mutagen.File
    try:
        found: Any = opened(str(path))
    except (mutagen.MutagenError, OSError, ValueError):
        return tags
    if found is None or found.tags is None:
        return tags
    kind = type(found.tags).__name__
    if kind == "MP4Tags":
        _from_mp4(found.tags, tags)
    elif kind == "ID3":
        _from_id3(found.tags, tags)
    elif hasattr(found.tags, "as_dict"):  # Vorbis comments
        for name, values in found.tags.as_dict().items():
            if name.lower() == "metadata_block_picture":
                for value in values:
                    tags.pictures.append(_from_flac_picture(base64.b64decode(value)))
            else:
                tags.add(name, values)
    for picture in getattr(found, "pictures", ()):  # FLAC's picture blocks
        tags.pictures.append(Picture(picture.data, picture.mime, picture.type, picture.desc))
    return tags


def _from_mp4(atoms: Any, tags: Tags) -> None:
    from mutagen import mp4

    MP4Cover: Any = mp4.MP4Cover

    for key, values in atoms.items():
        if key == "covr":
            for cover in values:
                mime = "image/png" if cover.imageformat == MP4Cover.FORMAT_PNG else "image/jpeg"
                tags.pictures.append(Picture(bytes(cover), mime))
        elif key in ("trkn", "disk"):
            tags.add(_MP4[key], [f"{n}/{total}" if total else f"{n}" for n, total in values])
        elif key.startswith(_FREEFORM):
            tags.add(key[len(_FREEFORM) :], [bytes(v).decode("utf-8", "replace") for v in values])
        elif key in _MP4:
            tags.add(_MP4[key], values)


def _from_id3(frames: Any, tags: Tags) -> None:
    for frame in frames.values():
        name = frame.FrameID
        if name == "APIC":
            tags.pictures.append(
                Picture(frame.data, frame.mime or "image/jpeg", int(frame.type), frame.desc)
            )
        elif name == "TXXX":
            tags.add(frame.desc, frame.text)
        elif name in ("COMM", "USLT"):
            tags.add(_ID3[name], [frame.text])
        elif name in _ID3:
            tags.add(_ID3[name], frame.text)


def _from_flac_picture(data: bytes) -> Picture:
    from mutagen import flac

    kind: Any = flac.Picture
    picture: Any = kind(data)
    return Picture(picture.data, picture.mime, picture.type, picture.desc)


def write_tags(path: Path, output: OutputFormat, tags: Tags, target: Path) -> None:
    """Puts `tags` into the finished file at `path` in the output's own
    kind of tags; an AudioError naming `target` where mutagen cannot."""
    import mutagen

    if not tags:
        return
    kind = output_kind(output)
    try:
        if kind == "vorbis":
            _to_vorbis(path, output, tags)
        elif kind == "mp4":
            _to_mp4(path, tags)
        elif kind == "id3":
            _to_id3(path, output, tags)
    except (mutagen.MutagenError, OSError, ValueError) as error:
        raise AudioError(f"cannot write the tags of {target} ({error})") from None


def output_kind(output: OutputFormat) -> str | None:
    """The kind of tags an output holds: vorbis, mp4, id3, or None (RIFF
    INFO, written by libsndfile, or none)."""
    media = output.media
    if (
        output.format == "FLAC"
        or (media is None and output.subtype in ("VORBIS", "OPUS"))
        or (media is not None and media.muxer == "ogg")
    ):
        return "vorbis"
    if media is not None and media.muxer in ("ipod", "mp4", "mov"):
        return "mp4"
    if output.format in ("MP3", "WAV", "AIFF") or (media is not None and media.muxer == "mp3"):
        return "id3"
    return None


def _to_vorbis(path: Path, output: OutputFormat, tags: Tags) -> None:
    from mutagen import flac, oggopus, oggvorbis

    opus = output.subtype == "OPUS" or (output.media is not None and output.media.codec == "opus")
    kind: Any = (
        flac.FLAC if output.format == "FLAC" else oggopus.OggOpus if opus else oggvorbis.OggVorbis
    )
    file: Any = kind(str(path))
    blank: Any = flac.Picture
    if file.tags is None:
        file.add_tags()
    for name, values in tags.text.items():
        file.tags[name] = values
    blocks = []
    for picture in tags.pictures:
        block: Any = blank()
        block.data, block.mime, block.type, block.desc = (
            picture.data,
            picture.mime,
            picture.kind,
            picture.description,
        )
        if kind is flac.FLAC:
            file.add_picture(block)
        else:
            blocks.append(base64.b64encode(block.write()).decode("ascii"))
    if blocks:
        file.tags["metadata_block_picture"] = blocks
    file.save()


def _to_mp4(path: Path, tags: Tags) -> None:
    from mutagen import mp4

    MP4Cover: Any = mp4.MP4Cover
    MP4FreeForm: Any = mp4.MP4FreeForm
    opened: Any = mp4.MP4
    file: Any = opened(str(path))
    if file.tags is None:
        file.add_tags()
    for name, values in tags.text.items():
        atom = _TO_MP4.get(name)
        if atom in ("trkn", "disk"):
            pairs = [_number_pair(value) for value in values]
            if all(pair is not None for pair in pairs):
                file.tags[atom] = pairs
                continue
        if atom == "tmpo":
            if all(value.isdigit() for value in values):
                file.tags[atom] = [int(value) for value in values]
                continue
        if atom is not None and atom not in ("trkn", "disk", "tmpo"):
            file.tags[atom] = values
        else:
            file.tags[_FREEFORM + name.upper()] = [
                MP4FreeForm(value.encode("utf-8")) for value in values
            ]
    covers = [
        MP4Cover(p.data, MP4Cover.FORMAT_PNG if p.mime == "image/png" else MP4Cover.FORMAT_JPEG)
        for p in tags.pictures
    ]
    if covers:
        file.tags["covr"] = covers
    file.save()


def _number_pair(text: str) -> tuple[int, int] | None:
    number, _, total = text.partition("/")
    if number.strip().isdigit() and (not total or total.strip().isdigit()):
        return int(number), int(total or 0)
    return None


def _to_id3(path: Path, output: OutputFormat, tags: Tags) -> None:
    import mutagen.id3
    from mutagen import aiff, mp3, wave

    id3: Any = mutagen.id3
    kind: Any = (
        wave.WAVE if output.format == "WAV" else aiff.AIFF if output.format == "AIFF" else mp3.MP3
    )
    file: Any = kind(str(path))
    if file.tags is None:
        file.add_tags()
    for name, values in tags.text.items():
        frame = _TO_ID3.get(name)
        if frame == "COMM":
            file.tags.add(id3.COMM(encoding=3, lang="eng", desc="", text=values))
        elif frame == "USLT":
            file.tags.add(id3.USLT(encoding=3, lang="eng", desc="", text="\n".join(values)))
        elif frame is not None:
            file.tags.add(getattr(id3, frame)(encoding=3, text=values))
        else:
            file.tags.add(id3.TXXX(encoding=3, desc=name.upper(), text=values))
    for picture in tags.pictures:
        file.tags.add(
            id3.APIC(
                encoding=3,
                mime=picture.mime,
                type=picture.kind,
                desc=picture.description,
                data=picture.data,
            )
        )
    file.save()


def info_text(tags: Tags) -> dict[str, str]:
    """The fields RIFF INFO (libsndfile's text fields) holds, from `tags`."""
    from ._formats import TEXT_FIELDS

    return {name: "; ".join(tags.text[name]) for name in TEXT_FIELDS if name in tags.text}
