"""Tags, cover art and Broadcast WAV loudness carried by qx-limiter: every
tag of an M4A podcast reaches outputs of other kinds (MP4 atoms, ID3, Vorbis
comments), the cover's bytes too, read back by ffprobe and by mutagen; the
bext chunk's loudness fields hold what the report says was written.

Needs the extra qx_limiter[cli] with PyAV and mutagen, and ffmpeg.
"""

import json
import shutil
import struct
import subprocess

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")
pytest.importorskip("av")
mutagen = pytest.importorskip("mutagen")
if shutil.which("ffmpeg") is None:
    pytest.skip("needs ffmpeg", allow_module_level=True)

from test_cli_faithful import broadcast_wav, riff_chunks  # noqa: E402

from cli_support import read_report, run, song  # noqa: E402

RATE = 48000
TAGS = {
    "title": "Episode 12: Limits",
    "artist": "The Hosts",
    "album": "A Podcast",
    "date": "2026",
    "genre": "Podcast",
    "comment": "Recorded at home",
    "composer": "Someone Else",
    "track": "12/40",
}


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-v", "error", "-y", *map(str, args)], check=True)


def format_tags(path):
    """The file's tags as ffprobe reads them: the container's, and the audio
    stream's (where Ogg keeps its Vorbis comments)."""
    done = subprocess.run(
        ["ffprobe", "-v", "error", "-show_format", "-show_streams", "-of", "json", str(path)],
        capture_output=True,
        check=True,
        text=True,
    )
    info = json.loads(done.stdout)
    found = {}
    audio = [s.get("tags", {}) for s in info["streams"] if s["codec_type"] == "audio"]
    for tags in audio + [info["format"].get("tags", {})]:
        found.update({key.lower(): value for key, value in tags.items()})
    return found


def chapters(path):
    done = subprocess.run(
        ["ffprobe", "-v", "error", "-show_chapters", "-of", "json", str(path)],
        capture_output=True,
        check=True,
        text=True,
    )
    return [(c["start_time"], c["tags"]["title"]) for c in json.loads(done.stdout)["chapters"]]


def cover_bytes(path):
    """The attached picture as ffmpeg copies it out of the file."""
    done = subprocess.run(
        [
            "ffmpeg",
            "-v",
            "error",
            "-i",
            str(path),
            "-map",
            "0:v",
            "-c",
            "copy",
            "-f",
            "image2pipe",
            "-",
        ],
        capture_output=True,
        check=True,
    )
    return done.stdout


@pytest.fixture(scope="module")
def podcast(tmp_path_factory):
    """An M4A (AAC) with text tags and a PNG cover, made by ffmpeg."""
    folder = tmp_path_factory.mktemp("podcast")
    sf.write(folder / "voice.wav", song(RATE, 1.5, level_db=-24.0), RATE, subtype="PCM_16")
    ffmpeg("-f", "lavfi", "-i", "testsrc=size=32x32", "-frames:v", "1", folder / "cover.png")
    metadata = [arg for key, value in TAGS.items() for arg in ("-metadata", f"{key}={value}")]
    (folder / "chapters.txt").write_text(
        ";FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=700\ntitle=Intro\n"
        "[CHAPTER]\nTIMEBASE=1/1000\nSTART=700\nEND=1500\ntitle=Interview\n"
    )
    ffmpeg(
        "-i",
        folder / "voice.wav",
        "-i",
        folder / "cover.png",
        "-i",
        folder / "chapters.txt",
        "-map",
        "0",
        "-map",
        "1",
        "-map_chapters",
        "2",
        "-c:a",
        "aac",
        "-b:a",
        "128k",
        "-c:v",
        "copy",
        "-disposition:v",
        "attached_pic",
        *metadata,
        folder / "episode.m4a",
    )
    return folder


@pytest.mark.parametrize(
    "extension, options",
    [
        ("m4a", []),
        ("mp3", ["--bitrate", "128k"]),
        ("flac", []),
        ("ogg", ["--codec", "opus"]),
    ],
)
def test_every_tag_and_the_cover_reach_the_output(podcast, folder, capsys, extension, options):
    code, out, err = run(
        capsys, podcast / "episode.m4a", "-o", f"out.{extension}", "--preset", "podcast", *options
    )
    assert code == 0, err
    got = format_tags(f"out.{extension}")
    for key, value in TAGS.items():
        assert got.get(key) == value or (key == "track" and got.get(key, "").startswith("12")), (
            key,
            got,
        )
    cover = (podcast / "cover.png").read_bytes()
    if extension == "ogg":  # Vorbis comments hold it as a FLAC picture block, base64
        pictures = mutagen.File(f"out.{extension}").tags["metadata_block_picture"]
        import base64

        from mutagen.flac import Picture

        assert [Picture(base64.b64decode(p)).data for p in pictures] == [cover]
    else:
        assert cover_bytes(f"out.{extension}") == cover
    if extension == "m4a":  # MP4 holds chapters: the podcast's are kept
        assert (
            chapters(f"out.{extension}")
            == chapters(podcast / "episode.m4a")
            == [("0.000000", "Intro"), ("0.700000", "Interview")]
        )


def test_a_cover_in_id3_reaches_an_m4a(podcast, folder, capsys):
    """The other way round: ID3 (MP3) in, MP4 atoms out."""
    ffmpeg(
        "-i",
        podcast / "episode.m4a",
        "-map",
        "0:a",
        "-map",
        "0:v",
        "-c:a",
        "libmp3lame",
        "-c:v",
        "copy",
        "-id3v2_version",
        "3",
        "in.mp3",
    )
    code, out, err = run(capsys, "in.mp3", "-o", "out.m4a", "--preset", "podcast")
    assert code == 0, err
    tags = mutagen.File("out.m4a").tags
    assert tags["\xa9nam"] == [TAGS["title"]] and tags["\xa9wrt"] == [TAGS["composer"]]
    assert tags["trkn"] == [(12, 40)]
    assert [bytes(c) for c in tags["covr"]] == [(podcast / "cover.png").read_bytes()]


def test_bext_loudness_fields_hold_what_was_written(folder, capsys):
    audio = song(RATE, 4.0, channels=2, level_db=-20.0)
    extra = broadcast_wav("in.wav", np.clip(audio, -1, 1), mask=0x3)
    code, out, err = run(
        capsys, "in.wav", "-o", "out.wav", "--preset", "ebu-r128", "--report", "r.json"
    )
    assert code == 0, err
    [entry] = read_report("r.json")
    chunks, _ = riff_chunks("out.wav")
    bext = chunks[b"bext"]
    (version,) = struct.unpack("<H", bext[346:348])
    loudness, loudness_range, true_peak = struct.unpack("<hhh", bext[412:418])
    after = entry["after"]
    assert version == 2
    assert loudness == round(after["integrated_lufs"] * 100)
    assert loudness_range == round(after["loudness_range_lu"] * 100)
    assert true_peak == round(after["true_peak_dbtp"] * 100)
    # Every other byte of bext, and the other chunks, as they were.
    assert (
        bext[:346] + bext[348:412] + bext[418:]
        == extra[b"bext"][:346] + extra[b"bext"][348:412] + extra[b"bext"][418:]
    )
    for name in (b"iXML", b"cue ", b"LIST"):
        assert chunks[name] == extra[name], name
