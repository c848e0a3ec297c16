"""qx-limiter delivering files: --loudness, --preset and the verified
--true-peak ceiling run master's passes over the streaming file, so the
output is master's output of the whole file (for integer files, rounded as
the writer rounds); what was written is measured, decoded where a codec
stands between, and held under the ceiling.

Needs the extra qx_limiter[cli]; skipped where it is not installed.
"""

import dataclasses
import math
import re
from pathlib import Path

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")

from qx_limiter import QXLimiter  # noqa: E402
from test_cli_stream import stored_in_memory  # noqa: E402

from qx_limiter_cli import _pipeline  # noqa: E402
from qx_limiter_tools import master, measure  # noqa: E402

from cli_support import music, read_report, run, song, summary, write  # noqa: E402

try:
    import pyebur128  # noqa: F401  (the reference meter, where it installs)

    from meter_cases import ebur128_true_peak_db
except ImportError:
    ebur128_true_peak_db = None


def written(path):
    audio, _ = sf.read(str(path), dtype="float32", always_2d=True)
    return audio


def figures(line):
    """Loudness, true peak, gain and passes as a delivering report line prints them."""
    found = re.search(
        r"loudness (\S+) -> (\S+) LUFS, true peak (\S+) -> (\S+) dBTP, "
        r"gain (\S+) dB, (\d+) pass(?:es)?, \d+\.\d\d s$",
        line,
    )
    assert found, line
    return found.groups()


MODES = {
    # the options, and master's arguments for the same delivery
    "preset": (["--preset", "streaming"], dict(loudness_lufs=-14.0, ceiling_dbtp=-1.0)),
    "loudness-true-peak": (
        ["--loudness", "-20", "--true-peak", "--threshold-dBFS", "-2"],
        dict(loudness_lufs=-20.0, ceiling_dbtp=-2.0),
    ),
    "true-peak": (["--true-peak", "--threshold-dBFS", "-1.5"], dict(ceiling_dbtp=-1.5)),
    "loudness-sample-peak": (
        ["--loudness", "-12", "--threshold-dBFS", "-1"],
        dict(loudness_lufs=-12.0, ceiling_dbtp=-1.0, true_peak=False),
    ),
}
OUTPUTS = [("wav", "FLOAT"), ("flac", "PCM_24"), ("aiff", "PCM_16")]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("extension, subtype", OUTPUTS)
@pytest.mark.parametrize("chunk", [1000, 65536])
def test_the_output_is_masters_for_the_whole_file(
    folder, capsys, monkeypatch, mode, extension, subtype, chunk
):
    monkeypatch.setattr(_pipeline, "CHUNK_FRAMES", chunk)
    options, arguments = MODES[mode]
    rate = 44100 if subtype == "PCM_16" else 48000
    source = write("in.wav", song(rate, 4.0, level_db=-17.0, seed=len(mode)), rate, "FLOAT")
    target = Path(f"out.{extension}")
    code, out, err = run(
        capsys, source, "-o", target, "--subtype", subtype, "--dither", "none", *options
    )
    assert (code, err, summary(out)) == (0, "", (1, 0))

    audio = written(source)
    done = master(audio, rate, axis=0, **arguments)
    if subtype == "FLOAT":
        assert np.array_equal(written(target).view(np.uint32), done.audio.view(np.uint32))
    else:
        ceiling = QXLimiter(rate, arguments["ceiling_dbtp"]).threshold
        stored, _ = sf.read(str(target), dtype="int32", always_2d=True)
        np.testing.assert_array_equal(stored, stored_in_memory(done.audio, subtype, ceiling))
    after = measure(written(target), rate, axis=0)
    assert figures(out.splitlines()[0]) == (
        f"{done.before.integrated_lufs:.2f}",
        f"{after.integrated_lufs:.2f}",
        f"{done.before.true_peak_dbtp:+.2f}",
        f"{after.true_peak_dbtp:+.2f}",
        f"{done.gain_db:+.2f}",
        str(done.passes),
    )
    if arguments.get("true_peak", True):
        assert after.true_peak_dbtp <= arguments["ceiling_dbtp"]
    assert after.sample_peak_dbfs <= arguments["ceiling_dbtp"]


