"""Running out of memory at every allocation of a call in turn.

A build with allocation testing (scripts/hardening.sh makes one) lets the
nth allocation of a call fail: an engine buffer, the interpreter's object
and memory heaps, or a NumPy array's data, whichever comes nth. Every call
here is repeated with the failure at the first allocation, the second, and
so on until a run no longer meets it. Each run must end in MemoryError or in
the very outcome of a run without failures (the same arrays, or the same
ValueError): never a crash, a different result or a leak. The module's own
buffers are counted exactly; for the interpreter's heaps, a second pass over
every failure point must leave no more blocks allocated than the first.
Other builds skip this file.
"""

import ctypes
import gc
import itertools
import sys

import numpy as np
import pytest
import qx_limiter
from qx_limiter import QXLimiter, limit

import qx_limiter_tools

try:
    _hooks = ctypes.PyDLL(qx_limiter.__file__)
    _call = _hooks.qx_testing_call
except (OSError, AttributeError):
    pytest.skip("the module is not built with allocation testing", allow_module_level=True)


class Hooks:
    """The testing entry points of one extension module: each module links
    its own engine, with its own allocation counter."""

    def __init__(self, library):
        self.call = library.qx_testing_call
        self.call.restype = ctypes.py_object
        self.call.argtypes = [ctypes.c_uint64, ctypes.py_object, ctypes.py_object, ctypes.py_object]
        self.failed = library.qx_testing_failed
        self.failed.restype = ctypes.c_int
        self.live_blocks = library.qx_testing_live_blocks
        self.live_blocks.restype = ctypes.c_int64


LIMITER = Hooks(_hooks)
try:
    TOOLS = Hooks(ctypes.PyDLL(qx_limiter_tools._native.__file__))
except (OSError, AttributeError):
    TOOLS = None

# Every failure point up to here; beyond it (item-by-item reading of a long
# array makes one scalar per sample) every 97th, to keep the walk short.
EVERY_POINT_UNTIL = 400


def outcome(function, args, kwargs):
    try:
        return ("ok", function(*args, **kwargs))
    except ValueError as error:
        return ("ValueError", str(error))


def same(one, other):
    if one[0] != other[0]:
        return False
    if one[0] != "ok":
        return one[1] == other[1]
    if isinstance(one[1], (QXLimiter, qx_limiter_tools.StreamLimiter)):
        return repr(one[1]) == repr(other[1])
    if isinstance(one[1], (qx_limiter_tools.Measurement, float)):
        return one[1] == other[1]
    return all(
        a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b)
        for a, b in zip(one[1], other[1])
    )


def walk(function, args=(), kwargs=None, hooks=LIMITER):
    """Every failure point of one call; returns the last one met."""
    kwargs = kwargs or {}
    expected = outcome(function, args, kwargs)
    live = hooks.live_blocks()
    for n in itertools.chain(range(1, EVERY_POINT_UNTIL), itertools.count(EVERY_POINT_UNTIL, 97)):
        try:
            got = ("ok", hooks.call(n, function, args, kwargs))
        except MemoryError:
            got = ("MemoryError", None)
        except ValueError as error:
            got = ("ValueError", str(error))
        failed = bool(hooks.failed())
        if got[0] == "MemoryError":
            assert failed, f"MemoryError without a failure at point {n}"
        else:
            # A failure that the call got around (a capacity hint it could
            # not reserve, a note it could not attach) still gives the
            # expected outcome.
            assert same(got, expected), f"failure point {n}: {got[0]}"
        del got
        gc.collect()
        assert hooks.live_blocks() == live, f"failure point {n} left module buffers behind"
        if not failed:
            return n - 1
    raise AssertionError("unreachable")


RATES = [
    (48000, False),
    (48000, True),
    (96000, True),
    (8000, True),
    (11025, True),
    (16000, True),
    (32000, True),
    (22050, True),
    (192000, True),
]


def stereo(frames, seed=0):
    return np.random.default_rng(seed).standard_normal((2, frames)) * 1.5


# Every layout and dtype the array layer treats differently, at lengths
# around the engine's working chunks.
INPUTS = {
    "float32 channels-first": lambda f: (stereo(f).astype(np.float32), -1),
    "float32 frames-first": lambda f: (np.ascontiguousarray(stereo(f).T, dtype=np.float32), 0),
    "float32 view": lambda f: (stereo(2 * f).astype(np.float32)[:, ::2], -1),
    "float64 channels-first": lambda f: (stereo(f), -1),
    "float64 frames-first": lambda f: (stereo(f).T, 0),
    "big-endian mono": lambda f: (stereo(f)[0].astype(">f4"), -1),
    "int16 mono": lambda f: ((stereo(f)[0] * 1000).astype(np.int16), 0),
    "float64 mono": lambda f: (stereo(f)[0], -1),
    "list": lambda f: (stereo(f)[0].tolist(), -1),
    "nested lists": lambda f: (stereo(f).tolist(), -1),
}


@pytest.mark.parametrize("rate, true_peak", RATES)
def test_constructor(rate, true_peak):
    walk(QXLimiter, (rate, -1.0, 1.0, 2.0, 5.0, true_peak))


@pytest.mark.parametrize("frames", [0, 1, 4097])
@pytest.mark.parametrize("kind", INPUTS)
def test_limit_and_process_every_layout(kind, frames):
    audio, axis = INPUTS[kind](frames)
    assert walk(limit, (audio, 48000, -1.0), {"axis": axis, "true_peak": True}) > 0
    limiter = QXLimiter(48000, -1.0)
    walk(limiter.process, (audio,), {"axis": axis})


