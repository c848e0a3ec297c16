"""qx-limiter --report: one record per file, JSON or CSV, with the values
the meter reads on the input and on the written file, written atomically
also when some files failed.

Needs the extra qx_limiter[cli]; skipped where it is not installed.
"""

import errno
import json
import math
import os
from pathlib import Path

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")

from qx_limiter import limit  # noqa: E402

from qx_limiter_tools import limit as limit_waveform  # noqa: E402
from qx_limiter_tools import master, measure  # noqa: E402
from qx_limiter_tools._master import apply_gain  # noqa: E402

from cli_support import files_in, read_report, run, song, summary, write  # noqa: E402


def read(path):
    return sf.read(str(path), dtype="float32", always_2d=True)


def figures(measurement):
    return {
        name: (value if math.isfinite(value) else None) for name, value in vars(measurement).items()
    }


def expected_record(source, target, subtype, file_format, dither):
    """The record of a file delivered to the podcast preset, from master."""
    audio, rate = read(source)
    done = master(audio, rate, loudness_lufs=-16.0, ceiling_dbtp=-1.0, axis=0)
    out, _ = read(target)
    return done, {
        "input": str(source),
        "output": str(target),
        "sample_rate": rate,
        "channels": audio.shape[1],
        "frames": audio.shape[0],
        "settings": {
            "preset": "podcast",
            "loudness_lufs": -16.0,
            "threshold_dBFS": -1.0,
            "true_peak": True,
            "attack_ms": 5.0,
            "hold_ms": 15.0,
            "release_ms": 40.0,
            "format": file_format,
            "subtype": subtype,
            "dither": dither,
            "max_limiting_db": None,
            "dual_mono": False,
            "album": False,
        },
        "before": figures(measure(audio, rate, axis=0)),
        "after": figures(measure(out, rate, axis=0)),
        "gain_db": done.gain_db,
        "passes": done.passes,
        "loudness_reached": True,
        "status": "ok",
        "note": None,
    }


FILES = [
    ("a.wav", "FLOAT", "WAV", 48000, 2, "none"),
    ("b.flac", "PCM_24", "FLAC", 44100, 1, "none"),
    ("c.wav", "PCM_16", "WAV", 32000, 2, "tpdf"),
]


@pytest.mark.parametrize("suffix", [".json", ".csv"])
def test_each_file_has_a_record_of_what_the_meter_reads(folder, capsys, suffix):
    for index, (name, subtype, file_format, rate, channels, _) in enumerate(FILES):
        write(
            name,
            song(rate, 4.0, channels=channels, level_db=-22.0 + 4 * index, seed=index),
            rate,
            subtype,
            file_format,
        )
    code, out, err = run(
        capsys,
        *[entry[0] for entry in FILES],
        "--output-dir",
        "out",
        "--preset",
        "podcast",
        "--report",
        f"r{suffix}",
    )
    assert (code, err, summary(out)) == (0, "", (3, 0))
    records = read_report(f"r{suffix}")
    assert [entry["input"] for entry in records] == [entry[0] for entry in FILES]
    for entry, (name, subtype, file_format, rate, _, dither) in zip(records, FILES):
        done, expected = expected_record(
            Path(name), Path("out") / name, subtype, file_format, dither
        )
        got = dict(entry)
        threshold = float(got.pop("limiter_threshold_dBFS"))
        reduction = got.pop("max_gain_reduction_db")
        if suffix == ".csv":
            expected = flat(expected)
        assert {name: got[name] for name in expected} == expected
        # The deepest gain is the limiter's at the last pass's threshold.
        audio, _ = read(name)
        _, gains = limit_waveform(apply_gain(audio, done.gain_db), rate, threshold, axis=0)
        assert float(reduction) == -20 * math.log10(float(gains.min()))


def flat(entry):
    """A record as the CSV file holds it: nested names with a dot, every
    value as text (numbers in full, null as an empty cell)."""
    cells = {}
    for name, value in entry.items():
        for key, item in value.items() if isinstance(value, dict) else [(None, value)]:
            column = f"{name}.{key}" if key else name
            cells[column] = (
                ""
                if item is None
                else (
                    "true"
                    if item is True
                    else "false"
                    if item is False
                    else repr(item)
                    if isinstance(item, float)
                    else str(item)
                )
            )
    return cells


