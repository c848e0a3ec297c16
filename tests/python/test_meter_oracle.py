"""The meter's NumPy oracle against the references, and its own checks.

The shared cases (meter_cases) run here against meter_oracle, so the design
is proved today, before the compiled meter exists.
"""

import math

import numpy as np
import pytest

pytest.importorskip("scipy", reason="the oracle is written with SciPy")

import meter_oracle as mo  # noqa: E402
from meter_cases import *  # noqa: E402,F401,F403  (the shared test functions)
from meter_cases import TIGHT_MARGIN_CASES  # noqa: E402

# The references for the true peak run against the compiled meter, whose
# bits test_meter.py holds equal to the oracle's; the oracle's far sums in
# Python would take minutes per rate over them.
del test_true_peak_against_references, test_sine_sweep_never_reads_below_libebur128  # noqa: F821


@pytest.fixture
def meter():
    return mo


@pytest.mark.parametrize("rate", [48000])
def test_k_weighting_reproduces_the_printed_48k_coefficients(rate):
    designed = mo.k_weighting_coefficients(rate)
    for stage, printed in zip(designed, mo.PRINTED_48K):
        np.testing.assert_allclose(stage, printed, rtol=0, atol=1e-10)


@pytest.mark.parametrize("rate", [8000, 11025, 44100, 96000, 384000])
def test_k_weighting_response_matches_the_analog_prototypes(rate):
    # At f0 of each stage the digital response equals the analog one
    # (bilinear transform prewarped there).
    from scipy import signal

    shelf, highpass = mo.k_weighting_coefficients(rate)
    w0 = 2 * math.pi * mo.SHELF_F0
    vh = 10 ** (mo.SHELF_GAIN_DB / 20)
    _, digital = signal.freqz(shelf[:3], [1.0, *shelf[3:]], worN=[mo.SHELF_F0], fs=rate)
    s = 1j * w0
    analog = (vh * s * s + mo.SHELF_MID_GAIN * (w0 / mo.SHELF_Q) * s + w0 * w0) / (
        s * s + (w0 / mo.SHELF_Q) * s + w0 * w0
    )
    assert abs(abs(digital[0]) - abs(analog)) <= 1e-9
    # The high pass keeps the printed table's unnormalised numerator.
    assert highpass[:3] == (1.0, -2.0, 1.0)


def test_exact_recursion_agrees_with_sosfilt():
    rate = 8000
    audio = mo.music_like(rate, 2.0, seed=1)
    exact = mo.k_weight_exact(audio, rate)
    fast = mo.k_weight(audio, rate)
    np.testing.assert_allclose(exact, fast, rtol=0, atol=1e-12)
    a = mo.measure(audio, rate, exact=True)
    b = mo.measure(audio, rate)
    assert abs(a.integrated_lufs - b.integrated_lufs) <= 1e-9
    assert abs(a.loudness_range_lu - b.loudness_range_lu) <= 1e-9 or (
        a.loudness_range_lu == b.loudness_range_lu
    )


@pytest.mark.parametrize("rate", [48000, 192000])
@pytest.mark.parametrize(
    "maker",
    [
        lambda r: mo.clipped_noise(r, seconds=0.05, drive=6.0),
        lambda r: mo.band_noise(r, 0.45, 0.4999, seconds=0.05),
        lambda r: np.cos(np.pi * 0.9995 * np.arange(r // 20))[None].astype(np.float32),
        lambda r: np.sign(np.random.default_rng(r).standard_normal((1, r // 20))).astype(
            np.float32
        ),
    ],
    ids=["clipped", "above-0.45fs", "abrupt-nyquist-tone", "random-signs"],
)
def test_screen_margin_holds(rate, maker):
    # Evaluating every local maximum of the screen finds nothing the
    # screened search misses, on the material that needs the widest margin.
    audio = maker(rate)
    assert mo.true_peak_linear(audio) == mo.true_peak_linear(audio, screened=False)


@pytest.mark.parametrize("case", list(TIGHT_MARGIN_CASES))
def test_tight_margins_hold_where_near_nyquist_content_is_small(case):
    # Each case twice, the second copy in blocks whose margins face a
    # reading just under their peak: the screened search finds what
    # evaluating every local maximum finds.
    audio = mo.after_its_copy(TIGHT_MARGIN_CASES[case](48000))
    assert mo.true_peak_linear(audio) == mo.true_peak_linear(audio, screened=False)
