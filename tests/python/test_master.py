"""master(): a loudness target and a true-peak ceiling that the strict meter
(and, where it installs, libebur128) confirms, on the signals that make
limiters overshoot."""

import math

import numpy as np
import pytest

from qx_limiter_tools import master, measure

from waveform import clipped_bursts, nyquist_bursts, waveform_peak

try:
    import pyebur128  # noqa: F401  (the reference meter, where it installs)

    from meter_cases import ebur128_true_peak_db
except ImportError:
    ebur128_true_peak_db = None


def music(rate, seconds, channels=2, level_db=-14.0, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(int(rate * seconds)) / rate
    x = np.zeros((channels, t.size))
    for c in range(channels):
        for f in (110, 220, 330, 660, 1320):
            x[c] += np.sin(2 * np.pi * f * t + rng.uniform(0, 6)) / f * 110
        x[c] += rng.standard_normal(t.size) * 0.05
    for start in rng.integers(0, t.size - 200, size=int(seconds * 4)):
        x[:, start : start + 150] += rng.standard_normal((channels, 150)) * 2.0  # transients
    x *= 10 ** (level_db / 20) / np.sqrt(np.mean(x**2))
    return x.astype(np.float32)


def near_nyquist(rate, seconds, channels=2, seed=1):
    """Band-limited noise and a tone close to half the rate: where a 4x
    detector and stricter meters differ most."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(rate * seconds)) / rate
    tone = np.sin(2 * np.pi * 0.46 * rate * t + 0.3)
    noise = np.fft.irfft(
        np.fft.rfft(rng.standard_normal((channels, t.size)))
        * (np.fft.rfftfreq(t.size, 1 / rate) > 0.4 * rate),
        n=t.size,
    )
    x = 0.6 * tone + noise / np.abs(noise).max()
    return x.astype(np.float32)


@pytest.mark.parametrize("target, ceiling", [(-9.0, -0.5), (-14.0, -1.0)])
@pytest.mark.parametrize(
    "make, seed", [(clipped_bursts, 1), (clipped_bursts, 2), (nyquist_bursts, 3)]
)
def test_the_waveform_holds_the_ceiling_where_loud_masters_live(make, seed, target, ceiling):
    """Clipped noise bursts and near-Nyquist bursts: the output's band-limited
    waveform (a float64 reference, not the meter) peaks at or under the
    ceiling, and the loudness lands in two passes at most (the model's
    estimate, then the correction a pass measured)."""
    audio = make(48000, 4.0, seed)
    result = master(audio, 48000, loudness_lufs=target, ceiling_dbtp=ceiling)
    check_delivery(result, audio, 48000, ceiling, target)
    assert 20 * math.log10(waveform_peak(result.audio)) <= ceiling
    assert result.passes <= 2


def check_delivery(result, audio, rate, ceiling, target):
    assert result.audio.dtype == np.float32 and result.audio.shape == audio.shape
    assert result.gains.dtype == np.float32 and result.gains.shape == (audio.shape[-1],)
    assert result.after == measure(result.audio, rate)
    assert result.after.true_peak_dbtp <= ceiling
    assert np.abs(result.audio).max() <= np.float32(10 ** (ceiling / 20))
    if ebur128_true_peak_db is not None:
        assert ebur128_true_peak_db(result.audio, rate) <= ceiling
    if target is not None:
        if result.loudness_reached:
            assert abs(result.after.integrated_lufs - target) <= 0.1
        else:
            assert result.note
    assert 1 <= result.passes <= 10


@pytest.mark.parametrize(
    "rate", [8000, 11025, 22050, 32000, 37800, 44100, 48000, 50000, 96000, 192000]
)
@pytest.mark.parametrize("signal", [music, near_nyquist])
def test_the_ceiling_holds_at_every_rate(rate, signal):
    audio = signal(rate, 3.0)
    result = master(audio, rate, ceiling_dbtp=-1.0)
    check_delivery(result, audio, rate, -1.0, None)
    assert result.gain_db == 0.0


@pytest.mark.parametrize(
    "target, level", [(-14.0, -30.0), (-14.0, -6.0), (-23.0, -16.0), (-16.0, -16.5)]
)
def test_quiet_input_is_raised_and_loud_input_lowered(target, level):
    audio = music(48000, 8.0, level_db=level, seed=int(-level))
    result = master(audio, 48000, loudness_lufs=target, ceiling_dbtp=-1.0)
    check_delivery(result, audio, 48000, -1.0, target)
    assert result.loudness_reached
    assert (result.gain_db > 0) == (result.before.integrated_lufs < target)


@pytest.mark.parametrize("channels", [1, 2, 6])
def test_mono_stereo_and_surround(channels):
    audio = music(44100, 6.0, channels=channels, level_db=-20.0)
    if channels == 1:
        audio = audio[0]
    result = master(audio, 44100, loudness_lufs=-16.0, ceiling_dbtp=-2.0)
    check_delivery(result, audio, 44100, -2.0, -16.0)


def test_frames_first_input_keeps_its_layout():
    audio = music(48000, 4.0, level_db=-20.0)
    result = master(audio.T, 48000, loudness_lufs=-14.0, axis=0)
    assert result.audio.shape == audio.T.shape
    same = master(audio, 48000, loudness_lufs=-14.0)
    assert np.array_equal(result.audio, same.audio.T) and np.array_equal(result.gains, same.gains)


def test_an_unreachable_loudness_says_why():
    # Dense noise already at the ceiling cannot be made 10 LU louder under it.
    rng = np.random.default_rng(3)
    audio = np.clip(rng.standard_normal((2, 48000 * 4)), -0.9, 0.9).astype(np.float32)
    result = master(audio, 48000, loudness_lufs=0.0, ceiling_dbtp=-1.0)
    check_delivery(result, audio, 48000, -1.0, 0.0)
    assert not result.loudness_reached
    assert "cannot be reached" in result.note or "did not settle" in result.note


def test_silence_has_no_loudness_to_reach():
    audio = np.zeros((2, 48000), np.float32)
    result = master(audio, 48000, loudness_lufs=-14.0)
    assert not result.loudness_reached and "no loudness" in result.note
    assert np.all(result.audio == 0.0) and result.after.true_peak_dbtp == -math.inf


def test_gains_are_the_total_gain_of_each_frame():
    audio = music(48000, 3.0, level_db=-30.0)
    result = master(audio, 48000, loudness_lufs=-14.0)
    # Where the limiter left a frame alone, its gain is the normalisation's.
    quiet = result.gains == result.gains.max()
    assert np.isclose(20 * np.log10(float(result.gains.max())), result.gain_db, atol=1e-5)
    assert quiet.any()


def test_peaks_the_limiter_does_not_see_are_searched_for():
    # A loud master clipped at full scale, brought 5 dB down: the
    # inter-sample peaks of its clipped bursts read well over the samples,
    # and over what the limiter's detector reads, so lowering the threshold
    # by the excess alone would change nothing for pass after pass.
    audio = np.clip(music(48000, 5.0, level_db=-9.0, seed=0), -1.0, 1.0)
    result = master(audio, 48000, loudness_lufs=-14.0, ceiling_dbtp=-1.0)
    check_delivery(result, audio, 48000, -1.0, -14.0)
    # Reached without the last resort's trim.
    assert result.loudness_reached and result.note == "" and result.passes < 8


def test_a_sample_peak_ceiling_runs_passes_for_the_loudness_alone():
    from qx_limiter import limit

    from qx_limiter_tools._master import apply_gain

    audio = music(48000, 5.0, level_db=-20.0, seed=4)
    result = master(audio, 48000, loudness_lufs=-11.0, ceiling_dbtp=-1.0, true_peak=False)
    assert result.loudness_reached and abs(result.after.integrated_lufs + 11.0) <= 0.1
    # The limiter takes loudness, which more gain makes up: the profile's
    # model finds how much before the first pass, which the second confirms.
    assert result.passes <= 2
    # Each pass is the sample-peak limiter at the ceiling itself.
    expected, _ = limit(apply_gain(audio, result.gain_db), 48000, -1.0)
    assert np.array_equal(result.audio, expected)
    assert np.abs(result.audio).max() <= np.float32(10 ** (-1.0 / 20))


@pytest.mark.parametrize("margin", [0.0, 0.5])
def test_a_codec_reading_over_lowers_the_threshold_by_the_margin_again(margin):
    # A codec's overshoot moves from one encode to the next by more than the
    # threshold does: after a decoded reading over the ceiling, the next pass
    # takes what was over, and the codec's margin again. Without a codec
    # (a step of dither), what was over alone.
    from qx_limiter_tools import DeliveryPlan, Measurement, Passed

    plan = DeliveryPlan(48000, -1.0, None, codec_margin_db=margin)
    first = plan.first().threshold_dBFS
    assert first == pytest.approx(-1.3 - margin)
    limited = Measurement(-16.0, 5.0, first, first - 0.2)
    decoded = Measurement(-16.0, 5.0, -0.93, -1.2)
    following = plan.review(Passed(limited, decoded))
    assert following is not None
    assert following.threshold_dBFS == pytest.approx(first - (0.07 + 0.01 + margin))
    # The limiter's own reading over the ceiling is lowered by what is over.
    plan = DeliveryPlan(48000, -1.0, None, codec_margin_db=margin)
    following = plan.review(Passed(Measurement(-16.0, 5.0, -0.95, -1.2)))
    assert following is not None
    assert following.threshold_dBFS == pytest.approx(first - (0.05 + 0.01))
