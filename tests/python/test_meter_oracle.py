"""The meter's NumPy oracle against the references, and its own checks.

The shared cases (meter_cases) run here against meter_oracle, so the design
is proved today, before the compiled meter exists.
"""

import math

import numpy as np
import pytest

pytest.importorskip("scipy", reason="the oracle is written with SciPy")

import meter_oracle as mo  # noqa: E402
from meter_cases import *  # noqa: F401,F403  (the shared test functions)
from meter_cases import feed  # noqa: E402

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
        s * s + (w0 / mo.SHELF_Q) * s + w0 * w0)
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
        a.loudness_range_lu == b.loudness_range_lu)


@pytest.mark.parametrize("rate", [48000, 192000])
@pytest.mark.parametrize("maker", [
    lambda r: mo.clipped_noise(r, seconds=0.05, drive=6.0),
    lambda r: mo.band_noise(r, 0.45, 0.4999, seconds=0.05),
    lambda r: np.cos(np.pi * 0.9995 * np.arange(r // 20))[None].astype(np.float32),
    lambda r: np.sign(np.random.default_rng(r).standard_normal((1, r // 20))).astype(np.float32),
], ids=["clipped", "above-0.45fs", "abrupt-nyquist-tone", "random-signs"])
def test_screen_margin_holds(rate, maker):
    # Evaluating every local maximum of the screen finds nothing the
    # screened search misses, on the material that needs the widest margin.
    audio = maker(rate)
    assert mo.true_peak_linear(audio) == mo.true_peak_linear(audio, screened=False)


def _sign_run(half, amplitude=0.9, noise=0.02, shift=0):
    # The worst signs for a point between two samples over ±half samples:
    # a step of the alternating signal, whose waveform grows like log(half).
    def make(rate):
        rng = np.random.default_rng(half + shift)
        x = noise * rng.standard_normal(rate // 25)
        k = np.arange(-half + 1, half + 1)
        x[x.size // 2 + shift + k] += amplitude * np.sign(np.sinc(k - 0.5))
        return x[None].astype(np.float32)
    return make


def _noise_and_burst(frequency):
    # Full-band noise with a gated near-Nyquist burst at a fifth of its peak.
    def make(rate):
        rng = np.random.default_rng(int(frequency * 1e4))
        x = 0.25 * rng.standard_normal(rate // 25)
        start, length = x.size // 3, rate * 3 // 1000
        x[start:start + length] += 0.2 * np.cos(2 * np.pi * frequency * np.arange(length))
        return x[None].astype(np.float32)
    return make


@pytest.mark.parametrize("maker", [
    _sign_run(24), _sign_run(48, shift=17), _sign_run(96, shift=40),
    _sign_run(512, amplitude=0.05, noise=0.25),
    _noise_and_burst(0.47), _noise_and_burst(0.4999),
    lambda r: (0.25 * np.random.default_rng(9).standard_normal((1, r // 25))).astype(np.float32),
    lambda r: mo.band_noise(r, 0.30, 0.45, seconds=0.04, seed=4),
], ids=["signs-24", "signs-48", "signs-96", "faint-signs-512-in-noise", "noise+burst-0.47fs",
        "noise+burst-0.4999fs", "white-noise", "noise-0.30-0.45fs"])
def test_tight_margins_hold_where_near_nyquist_content_is_small(maker):
    # Material on either side of the bounds that choose the tight margins
    # (sign runs whose octet sums sit just above them, faint long runs and
    # bursts in noise, the full-band and 0.30-0.45 fs noise that needs the
    # most of the tight screen and near margins), twice: at 0.99 of its
    # level first, then, after the far part's reach of silence, in blocks
    # whose margins face a reading just under their peak. The screened
    # search finds what evaluating every local maximum finds.
    part = maker(48000)
    gap = np.zeros((1, mo.FAR_REACH + mo.SCREEN_BLOCK), np.float32)
    audio = np.concatenate([np.float32(0.99) * part, gap, part], axis=1)
    assert mo.true_peak_linear(audio) == mo.true_peak_linear(audio, screened=False)


def test_precise_table_position_zero_is_the_equaliser():
    # At whole samples the equalised sinc is the equaliser itself, c0 at the
    # sample and c_m / 2 m samples away (unwindowed: the far part goes on).
    row = mo.PRECISE_TABLE[0].astype(np.float64)
    centre = mo.PRECISE_HALF - 1
    expected = np.zeros(row.size)
    expected[centre] = mo.PRECISE_EQUALISER[0]
    for m, c in enumerate(mo.PRECISE_EQUALISER[1:], start=1):
        expected[centre + m] = expected[centre - m] = c / 2
    np.testing.assert_allclose(row, expected, rtol=0, atol=1e-7)


@pytest.mark.parametrize("m", range(4))
def test_far_tables_are_the_alternating_inverse_powers(m):
    reach = mo.FAR_REACHES[m]
    table = mo.FAR_TABLES[m].astype(np.float64)
    assert table.size % 32 == 0 and np.all(table[2 * reach + 1:] == 0)
    for e in (-reach, -mo.FAR_CORE - 1, mo.FAR_CORE + 1, reach // 2 + 1, reach):
        assert table[e + reach] == float(np.float32((-1.0) ** e / float(e) ** (m + 1)))
    assert np.all(table[reach - mo.FAR_CORE:reach + mo.FAR_CORE + 1] == 0)


def test_precise_table_source_round_trips():
    import re

    source = mo.precise_table_source()
    values = [float.fromhex(v) for v in re.findall(r"(-?0x[0-9a-f.]+p[-+]?\d+)f", source)]
    np.testing.assert_array_equal(np.array(values, np.float32).reshape(mo.PRECISE_TABLE.shape),
                                  mo.PRECISE_TABLE)


def test_percentile_index_is_nearest_rank_rounded_half_up():
    # (count - 1) * p / 100 + 1/2, floored, in exact integer arithmetic.
    assert [mo.percentile_index(n, 10) for n in (1, 2, 6, 7, 16, 17)] == [0, 0, 1, 1, 2, 2]
    assert [mo.percentile_index(n, 95) for n in (1, 2, 11, 12, 21)] == [0, 1, 10, 10, 19]


def test_oracle_meter_state_stays_bounded():
    rate = 48000
    m = mo.Meter(rate, 2)
    audio = mo.music_like(rate, 3.0, seed=6)
    for start in range(0, audio.shape[1], 5000):
        m.add(audio[:, start:start + 5000])
        assert m._kept.shape[1] <= mo.SCREEN_BLOCK + mo.BLOCK_BEFORE + mo.BLOCK_AFTER + 5000
    assert len(m._subblocks) == audio.shape[1] // 4800
    assert feed(mo, audio, rate, [5000]) == mo.measure(audio, rate)
