"""qx-limiter on media that libsndfile does not handle, through PyAV: a
video's soundtrack delivered with every other stream carried packet for
packet, M4A (AAC, ALAC) out, the audio stream chosen. Every check reads the
output with ffmpeg/ffprobe, not with the reader that wrote it.

Needs the extra qx_limiter[cli] with PyAV, and ffmpeg; skipped without.
"""

import json
import shutil
import subprocess

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")
pytest.importorskip("av")
if shutil.which("ffmpeg") is None or shutil.which("ffprobe") is None:
    pytest.skip("needs ffmpeg and ffprobe", allow_module_level=True)

from qx_limiter_tools import measure  # noqa: E402

from cli_support import read_report, run, song  # noqa: E402

try:
    import pyebur128  # noqa: F401  (the reference meter, where it installs)

    from meter_cases import ebur128_true_peak_db
except ImportError:
    ebur128_true_peak_db = None

RATE = 48000


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-v", "error", "-y", *map(str, args)], check=True)


def probe(path):
    done = subprocess.run(
        [
            "ffprobe",
            "-v",
            "error",
            "-show_streams",
            "-show_chapters",
            "-show_format",
            "-of",
            "json",
            str(path),
        ],
        capture_output=True,
        check=True,
        text=True,
    )
    return json.loads(done.stdout)


def stream_md5(path, selector):
    """The packets of one stream as ffmpeg copies them, hashed."""
    done = subprocess.run(
        [
            "ffmpeg",
            "-v",
            "error",
            "-i",
            str(path),
            "-map",
            selector,
            "-c",
            "copy",
            "-f",
            "md5",
            "-",
        ],
        capture_output=True,
        check=True,
        text=True,
    )
    return done.stdout.strip()


def decoded(path, selector="0:a:0"):
    """Frames-first float32 samples of one audio stream as ffmpeg decodes it."""
    info = probe(path)
    index = int(selector.rsplit(":", 1)[1])
    channels = [s for s in info["streams"] if s["codec_type"] == "audio"][index]["channels"]
    raw = subprocess.run(
        [
            "ffmpeg",
            "-v",
            "error",
            "-i",
            str(path),
            "-map",
            selector,
            "-f",
            "f32le",
            "-acodec",
            "pcm_f32le",
            "-",
        ],
        capture_output=True,
        check=True,
    ).stdout
    return np.frombuffer(raw, np.float32).reshape(-1, channels)


def played_frames(path, selector="0:a:0"):
    """The frames of an audio stream that play from time 0: what ffmpeg
    decodes, less a codec's priming that the container times before 0
    (AAC in Matroska, which this ffmpeg does not drop by itself)."""
    index = int(selector.rsplit(":", 1)[1])
    stream = [s for s in probe(path)["streams"] if s["codec_type"] == "audio"][index]
    start = float(stream.get("start_time", 0.0))
    return decoded(path, selector).shape[0] - max(0, round(-start * int(stream["sample_rate"])))


def loud_wav(path, seconds=2.0, channels=2, rate=RATE, seed=0):
    sf.write(
        path,
        np.clip(song(rate, seconds, channels, level_db=-9.0, seed=seed), -1, 1),
        rate,
        subtype="PCM_24",
    )
    return path


def held_under(path, ceiling, selector="0:a:0"):
    """The decoded output's true peak, by this meter and by libebur128."""
    audio = decoded(path, selector)
    readings = [measure(audio, RATE, axis=0).true_peak_dbtp]
    if ebur128_true_peak_db is not None:
        readings.append(ebur128_true_peak_db(audio.T, RATE))
    assert max(readings) <= ceiling + 1e-3, readings
    return audio


