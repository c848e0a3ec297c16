"""bench/compare.py in its quick mode: it checks its own true-peak meter and
NumPy limiter before it times anything, then every limiter keeps the ceiling.

Needs scipy and matplotlib; skipped where they are not installed. Peers that
are not installed are skipped by the script itself.
"""

import json
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("scipy")
pytest.importorskip("matplotlib")

SCRIPT = Path(__file__).resolve().parents[2] / "bench" / "compare.py"


def test_quick_run(tmp_path):
    figure = tmp_path / "compare.png"
    record = tmp_path / "compare.json"
    done = subprocess.run(
        [sys.executable, str(SCRIPT), "--quick", "--plot", str(figure), "--json", str(record)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert done.returncode == 0, done.stderr
    results = json.loads(record.read_text())
    names = [result["tool"] for result in results]
    assert names[:2] == ["qx_limiter.limit", "qx_limiter.limit, true_peak"]
    assert names[-2:] == ["NumPy/SciPy look-ahead", "NumPy/SciPy look-ahead, true peak"]
    for result in results:
        assert result["median_s"] > 0
        assert f"| {result['tool']} |" in done.stdout
    by_name = {result["tool"]: result for result in results}
    # Both limiters keep every sample at or under the ceiling (float32 rounding
    # of the ceiling aside), and true-peak detection lowers the true peak.
    for name in names[:2] + names[-2:]:
        assert by_name[name]["sample_over_db"] <= 1e-6
    assert (
        by_name["qx_limiter.limit, true_peak"]["true_peak_over_db"]
        < by_name["qx_limiter.limit"]["true_peak_over_db"]
    )
    assert by_name["qx_limiter.limit"]["ratio"] == 1.0
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
