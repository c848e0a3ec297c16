"""The command line's inputs and outputs: truncated inputs, the peak that the
written file holds, output formats and subtypes, folders, existing outputs
and '-'.

Needs the extra qx_limiter[cli]; skipped where it is not installed.
"""

import os
import re
import struct
from pathlib import Path

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")

from qx_limiter import QXLimiter  # noqa: E402

from cli_support import dbfs, files_in, music, reported_peaks, run, summary, write  # noqa: E402

HAS_MP3 = "MP3" in sf.available_formats()
needs_mp3 = pytest.mark.skipif(not HAS_MP3, reason="this libsndfile has no MP3 support")


def cut_in_half(source, target):
    data = Path(source).read_bytes()
    Path(target).write_bytes(data[: len(data) // 2])
    return Path(target)


TRUNCATED = [
    # format, subtype, extension; whether the header alone shows the cut
    # (refused before anything is written) or only decoding does
    ("WAV", "PCM_16", "wav", True),
    ("WAV", "FLOAT", "wav", True),
    ("WAV", "IMA_ADPCM", "wav", True),
    ("AIFF", "PCM_24", "aiff", True),
    ("AU", "PCM_16", "au", True),
    ("FLAC", "PCM_16", "flac", False),
    pytest.param("MP3", "MPEG_LAYER_III", "mp3", False, marks=needs_mp3),
]
HOLDS = re.compile(r"its header promises (\d+\.\d{3}) s of audio, the file holds (\d+\.\d{3}) s ")


def without_decoder_warning(err, extension):
    """Standard error without the one warning that sums up what the MP3
    decoder found wrong in a cut stream (its own lines never reach it)."""
    lines = err.splitlines(keepends=True)
    noise = [line for line in lines if "the MP3 decoder reported" in line]
    assert len(noise) <= (extension == "mp3"), err
    return "".join(line for line in lines if line not in noise)


@pytest.mark.parametrize("file_format, subtype, extension, in_header", TRUNCATED)
def test_a_truncated_input_is_refused_by_name(
    folder, capsys, file_format, subtype, extension, in_header
):
    whole = write(f"whole.{extension}", music(48000, 2, peak=0.9), 48000, subtype, file_format)
    cut_in_half(whole, f"cut.{extension}")
    before = files_in(folder)
    code, out, err = run(capsys, f"cut.{extension}", "--output-dir", "out")
    assert code == 1
    assert out == "" if in_header else summary(out) == (0, 1)
    err = without_decoder_warning(err, extension)
    assert err.count("\n") == 1
    assert err.startswith(f"qx-limiter: error: cut.{extension}: truncated: its header promises ")
    assert err.endswith("; --allow-truncated limits what it holds\n")
    promised, held = map(float, HOLDS.search(err).groups())
    assert promised == pytest.approx(sf.info(str(whole)).duration, abs=0.002)
    assert 0 < held < promised * 0.6
    assert files_in(folder) == sorted(before + (["out"] if not in_header else []))


@pytest.mark.parametrize("file_format, subtype, extension, in_header", TRUNCATED)
def test_allow_truncated_limits_what_is_there_and_warns(
    folder, capsys, file_format, subtype, extension, in_header
):
    audio = music(48000, 2, peak=0.9)
    whole = write(f"whole.{extension}", audio, 48000, subtype, file_format)
    cut_in_half(whole, f"cut.{extension}")
    code, out, err = run(
        capsys,
        f"cut.{extension}",
        "-o",
        "out.wav",
        "--subtype",
        "FLOAT",
        "--threshold-dBFS",
        "-3",
        "--allow-truncated",
    )
    assert code == 0
    assert out.startswith(f"cut.{extension} -> out.wav: peak ") and summary(out) == (1, 0)
    err = without_decoder_warning(err, extension)
    assert err.count("\n") == 1
    assert err.startswith(f"qx-limiter: warning: cut.{extension}: truncated: its header promises ")
    assert err.endswith("; limited what it holds\n")
    written, _ = sf.read("out.wav", dtype="float32", always_2d=True)
    promised, held = map(float, HOLDS.search(err).groups())
    assert f"{written.shape[0] / 48000:.3f}" == f"{held:.3f}" and written.shape[0] > 0
    if subtype.startswith("PCM") or subtype == "FLOAT":
        # Lossless: what was limited is the start of the original, exactly.
        original, _ = sf.read(str(whole), dtype="float32", always_2d=True)
        expected, _ = QXLimiter(48000, -3.0).process(original[: written.shape[0]], axis=0)
        np.testing.assert_array_equal(written, expected)


def test_a_truncated_file_fails_alone_among_others(folder, capsys):
    write("a.wav", music(24000, 2, seed=1), 48000, "FLOAT")
    cut_in_half(write("whole.flac", music(48000, 2, peak=0.9), 48000, "PCM_16"), "b.flac")
    write("c.wav", music(24000, 2, seed=3), 48000, "FLOAT")
    code, out, err = run(capsys, "a.wav", "b.flac", "c.wav", "--output-dir", "out", "--jobs", "2")
    assert code == 1
    assert [line.split(":")[0] for line in out.splitlines()[:-1]] == [
        "a.wav -> out/a.wav",
        "c.wav -> out/c.wav",
    ]
    assert summary(out) == (2, 1)
    assert err.startswith("qx-limiter: error: b.flac: truncated: ") and err.count("\n") == 1
    assert files_in("out") == ["a.wav", "c.wav"]


def test_a_header_without_its_audio_is_truncated(folder, capsys):
    data = write("whole.wav", music(4800, 2, peak=0.9), 48000, "PCM_16").read_bytes()
    Path("header.wav").write_bytes(data[:44])  # the canonical header, no sample
    code, out, err = run(capsys, "header.wav", "-o", "out.wav")
    assert (code, out) == (1, "")
    assert err == (
        "qx-limiter: error: header.wav: truncated: its header promises audio, the file "
        "holds 0.000 s (19200 bytes of audio data promised, 0 present); "
        "--allow-truncated limits what it holds\n"
    )


def wav_with_sizes(path, riff_size=None, data_size=None, trailer=b""):
    """A PCM WAV whose RIFF and data sizes are set by hand."""
    write(path, music(4800, 2, peak=0.9), 48000, "PCM_16")
    data = bytearray(Path(path).read_bytes())
    at = data.index(b"data")
    if riff_size is not None:
        data[4:8] = struct.pack("<I", riff_size)
    if data_size is not None:
        data[at + 4 : at + 8] = struct.pack("<I", data_size)
    Path(path).write_bytes(bytes(data) + trailer)


@pytest.mark.parametrize(
    "sizes",
    [
        # What a writer streaming to a pipe leaves: sizes it could not know.
        {"riff_size": 0xFFFFFFFF, "data_size": 0xFFFFFFFF},
        # A metadata chunk after the audio, itself cut: the audio is all there.
        {"trailer": b"LIST" + struct.pack("<I", 100) + b"INFO" + b"x" * 20},
    ],
    ids=["streamed", "cut-trailing-chunk"],
)
def test_complete_audio_is_not_taken_for_truncated(folder, capsys, sizes):
    wav_with_sizes("in.wav", **sizes)
    code, out, err = run(capsys, "in.wav", "-o", "out.wav")
    assert (code, err) == (0, "")
    assert sf.info("out.wav").frames == 4800


WRITTEN = [
    # format, subtype, extension, rate, channels
    ("WAV", "PCM_16", "wav", 48000, 2),
    ("WAV", "PCM_U8", "wav", 22050, 1),
    ("FLAC", "PCM_24", "flac", 44100, 2),
    ("AIFF", "DOUBLE", "aiff", 48000, 2),
    ("WAV", "FLOAT", "wav", 48000, 2),
    ("OGG", "VORBIS", "ogg", 48000, 2),
    ("OGG", "OPUS", "opus", 48000, 2),
    ("WAV", "IMA_ADPCM", "wav", 48000, 2),
    ("WAV", "MS_ADPCM", "wav", 44100, 2),
    ("WAV", "GSM610", "wav", 8000, 1),
    ("WAV", "ULAW", "wav", 16000, 1),
    ("AU", "ALAW", "au", 16000, 1),
    pytest.param("MP3", "MPEG_LAYER_III", "mp3", 44100, 2, marks=needs_mp3),
]
STORED_EXACTLY = {"PCM_16", "PCM_U8", "PCM_24", "DOUBLE", "FLOAT"}


@pytest.mark.parametrize("file_format, subtype, extension, rate, channels", WRITTEN)
def test_the_after_figure_is_the_peak_of_the_written_file(
    folder, capsys, file_format, subtype, extension, rate, channels
):
    write("in.wav", music(rate, channels), rate, "FLOAT")
    code, out, err = run(
        capsys, "in.wav", "-o", f"out.{extension}", "--subtype", subtype, "--threshold-dBFS", "-1"
    )
    assert (code, err) == (0, "")
    assert sf.info(f"out.{extension}").subtype == subtype
    written, _ = sf.read(f"out.{extension}", dtype="float32")
    _, after = reported_peaks(out)
    assert after == dbfs(np.abs(written).max())
    if subtype in STORED_EXACTLY:
        assert np.abs(written).max() <= 10 ** (-1 / 20)


@pytest.mark.parametrize(
    "source, source_subtype, target, chosen",
    [
        ("in.wav", "FLOAT", "out.flac", "PCM_24"),
        ("in.wav", "DOUBLE", "out.flac", "PCM_24"),
        ("in.wav", "PCM_32", "out.flac", "PCM_24"),
        ("in.wav", "PCM_U8", "out.flac", "PCM_S8"),
        ("in.wav", "PCM_16", "out.flac", None),
        ("in.wav", "PCM_24", "out.flac", None),
        ("in.ogg", "VORBIS", "out.wav", "PCM_24"),
        ("in.wav", "PCM_16", "out.ogg", "VORBIS"),
    ],
)
def test_an_output_format_takes_the_nearest_subtype_and_says_so(
    folder, capsys, source, source_subtype, target, chosen
):
    write(source, music(24000, 2), 48000, source_subtype)
    code, out, err = run(capsys, source, "-o", target, "--threshold-dBFS", "-1")
    assert (code, err) == (0, "")
    file_format = sf.info(target).format
    note = f" ({chosen}: {file_format} cannot hold {source_subtype})" if chosen else ""
    assert out.startswith(f"{source} -> {target}{note}: peak ")
    assert sf.info(target).subtype == (chosen or source_subtype)


@pytest.mark.parametrize(
    "output, hidden", [("out.xyz", None), ("out.mp3", "MP3"), ("out.wav.bak", None)]
)
def test_an_output_name_that_names_no_writable_format_is_refused(
    folder, capsys, monkeypatch, output, hidden
):
    if hidden is not None:  # as on a libsndfile built without it
        formats = {name: text for name, text in sf.available_formats().items() if name != hidden}
        monkeypatch.setattr(sf, "available_formats", lambda: formats)
    write("in.wav", music(4800, 2), 48000, "FLOAT")
    before = files_in(folder)
    code, out, err = run(capsys, "in.wav", "-o", output)
    suffix = Path(output).suffix
    assert (code, out) == (1, "")
    assert err == (
        f"qx-limiter: error: in.wav: cannot write {suffix} files: no format that "
        f"libsndfile writes has that extension; use .wav, .flac, .aiff, .ogg, "
        f"{'.mp3, ' if HAS_MP3 and hidden is None else ''}.caf, .w64 or another "
        f"format of libsndfile\n"
    )
    assert files_in(folder) == before


@pytest.mark.parametrize(
    "source, args, target",
    [
        ("in.wav", ["-o", "out"], "out"),  # no extension
        ("take.bak", ["--output-dir", "out"], "out/take.bak"),  # the input's own name
        ("take", ["--output-dir", "out"], "out/take"),
    ],
)
def test_an_output_without_a_format_in_its_name_keeps_the_inputs(
    folder, capsys, source, args, target
):
    write(source, music(4800, 2), 48000, "PCM_24", "WAV")
    code, out, err = run(capsys, source, *args)
    assert (code, err) == (0, "")
    assert out.startswith(f"{source} -> {target} (WAV, the input's format): peak ")
    info = sf.info(target)
    assert (info.format, info.subtype) == ("WAV", "PCM_24")


@pytest.mark.parametrize(
    "output, rate, channels, message",
    [
        (
            "out.opus",
            44100,
            2,
            "OGG OPUS cannot hold 2 channels at 44100 Hz (Opus only supports "
            "sample rates of 8000, 12000, 16000, 24000, and 48000)",
        ),
        pytest.param(
            "out.mp3",
            96000,
            2,
            "MP3 MPEG_LAYER_III cannot hold 2 channels at 96000 Hz "
            "(MPEG-1/2/2.5 only supports sample rates of ",
            marks=needs_mp3,
        ),
        ("out.flac", 48000, 9, "FLAC PCM_24 cannot hold 9 channels at 48000 Hz ("),
    ],
)
def test_what_the_encoder_cannot_take_is_refused_before_writing(
    folder, capsys, output, rate, channels, message
):
    write("in.wav", music(4800, channels), rate, "FLOAT")
    before = files_in(folder)
    code, out, err = run(capsys, "in.wav", "-o", output)
    assert (code, out) == (1, "")
    assert err.startswith(f"qx-limiter: error: in.wav: {message}") and err.count("\n") == 1
    assert files_in(folder) == before


def test_missing_folders_are_created_for_outputs_and_figures(folder, capsys):
    write("a.wav", music(4800, 2, seed=1), 48000, "FLOAT")
    write("b.wav", music(4800, 2, seed=2), 48000, "FLOAT")
    code, out, err = run(capsys, "a.wav", "-o", "one/two/a.wav", "--plot", "figures/x/a.png")
    assert (code, err) == (0, "")
    code, out, err = run(
        capsys, "a.wav", "b.wav", "--output-dir", "many/out", "--plot", "figures/y/p.png"
    )
    assert (code, err) == (0, "") and summary(out) == (2, 0)
    assert files_in(folder) == [
        "a.wav",
        "b.wav",
        "figures",
        "figures/x",
        "figures/x/a.png",
        "figures/y",
        "figures/y/p-a.png",
        "figures/y/p-b.png",
        "many",
        "many/out",
        "many/out/a.wav",
        "many/out/b.wav",
        "one",
        "one/two",
        "one/two/a.wav",
    ]


def test_a_folder_that_cannot_be_made_is_reported_once(folder, capsys):
    for name in ("a", "b", "c"):
        write(f"{name}.wav", music(4800, 2), 48000, "FLOAT")
    Path("file").write_text("in the way\n")
    before = files_in(folder)
    code, out, err = run(
        capsys, "a.wav", "b.wav", "c.wav", "--output-dir", "out", "--plot", "file/figures/p.png"
    )
    assert (code, out) == (1, "")
    assert err == "qx-limiter: error: cannot write into file/figures: file is not a directory\n"
    assert files_in(folder) == before


@pytest.mark.skipif(
    not hasattr(os, "geteuid") or os.geteuid() == 0,
    reason="needs a user whom file permissions bind (not root)",
)
def test_a_read_only_folder_is_reported_once_with_the_reason(folder, capsys):
    write("a.wav", music(4800, 2), 48000, "FLOAT")
    write("b.wav", music(4800, 2), 48000, "FLOAT")
    os.mkdir("locked")
    os.chmod("locked", 0o555)
    try:
        code, out, err = run(capsys, "a.wav", "b.wav", "--output-dir", "locked")
        assert (code, out) == (1, "")
        assert err == (
            "qx-limiter: error: cannot write into locked: locked is not writable "
            "(Permission denied)\n"
        )
        assert os.listdir("locked") == []
    finally:
        os.chmod("locked", 0o755)


@pytest.mark.parametrize("existing", ["out/c.wav", "out/fig-b.png"])
def test_an_existing_output_stops_the_run_unless_overwrite(folder, capsys, existing):
    for name in ("a", "b", "c"):
        write(f"{name}.wav", music(4800, 2), 48000, "FLOAT")
    os.mkdir("out")
    Path(existing).write_bytes(b"earlier work")
    source = "c.wav" if existing.endswith(".wav") else "b.wav"
    args = ["a.wav", "b.wav", "c.wav", "--output-dir", "out", "--plot", "out/fig.png"]
    code, out, err = run(capsys, *args)
    assert (code, out) == (1, "")
    assert err == (
        f"qx-limiter: error: {source}: the output {existing} exists; add --overwrite "
        f"to replace it\n"
    )
    assert files_in("out") == [Path(existing).name]
    assert Path(existing).read_bytes() == b"earlier work"

    code, out, err = run(capsys, *args, "--overwrite")
    assert (code, err, summary(out)) == (0, "", (3, 0))
    assert len(files_in("out")) == 6 and Path(existing).read_bytes() != b"earlier work"


DASH = [
    (["a.wav", "--output-dir", "-"], "argument --output-dir: standard output ('-') is not "),
    (["a.wav", "-o", "o.wav", "--plot", "-"], "argument --plot: standard output ('-') is not "),
]


# (- as the input and as -o are the standard streams: test_cli_pipes.)
@pytest.mark.parametrize("args, message", DASH, ids=["output-dir", "plot"])
def test_dash_is_refused_and_never_becomes_a_file(folder, capsys, args, message):
    write("a.wav", music(4800, 2), 48000, "FLOAT")
    code, out, err = run(capsys, *args)
    assert (code, out) == (2, "")
    assert err.startswith(f"qx-limiter: error: {message}")
    assert err.endswith("name a file (./- for a file named -)\n") and err.count("\n") == 1
    assert files_in(folder) == ["a.wav"]


def test_a_file_named_dash_is_reached_as_dot_slash_dash(folder, capsys):
    write("./-", music(4800, 2), 48000, "PCM_16", "WAV")  # libsndfile's "-" is standard input
    code, out, err = run(capsys, "./-", "-o", "./-.wav")
    assert (code, err) == (0, "")
    assert out.startswith("- -> -.wav: peak ")
    assert sf.info("-.wav").frames == 4800
