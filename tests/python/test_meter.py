"""qx_limiter_tools.measure / Meter / Measurement: the loudness and true-peak meter.

The shared cases (meter_cases: references, first principles, layouts,
chunking) run here against the compiled meter; this module adds what only
the compiled meter has: its types, its input conversion and errors (the
limiter's, for the same bad arrays), exact agreement with the oracle, and
threads.
"""

import dataclasses
import math
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import qx_limiter_tools as tools

pytest.importorskip("scipy", reason="the oracle and the test signals are written with SciPy")

from qx_limiter import limit  # noqa: E402

import meter_oracle as mo  # noqa: E402
from meter_cases import *  # noqa: E402,F401,F403  (the shared test functions)
from meter_cases import FIELDS, TIGHT_MARGIN_CASES, db  # noqa: E402
from waveform import WAVEFORM_FAMILIES, waveform_peak  # noqa: E402


@pytest.fixture
def meter():
    return tools


# ---------------------------------------------------------------------------
# The result type


def test_measurement_is_a_frozen_dataclass_in_field_order():
    result = tools.measure(mo.music_like(48000, 1.0), 48000)
    assert isinstance(result, tools.Measurement)
    assert dataclasses.is_dataclass(result)
    assert tuple(f.name for f in dataclasses.fields(result)) == FIELDS
    assert all(type(getattr(result, f)) is float for f in FIELDS)
    with pytest.raises(dataclasses.FrozenInstanceError):
        result.true_peak_dbtp = 0.0


# ---------------------------------------------------------------------------
# Exact agreement with the oracle


@pytest.mark.parametrize(
    "rate, channels, seconds",
    [
        (8000, 1, 4.0),
        (11025, 2, 4.0),
        (48000, 2, 1.0),
        (44100, 6, 0.5),
    ],
)
def test_figures_equal_the_oracle_bit_for_bit(rate, channels, seconds):
    # With the K-weighting in the compiled meter's operation order (the slow
    # exact recursion) the oracle defines every bit of all four figures.
    audio = mo.music_like(rate, seconds, channels=channels, seed=rate, level=1.5)
    got = dataclasses.astuple(tools.measure(audio, rate))
    assert got == dataclasses.astuple(mo.measure(audio, rate, exact=True))


def test_the_committed_precise_table_is_what_its_generator_writes():
    # The oracle reads its taps from the generator; the compiled meter from
    # the table committed beside it. A design change that was not generated
    # again would leave the two apart.
    tool = Path(__file__).resolve().parents[2] / "src" / "engine" / "meter" / "precise_table.py"
    done = subprocess.run([sys.executable, str(tool), "--check"], capture_output=True, text=True)
    assert (done.returncode, done.stderr) == (0, "")


@pytest.mark.parametrize("case", list(TIGHT_MARGIN_CASES))
def test_true_peak_equals_the_oracle_where_the_margins_change(case):
    # Material whose groups fall on both sides of the bounds that choose
    # the tight margins, after its own copy at 0.99 (so the margins decide):
    # the compiled meter's tiers are the oracle's, bit for bit.
    audio = mo.after_its_copy(TIGHT_MARGIN_CASES[case](48000))
    expected = 20.0 * math.log10(mo.true_peak_linear(audio))
    assert tools.measure(audio, 48000).true_peak_dbtp == expected


@pytest.mark.parametrize("rate", [44100, 48000, 96000])
def test_figures_agree_with_the_oracle_on_long_audio(rate):
    audio = mo.sectioned_music(rate, 40.0, seed=rate)
    got, expected = tools.measure(audio, rate), mo.measure(audio, rate)
    assert abs(got.integrated_lufs - expected.integrated_lufs) <= 1e-9
    assert abs(got.loudness_range_lu - expected.loudness_range_lu) <= 1e-9
    assert got.true_peak_dbtp == expected.true_peak_dbtp
    assert got.sample_peak_dbfs == expected.sample_peak_dbfs


# ---------------------------------------------------------------------------
# Input: the limiter's conversions and array errors


@pytest.mark.parametrize(
    "audio, axis",
    [
        (0.5, -1),
        (np.zeros((2, 3, 4)), -1),
        (np.zeros((2, 3)), 2),
        (np.zeros((2, 3)), -3),
        (np.zeros(3), 1),
        (np.zeros(3), -(2**63)),
        (np.zeros((0, 2), np.float32), -1),
        (np.zeros((2, 0)), 0),
    ],
)
def test_array_errors_are_the_limiters(audio, axis):
    with pytest.raises(ValueError) as expected:
        limit(audio, 48000, axis=axis)
    with pytest.raises(ValueError) as caught:
        tools.measure(audio, 48000, axis=axis)
    assert caught.value.args == expected.value.args
    with pytest.raises(ValueError) as streamed:
        tools.Meter(48000, 2).add(audio, axis=axis)
    assert streamed.value.args == expected.value.args


