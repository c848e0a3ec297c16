"""Settings and blocks that need more memory than exists: MemoryError at
once, from the constructor and from limit, and the process carries on.

Each case runs in a child process, so that a failure to refuse cannot take
the test run down with it."""

import os
import re
import sys

import pytest
from conftest import run_python

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

# What comes after the failing call in every child: proof that the module
# and the interpreter still work.
STILL_WORKS = """
        audio, gains = qx_limiter.limit([2.0, 0.5], 48000)
        print(audio.tolist(), gains.tolist())
"""


@pytest.mark.parametrize(
    "call",
    [
        # 4.8e10 window entries: about 770 GB.
        "qx_limiter.QXLimiter(48000, hold_ms=1e12)",
        "qx_limiter.limit([0.5] * 10, 48000, hold_ms=1e12)",
        # A look-ahead of 4.8e11 frames: terabytes of stages and window.
        "qx_limiter.QXLimiter(48000, attack_ms=1e10)",
        "qx_limiter.limit([0.5] * 10, 48000, attack_ms=1e10)",
        # Lengths that saturate at 2^64 - 1.
        "qx_limiter.QXLimiter(48000, hold_ms=1e300)",
        "qx_limiter.QXLimiter(48000, attack_ms=1e300)",
        "qx_limiter.limit([0.5] * 10, 48000, attack_ms=1e300, hold_ms=1e300)",
        # After the Kaiser tables are designed, which must then be released.
        "qx_limiter.QXLimiter(8000, hold_ms=1e12, true_peak=True)",
        "qx_limiter.limit([0.5] * 10, 22050, attack_ms=1e10, true_peak=True)",
    ],
)
def test_settings_beyond_memory_raise_memory_error_at_once(call):
    code = (
        f"""
        import time
        import qx_limiter
        start = time.perf_counter()
        try:
            {call}
        except MemoryError as error:
            print("MemoryError", time.perf_counter() - start < 1.0)
            print(error)
    """
        + STILL_WORKS
    )
    returncode, out, err = run_python(code)
    assert returncode == 0, err
    lines = out.splitlines()
    assert lines[0] == "MemoryError True" and lines[2:] == ["[1.0, 0.25] [0.5, 0.5]"], out
    # The message names what made the limiter too large, the user's own figures.
    assert re.fullmatch(
        r"not enough memory to build a limiter at sample_rate=\d+ with "
        r"attack_ms=\d+ and hold_ms=\d+ \(its look-ahead and hold take memory "
        r"in proportion to their length\)",
        lines[1],
    ), lines[1]


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer needs far more address space")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
@pytest.mark.parametrize(
    "limiter, shape, axis, room",
    [
        # 8000 Hz true peak: the copy fits, the gains do not (the upsampled
        # signal itself only ever exists a chunk at a time).
        ("QXLimiter(8000, true_peak=True)", (16 * 2**20,), -1, 1.5),
        # Frames-first: the copy, limited in place as it is laid out, fits;
        # the gains do not.
        ("QXLimiter(48000)", (8 * 2**20, 2), 0, 1.25),
    ],
)
def test_block_whose_working_storage_does_not_fit_raises_memory_error(limiter, shape, axis, room):
    # The address space is capped at what is in use plus `room` times the
    # block's size, then lifted again.
    code = (
        f"""
        import resource
        import numpy as np
        import qx_limiter

        audio = np.full({shape}, 0.5, dtype=np.float32)
        limiter = qx_limiter.{limiter}
        settings = dict(sample_rate=limiter.sample_rate, true_peak=limiter.true_peak)
        with open("/proc/self/status") as status:
            in_use = next(int(line.split()[1]) * 1024 for line in status
                          if line.startswith("VmSize:"))
        _, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (in_use + int({room} * audio.nbytes), hard))
        for call in (lambda: limiter.process(audio, {axis}),
                     lambda: qx_limiter.limit(audio, axis={axis}, **settings)):
            try:
                call()
            except MemoryError:
                print("MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        out, gains = limiter.process(audio, {axis})
        print(out.shape == audio.shape, float(gains.min()))
        del out, gains
    """
        + STILL_WORKS
    )
    returncode, out, err = run_python(code)
    assert returncode == 0, err
    assert out.splitlines() == ["MemoryError", "MemoryError", "True 1.0", "[1.0, 0.25] [0.5, 0.5]"]
