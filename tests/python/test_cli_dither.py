"""TPDF dither of integer outputs of 16 bits and fewer: inside the ceiling,
the same file from the same command whatever the chunk size, triangular
noise of one step that only samples needing rounding get.

Needs the extra qx_limiter[cli]; skipped where it is not installed.
"""

import json
from pathlib import Path

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")

from qx_limiter import QXLimiter  # noqa: E402

from qx_limiter_cli import _pipeline  # noqa: E402
from qx_limiter_cli._dither import Dither, dither_key  # noqa: E402
from qx_limiter_cli._quantise import Quantiser  # noqa: E402
from qx_limiter_tools import master, measure  # noqa: E402

from cli_support import run, song, summary, write  # noqa: E402

try:
    import pyebur128  # noqa: F401

    from meter_cases import ebur128_true_peak_db
except ImportError:
    ebur128_true_peak_db = None


def deliver(capsys, target, *options):
    code, out, err = run(
        capsys,
        "in.wav",
        "-o",
        target,
        "--preset",
        "streaming",
        "--subtype",
        "PCM_16",
        "--report",
        f"{target}.json",
        *options,
    )
    assert (code, err, summary(out)) == (0, "", (1, 0))
    return json.loads(Path(f"{target}.json").read_text())[0]


def test_the_same_command_writes_the_same_bytes_whatever_the_chunks(folder, capsys, monkeypatch):
    write("in.wav", song(48000, 4.0, level_db=-19.0, seed=2), 48000, "FLOAT")
    files = []
    for chunk in (997, 4096, 65536, 65536):
        monkeypatch.setattr(_pipeline, "CHUNK_FRAMES", chunk)
        Path(f"c{len(files)}").mkdir()
        entry = deliver(capsys, f"c{len(files)}/out.wav")
        assert entry["settings"]["dither"] == "tpdf"
        files.append(Path(f"c{len(files)}/out.wav").read_bytes())
    assert all(data == files[0] for data in files)

    stored, _ = sf.read("c0/out.wav", dtype="int32", always_2d=True)
    ceiling = QXLimiter(48000, -1.0).threshold
    # Every sample inside the ceiling, and the true peak verified, as
    # libebur128 reads it too.
    assert np.abs(stored.astype(np.int64)).max() <= np.floor(ceiling * 32768) * 65536
    audio, _ = sf.read("c0/out.wav", dtype="float32", always_2d=True)
    assert measure(audio, 48000, axis=0).true_peak_dbtp <= -1.0
    if ebur128_true_peak_db is not None:
        assert ebur128_true_peak_db(audio.T, 48000) <= -1.0


def test_the_dither_is_triangular_noise_of_one_step(folder, capsys):
    write("in.wav", song(48000, 4.0, level_db=-19.0, seed=2), 48000, "FLOAT")
    dithered, plain = deliver(capsys, "d.wav"), deliver(capsys, "p.wav", "--dither", "none")
    assert (dithered["settings"]["dither"], plain["settings"]["dither"]) == ("tpdf", "none")
    source, _ = sf.read("in.wav", dtype="float32", always_2d=True)
    done = master(source, 48000, loudness_lufs=-14.0, ceiling_dbtp=-1.0, axis=0)
    assert dithered["passes"] == plain["passes"] == done.passes  # master's file, rounded
    exact = done.audio.astype(np.float64) * 32768
    for name, variance in (("d.wav", 1 / 6 + 1 / 12), ("p.wav", 1 / 12)):
        stored, _ = sf.read(name, dtype="int16", always_2d=True)
        error = stored - exact
        # Rounding alone leaves a uniform error of 1/12 step²; triangular
        # dither of one step adds 1/6, and neither moves the level.
        assert abs(error.mean()) < 0.01 and abs(error.var() - variance) < 0.01
        assert np.abs(error).max() < (1.5 if name == "d.wav" else 0.5) + 1e-3


def test_outputs_of_other_names_get_other_dither(folder, capsys):
    write("in.wav", song(48000, 2.0, level_db=-19.0, seed=4), 48000, "FLOAT")
    deliver(capsys, "one.wav")
    deliver(capsys, "two.wav")
    one, _ = sf.read("one.wav", dtype="int16")
    two, _ = sf.read("two.wav", dtype="int16")
    assert one.shape == two.shape and np.mean(one != two) > 0.3
    assert np.abs(one.astype(int) - two).max() <= 3