@pytest.mark.parametrize(
    "audio, error, note",
    [
        (object(), TypeError, "audio"),
        ([[1.0, 2.0], [3.0]], ValueError, "audio"),
    ],
)
def test_conversion_errors_are_the_limiters(audio, error, note):
    with pytest.raises(error) as caught:
        tools.measure(audio, 48000)
    assert caught.value.__notes__ == [note]


@pytest.mark.parametrize(
    "axis, error", [(1.0, TypeError), ("0", TypeError), (2**63, OverflowError)]
)
def test_axis_conversion_errors_are_tagged(axis, error):
    with pytest.raises(error) as caught:
        tools.measure(np.zeros(3), 48000, axis=axis)
    assert caught.value.__notes__ == ["axis"]


@pytest.mark.parametrize("rate", [0, -1, 48000.0, 4294967296, "48000"])
def test_sample_rate_type_errors_are_the_limiters(rate):
    with pytest.raises(ValueError) as caught:
        tools.measure(np.zeros(3), rate)
    assert caught.value.args == ("sample_rate must be a positive 32-bit integer",)


@pytest.mark.parametrize("rate", [1, 7999, 384001, 2**31 - 1])
def test_sample_rates_outside_the_range_are_refused(rate):
    with pytest.raises(ValueError) as caught:
        tools.measure(np.zeros(3), rate)
    assert caught.value.args == (f"sample_rate must be between 8000 and 384000 Hz, got {rate}",)


@pytest.mark.parametrize("rate", [8000, 8001, 11025, 12345, 22050, 176400, 352800, 384000])
def test_every_rate_in_the_range_is_measured(rate):
    result = tools.measure(mo.music_like(rate, 3.5, seed=1), rate)
    assert all(math.isfinite(getattr(result, f)) for f in FIELDS)


@pytest.mark.parametrize(
    "shape, axis, bad, frame, channel",
    [
        ((6, 2), 0, [(0, 1), (5, 0)], 0, 1),
        ((2, 6), -1, [(1, 0), (0, 5)], 0, 1),
        ((2, 6), -1, [(0, 5), (1, 3)], 3, 1),
        ((7,), 0, [(4,)], 4, 0),
        ((3, 4), 0, [(2, 3)], 2, 3),
    ],
)
def test_non_finite_sample_names_frame_and_channel(shape, axis, bad, frame, channel):
    # The earliest bad frame, then its lowest bad channel: the first one a
    # meter reading front to back meets.
    audio = np.zeros(shape)
    for index in bad:
        audio[index] = np.nan
    message = f"input sample at frame {frame}, channel {channel} is not finite"
    with pytest.raises(ValueError) as caught:
        tools.measure(audio, 48000, axis=axis)
    assert caught.value.args == (message,)
    # limit() refuses the same array (with its flat index).
    with pytest.raises(ValueError, match="is not finite"):
        limit(audio, 48000, axis=axis)


@pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")
@pytest.mark.parametrize(
    "value, message",
    [
        (4294967296.0, None),
        (
            5e9,
            "input sample at frame 2, channel 1 must be between -4294967296 and 4294967296, "
            "got 5000000000",
        ),
        (np.inf, "input sample at frame 2, channel 1 is not finite"),
        (1e300, "input sample at frame 2, channel 1 is not finite"),  # infinite as float32
    ],
)
def test_sample_range_is_the_limiters(value, message):
    audio = np.zeros((4, 3))
    audio[2, 1] = value
    if message is None:
        assert math.isfinite(tools.measure(audio, 48000, axis=0).sample_peak_dbfs)
        return
    with pytest.raises(ValueError) as caught:
        tools.measure(audio, 48000, axis=0)
    assert caught.value.args == (message,)


def test_integers_are_measured_as_their_values():
    ints = np.array([[32767, -32768, 0, 5]], dtype=np.int16)
    assert tools.measure(ints, 48000) == tools.measure(ints.astype(np.float32), 48000)
    assert tools.measure([0.0, 0.5, -0.25], 48000) == tools.measure(
        np.array([0.0, 0.5, -0.25], np.float32), 48000
    )


def test_input_is_not_modified():
    audio = mo.music_like(48000, 1.0)
    before = audio.copy()
    tools.measure(audio, 48000)
    np.testing.assert_array_equal(audio, before)


# ---------------------------------------------------------------------------
# The streaming meter's own contract