@pytest.fixture(scope="module")
def media(tmp_path_factory):
    """An MP4 with a test-pattern video and AAC audio, and an MKV with a
    video, two audio tracks (Opus; AAC in French), subtitles, a PNG
    attachment and chapters, a second or two each."""
    folder = tmp_path_factory.mktemp("media")
    first = loud_wav(folder / "first.wav", seed=1)
    second = loud_wav(folder / "second.wav", seed=2)
    video = ["-f", "lavfi", "-i", "testsrc=size=96x64:rate=25:duration=2"]
    ffmpeg(
        *video,
        "-i",
        first,
        "-c:v",
        "libx264",
        "-preset",
        "ultrafast",
        "-c:a",
        "aac",
        "-b:a",
        "192k",
        folder / "clip.mp4",
    )
    (folder / "s.srt").write_text(
        "1\n00:00:00,000 --> 00:00:01,000\nHello\n\n2\n00:00:01,000 --> 00:00:02,000\nWorld\n"
    )
    (folder / "meta.txt").write_text(
        ";FFMETADATA1\ntitle=Film\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1000\ntitle=One\n"
        "[CHAPTER]\nTIMEBASE=1/1000\nSTART=1000\nEND=2000\ntitle=Two\n"
    )
    ffmpeg("-f", "lavfi", "-i", "color=c=red:size=8x8", "-frames:v", "1", folder / "cover.png")
    ffmpeg(
        *video,
        "-i",
        first,
        "-i",
        second,
        "-i",
        folder / "s.srt",
        "-i",
        folder / "meta.txt",
        "-map",
        "0",
        "-map",
        "1",
        "-map",
        "2",
        "-map",
        "3",
        "-map_metadata",
        "4",
        "-map_chapters",
        "4",
        "-c:v",
        "libx264",
        "-preset",
        "ultrafast",
        "-c:a:0",
        "libopus",
        "-c:a:1",
        "aac",
        "-metadata:s:a:1",
        "language=fra",
        "-c:s",
        "srt",
        "-attach",
        folder / "cover.png",
        "-metadata:s:t",
        "mimetype=image/png",
        folder / "film.mkv",
    )
    return folder


def test_a_video_soundtrack_is_delivered_and_the_video_copied(media, folder, capsys):
    source = media / "clip.mp4"
    code, out, err = run(capsys, source, "-o", "out.mp4", "--preset", "streaming")
    assert code == 0, err
    assert stream_md5("out.mp4", "0:v") == stream_md5(source, "0:v")
    before, after = decoded(source), held_under("out.mp4", -1.0)
    assert after.shape == before.shape  # the audio's length as ffmpeg decodes it
    assert played_frames("out.mp4") == played_frames(source)
    assert abs(measure(after, RATE, axis=0).integrated_lufs + 14.0) <= 0.3
    streams = {s["codec_type"]: s for s in probe("out.mp4")["streams"]}
    # The new soundtrack starts with the video, as the old one did.
    assert float(streams["audio"]["start_time"]) == float(
        {s["codec_type"]: s for s in probe(source)["streams"]}["audio"]["start_time"]
    )


def test_the_chosen_audio_stream_is_delivered_and_every_other_stream_copied(media, folder, capsys):
    source = media / "film.mkv"
    code, out, err = run(
        capsys, source, "-o", "out.mkv", "--audio-stream", "1", "--preset", "streaming"
    )
    assert code == 0, err
    got, was = probe("out.mkv"), probe(source)
    assert [s["codec_type"] for s in got["streams"]] == [s["codec_type"] for s in was["streams"]]
    for selector in ("0:v:0", "0:a:0", "0:s:0"):
        assert stream_md5("out.mkv", selector) == stream_md5(source, selector), selector
    audio = [s for s in got["streams"] if s["codec_type"] == "audio"]
    assert audio[1]["tags"].get("language") == "fra"
    assert [(c["start_time"], c["end_time"], c["tags"]["title"]) for c in got["chapters"]] == [
        (c["start_time"], c["end_time"], c["tags"]["title"]) for c in was["chapters"]
    ]
    assert got["format"]["tags"]["title"] == "Film"
    # The attachment (which ffmpeg shows as an attached picture): its bytes and its name.
    subprocess.run(
        [
            "ffmpeg",
            "-v",
            "error",
            "-i",
            "out.mkv",
            "-map",
            "0:v:1",
            "-c",
            "copy",
            "-f",
            "image2pipe",
            "cover.png",
        ],
        check=True,
    )
    assert (folder / "cover.png").read_bytes() == (media / "cover.png").read_bytes()
    assert got["streams"][4]["tags"]["filename"] == "cover.png"
    # (Matroska times the priming in whole milliseconds.)
    assert abs(played_frames("out.mkv", "0:a:1") - played_frames(source, "0:a:1")) <= RATE // 1000
    held_under("out.mkv", -1.0, "0:a:1")