@pytest.mark.parametrize("target, ceiling", [(-9.0, -0.5), (-14.0, -1.0)])
def test_clipped_bursts_are_delivered_as_master_delivers_them(
    folder, capsys, monkeypatch, target, ceiling
):
    """Where loud masters live: the file is master's output, its waveform
    (a float64 reference) under the ceiling, and the input read once to
    decide and once or twice to write."""
    from qx_limiter_cli import _reading

    from waveform import clipped_bursts, waveform_peak

    reads = []
    opened = _reading.InputReader.__init__
    monkeypatch.setattr(
        _reading.InputReader,
        "__init__",
        lambda self, path: (reads.append(path), opened(self, path))[1],
    )
    audio = clipped_bursts(48000, 4.0, seed=5).T
    write("in.wav", audio, 48000, "FLOAT")
    code, out, err = run(
        capsys, "in.wav", "-o", "out.wav", "--loudness", target, "--true-peak", ceiling
    )
    assert code == 0 and summary(out) == (1, 0)
    done = master(audio, 48000, loudness_lufs=target, ceiling_dbtp=ceiling, axis=0)
    assert np.array_equal(written("out.wav"), done.audio)
    assert 20 * math.log10(waveform_peak(done.audio.T)) <= ceiling
    assert reads.count(Path("in.wav")) == 1 + done.passes <= 3


PRESETS = [
    ("streaming", -14.0, -1.0),
    ("podcast", -16.0, -1.0),
    ("ebu-r128", -23.0, -1.0),
    ("atsc-a85", -24.0, -2.0),
]


@pytest.mark.parametrize("name, loudness, ceiling", PRESETS)
@pytest.mark.parametrize("level", [-30.0, -9.0])
def test_presets_reach_their_targets_under_their_ceilings(
    folder, capsys, name, loudness, ceiling, level
):
    rate = 48000
    write("in.flac", song(rate, 5.0, level_db=level, seed=3), rate, "PCM_24")
    code, out, err = run(
        capsys, "in.flac", "-o", "out.flac", "--preset", name, "--report", "r.json"
    )
    assert (code, err, summary(out)) == (0, "", (1, 0))
    [entry] = read_report("r.json")
    after = measure(written("out.flac"), rate, axis=0)
    assert entry["loudness_reached"] is True and entry["note"] is None
    assert abs(after.integrated_lufs - loudness) <= 0.1
    assert after.true_peak_dbtp <= ceiling
    assert (
        entry["settings"]["loudness_lufs"],
        entry["settings"]["threshold_dBFS"],
        entry["settings"]["preset"],
        entry["settings"]["true_peak"],
    ) == (loudness, ceiling, name, True)
    if ebur128_true_peak_db is not None:
        assert ebur128_true_peak_db(written("out.flac").T, rate) <= ceiling


def test_options_given_with_a_preset_take_precedence(folder, capsys):
    write("in.wav", song(48000, 4.0, level_db=-20.0), 48000, "FLOAT")
    code, out, err = run(
        capsys,
        "in.wav",
        "-o",
        "out.wav",
        "--preset",
        "atsc-a85",
        "--loudness",
        "-18",
        "--threshold-dBFS",
        "-3",
        "--report",
        "r.json",
    )
    assert (code, err) == (0, "")
    settings = read_report("r.json")[0]["settings"]
    assert (settings["loudness_lufs"], settings["threshold_dBFS"], settings["preset"]) == (
        -18.0,
        -3.0,
        "atsc-a85",
    )
    done = master(written("in.wav"), 48000, loudness_lufs=-18.0, ceiling_dbtp=-3.0, axis=0)
    assert np.array_equal(written("out.wav"), done.audio)