@pytest.mark.parametrize("pieces", [[1], [3, 5, 1, 4096, 7], [65536], [2, 2, 2]])
def test_the_dither_of_a_sample_depends_on_its_place_alone(pieces):
    key = dither_key("out.wav", "PCM_16")
    whole = Dither(key).next(70000)
    dither, parts, done = Dither(key), [], 0
    while done < whole.size:
        size = min(pieces[len(parts) % len(pieces)], whole.size - done)
        parts.append(dither.next(size))
        done += size
    np.testing.assert_array_equal(np.concatenate(parts), whole)
    assert whole.dtype == np.float32 and -1.0 < whole.min() and whole.max() < 1.0
    # Triangular over (-1, 1): mean 0, variance 1/6, a third of the values
    # beyond ±0.42 (1 - sqrt(1/3)).
    assert abs(whole.mean()) < 0.01 and abs(whole.var() - 1 / 6) < 0.005
    assert abs(np.mean(np.abs(whole) > 1 - np.sqrt(1 / 3)) - 1 / 3) < 0.01


def test_keys_differ_by_name_and_settings():
    assert dither_key("a.wav", "PCM_16") == dither_key("a.wav", "PCM_16")
    assert (
        len(
            {
                dither_key("a.wav", "PCM_16"),
                dither_key("b.wav", "PCM_16"),
                dither_key("a.wav", "PCM_S8"),
            }
        )
        == 3
    )


@pytest.mark.parametrize("subtype, bits", [("PCM_16", 16), ("PCM_S8", 8), ("PCM_U8", 8)])
@pytest.mark.parametrize("ceiling", [1.0, 0.5])
def test_the_quantiser_dithers_only_what_needs_rounding(subtype, bits, ceiling):
    scale = 2.0 ** (bits - 1)
    rng = np.random.default_rng(bits)
    audio = rng.uniform(-1.0, 1.0, (6000, 2)).astype(np.float32) * np.float32(ceiling)
    on_grid = np.rint(audio[:2000] * scale) / np.float32(scale)
    audio[:2000] = np.clip(
        on_grid,
        -np.floor(ceiling * scale) / scale,
        np.floor(min(ceiling * scale, scale - 1)) / scale,
    )
    key = dither_key(subtype, ceiling)
    noise = Dither(key).next(audio.size).reshape(audio.shape)
    scaled = audio * np.float32(scale)
    expected = np.where(np.rint(scaled) == scaled, scaled, scaled + noise)
    top = np.floor(min(ceiling * scale, scale - 1))
    expected = np.rint(np.clip(expected, -np.floor(min(ceiling * scale, scale)), top))
    quantiser, stored, start = Quantiser(subtype, ceiling, Dither(key), as_read=True), [], 0
    for size in (1, 999, 5000):
        chunk = audio[start : start + size].copy()
        stored.append(quantiser(chunk).copy() >> (32 - bits))
        # As read back: the stored integers over 2 ** (bits - 1).
        np.testing.assert_array_equal(chunk, stored[-1] / np.float32(scale))
        start += size
    np.testing.assert_array_equal(np.concatenate(stored), expected)
    np.testing.assert_array_equal(expected[:2000], audio[:2000] * scale)  # left as they were
    assert np.abs(expected).max() <= np.floor(ceiling * scale)


@pytest.mark.parametrize("extension", ["flac", "wav"])  # packed by libsndfile, and here
def test_the_file_is_masters_audio_dithered_and_rounded_as_the_writer_does(
    folder, capsys, extension
):
    from qx_limiter_cli._options import parse
    from qx_limiter_cli._planning import plan

    write("in.wav", song(44100, 3.0, level_db=-20.0, seed=6), 44100, "FLOAT")
    arguments = [
        "in.wav",
        "-o",
        f"out.{extension}",
        "--subtype",
        "PCM_16",
        "--loudness",
        "-15",
        "--true-peak",
        "--threshold-dBFS",
        "-2",
        "--report",
        "r.json",
    ]
    [job], _ = plan(parse(arguments))
    code, out, err = run(capsys, *arguments)
    assert (code, err) == (0, "")
    source, _ = sf.read("in.wav", dtype="float32", always_2d=True)
    done = master(source, 44100, loudness_lufs=-15.0, ceiling_dbtp=-2.0, axis=0)
    assert json.loads(Path("r.json").read_text())[0]["passes"] == done.passes
    expected = Quantiser("PCM_16", job.ceiling, Dither(job.dither))(done.audio.copy())
    stored, _ = sf.read(f"out.{extension}", dtype="int32", always_2d=True)
    np.testing.assert_array_equal(stored, expected)