@pytest.mark.parametrize("subtype, bits", [("PCM_16", 16), ("PCM_24", 24)])
def test_alac_in_m4a_stores_the_samples_exactly(folder, capsys, subtype, bits):
    audio = np.round(song(RATE, 1.0, level_db=-20.0) * 2 ** (bits - 1)) / 2 ** (bits - 1)
    sf.write("in.wav", audio, RATE, subtype=subtype)
    code, out, err = run(capsys, "in.wav", "-o", "out.m4a", "--codec", "alac")
    assert code == 0, err
    assert probe("out.m4a")["streams"][0]["codec_name"] == "alac"
    assert np.array_equal(decoded("out.m4a"), sf.read("in.wav", dtype="float32")[0])


@pytest.mark.parametrize(
    "args, expected",
    [
        (["--audio-stream", "2"], "--audio-stream 2: it holds 2 audio streams"),
        (["-o", "out.webm"], "a webm file cannot hold its stream 0 (video, h264); write .mkv"),
        (["-o", "out.mp4"], "a mp4 file cannot hold its stream 3 (subtitle, subrip)"),
    ],
)
def test_what_cannot_be_written_is_refused_before_anything_is(
    media, folder, capsys, args, expected
):
    output = [] if "-o" in args else ["-o", "out.mkv"]
    code, out, err = run(capsys, media / "film.mkv", *output, *args)
    assert code == 1 and expected in err, err
    assert not list(folder.iterdir())


def dense_wav(path, seconds=2.0, rate=RATE):
    """Music-like audio that a -10 LUFS target under -1 dBTP limits hard,
    where codecs overshoot the ceiling by a dB or more."""
    sf.write(
        path, np.clip(song(rate, seconds, 2, level_db=-12.0, seed=7), -1, 1), rate, subtype="PCM_24"
    )
    return path


@pytest.mark.parametrize(
    "output, options",
    [
        ("out.m4a", ["--bitrate", "256k"]),
        ("out.m4a", ["--bitrate", "128k"]),
        ("out.opus", ["--codec", "opus", "--bitrate", "96k"]),
        ("out.mp3", ["--bitrate", "320k"]),
    ],
)
def test_lossy_outputs_read_under_the_ceiling_once_decoded(folder, capsys, output, options):
    dense_wav("in.wav")
    code, out, err = run(
        capsys,
        "in.wav",
        "-o",
        output,
        "--loudness",
        "-10",
        "--true-peak",
        "-1",
        "--report",
        "r.json",
        *options,
    )
    assert code == 0, err
    audio = held_under(output, -1.0)
    [entry] = read_report("r.json")
    # On target, or short of it with the reason (a low bit rate's overshoot
    # takes limiting that the target cannot be worth).
    assert entry["loudness_reached"] or "cannot be reached" in entry["note"], entry
    if entry["loudness_reached"]:
        assert abs(measure(audio, RATE, axis=0).integrated_lufs + 10.0) <= 0.15


def ffmpeg_aac_true_peak(path, bit_rate):
    """The true peak of `path` once ffmpeg's own AAC encoder (not the one
    under test's library build) has encoded it and ffmpeg decoded it."""
    ffmpeg("-i", path, "-c:a", "aac", "-b:a", bit_rate, "platform.m4a")
    return measure(decoded("platform.m4a"), RATE, axis=0).true_peak_dbtp


def test_verify_codec_holds_the_ceiling_after_the_platform_codec_and_keeps_the_wav(folder, capsys):
    dense_wav("in.wav")
    target = ["--loudness", "-10", "--true-peak", "-1"]
    code, out, err = run(capsys, "in.wav", "-o", "plain.wav", *target)
    assert code == 0, err
    # The material is one where AAC at 256k overshoots the ceiling...
    assert ffmpeg_aac_true_peak("plain.wav", "256k") > -1.0
    code, out, err = run(
        capsys,
        "in.wav",
        "-o",
        "out.wav",
        *target,
        "--verify-codec",
        "aac:256k",
        "--report",
        "r.json",
    )
    assert code == 0, err
    assert (sf.info("out.wav").format, sf.info("out.wav").subtype) == ("WAV", "PCM_24")
    # ...and the verified delivery holds it after the platform's encoder,
    # within what two builds of the encoder differ by.
    assert ffmpeg_aac_true_peak("out.wav", "256k") <= -1.0 + 0.05
    [entry] = read_report("r.json")
    assert entry["after_codec"]["true_peak_dbtp"] <= -1.0
    assert "after aac at 256 kbit/s" in out