def test_meter_refuses_a_chunk_with_other_channels_and_keeps_its_state():
    rate = 48000
    audio = mo.music_like(rate, 2.0)
    m = tools.Meter(rate, 2)
    m.add(audio[:, :50000])
    with pytest.raises(ValueError) as caught:
        m.add(np.zeros((3, 10), np.float32))
    assert caught.value.args == ("the chunk has 3 channels, the meter measures 2",)
    bad = audio[:, 50000:60000].copy()
    bad[1, 123] = np.inf
    with pytest.raises(ValueError) as caught:
        m.add(bad)
    # Frames are counted from the meter's first chunk.
    assert caught.value.args == ("input sample at frame 50123, channel 1 is not finite",)
    m.add(audio[:, 50000:])
    assert m.result() == tools.measure(audio, rate)


@pytest.mark.parametrize(
    "rate, channels, message",
    [
        (0, 2, "sample_rate must be a positive 32-bit integer"),
        (48000, 0, "channels must be greater than zero"),
        (1000, 2, "sample_rate must be between 8000 and 384000 Hz, got 1000"),
    ],
)
def test_meter_settings_errors(rate, channels, message):
    with pytest.raises(ValueError) as caught:
        tools.Meter(rate, channels)
    assert caught.value.args == (message,)


# ---------------------------------------------------------------------------
# Threads


def test_threads_measuring_at_once_give_the_serial_results():
    signals = [(mo.music_like(rate, 6.0, seed=rate), rate) for rate in (44100, 48000, 96000, 8000)]
    serial = [tools.measure(audio, rate) for audio, rate in signals]
    with ThreadPoolExecutor(max_workers=4) as pool:
        for _ in range(3):
            parallel = list(pool.map(lambda s: tools.measure(*s), signals))
            assert parallel == serial


def test_separate_meters_in_threads():
    rate = 48000
    audio = mo.music_like(rate, 4.0, seed=11)
    expected = tools.measure(audio, rate)

    def stream(step):
        m = tools.Meter(rate, 2)
        for start in range(0, audio.shape[1], step):
            m.add(audio[:, start : start + step])
        return m.result()

    with ThreadPoolExecutor(max_workers=4) as pool:
        assert list(pool.map(stream, [997, 4800, 12345, 1])) == [expected] * 4


def test_a_meter_serves_one_call_at_a_time():
    # A sample whose conversion calls back into the meter that is taking it:
    # the second call is refused at once, the first goes on.
    meter = tools.Meter(48000, 1)
    refused = []

    class Reentrant:
        def __float__(self):
            with pytest.raises(RuntimeError, match="^this Meter is in use by a call in progress"):
                meter.result()
            refused.append(True)
            return 0.5

    meter.add([Reentrant(), 0.25])
    assert refused == [True]
    assert meter.result() == tools.measure([0.5, 0.25], 48000)


@pytest.mark.parametrize(
    "channels, error", [(1.5, TypeError), ("2", TypeError), (2**64, OverflowError)]
)
def test_meter_channels_conversion_errors_are_tagged(channels, error):
    with pytest.raises(error) as caught:
        tools.Meter(48000, channels)
    assert caught.value.__notes__ == ["channels"]


def test_many_short_channels_are_measured_with_little_memory():
    # 48000 channels of 2 frames (frames-first audio passed without axis=0):
    # the peak search's window grows with the signal, not to its full size.
    audio = np.random.default_rng(0).standard_normal((48000, 2)).astype(np.float32)
    result = tools.measure(audio, 48000)
    assert result.sample_peak_dbfs == 20 * math.log10(float(np.abs(audio).max()))
    assert result.integrated_lufs == -math.inf


# ---------------------------------------------------------------------------
# The true peak against the band-limited waveform itself


WAVEFORM_RATES = [44100, 48000, 96000, 192000]
# What the reading may be below and above the waveform's peak, in dB.
WAVEFORM_UNDER_DB = 0.05
WAVEFORM_OVER_DB = 0.25


@pytest.mark.parametrize("rate", WAVEFORM_RATES)
@pytest.mark.parametrize("family", list(WAVEFORM_FAMILIES))
def test_true_peak_reads_the_waveform(family, rate):
    rng = np.random.default_rng([rate, len(family)])
    audio = np.stack([WAVEFORM_FAMILIES[family](rate, rng) for _ in range(2)]).astype(np.float32)
    reference = db(waveform_peak(audio))
    got = tools.measure(audio, rate)
    assert reference - WAVEFORM_UNDER_DB <= got.true_peak_dbtp <= reference + WAVEFORM_OVER_DB
    # The same bits frames-first and fed in chunks.
    assert tools.measure(np.ascontiguousarray(audio.T), rate, axis=0) == got
    meter = tools.Meter(rate, 2)
    for start in range(0, audio.shape[1], 997):
        meter.add(audio[:, start : start + 997].T, axis=0)
    assert meter.result() == got


