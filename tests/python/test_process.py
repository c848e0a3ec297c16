"""QXLimiter.process and the array layer: conversion, shapes, layouts, errors, threads."""

import threading
import warnings

import numpy as np
import pytest
from qx_limiter import QXLimiter

LIMITER = QXLimiter(48000, threshold_dBFS=-1.0)


def process(audio, *args, **kwargs):
    return LIMITER.process(audio, *args, **kwargs)


def assert_result_pair(result, shape, frames):
    assert type(result) is tuple and len(result) == 2
    audio, gains = result
    for array in (audio, gains):
        assert type(array) is np.ndarray
        assert array.dtype == np.float32
        assert array.flags.c_contiguous and array.flags.writeable
        assert not array.flags.owndata  # a base object owns the buffer
    assert audio.shape == shape
    assert gains.shape == (frames,)
    assert not np.shares_memory(audio, gains)


def test_limits_to_the_ceiling(loud_stereo):
    audio, gains = process(loud_stereo)
    assert_result_pair((audio, gains), loud_stereo.shape, loud_stereo.shape[1])
    ceiling = np.float32(LIMITER.threshold)
    assert np.abs(audio).max() <= ceiling
    assert gains.min() < 0.9 and gains.max() <= 1.0
    # One linked gain per frame: the channels keep their balance.
    expected = np.clip(loud_stereo.astype(np.float32) * gains, -ceiling, ceiling)
    np.testing.assert_allclose(audio, expected, rtol=1e-6, atol=1e-7)


@pytest.mark.parametrize(
    "call",
    [
        lambda a: LIMITER.process(a),
        lambda a: LIMITER.process(a.T, 0),
        lambda a: LIMITER.process(audio=a.T, axis=0),
        lambda a: LIMITER.process(a.T, axis=-2),
        lambda a: LIMITER.process(a, axis=1),
        lambda a: LIMITER.process(a, np.int8(-1)),
    ],
    ids=["default", "frames-first", "keywords", "axis-2", "axis1", "numpy-axis"],
)
def test_argument_forms_agree(loud_stereo, call):
    reference_audio, reference_gains = LIMITER.process(loud_stereo)
    audio, gains = call(loud_stereo)
    transposed = audio.shape != reference_audio.shape
    np.testing.assert_array_equal(audio.T if transposed else audio, reference_audio)
    np.testing.assert_array_equal(gains, reference_gains)


def test_process_binding_errors(loud_stereo):
    with pytest.raises(TypeError):
        LIMITER.process()
    with pytest.raises(TypeError):
        LIMITER.process(loud_stereo, -1, 0)
    with pytest.raises(TypeError):
        LIMITER.process(loud_stereo, channels=2)


@pytest.mark.parametrize(
    "audio, axis, shape, frames",
    [
        (np.zeros(0, np.float32), -1, (0,), 0),
        (np.zeros(0, np.float32), 0, (0,), 0),
        ([], -1, (0,), 0),
        (np.zeros((2, 0), np.float32), -1, (2, 0), 0),
        (np.zeros((0, 2), np.float32), 0, (0, 2), 0),
        (np.zeros((0, 2), np.float64), 0, (0, 2), 0),
        (np.zeros((1, 1), np.float32), -1, (1, 1), 1),
        ([0.1, 2.0, -3.0], -1, (3,), 3),
        ([[0.1, 2.0, -3.0], [1, 2, 3]], -1, (2, 3), 3),
        ([[0.1, 2.0, -3.0], [1, 2, 3]], 0, (2, 3), 2),
        # Float64 (F, 1) is cast as an array, not read row by row.
        (np.full((5, 1), 0.5), 0, (5, 1), 5),
        (np.full((5, 1), 0.5), -1, (5, 1), 1),
    ],
)
def test_shapes(audio, axis, shape, frames):
    assert_result_pair(process(audio, axis), shape, frames)


@pytest.mark.parametrize(
    "audio, axis, message",
    [
        (0.5, -1, "audio must be a 1D or 2D array, got 0 dimensions"),
        (np.float32(0.5), 0, "audio must be a 1D or 2D array, got 0 dimensions"),
        (np.zeros((2, 3, 4)), -1, "audio must be a 1D or 2D array, got 3 dimensions"),
        (np.zeros((2, 3, 4)), 9, "audio must be a 1D or 2D array, got 3 dimensions"),
        (np.zeros((2, 3)), 2, "axis=2 is invalid for a 2D array"),
        (np.zeros((2, 3)), -3, "axis=-3 is invalid for a 2D array"),
        (np.zeros(3), 1, "axis=1 is invalid for a 1D array"),
        (np.zeros(3), -2, "axis=-2 is invalid for a 1D array"),
        (np.zeros(3), -(2**63), "axis=-9223372036854775808 is invalid for a 1D array"),
        (np.zeros((0, 2), np.float32), -1, "the channel dimension must not be empty"),
        (np.zeros((0, 2), np.float64), -1, "the channel dimension must not be empty"),
        (np.zeros((2, 0)), 0, "the channel dimension must not be empty"),
    ],
)
def test_array_check_errors(audio, axis, message):
    with pytest.raises(ValueError) as caught:
        process(audio, axis)
    assert caught.value.args == (message,)
    assert not getattr(caught.value, "__notes__", None)


