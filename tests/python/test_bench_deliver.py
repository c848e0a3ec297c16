"""bench/bench_deliver.py on a few seconds of audio: qx-limiter's output,
read by libebur128, is on the target and under the ceiling, and the other
tools' rows are there (or say why not, where they are not installed).

Needs the command line's extra and pyebur128; skipped where they are not
installed.
"""

import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("soundfile")
pytest.importorskip("tqdm")
pytest.importorskip("pyebur128")

SCRIPT = Path(__file__).resolve().parents[2] / "bench" / "bench_deliver.py"


def test_a_short_run_delivers_on_target(tmp_path):
    done = subprocess.run(
        [sys.executable, str(SCRIPT), "--seconds", "6", "--repeats", "1", "--keep", str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    rows = {
        line.split(" | ")[0].strip("| "): line
        for line in done.stdout.splitlines()
        if line.startswith("| ") and not line.startswith("| tool")
    }
    assert list(rows) == [
        "qx-limiter --preset streaming",
        "ffmpeg loudnorm, two passes (linear)",
        "pedalboard: gain, BrickwallLimiter(true_peak=True)",
    ]
    cells = [cell.strip() for cell in rows["qx-limiter --preset streaming"].split("|")[1:-1]]
    seconds, ratio, loudness, error, peak, over = cells[1:]
    assert float(seconds) > 0 and ratio == "1.0"
    assert abs(float(loudness) + 14.0) <= 0.1 and float(error) == pytest.approx(
        float(loudness) + 14.0, abs=0.006
    )
    assert float(over) <= 0.0 and float(peak) <= -1.0
    assert re.search(
        r"^master\(\) in memory: \d+\.\d\d s \(\d+ passes?\); one "
        r"limit\(true_peak=True\): \d+\.\d\d s; ratio \d+\.\dx \(target <= 4x\)$",
        done.stdout,
        re.MULTILINE,
    )
    assert sorted(path.name for path in tmp_path.iterdir())[0] == "input.wav"