def test_help_lists_each_preset_with_its_figures_and_source(capsys):
    with pytest.raises(SystemExit):
        run(capsys, "--help")
    # (argparse wraps lines after hyphens: "short-term" may come out split)
    text = " ".join(capsys.readouterr().out.split()).replace("short- term", "short-term")
    for entry in [
        "streaming: -14 LUFS within 1 LU, -1 dBTP (Spotify for Artists",
        "podcast: -16 LUFS within 1 LU, -1 dBTP (Apple Podcasts",
        "ebu-r128: -23 LUFS within 0.5 LU, -1 dBTP (EBU R 128",
        "ebu-r128-s1: -23 LUFS within 0.5 LU, -1 dBTP, short-term at most -18 LUFS",
        "atsc-a85: -24 LUFS within 2 LU, -2 dBTP (ATSC A/85",
        "amazon-music: -14 LUFS within 1 LU, -2 dBTP (Amazon Music",
        "apple-music: -16 LUFS within 1 LU, -1 dBTP, verified after aac:256k (Apple",
    ]:
        assert entry in text


def test_an_unreachable_loudness_is_reported_with_the_reason(folder, capsys):
    rng = np.random.default_rng(3)
    write("dense.wav", np.clip(rng.standard_normal((48000 * 3, 2)), -0.9, 0.9), 48000, "FLOAT")
    code, out, err = run(
        capsys,
        "dense.wav",
        "-o",
        "out.wav",
        "--preset",
        "streaming",
        "--loudness",
        "0",
        "--report",
        "r.csv",
    )
    assert (code, summary(out)) == (0, (1, 0))
    [entry] = read_report("r.csv")
    assert entry["loudness_reached"] == "false" and entry["status"] == "ok"
    assert re.fullmatch(
        r"0 LUFS cannot be reached under a -1 dBTP ceiling without heavy "
        r"limiting: beyond about -\d+\.\d\d LUFS, a further dB of gain adds less "
        r"than 0\.5 LU, the rest limited away",
        entry["note"],
    ), entry["note"]
    assert err == f"qx-limiter: warning: dense.wav: {entry['note']}\n"
    assert measure(written("out.wav"), 48000, axis=0).true_peak_dbtp <= -1.0


def test_silence_has_no_loudness_and_is_written_as_it_is(folder, capsys):
    write("quiet.wav", np.zeros((48000, 2)), 48000, "PCM_16")
    code, out, err = run(
        capsys, "quiet.wav", "-o", "out.wav", "--preset", "podcast", "--report", "r.json"
    )
    assert (code, summary(out)) == (0, (1, 0))
    [entry] = read_report("r.json")
    assert entry["loudness_reached"] is False and entry["gain_db"] == 0.0
    assert entry["note"].startswith("the input has no loudness to bring to the target")
    assert entry["after"]["integrated_lufs"] is None and entry["after"]["true_peak_dbtp"] is None
    assert err.startswith("qx-limiter: warning: quiet.wav: the input has no loudness")
    assert not sf.read("out.wav", dtype="int16")[0].any()
    assert "loudness -inf -> -inf LUFS, true peak -inf -> -inf dBTP, gain +0.00 dB, 1 pass, " in out


LOSSY = [
    ("ogg", "OGG", "VORBIS", 48000, 2),
    ("opus", "OGG", "OPUS", 48000, 2),
    ("mp3", "MP3", "MPEG_LAYER_III", 44100, 2),
    ("wav", "WAV", "IMA_ADPCM", 22050, 1),
    ("wav", "WAV", "GSM610", 8000, 1),
]


@pytest.mark.parametrize(
    "extension, file_format, subtype, rate, channels", LOSSY, ids=[entry[2] for entry in LOSSY]
)
def test_a_lossy_output_is_measured_decoded_and_held_under_the_ceiling(
    folder, capsys, extension, file_format, subtype, rate, channels
):
    if subtype not in sf.available_subtypes(file_format):
        pytest.skip(f"this libsndfile does not write {subtype}")
    write("in.wav", song(rate, 4.0, channels=channels, level_db=-18.0, seed=7), rate, "FLOAT")
    code, out, err = run(
        capsys,
        "in.wav",
        "-o",
        f"out.{extension}",
        "--subtype",
        subtype,
        "--preset",
        "streaming",
        "--report",
        "r.json",
    )
    assert code == 0 and summary(out) == (1, 0)
    decoded = measure(written(f"out.{extension}"), rate, axis=0)
    [entry] = read_report("r.json")
    # The report is what the decoded file reads, and the ceiling holds there.
    assert entry["after"] == dataclasses.asdict(decoded)
    assert decoded.true_peak_dbtp <= -1.0
    assert figures(out.splitlines()[0])[3] == f"{decoded.true_peak_dbtp:+.2f}"
    if entry["loudness_reached"]:
        assert abs(decoded.integrated_lufs + 14.0) <= 0.1 and err == ""
    else:
        assert entry["note"] and err == f"qx-limiter: warning: in.wav: {entry['note']}\n"