@pytest.mark.parametrize(
    "axis, error", [(1.0, TypeError), (None, TypeError), ("0", TypeError), (2**63, OverflowError)]
)
def test_axis_conversion_errors_are_tagged(axis, error):
    with pytest.raises(error) as caught:
        process(np.zeros(3), axis)
    assert caught.value.__notes__ == ["axis"]


def test_audio_is_converted_before_axis():
    with pytest.raises(TypeError) as caught:
        process(object(), 1.0)
    assert caught.value.__notes__ == ["audio"]


def test_audio_conversion_error_keeps_numpy_exception():
    with pytest.raises(ValueError) as caught:
        process([[1.0, 2.0], [3.0]])  # ragged
    assert caught.value.__notes__ == ["audio"]


@pytest.mark.parametrize(
    "shape, axis, bad, message",
    [
        ((6, 2), 0, [(0, 1), (5, 0)], "input sample at flat index 10 is not finite"),
        ((2, 6), -1, [(1, 0), (0, 5)], "input sample at flat index 5 is not finite"),
        ((7,), 0, [(4,)], "input sample at flat index 4 is not finite"),
        ((3, 4), 0, [(2, 3)], "input sample at flat index 11 is not finite"),
    ],
)
def test_non_finite_sample_index_points_into_the_callers_array(shape, axis, bad, message):
    audio = np.zeros(shape)
    for index in bad:
        audio[index] = np.nan
    with pytest.raises(ValueError) as caught:
        process(audio, axis)
    assert caught.value.args == (message,)


@pytest.mark.parametrize(
    "value, message",
    [
        (4294967296.0, None),
        (-4294967296.0, None),
        (
            4294967808.0,
            "input sample at flat index 7 must be between -4294967296 and "
            "4294967296, got 4294968000",
        ),
        (
            5e9,
            "input sample at flat index 7 must be between -4294967296 and 4294967296, "
            "got 5000000000",
        ),
        (np.inf, "input sample at flat index 7 is not finite"),
        (1e300, "input sample at flat index 7 is not finite"),  # infinite as float32
    ],
)
@pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")
def test_sample_range_frames_first(value, message):
    audio = np.zeros((4, 3))
    audio[2, 1] = value  # planar index 1 * 4 + 2 = 6 in the block, 7 in the caller's array
    if message is None:
        process(audio, 0)
    else:
        with pytest.raises(ValueError) as caught:
            process(audio, 0)
        assert caught.value.args == (message,)


def test_huge_integer_in_a_list_is_not_finite():
    with pytest.raises(ValueError) as caught:
        process([0.0, 1.0, 10**40])
    assert caught.value.args == ("input sample at flat index 2 is not finite",)


def test_int16_is_not_normalised():
    audio, gains = process(np.array([[32767, -32768, 0]], dtype=np.int16))
    same_numbers = process(np.array([[32767.0, -32768.0, 0.0]], dtype=np.float32))
    np.testing.assert_array_equal(audio, same_numbers[0])
    np.testing.assert_array_equal(gains, same_numbers[1])
    assert gains[0] < 1e-4  # a full-scale int16 sample is 32767 times over the ceiling


def test_one_dimensional_arrays_are_read_item_by_item():
    # Item by item the integer goes through a double before float32 (giving
    # 2**53); a direct cast would round it up to the next float32 instead.
    value = 2**53 + 2**29 + 1
    expected = (
        "input sample at flat index 0 must be between -4294967296 and 4294967296, "
        "got 9007199000000000",
    )
    for audio in ([value], np.array([value], dtype=np.int64)):
        with pytest.raises(ValueError) as caught:
            process(audio)
        assert caught.value.args == expected


