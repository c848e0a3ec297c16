"""Type information for qx_limiter and qx_limiter_tools: the stubs match the
compiled modules (stubtest), and code using them passes mypy --strict.

Skipped where mypy is not installed.
"""

import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parents[2]


def mypy(*args):
    done = subprocess.run(
        [sys.executable, "-m", *args], cwd=ROOT, capture_output=True, text=True, timeout=600
    )
    return done.returncode, done.stdout + done.stderr


@pytest.mark.parametrize("package, modules", [("qx_limiter", 1), ("qx_limiter_tools", 5)])
def test_stubs_match_the_module(package, modules):
    code, output = mypy("mypy.stubtest", package)
    assert code == 0, output
    assert f"Success: no issues found in {modules} module" in output


def test_examples_and_command_line_pass_strict():
    # Together with typed_usage.py, whose assert_type and "type: ignore"
    # lines hold the stubs to precise types in both directions.
    code, output = mypy(
        "mypy",
        "--strict",
        "--cache-dir",
        str(ROOT / "build" / "mypy-cache"),
        "examples",
        "src/qx_limiter_cli",
        "src/qx_limiter_tools",
        "tests/python/typed_usage.py",
    )
    assert code == 0, output
    assert output.startswith("Success: no issues found")