def test_the_figure_titles_the_outputs_loudness_and_true_peak(folder, capsys, monkeypatch):
    pytest.importorskip("matplotlib")
    from qx_limiter_cli import _plot

    titles = []
    real = _plot.write_plot
    monkeypatch.setattr(
        _plot,
        "write_plot",
        lambda target, kind, title, *rest: (
            titles.append((kind, title)),
            real(target, kind, title, *rest),
        ),
    )
    write("in.wav", song(48000, 3.0, level_db=-20.0), 48000, "FLOAT")
    code, _, err = run(
        capsys,
        "in.wav",
        "-o",
        "out.wav",
        "--preset",
        "streaming",
        "--plot",
        "p.svg",
        "--report",
        "r.json",
    )
    assert (code, err) == (0, "")
    after = measure(written("out.wav"), 48000, axis=0)
    [entry] = read_report("r.json")
    # The gain brought to the target and the target itself are in the title.
    assert titles[0][0] == "svg" and titles[0][1].startswith(
        f"in.wav: {after.integrated_lufs:.2f} LUFS (target -14, gain "
        f"{entry['gain_db']:+.2f} dB), true peak {after.true_peak_dbtp:+.2f} dBTP (ceiling "
        f"-1.00 dBTP), gain reduction up to "
    )
    assert Path("p.svg").read_text().lstrip().startswith("<?xml")


def test_8_bit_dither_over_a_true_peak_ceiling_is_written_again(folder, capsys):
    # A step of 8-bit dither (two of them, 0.8 dB at -20 dBFS) reads well
    # over the ceiling, past the limiter's margin under it; the file is
    # written again under a lower threshold until it does not.
    write("in.wav", music(66150, 2, seed=1), 22050, "FLOAT")
    code, out, err = run(
        capsys,
        "in.wav",
        "-o",
        "out.wav",
        "--subtype",
        "PCM_U8",
        "--true-peak",
        "--threshold-dBFS",
        "-20",
        "--report",
        "r.json",
    )
    assert (code, err) == (0, "")
    [entry] = read_report("r.json")
    done = master(written("in.wav"), 22050, ceiling_dbtp=-20.0, axis=0)
    after = measure(written("out.wav"), 22050, axis=0)
    assert (
        after.true_peak_dbtp <= -20.0 and entry["after"]["true_peak_dbtp"] == after.true_peak_dbtp
    )
    assert entry["passes"] > done.passes
    assert entry["limiter_threshold_dBFS"] < -20.0 and math.isfinite(entry["gain_db"])


def test_an_empty_and_a_short_file_are_delivered_without_loudness(folder, capsys):
    sf.write("empty.wav", np.zeros((0, 2)), 48000, subtype="PCM_24")
    write("short.wav", music(1000, 2, seed=3), 48000, "FLOAT")  # under one 400 ms block
    code, out, err = run(
        capsys,
        "empty.wav",
        "short.wav",
        "--output-dir",
        "out",
        "--preset",
        "ebu-r128",
        "--report",
        "r.json",
    )
    assert (code, summary(out)) == (0, (2, 0))
    empty, short = read_report("r.json")
    assert (empty["frames"], empty["passes"], empty["after"]["sample_peak_dbfs"]) == (0, 1, None)
    assert sf.info("out/empty.wav").frames == 0
    # No loudness to reach, but the ceiling is held.
    assert short["loudness_reached"] is False and short["gain_db"] == 0.0
    after = measure(written("out/short.wav"), 48000, axis=0)
    assert short["after"]["true_peak_dbtp"] == after.true_peak_dbtp <= -1.0
    assert err.count("the input has no loudness to bring to the target") == 2