@pytest.mark.parametrize(
    "dtype", [np.float64, np.int32, np.uint8, np.int64, ">f4", ">f8", np.float16]
)
def test_vectors_of_any_dtype_match_the_same_list(dtype):
    values = np.array([0, 1, 2, 100, 3, 0, 1], dtype=dtype)
    from_array = process(values)
    from_list = process([float(v) for v in values])
    for a, b in zip(from_array, from_list):
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize(
    "make_view, axis",
    [
        (lambda a: a[:, ::2], -1),
        (lambda a: a[:, ::-1], -1),
        (lambda a: a[::-1, 1::3], -1),
        (lambda a: np.asfortranarray(a), -1),
        (lambda a: a.T, 0),
        (lambda a: np.ascontiguousarray(a.T), 0),
        (lambda a: np.ascontiguousarray(a.T)[::-2], 0),
        (lambda a: a[0], 0),
        (lambda a: a[0, ::-3], 0),
        (lambda a: a[:1], -1),
        (lambda a: a.astype(">f4"), -1),
        (lambda a: a.astype(">f4").T, 0),
        (lambda a: a.astype(np.float64).T, 0),
    ],
    ids=[
        "step2",
        "reversed",
        "both-axes",
        "fortran",
        "transposed",
        "frames-first",
        "frames-first-strided",
        "mono-row",
        "mono-reversed",
        "one-channel",
        "big-endian",
        "big-endian-frames-first",
        "float64-frames-first",
    ],
)
def test_layouts_give_the_same_result_as_a_contiguous_copy(loud_stereo, make_view, axis):
    view = make_view(loud_stereo.astype(np.float32))
    expected = process(np.ascontiguousarray(view, dtype=np.float32), axis)
    before = view.copy()
    result = process(view, axis)
    assert_result_pair(result, view.shape, view.shape[axis])
    for got, want in zip(result, expected):
        np.testing.assert_array_equal(got, want)
    np.testing.assert_array_equal(view, before)  # the input is only read


def test_float32_input_is_never_the_result(loud_stereo):
    audio_in = loud_stereo.astype(np.float32)
    before = audio_in.copy()
    audio, gains = process(audio_in)
    assert audio is not audio_in
    assert not np.shares_memory(audio, audio_in) and not np.shares_memory(gains, audio_in)
    np.testing.assert_array_equal(audio_in, before)


def test_float64_input_unchanged_and_unshared(loud_stereo):
    before = loud_stereo.copy()
    audio, gains = process(loud_stereo)
    np.testing.assert_array_equal(loud_stereo, before)
    assert audio.dtype == gains.dtype == np.float32
    assert not np.shares_memory(loud_stereo, audio)
    assert not np.shares_memory(loud_stereo, gains)


def test_float64_column_keeps_its_shape_even_with_warnings_as_errors():
    column = np.linspace(-2.0, 2.0, 9).reshape(9, 1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        audio, gains = process(column, 0)
    assert audio.shape == (9, 1) and gains.shape == (9,)
    np.testing.assert_array_equal(audio, process(column.astype(np.float32), 0)[0])


def test_results_are_independent_writeable_arrays(loud_stereo):
    audio, gains = process(loud_stereo)
    audio[:] = 0.0
    gains[:] = 7.0
    again_audio, again_gains = process(loud_stereo)
    assert np.abs(again_audio).max() > 0.5 and again_gains.max() <= 1.0
    del again_audio
    assert gains.base is not None and audio.base is not None


def test_every_call_starts_from_a_neutral_envelope(loud_stereo):
    limiter = QXLimiter(48000)
    first = limiter.process(loud_stereo)
    limiter.process(loud_stereo * 10)
    second = limiter.process(loud_stereo)
    for a, b in zip(first, second):
        np.testing.assert_array_equal(a, b)


# ---------------------------------------------------------------------------
# Use state under threads


def _busy_window(limiter, frames):
    """A thread (not started) that runs limiter.process on a long block."""
    audio = np.random.default_rng(5).standard_normal((2, frames)).astype(np.float32) * 3
    outcome = {}

    def work():
        outcome["result"] = limiter.process(audio)

    thread = threading.Thread(target=work)
    return thread, outcome


def test_instance_in_use_refuses_other_calls_at_once():
    busy = QXLimiter(22050, true_peak=True)
    other = QXLimiter(48000)
    frames = 22050 * 20
    for _ in range(6):
        thread, outcome = _busy_window(busy, frames)
        thread.start()
        observed = None
        while thread.is_alive():
            try:
                repr(busy)
            except RuntimeError as error:
                # Everything below runs while the worker is inside the engine.
                observed = [error]
                for attempt in (lambda: busy.sample_rate, lambda: busy.process([0.0])):
                    with pytest.raises(RuntimeError):
                        attempt()
                assert other.sample_rate == 48000
                assert other.process([2.0])[0].tolist() == [1.0]
                break
        thread.join()
        if observed:
            break
        frames *= 2  # the engine was too quick to be caught; try a longer block
    assert observed, "never observed the instance in use"
    assert outcome["result"][0].shape == (2, frames)
    repr(busy)  # free again afterwards
    busy.process([0.5])


def test_reentry_during_conversion_is_refused():
    limiter = QXLimiter(48000)

    class Sneaky:
        def __array__(self, dtype=None, copy=None):
            repr(limiter)
            return np.zeros(4, dtype=np.float32)

    with pytest.raises(RuntimeError) as caught:
        limiter.process(Sneaky())
    assert caught.value.__notes__ == ["audio"]
    repr(limiter)  # exclusive use was given back