# ---------------------------------------------------------------------------
# Maximum momentary and short-term loudness, and dual mono


def ebur128_maxima(planar, rate):
    """libebur128's largest momentary and short-term loudness, read after
    every 100 ms of audio (its windows then move as EBU Tech 3341 asks)."""
    pyebur128 = pytest.importorskip("pyebur128")
    planar = np.atleast_2d(np.asarray(planar, np.float64))
    mode = pyebur128.MeasurementMode.MODE_M | pyebur128.MeasurementMode.MODE_S
    state = pyebur128.R128State(planar.shape[0], rate, int(mode))
    step = (rate + 5) // 10
    momentary = short_term = -math.inf
    for start in range(0, planar.shape[1] - step + 1, step):
        state.add_frames(np.ascontiguousarray(planar[:, start : start + step].T).ravel(), step)
        momentary = max(momentary, pyebur128.get_loudness_momentary(state))
        if start + step >= 30 * step:  # its short-term window holds 3 s from then on
            short_term = max(short_term, pyebur128.get_loudness_shortterm(state))
    return momentary, short_term


def stepped_tones(rate, levels, seconds):
    """1 kHz stereo tones at the given dBFS levels for the given seconds
    each, as EBU Tech 3341's maximum-loudness cases step them."""
    return np.concatenate(
        [
            np.tile(
                10 ** (level / 20)
                * np.sin(2 * np.pi * 1000 * np.arange(int(rate * length)) / rate),
                (2, 1),
            )
            for level, length in zip(levels, seconds)
        ],
        axis=1,
    )


MAXIMA_CASES = {
    "tones 20/10/20 dB": lambda rate, rng: stepped_tones(
        rate, [-40, -20, -30, -20, -40], [1.0, 0.2, 0.5, 3.4, 1.0]
    ),
    "short-term steps": lambda rate, rng: stepped_tones(rate, [-36, -22, -36], [2.0, 3.0, 2.0]),
    "noise bursts": lambda rate, rng: rng.standard_normal((2, rate * 5))
    * np.repeat(rng.uniform(0.01, 0.5, (2, 50)), rate // 10, 1),
}


@pytest.mark.parametrize("rate", [44100, 48000])
@pytest.mark.parametrize("case", list(MAXIMA_CASES))
def test_maximum_momentary_and_short_term_are_libebur128s(case, rate):
    rng = np.random.default_rng(len(case))
    audio = np.asarray(MAXIMA_CASES[case](rate, rng), np.float32)
    got = tools.measure(audio, rate)
    momentary, short_term = ebur128_maxima(audio, rate)
    assert abs(got.max_momentary_lufs - momentary) < 0.01
    assert abs(got.max_short_term_lufs - short_term) < 0.01
    meter = tools.Meter(rate, 2)
    for start in range(0, audio.shape[1], 4097):
        meter.add(audio[:, start : start + 4097].T, axis=0)
    assert meter.result() == got == tools.measure(audio.T, rate, axis=0)


def test_maxima_need_their_windows():
    audio = np.ones((2, 48000 * 2), np.float32) * 0.1
    got = tools.measure(audio[:, :19199], 48000)  # under 400 ms
    assert got.max_momentary_lufs == got.max_short_term_lufs == -math.inf
    got = tools.measure(audio, 48000)  # 2 s: momentary, no short-term window
    assert math.isfinite(got.max_momentary_lufs) and got.max_short_term_lufs == -math.inf


def test_dual_mono_reads_as_the_same_signal_in_two_channels():
    mono = np.random.default_rng(3).standard_normal(48000 * 4).astype(np.float32) * 0.1
    dual = tools.measure(mono, 48000, dual_mono=True)
    assert dual == tools.measure(np.stack([mono, mono]), 48000)
    assert dual.integrated_lufs == pytest.approx(
        tools.measure(mono, 48000).integrated_lufs + 10 * math.log10(2), abs=1e-9
    )
    meter = tools.Meter(48000, 1, dual_mono=True)
    meter.add(mono)
    assert meter.result() == dual
    assert tools.integrated_loudness(mono, 48000, dual_mono=True) == dual.integrated_lufs
    # It changes nothing where there are two channels already.
    stereo = np.stack([mono, -mono])
    assert tools.measure(stereo, 48000, dual_mono=True) == tools.measure(stereo, 48000)
