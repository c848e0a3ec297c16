"""examples/dask_corpus.py on a local two-worker Dask cluster.

Needs soundfile and dask[distributed]; skipped where they are not installed.
"""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("dask.distributed")

from qx_limiter import limit  # noqa: E402

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "dask_corpus.py"
SETTINGS = dict(threshold_dBFS=-1.5, attack_ms=3.0, hold_ms=10.0, release_ms=25.0,
                true_peak=True)


def test_corpus_on_two_workers_matches_limit(tmp_path):
    rng = np.random.default_rng(5)
    sources = tmp_path / "in"
    (sources / "takes").mkdir(parents=True)
    # Relative path, frames-first audio, sample rate, subtype.
    corpus = {
        "a.wav": (rng.standard_normal((48000, 2)) * 0.8, 48000, "FLOAT"),
        "b.flac": (np.clip(rng.standard_normal((30000, 1)) * 0.5, -1, 0.99), 44100, "PCM_24"),
        "takes/c.wav": (rng.standard_normal((20000, 3)) * 2.0, 96000, "FLOAT"),
        "takes/d.wav": (rng.standard_normal((10, 2)) * 0.1, 32000, "PCM_16"),
    }
    for name, (audio, rate, subtype) in corpus.items():
        sf.write(sources / name, audio, rate, subtype=subtype)
    broken = rng.standard_normal((4800, 2)).astype(np.float32)
    broken[123, 1] = np.inf
    sf.write(sources / "takes" / "broken.wav", broken, 48000, subtype="FLOAT")
    (sources / "notes.txt").write_text("not audio")

    done = subprocess.run(
        [sys.executable, str(EXAMPLE), str(sources), str(tmp_path / "out"), "--glob", "**/*.*",
         "--workers", "2", "--threshold-dBFS", "-1.5", "--attack-ms", "3", "--hold-ms", "10",
         "--release-ms", "25", "--true-peak"],
        capture_output=True, text=True, timeout=120)

    # The files that fail are reported by name and the others are finished.
    assert done.returncode == 1, done.stderr
    assert "4 files limited, 2 failed" in done.stdout
    assert "broken.wav: ValueError: input sample at flat index 247 is not finite" in done.stderr
    assert f"{sources / 'notes.txt'}: " in done.stderr
    written = sorted(p.relative_to(tmp_path / "out").as_posix()
                     for p in (tmp_path / "out").rglob("*"))
    assert written == ["a.wav", "b.wav", "takes", "takes/c.wav", "takes/d.wav"]
    for name, (_, rate, _) in corpus.items():
        audio, read_rate = sf.read(sources / name, dtype="float32", always_2d=True)
        expected, _ = limit(audio, rate, axis=0, **SETTINGS)
        out, out_rate = sf.read((tmp_path / "out" / name).with_suffix(".wav"),
                                dtype="float32", always_2d=True)
        assert out_rate == read_rate == rate
        assert sf.info(str((tmp_path / "out" / name).with_suffix(".wav"))).subtype == "FLOAT"
        np.testing.assert_array_equal(out, expected, err_msg=name)