@pytest.mark.parametrize(
    "args, expected",
    [
        (
            ["--verify-codec", "opus:96k"],
            "--verify-codec opus: the opus encoder takes 8000, 12000, "
            "16000, 24000, 48000 Hz, not 44100 Hz; add --sample-rate "
            "48000",
        ),
        (["-o", "out.opus", "--codec", "opus"], "add --sample-rate 48000"),
        (
            ["-o", "out.mp3", "--verify-codec", "aac:256k"],
            "--verify-codec is for outputs that store",
        ),
        (["-o", "out.opus"], "add --sample-rate 48000 to resample"),  # libsndfile's Opus
    ],
)
def test_codecs_refuse_what_they_cannot_take_naming_the_option(folder, capsys, args, expected):
    sf.write("in.wav", song(44100, 0.5), 44100, subtype="PCM_16")
    output = [] if "-o" in args else ["-o", "out.wav"]
    code, out, err = run(capsys, "in.wav", *output, *args)
    assert code == 1 and expected in err, err
    assert sorted(p.name for p in folder.iterdir()) == ["in.wav"]


def test_sample_rate_resamples_before_limiting_so_the_ceiling_holds_at_the_new_rate(folder, capsys):
    sf.write(
        "in.wav",
        np.clip(song(44100, 2.0, 2, level_db=-10.0, seed=4), -1, 1),
        44100,
        subtype="PCM_24",
    )
    code, out, err = run(
        capsys,
        "in.wav",
        "-o",
        "out.opus",
        "--codec",
        "opus",
        "--sample-rate",
        "48000",
        "--preset",
        "streaming",
    )
    assert code == 0, err
    assert [s["sample_rate"] for s in probe("out.opus")["streams"]] == ["48000"]
    audio = held_under("out.opus", -1.0)
    assert abs(audio.shape[0] - 2 * RATE) <= 1
    assert abs(measure(audio, RATE, axis=0).integrated_lufs + 14.0) <= 0.3


def test_sample_rate_alone_gives_the_input_at_the_new_rate(folder, capsys):
    """Nothing to limit: the output is the input resampled, as ffmpeg's own
    resampler gives it, frame for frame in length."""
    t = np.arange(44100 * 2) / 44100
    quiet = 0.3 * np.stack([np.sin(2 * np.pi * 997 * t), np.sin(2 * np.pi * 3001 * t)], 1)
    sf.write("in.wav", quiet, 44100, subtype="FLOAT")
    code, out, err = run(capsys, "in.wav", "-o", "out.wav", "--sample-rate", "48000")
    assert code == 0, err
    got, rate = sf.read("out.wav", dtype="float32")
    assert (rate, got.shape) == (48000, (96000, 2))
    ffmpeg("-i", "in.wav", "-ar", "48000", "-c:a", "pcm_f32le", "theirs.wav")
    theirs = decoded("theirs.wav")
    middle = slice(4800, 91200)
    assert np.max(np.abs(got[middle] - theirs[middle])) < 2e-3


@pytest.mark.parametrize("output, trial", [("out.wav", True), ("out.m4a", False)])
def test_a_preset_that_names_a_codec_verifies_lossless_outputs_after_it(
    folder, capsys, output, trial
):
    """apple-music names AAC 256k: a WAV is verified after a trial encode;
    an M4A is verified after its own encoding, decoded from the file."""
    dense_wav("in.wav", seconds=1.0)
    code, out, err = run(
        capsys, "in.wav", "-o", output, "--preset", "apple-music", "--report", "r.json"
    )
    assert code == 0, err
    [entry] = read_report("r.json")
    assert ("after aac at 256 kbit/s" in out) is trial
    assert (entry["after_codec"] is not None) is trial
    if trial:
        assert entry["after_codec"]["true_peak_dbtp"] <= -1.0
    else:
        held_under(output, -1.0)
