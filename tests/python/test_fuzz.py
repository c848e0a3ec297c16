"""The module's fuzz harness (fuzz_module.py), run with a fixed budget."""

import os
import pathlib
import subprocess
import sys

HARNESS = pathlib.Path(__file__).with_name("fuzz_module.py")


def test_arbitrary_arguments_give_only_documented_errors(tmp_path):
    # A child process, so that a crash fails this test instead of ending
    # the run; the harness leaves the input of every call in `last` first.
    last = tmp_path / "last-input.txt"
    examples = os.environ.get("QX_FUZZ_EXAMPLES", "2000")
    done = subprocess.run(
        [sys.executable, str(HARNESS), "--examples", examples],
        capture_output=True,
        text=True,
        timeout=1200,
        env=dict(os.environ, QX_FUZZ_LAST=str(last)),
    )
    culprit = last.read_text() if last.exists() else "(none)"
    assert done.returncode == 0, (
        f"exit status {done.returncode}; last input: {culprit}\n"
        f"{done.stdout[-3000:]}\n{done.stderr[-12000:]}"
    )
    print(done.stdout)
