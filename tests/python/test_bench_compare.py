"""bench/compare.py in its quick mode, and the two measurements it relies on.

Needs scipy and matplotlib; skipped where they are not installed. Peers that
are not installed are skipped by the script itself.
"""

import importlib.util
import json
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("scipy")
pytest.importorskip("matplotlib")

SCRIPT = Path(__file__).resolve().parents[2] / "bench" / "compare.py"


@pytest.fixture(scope="module")
def compare():
    spec = importlib.util.spec_from_file_location("compare", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    sys.modules["compare"] = module  # its dataclass looks itself up there
    spec.loader.exec_module(module)
    yield module
    del sys.modules["compare"]


def test_true_peak_meter_finds_the_peak_between_samples(compare):
    # A quarter-rate sine sampled 45 degrees off its crests: every sample is
    # at 1/sqrt(2) of the true peak.
    frames = np.arange(4800)
    sine = np.sin(np.pi / 2 * frames + np.pi / 4).astype(np.float32)[None, :]
    assert np.abs(sine).max() == pytest.approx(2 ** -0.5, abs=1e-6)
    assert compare.decibels(compare.true_peak(sine)) == pytest.approx(0.0, abs=0.03)


def test_numpy_limiter_keeps_the_ceiling(compare):
    audio = compare.test_signal(1.0)
    ceiling = 10 ** (compare.CEILING_DB / 20)
    assert np.abs(audio).max() > 1.9 * ceiling
    out = compare.numpy_limiter(audio, compare.RATE)
    assert np.abs(out).max() <= np.float32(ceiling)
    # One gain per frame: the channels keep their ratio.
    loud = np.abs(audio[1]) > 0.1
    np.testing.assert_allclose(out[0][loud] / out[1][loud], audio[0][loud] / audio[1][loud],
                               rtol=1e-5)
    tight = compare.numpy_limiter(audio, compare.RATE, true_peak=True)
    assert compare.true_peak(tight) < compare.true_peak(out)


def test_quick_run(compare, tmp_path, capsys):
    figure = tmp_path / "compare.png"
    record = tmp_path / "compare.json"
    results = compare.main(["--quick", "--plot", str(figure), "--json", str(record)])
    names = [result.tool for result in results]
    assert names[:2] == ["qx_limiter.limit", "qx_limiter.limit, true_peak"]
    assert names[-2:] == ["NumPy/SciPy look-ahead", "NumPy/SciPy look-ahead, true peak"]
    printed = capsys.readouterr().out
    for result in results:
        assert result.median_s > 0
        assert f"| {result.tool} |" in printed
    by_name = {result.tool: result for result in results}
    # Both limiters keep every sample at or under the ceiling (float32 rounding
    # of the ceiling aside), and true-peak detection lowers the true peak.
    for name in names[:2] + names[-2:]:
        assert by_name[name].sample_over_db <= 1e-6
    assert (by_name["qx_limiter.limit, true_peak"].true_peak_over_db
            < by_name["qx_limiter.limit"].true_peak_over_db)
    assert by_name["qx_limiter.limit"].ratio == 1.0
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert [entry["tool"] for entry in json.loads(record.read_text())] == names
