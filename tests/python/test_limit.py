"""limit(): its own conversion order, equality with QXLimiter.process, threads."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from qx_limiter import QXLimiter, limit

RATE_ERROR = "sample_rate must be a positive 32-bit integer"


def assert_same(left, right):
    for a, b in zip(left, right, strict=True):
        assert a.shape == b.shape
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize(
    "limit_args, limit_kwargs, limiter_args, process_args",
    [
        ((48000,), {}, (48000,), ()),
        ((48000,), {"axis": 0}, (48000,), (0,)),
        ((44100, -1.0, 1.5, 15.0, 12.5, -1, True), {}, (44100, -1.0, 1.5, 15.0, 12.5, True), (-1,)),
        (
            (22050,),
            {"true_peak": np.True_, "threshold_dBFS": -3, "hold_ms": 0.0},
            (22050, -3, 5.0, 0.0, 40.0, True),
            (),
        ),
        (
            (8000,),
            {"release_ms": 0.0, "axis": -2, "true_peak": True},
            (8000, 0.0, 5.0, 15.0, 0.0, True),
            (-2,),
        ),
    ],
)
def test_limit_equals_process(loud_stereo, limit_args, limit_kwargs, limiter_args, process_args):
    audio = loud_stereo if not process_args or process_args[0] == -1 else loud_stereo.T
    expected = QXLimiter(*limiter_args).process(audio, *process_args)
    assert_same(limit(audio, *limit_args, **limit_kwargs), expected)


def test_mono_axis_forms_agree():
    mono = np.linspace(-3.0, 3.0, 500)
    assert_same(limit(mono, 48000, axis=0), limit(mono, 48000, axis=-1))
    with pytest.raises(ValueError) as caught:
        limit(mono, 48000, axis=1)
    assert caught.value.args == ("axis=1 is invalid for a 1D array",)


def test_left_out_threshold_is_zero_but_none_is_refused(loud_stereo):
    assert_same(limit(loud_stereo, 48000), limit(loud_stereo, 48000, threshold_dBFS=0.0))
    with pytest.raises(TypeError) as caught:
        limit(loud_stereo, 48000, threshold_dBFS=None)
    assert caught.value.__notes__ == ["threshold_dBFS"]


@pytest.mark.parametrize(
    "args, kwargs, error, note",
    [
        # audio first of all, even before a bad sample_rate.
        ((object(), 0), {}, TypeError, "audio"),
        ((object(), 48000), {"threshold_dBFS": "x", "axis": 1.5}, TypeError, "audio"),
        # then the four floats, in order.
        ((np.zeros(3), -1), {"threshold_dBFS": "x"}, TypeError, "threshold_dBFS"),
        ((np.zeros(3), 48000), {"release_ms": "x", "axis": 1.5}, TypeError, "release_ms"),
        # then axis, before true_peak and sample_rate.
        ((np.zeros(3), 0), {"axis": 1.5, "true_peak": 1}, TypeError, "axis"),
        ((np.zeros(3), 48000), {"axis": 2**70}, OverflowError, "axis"),
        # then true_peak, before sample_rate.
        ((np.zeros(3), 0), {"true_peak": 1}, TypeError, "true_peak"),
    ],
)
def test_conversion_order(args, kwargs, error, note):
    with pytest.raises(error) as caught:
        limit(*args, **kwargs)
    assert caught.value.__notes__ == [note]


@pytest.mark.parametrize("rate", [0, -1, 48000.0, 4294967296, "48000"])
def test_sample_rate_errors(rate):
    with pytest.raises(ValueError) as caught:
        limit(np.zeros((2, 3, 4)), rate, axis=9)
    assert caught.value.args == (RATE_ERROR,)


@pytest.mark.parametrize(
    "audio, kwargs, message",
    [
        # Settings are checked before the array.
        (
            np.zeros(3),
            {"threshold_dBFS": 1.0, "axis": 5},
            "threshold_dBFS must be a finite dBFS value less than or equal to 0, got 1",
        ),
        (
            np.zeros((2, 3, 4)),
            {"attack_ms": -2.5},
            "attack_ms must be finite and non-negative, got -2.5",
        ),
        (
            [np.nan],
            {"sample_rate": 1000, "true_peak": True},
            "true_peak does not support sample_rate=1000; supported rates are 8000, 11025, 12000, "
            "16000, 22050, 24000, 32000, 44100, 48000, 88200, 96000, and every rate at or above "
            "176400 Hz",
        ),
        (
            np.zeros((0, 2)),
            {"release_ms": float("inf")},
            "release_ms must be finite and non-negative, got inf",
        ),
        # With valid settings the array checks speak.
        (np.zeros((2, 3, 4)), {}, "audio must be a 1D or 2D array, got 3 dimensions"),
        (np.zeros((0, 2)), {}, "the channel dimension must not be empty"),
        ([1.0, np.inf], {}, "input sample at flat index 1 is not finite"),
    ],
)
def test_error_precedence(audio, kwargs, message):
    kwargs = {"sample_rate": 48000, **kwargs}
    with pytest.raises(ValueError) as caught:
        limit(audio, **kwargs)
    assert caught.value.args == (message,)
    assert not getattr(caught.value, "__notes__", None)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((np.zeros(3),), {}),
        ((np.zeros(3), 48000, 0.0, 5.0, 15.0, 40.0, -1, False, 1), {}),
        ((np.zeros(3), 48000), {"sample_rate": 48000}),
        ((np.zeros(3), 48000), {"channels": 2}),
    ],
    ids=["nothing", "no-rate", "too-many", "twice", "unexpected"],
)
def test_binding_errors(args, kwargs):
    with pytest.raises(TypeError, match="limit"):
        limit(*args, **kwargs)


def test_input_unchanged_and_results_new():
    audio = np.linspace(-4.0, 4.0, 64, dtype=np.float32).reshape(2, 32)
    before = audio.copy()
    out, gains = limit(audio, 48000)
    np.testing.assert_array_equal(audio, before)
    assert out is not audio and not np.shares_memory(out, audio)
    assert out.flags.c_contiguous and out.flags.writeable and gains.flags.writeable


def test_two_threads_limit_at_once():
    rng = np.random.default_rng(7)
    blocks = [rng.standard_normal((2, 48000 * 3)) * (1 + i) for i in range(6)]
    settings = [dict(sample_rate=48000), dict(sample_rate=44100, true_peak=True)] * 3
    serial = [limit(b, **s) for b, s in zip(blocks, settings)]
    with ThreadPoolExecutor(max_workers=2) as pool:
        parallel = list(pool.map(lambda bs: limit(bs[0], **bs[1]), zip(blocks, settings)))
    for got, want in zip(parallel, serial):
        assert_same(got, want)


@pytest.mark.parametrize("true_peak", [False, True])
@pytest.mark.parametrize("axis", [-1, 0])
def test_large_results_reusing_freed_memory_are_exact_and_independent(true_peak, axis):
    """Outputs of several megabytes come from memory that earlier results
    gave back; each result is still exactly the one call's and is never
    touched by a later call."""
    rng = np.random.default_rng(11)
    frames = 1_200_000  # 9.6 MB of float32 stereo, 4.8 MB of gains
    loud, soft = (
        np.ascontiguousarray((rng.standard_normal((2, frames)) * scale).astype(np.float32))
        for scale in (3.0, 0.5)
    )
    if axis == 0:
        loud, soft = np.ascontiguousarray(loud.T), np.ascontiguousarray(soft.T)
    kept = limit(soft, 48000, -1.0, axis=axis, true_peak=true_peak)
    kept_copy = [a.copy() for a in kept]
    for _ in range(3):
        del_me = limit(loud, 48000, -6.0, axis=axis, true_peak=true_peak)
        del del_me
        again = limit(soft, 48000, -1.0, axis=axis, true_peak=true_peak)
        assert_same(again, kept_copy)
    assert_same(kept, kept_copy)