def test_a_failed_file_is_recorded_and_the_report_still_written(folder, capsys):
    write("good.wav", song(48000, 2.0), 48000, "FLOAT")
    bad = song(48000, 2.0)
    bad[100, 1] = np.nan
    write("nan.wav", bad, 48000, "FLOAT")
    code, out, err = run(
        capsys,
        "good.wav",
        "nan.wav",
        "--output-dir",
        "out",
        "--true-peak",
        "--threshold-dBFS",
        "-2",
        "--report",
        "deep/er/r.json",
    )
    assert (code, summary(out)) == (1, (1, 1))
    line = "nan.wav: sample at frame 100 (0.002 s), channel 1 is not finite"
    assert err == f"qx-limiter: error: {line}\n"
    good, failed = read_report("deep/er/r.json")
    assert good["status"] == "ok" and good["passes"] >= 1
    assert failed == {
        "input": "nan.wav",
        "output": "out/nan.wav",
        "sample_rate": 48000,
        "channels": 2,
        "frames": None,
        "settings": {
            "preset": None,
            "loudness_lufs": None,
            "threshold_dBFS": -2.0,
            "true_peak": True,
            "attack_ms": 5.0,
            "hold_ms": 15.0,
            "release_ms": 40.0,
            "format": "WAV",
            "subtype": "FLOAT",
            "dither": "none",
            "max_limiting_db": None,
            "dual_mono": False,
            "album": False,
        },
        "before": None,
        "after": None,
        "gain_db": None,
        "max_gain_reduction_db": None,
        "passes": None,
        "loudness_reached": None,
        "status": line,
        "note": None,
        "limiter_threshold_dBFS": None,
        "after_codec": None,
    }
    # Only the finished files: no temporary file of the audio or the report.
    assert files_in(folder) == [
        "deep",
        "deep/er",
        "deep/er/r.json",
        "good.wav",
        "nan.wav",
        "out",
        "out/good.wav",
    ]


def test_without_a_target_the_report_records_the_plain_limiter(folder, capsys):
    write("in.wav", song(44100, 3.0, level_db=-8.0), 44100, "PCM_24")
    code, out, err = run(
        capsys, "in.wav", "-o", "out.wav", "--threshold-dBFS", "-3", "--report", "r.csv"
    )
    assert (code, err) == (0, "")
    [entry] = read_report("r.csv")
    audio, _ = read("in.wav")
    limited, gains = limit(audio, 44100, -3.0, axis=0)
    after = measure(read("out.wav")[0], 44100, axis=0)
    assert (
        entry["passes"],
        entry["gain_db"],
        entry["loudness_reached"],
        entry["note"],
        entry["settings.true_peak"],
        entry["settings.loudness_lufs"],
        entry["limiter_threshold_dBFS"],
    ) == ("1", "0.0", "", "", "false", "", "-3.0")
    assert entry["after.true_peak_dbtp"] == repr(after.true_peak_dbtp)
    assert entry["before.integrated_lufs"] == repr(measure(audio, 44100, axis=0).integrated_lufs)
    assert entry["max_gain_reduction_db"] == repr(-20 * math.log10(float(gains.min())))
    # The line stays the plain limiter's: no loudness, no passes.
    assert " LUFS" not in out and "dBTP" not in out


def test_silence_reads_null_in_json_and_empty_in_csv(folder, capsys):
    write("quiet.wav", np.zeros((24000, 2)), 48000, "FLOAT")
    for suffix in (".json", ".csv"):
        assert (
            run(
                capsys,
                "quiet.wav",
                "-o",
                "out.wav",
                "--true-peak",
                "--overwrite",
                "--report",
                f"r{suffix}",
            )[0]
            == 0
        )
    [record] = read_report("r.json")
    [row] = read_report("r.csv")
    assert (
        record["after"]
        == record["before"]
        == dict.fromkeys(
            [
                "integrated_lufs",
                "loudness_range_lu",
                "true_peak_dbtp",
                "sample_peak_dbfs",
                "max_momentary_lufs",
                "max_short_term_lufs",
            ]
        )
    )
    assert [row[f"after.{name}"] for name in record["after"]] == [""] * 6
    assert "NaN" not in Path("r.json").read_text() and "Infinity" not in Path("r.json").read_text()


def test_an_existing_report_is_replaced_with_overwrite(folder, capsys):
    write("in.wav", song(48000, 1.0), 48000, "FLOAT")
    Path("r.json").write_text("old")
    code, _, err = run(capsys, "in.wav", "-o", "out.wav", "--report", "r.json", "--overwrite")
    assert (code, err) == (0, "")
    assert json.loads(Path("r.json").read_text())[0]["output"] == "out.wav"


def test_a_report_that_cannot_be_written_is_an_error_and_leaves_nothing(
    folder, capsys, monkeypatch
):
    write("in.wav", song(48000, 1.0), 48000, "FLOAT")
    Path("r.json").write_text("old")
    real = Path.write_text

    def full_disk(self, *args, **kwargs):
        if self.name.startswith(".r.json."):
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        return real(self, *args, **kwargs)

    monkeypatch.setattr(Path, "write_text", full_disk)
    code, out, err = run(capsys, "in.wav", "-o", "out.wav", "--report", "r.json", "--overwrite")
    assert (code, summary(out)) == (1, (1, 0))
    assert err == "qx-limiter: error: cannot write the report r.json (No space left on device)\n"
    assert files_in(folder) == ["in.wav", "out.wav", "r.json"]
    assert Path("r.json").read_text() == "old"
