"""qx-limiter check: every figure a preset states passes and fails as the
meter reads the file, with the exit statuses and the report; no audio is
written.

Needs the extra qx_limiter[cli]; skipped where it is not installed.
"""

import json
import shutil

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")

from qx_limiter_tools import measure  # noqa: E402

from cli_support import files_in, run  # noqa: E402

RATE = 48000


def at(path, audio, loudness):
    """Writes stereo float `audio` scaled to `loudness` LUFS."""
    gain = 10 ** ((loudness - measure(audio, RATE).integrated_lufs) / 20)
    sf.write(path, (audio * gain).T, RATE, subtype="FLOAT")
    return measure(audio * gain, RATE)


def tone(seconds, level=0.1):
    t = np.arange(int(RATE * seconds)) / RATE
    return np.tile(level * np.sin(2 * np.pi * 997 * t), (2, 1))


def burst_then_quiet():
    """Twelve quiet seconds with three loud ones in the middle, 12 dB over
    the rest: its short-term and momentary maxima stand 6 LU above its
    integrated loudness, and its loudness range is wide."""
    x = tone(12.0, 0.05)
    x[:, RATE * 5 : RATE * 8] *= 4.0
    return x


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    """The two files, written and measured once for the module."""
    where = tmp_path_factory.mktemp("check")
    figures = {
        "steady": at(where / "steady.wav", tone(6.0), -14.0),
        "burst": at(where / "burst.wav", burst_then_quiet(), -23.0),
    }
    return where, figures


@pytest.fixture
def files(folder, made):
    where, figures = made
    for name in figures:
        shutil.copyfile(where / f"{name}.wav", folder / f"{name}.wav")
    return figures


@pytest.mark.parametrize(
    "name, preset, verdict",
    [
        ("steady.wav", "streaming", "pass"),
        (
            "steady.wav",
            "podcast",
            "fail: integrated -14.00 LUFS, +2.00 LU from -16 (within 1 allowed)",
        ),
        ("steady.wav", "ebu-r128", "fail: integrated -14.00 LUFS, +9.00 LU from -23"),
        ("burst.wav", "ebu-r128", "pass"),
        ("burst.wav", "ebu-r128-s1", "fail: maximum short-term -1"),
    ],
)
def test_each_preset_figure_passes_and_fails(files, capsys, name, preset, verdict):
    code, out, err = run(capsys, "check", name, "--preset", preset)
    assert (code, err) == (0 if verdict == "pass" else 1, "")
    assert out.splitlines()[0].startswith(f"{name}: {verdict}")
    assert files_in(".") == ["burst.wav", "steady.wav"]  # no audio written


def test_a_ceiling_a_momentary_maximum_and_a_range_from_a_preset_file(files, capsys):
    steady = files["steady"]
    with open("mine.toml", "w") as preset:
        preset.write(f"""
[ceiling]
loudness_lufs = -14.0
tolerance_lu = 0.5
ceiling_dbtp = {steady.true_peak_dbtp - 0.5:.3f}
source = "a test"

[momentary]
loudness_lufs = -23.0
tolerance_lu = 0.5
ceiling_dbtp = -1.0
max_momentary_lufs = -20.0
loudness_range_lu = [0.0, 4.0]
source = "a test"
""")
    code, out, _ = run(
        capsys, "check", "steady.wav", "--preset", "ceiling", "--presets", "mine.toml"
    )
    assert code == 1 and f"true peak {steady.true_peak_dbtp:+.2f} dBTP, 0.50 dB over" in out
    code, out, _ = run(
        capsys, "check", "burst.wav", "--preset", "momentary", "--presets", "mine.toml"
    )
    lines = out.splitlines()[0]
    assert code == 1 and "maximum momentary" in lines and "loudness range" in lines


def test_the_exit_status_and_the_report_cover_every_file(files, capsys):
    with open("text.wav", "w") as text:
        text.write("not audio")
    code, out, err = run(
        capsys,
        "check",
        "steady.wav",
        "burst.wav",
        "text.wav",
        "--preset",
        "streaming",
        "--report",
        "r.json",
    )
    assert code == 1
    assert err == "qx-limiter: error: text.wav: cannot read it as audio (Format not recognised)\n"
    assert out.splitlines()[-1].startswith("1 passed, 2 failed, against streaming, in ")
    records = json.loads(open("r.json").read())
    assert [(r["input"], r["passed"]) for r in records] == [
        ("steady.wav", True),
        ("burst.wav", False),
        ("text.wav", False),
    ]
    assert records[0]["measured"]["integrated_lufs"] == files["steady"].integrated_lufs
    assert records[1]["failures"].startswith("integrated -23.00 LUFS, -9.00 LU from -14")
    assert records[2]["measured"] is None and records[2]["status"].startswith("text.wav: ")


@pytest.mark.parametrize(
    "args, message",
    [
        (["steady.wav"], "the following arguments are required: --preset"),
        (["steady.wav", "--preset", "radio"], "argument --preset: invalid choice: 'radio'"),
    ],
)
def test_a_bad_command_line_is_status_2(files, capsys, args, message):
    code, out, err = run(capsys, "check", *args)
    assert (code, out) == (2, "") and err.startswith(f"qx-limiter: error: {message}")


def test_dual_mono_counts_one_channel_twice(folder, capsys):
    mono = tone(6.0)[0]
    sf.write(
        "mono.wav",
        mono * 10 ** ((-17.01 - measure(mono, RATE).integrated_lufs) / 20),
        RATE,
        subtype="FLOAT",
    )
    assert run(capsys, "check", "mono.wav", "--preset", "streaming")[0] == 1
    assert run(capsys, "check", "mono.wav", "--preset", "streaming", "--dual-mono")[0] == 0