@pytest.mark.parametrize("rate, true_peak", RATES)
def test_limit_every_mode(rate, true_peak):
    audio = stereo(5000, seed=rate)
    walk(limit, (audio, rate, -1.0, 1.0, 2.0, 5.0, -1, true_peak))


def with_bad_sample(kind):
    """300 frames of INPUTS[kind] with a non-finite sample at frame 250."""
    audio, axis = INPUTS[kind](300)
    if isinstance(audio, list):
        audio[250] = float("nan")
    elif axis == 0:
        audio[250, 1] = np.inf
    else:
        audio[1, 250] = np.nan
    return audio, axis


@pytest.mark.parametrize("kind", ["float32 frames-first", "float64 channels-first", "list"])
def test_sample_error_or_memory_error(kind):
    audio, axis = with_bad_sample(kind)
    walk(limit, (audio, 48000), {"axis": axis})


def test_repeated_walks_leave_no_interpreter_blocks_behind():
    audio = stereo(3000)
    frames_first = np.ascontiguousarray(audio.T, dtype=np.float32)

    def sweep():
        walk(limit, (audio, 48000, -1.0), {"true_peak": True})
        walk(QXLimiter(8000, true_peak=True).process, (frames_first,), {"axis": 0})
        walk(limit, (audio[0].tolist(), 22050), {"true_peak": True})

    sweep()  # caches and free lists settle here
    gc.collect()
    before = sys.getallocatedblocks()
    sweep()
    gc.collect()
    assert sys.getallocatedblocks() - before < 50


# ---------------------------------------------------------------------------
# The meter of qx_limiter_tools, through its own module's hooks

needs_tools = pytest.mark.skipif(
    TOOLS is None, reason="qx_limiter_tools is not built with allocation testing"
)


@needs_tools
@pytest.mark.parametrize("frames", [0, 1, 4097, 40000])
@pytest.mark.parametrize("kind", INPUTS)
def test_measure_every_layout(kind, frames):
    audio, axis = INPUTS[kind](frames)
    assert walk(qx_limiter_tools.measure, (audio, 48000), {"axis": axis}, hooks=TOOLS) > 0
    walk(qx_limiter_tools.integrated_loudness, (audio, 44100), {"axis": axis}, hooks=TOOLS)


@needs_tools
@pytest.mark.parametrize("kind", ["float32 frames-first", "float64 channels-first", "list"])
def test_measure_sample_error_or_memory_error(kind):
    audio, axis = with_bad_sample(kind)
    walk(qx_limiter_tools.measure, (audio, 48000), {"axis": axis}, hooks=TOOLS)


@needs_tools
@pytest.mark.parametrize("channels", [1, 2, 6])
def test_meter_in_chunks(channels):
    # Construction, chunks of both layouts (the sub-block list grows past
    # its first capacity over 8 s) and the result, which sorts a copy of
    # the short-term powers.
    audio = np.random.default_rng(channels).standard_normal((channels, 8 * 8000)) * 0.3

    def stream():
        meter = qx_limiter_tools.Meter(8000, channels)
        meter.add(audio[:, :30000])
        meter.add(np.ascontiguousarray(audio[:, 30000:].T), axis=0)
        return meter.result()

    assert walk(stream, hooks=TOOLS) > 0


@needs_tools
def test_meter_keeps_its_state_through_a_memory_error():
    audio = np.random.default_rng(3).standard_normal((2, 5 * 8000)) * 0.3
    expected = qx_limiter_tools.measure(audio, 8000)
    for n in range(1, 40):
        meter = qx_limiter_tools.Meter(8000, 2)
        meter.add(audio[:, :20000])
        try:
            TOOLS.call(n, meter.add, (audio[:, 20000:],), {})
        except MemoryError:
            meter.add(audio[:, 20000:])  # a refused chunk changed nothing
        assert meter.result() == expected
        if not TOOLS.failed():
            break


@needs_tools
@pytest.mark.parametrize(
    "rate, detection", [(48000, "sample"), (48000, "bs1770"), (8000, "bs1770"), (48000, "waveform")]
)
def test_stream_limiter(rate, detection):
    walk(
        qx_limiter_tools.StreamLimiter,
        (rate, -1.0, 1.0, 2.0, 5.0),
        {"detection": detection},
        hooks=TOOLS,
    )
    audio = stereo(9000, seed=rate)

    def stream_through(layout):
        stream = qx_limiter_tools.StreamLimiter(rate, -1.0, detection=detection)
        data, axis = (audio, -1) if layout == "channels-first" else (audio.T, 0)
        pieces = [
            stream.process(data[..., :5000] if axis == -1 else data[:5000], axis=axis),
            stream.process(data[..., 5000:] if axis == -1 else data[5000:], axis=axis),
            stream.flush(),
        ]
        return tuple(
            np.concatenate(p, axis=-1 if axis == -1 or p[0].ndim == 1 else 0) for p in zip(*pieces)
        )

    for layout in ("channels-first", "frames-first"):
        walk(stream_through, (layout,), hooks=TOOLS)


@needs_tools
def test_limit_with_waveform_detection():
    # The waveform levels' storage and the limiter's, over a signal longer
    # than their reach.
    audio = stereo(20000, seed=5) * 4
    walk(qx_limiter_tools.limit, (audio, 48000, -1.0), {"detection": "waveform"}, hooks=TOOLS)
