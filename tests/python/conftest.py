"""Shared helpers for the qx_limiter tests; they use the installed module."""

import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

# The float64 references and the signals the tests share with the benchmarks.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "reference"))


@pytest.fixture
def loud_stereo():
    """Half a second of channels-first float64 noise peaking well above 1."""
    rng = np.random.default_rng(1234)
    return rng.standard_normal((2, 24000)) * 1.5


@pytest.fixture
def folder(tmp_path, monkeypatch):
    """A fresh temporary folder, made the working directory for the test."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


def run_python(code):
    """Runs `code` in a fresh interpreter; returns (returncode, stdout, stderr)."""
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    return done.returncode, done.stdout, done.stderr
