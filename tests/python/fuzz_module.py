"""Throws arbitrary Python objects at QXLimiter(...), process and limit, and
at the meter of qx_limiter_tools (measure, integrated_loudness, Meter).

Whatever a caller hands the module, only the documented exceptions may come
out, the process must survive, and a successful call must return what the
same limiter returns for a plain float32 copy of the input. The inputs are
nested lists of mixed types, objects whose __len__, __iter__, __getitem__,
__float__, __index__, __bool__ or __array__ raise or return absurd values,
arrays of every dtype (object, complex, bool, datetime, structured, strings),
zero-size, broadcast, huge-stride, unaligned, read-only and big-endian views,
ndarray subclasses, and integers beyond 64 bits for every parameter.

Run as a script: the test suite starts it in a child process with a fixed,
derandomised budget, so a crash fails that test instead of ending the test
run. Before each call the input is written to the file named by
QX_FUZZ_LAST, so a crash still shows what caused it.

    python tests/python/fuzz_module.py --examples 3000 [--random]
"""

import argparse
import math
import os
import re
import sys
import warnings

import numpy as np
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from qx_limiter import QXLimiter, limit

import qx_limiter_tools as tools


class Boom(Exception):
    """Raised by the special methods of hostile objects."""


# Every ValueError text the module documents, by name.
MESSAGES = {
    name: re.compile(pattern)
    for name, pattern in (
        ("InvalidSampleRateArgument", r"sample_rate must be a positive 32-bit integer"),
        (
            "UnsupportedTruePeakRate",
            r"true_peak does not support sample_rate=\d+; supported rates are 8000, 11025, 12000, "
            r"16000, 22050, 24000, 32000, 44100, 48000, 88200, 96000, and every rate at or above "
            r"176400 Hz",
        ),
        (
            "InvalidThreshold",
            r"threshold_dBFS must be a finite dBFS value less than or equal "
            r"to 0, got (-?[0-9.]+|NaN|-?inf)",
        ),
        (
            "InvalidTime",
            r"(attack_ms|hold_ms|release_ms) must be finite and non-negative, "
            r"got (-?[0-9.]+|NaN|-?inf)",
        ),
        ("AttackRoundsToZero", r"attack_ms=-?[0-9.]+ rounds to zero samples at \d+ Hz"),
        ("NonFiniteSample", r"input sample at flat index \d+ is not finite"),
        (
            "SampleOutOfRange",
            r"input sample at flat index \d+ must be between -4294967296 and "
            r"4294967296, got -?\d+",
        ),
        ("UnsupportedDimensions", r"audio must be a 1D or 2D array, got \d+ dimensions"),
        ("InvalidAxis", r"axis=-?\d+ is invalid for a [12]D array"),
        ("EmptyChannelDimension", r"the channel dimension must not be empty"),
        ("MeterRate", r"sample_rate must be between 8000 and 384000 Hz, got \d+"),
        ("MeterNonFinite", r"input sample at frame \d+, channel \d+ is not finite"),
        (
            "MeterOutOfRange",
            r"input sample at frame \d+, channel \d+ must be between "
            r"-4294967296 and 4294967296, got -?\d+",
        ),
        ("MeterChannels", r"channels must be greater than zero"),
        ("ChunkChannels", r"the chunk has \d+ channels, the meter measures \d+"),
    )
}
BUSY = re.compile(r"this (QXLimiter|Meter) is in use")

# Which exception types a conversion tagged with a parameter's name may
# raise: the interpreter's own (TypeError, OverflowError for huge ints) or
# whatever a hostile object raised. The audio conversion is NumPy's, which
# may raise anything of its own.
TAGGED = {
    "threshold_dBFS": (TypeError, OverflowError, Boom),
    "attack_ms": (TypeError, OverflowError, Boom),
    "hold_ms": (TypeError, OverflowError, Boom),
    "release_ms": (TypeError, OverflowError, Boom),
    "axis": (TypeError, OverflowError, Boom, RuntimeError),
    "true_peak": (TypeError,),
    "channels": (TypeError, OverflowError, Boom),
    "audio": (Exception,),
}

SETTING_NAMES = ("threshold_dBFS", "attack_ms", "hold_ms", "release_ms")
TRUE_PEAK_RATES = [
    8000,
    11025,
    12000,
    16000,
    22050,
    24000,
    32000,
    44100,
    48000,
    88200,
    96000,
    176400,
    192000,
]


class Failure(AssertionError):
    pass


def check_exception(error, binding_possible):
    """Fails unless `error` is one the module documents for this call."""
    if isinstance(error, SystemError):
        raise Failure(f"SystemError (a C API misuse): {error!r}")
    notes = getattr(error, "__notes__", None)
    if notes:
        if len(notes) != 1 or notes[0] not in TAGGED:
            raise Failure(f"unexpected notes {notes!r} on {error!r}")
        if not isinstance(error, TAGGED[notes[0]]):
            raise Failure(f"{type(error).__name__} tagged {notes[0]!r}: {error!r}")
        return f"{type(error).__name__}[{notes[0]}]"
    if type(error) is tools.SampleError:
        # The tools' bad sample: its attributes name what its text says.
        expected = f"input sample at frame {error.frame}, channel {error.channel} {error.reason}"
        if str(error) != expected:
            raise Failure(f"SampleError text and attributes differ: {error!r}")
    if type(error) in (ValueError, tools.SampleError):
        message = error.args[0] if len(error.args) == 1 else None
        for name, pattern in MESSAGES.items():
            if isinstance(message, str) and pattern.fullmatch(message):
                return name
        raise Failure(f"undocumented ValueError {error.args!r}")
    if type(error) is MemoryError:
        return "MemoryError"
    if type(error) is RuntimeError and BUSY.match(str(error)):
        return "RuntimeError"
    if type(error) is TypeError and binding_possible:
        return "TypeError[binding]"
    raise Failure(f"undocumented exception {type(error).__name__}: {error!r}")


def check_result(result, ceiling):
    """The result pair: two new, writeable, C-ordered float32 arrays."""
    if type(result) is not tuple or len(result) != 2:
        raise Failure(f"result is not a pair: {type(result)}")
    audio, gains = result
    for array in result:
        if type(array) is not np.ndarray or array.dtype != np.float32 or not array.dtype.isnative:
            raise Failure(f"result array of type {type(array)} dtype {getattr(array, 'dtype', '')}")
        if not (array.flags.c_contiguous and array.flags.writeable) or array.base is None:
            raise Failure("result array not writeable, C-ordered and owned by a base")
    if audio.ndim not in (1, 2) or gains.ndim != 1 or np.shares_memory(audio, gains):
        raise Failure(f"result shapes {audio.shape} {gains.shape}")
    if audio.size and not np.all(np.abs(audio) <= np.float32(ceiling)):
        raise Failure("output above the ceiling")
    if gains.size and not (
        np.all(np.isfinite(gains)) and np.all(gains <= 1) and np.all(gains > -1e-6)
    ):
        raise Failure("gains outside [0, 1]")
    return audio, gains


def call(kind, function, args, kwargs, binding_possible=False):
    """Runs one call; returns ("ok", result) or ("error", label)."""
    last = os.environ.get("QX_FUZZ_LAST")
    if last:
        with np.printoptions(threshold=64):
            with open(last, "w") as f:
                f.write(f"{kind}(*{args!r}, **{kwargs!r})\n")
    try:
        return "ok", function(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - every exception is judged here
        return "error", check_exception(error, binding_possible)


# ---------------------------------------------------------------------------
# Hostile objects


def _behaviour(method, how):
    if how == "raise":

        def raiser(self, *args):
            raise Boom(method)

        return raiser
    return lambda self, *args: how(self)


HOSTILE_CHOICES = {
    "__len__": [
        "raise",
        lambda s: -1,
        lambda s: 2**62,
        lambda s: 2**100,
        lambda s: "x",
        lambda s: 3,
        lambda s: 10**9,
    ],
    "__iter__": [
        "raise",
        lambda s: 5,
        lambda s: iter([1.0, "x", None]),
        lambda s: iter([0.25, 2.0, -1.0]),
        lambda s: iter([s]),
        lambda s: _explode_after(2),
        lambda s: iter([[1.0, 2.0], [3.0]]),
    ],
    "__getitem__": ["raise", lambda s: _index_error(), lambda s: 0.5],
    "__float__": [
        "raise",
        lambda s: "x",
        lambda s: math.nan,
        lambda s: 1e300,
        lambda s: 0.25,
        lambda s: -1.0,
        lambda s: 10**400,
        lambda s: _reenter(0.25),
    ],
    "__index__": [
        "raise",
        lambda s: 2**70,
        lambda s: -1,
        lambda s: 48000,
        lambda s: 1.5,
        lambda s: 0,
        lambda s: -(2**64),
        lambda s: _reenter(0),
    ],
    "__bool__": ["raise", lambda s: 2, lambda s: True],
    "__array__": [
        "raise",
        lambda s: "x",
        lambda s: np.zeros((2, 2, 2)),
        lambda s: np.array([1.0, np.nan]),
        lambda s: np.arange(6.0).reshape(2, 3),
        lambda s: np.array(5.0),
        lambda s: [1.0, 2.0],
    ],
}


# The limiter whose process call is running, for objects that call back
# into the module while they are being converted.
CURRENT = []
CURRENT_METERS = []


def _reenter(value):
    limit([0.5, 2.0], 48000)  # a nested call of its own always works
    tools.measure([0.5, 2.0], 48000)
    for meter in CURRENT_METERS:
        meter.result()  # refused while that meter is in use
    for limiter in CURRENT:
        repr(limiter)  # refused while that limiter is in use
        limiter.process([0.5])
    return value


def _explode_after(n):
    def generator():
        for i in range(n):
            yield float(i)
        raise Boom("__iter__ midway")

    return generator()


def _index_error():
    raise IndexError


@st.composite
def hostile(draw):
    chosen = draw(
        st.dictionaries(
            st.sampled_from(sorted(HOSTILE_CHOICES)), st.integers(0, 15), min_size=1, max_size=4
        )
    )
    methods, described = {}, []
    for method, pick in sorted(chosen.items()):
        options = HOSTILE_CHOICES[method]
        how = options[pick % len(options)]
        if method == "__getitem__" and how != "raise":
            # Items 0 and 1 then IndexError, so that iteration by index ends.
            value = how

            def getitem(self, i, value=value):
                if isinstance(i, int) and i >= 2:
                    raise IndexError(i)
                return value(self) if callable(value) else value

            methods[method] = getitem
        elif method == "__array__":
            inner = _behaviour(method, how)
            methods[method] = lambda self, dtype=None, copy=None, inner=inner: inner(self)
        else:
            methods[method] = _behaviour(method, how)
        described.append(f"{method}#{pick % len(options)}")
    text = "Hostile(" + ", ".join(described) + ")"
    methods["__repr__"] = lambda self, text=text: text
    return type("Hostile", (), methods)()


# ---------------------------------------------------------------------------
# Numbers, arrays and array-likes

HUGE_INTS = [
    2**63 - 1,
    2**63,
    -(2**63) - 1,
    2**64 - 1,
    2**64,
    2**100,
    -(2**200),
    10**400,
    4294967295,
    4294967296,
]

numbers = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True),
    st.floats(-4.0, 4.0),
    st.integers(-(2**70), 2**70),
    st.sampled_from(HUGE_INTS),
    st.booleans(),
    st.complex_numbers(max_magnitude=1e10),
    st.sampled_from(
        [
            np.float32(0.5),
            np.float16(-2.0),
            np.int64(7),
            np.uint64(2**64 - 1),
            np.bool_(True),
            np.longdouble(1e4000) if np.finfo(np.longdouble).max > 1e4000 else np.longdouble(3.0),
            np.complex64(1 + 2j),
            np.datetime64("2020-01-01"),
            np.timedelta64(5, "s"),
            np.str_("1.5"),
            np.float64(np.nan),
        ]
    ),
)

REAL_DTYPES = ["?", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4", "f8", "g"]
OTHER_DTYPES = [
    "c8",
    "c16",
    "M8[ns]",
    "m8[s]",
    "U3",
    "S3",
    "V4",
    "O",
    [("a", "f4")],
    [("a", "f4"), ("b", "i2")],
]


def _dtype(spec, order):
    dtype = np.dtype(spec)
    if dtype.byteorder in "<>=" and dtype.itemsize > 1 and dtype.kind in "biufcmM":
        dtype = dtype.newbyteorder(order)
    return dtype


@st.composite
def plain_arrays(draw, min_dims=0, max_dims=3):
    """Arrays of real numeric dtype in either byte order, any values."""
    dtype = _dtype(draw(st.sampled_from(REAL_DTYPES)), draw(st.sampled_from("<>=")))
    shape = draw(hnp.array_shapes(min_dims=min_dims, max_dims=max_dims, min_side=0, max_side=9))
    if dtype.kind == "f":
        special = st.sampled_from(
            [
                0.0,
                -0.0,
                np.inf,
                -np.inf,
                np.nan,
                4294967296.0,
                4294967808.0,
                -4294967040.0,
                1e-40,
                65504.0,
            ]
        )
        values = draw(hnp.arrays(np.float64, shape, elements=st.one_of(st.floats(-8, 8), special)))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # overflow to inf in float16
            return values.astype(dtype)
    return draw(hnp.arrays(dtype, shape))


@st.composite
def other_arrays(draw):
    spec = draw(st.sampled_from(OTHER_DTYPES))
    dtype = _dtype(spec, draw(st.sampled_from("<>")))
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=5))
    if dtype.kind == "O":
        items = draw(
            st.lists(
                st.one_of(numbers, hostile(), st.none()),
                min_size=int(np.prod(shape)),
                max_size=int(np.prod(shape)),
            )
        )
        array = np.empty(shape, dtype=object)
        for i, item in enumerate(items):
            array.flat[i] = item
        return array
    if dtype.kind == "V" and dtype.fields is None:
        raw = draw(
            st.binary(
                min_size=dtype.itemsize * int(np.prod(shape)),
                max_size=dtype.itemsize * int(np.prod(shape)),
            )
        )
        return np.frombuffer(raw, dtype=dtype).reshape(shape).copy()
    return draw(hnp.arrays(dtype, shape))


class Sub(np.ndarray):
    """A plain ndarray subclass."""


class IterSub(np.ndarray):
    """A subclass whose iteration fails."""

    def __iter__(self):
        raise Boom("IterSub.__iter__")


def _unaligned(a):
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    view = raw[1:].view(a.dtype).reshape(a.shape) if a.size else a
    if a.size:
        view[...] = a
    return view


def _huge_stride(a):
    # A length-1 axis may carry any stride; only its index 0 is ever read.
    b = a.reshape(1, -1) if a.ndim == 1 else a[:1]
    return np.lib.stride_tricks.as_strided(b, shape=b.shape, strides=(2**40,) + b.strides[1:])


def _spaced(a):
    # A view whose elements lie 99991 elements apart in a larger buffer.
    flat = a.ravel()
    base = np.zeros(max(flat.size, 1) * 99991, dtype=a.dtype)
    view = base[::99991][: flat.size]
    view[...] = flat
    return view.reshape(a.shape) if a.ndim else view


def _readonly(a):
    b = a.copy()
    b.flags.writeable = False
    return b


VIEWS = {
    "same": lambda a: a,
    "transposed": lambda a: a.T,
    "reversed": lambda a: a[::-1] if a.ndim else a,
    "stepped": lambda a: a[..., ::2],
    "fortran": np.asfortranarray,
    "broadcast": lambda a: np.broadcast_to(a, (3,) + a.shape) if a.ndim < 2 else a,
    "zero-size": lambda a: a[..., :0],
    "unaligned": _unaligned,
    "huge-stride": lambda a: _huge_stride(a) if a.ndim in (1, 2) else a,
    "spaced": lambda a: _spaced(a) if a.size < 200 else a,
    "read-only": _readonly,
    "swapped": lambda a: a.astype(a.dtype.newbyteorder()) if a.dtype.kind in "biufc" else a,
    "sub": lambda a: a.view(Sub),
    "itersub": lambda a: a.view(IterSub),
    "masked": lambda a: np.ma.masked_array(a, mask=np.zeros(a.shape, bool)),
    "matrix": lambda a: np.asmatrix(a) if a.ndim == 2 else a,
}
PLAIN_VIEWS = [v for v in VIEWS if v not in ("itersub", "masked", "matrix")]


@st.composite
def viewed(draw, arrays, views=tuple(VIEWS)):
    array = draw(arrays)
    name = draw(st.sampled_from(views))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return VIEWS[name](array)
        except (ValueError, TypeError, IndexError):
            return array  # a view this array cannot have


nested = st.recursive(
    st.one_of(numbers, hostile(), st.none(), st.text(max_size=3)),
    lambda children: st.one_of(st.lists(children, max_size=5), st.tuples(children, children)),
    max_leaves=24,
)

audio_like = st.one_of(
    viewed(plain_arrays(1, 2)),
    viewed(plain_arrays()),
    viewed(plain_arrays(1, 2), views=PLAIN_VIEWS),
    viewed(other_arrays(), views=("same", "transposed", "reversed", "read-only", "sub")),
    nested,
    st.lists(st.one_of(st.floats(), st.integers(-(2**70), 2**70)), max_size=40),
    st.lists(st.lists(st.floats(-4, 4), min_size=3, max_size=3), max_size=5),
    hostile(),
    numbers,
    st.sampled_from(
        [
            b"\x00\x00\x80?",
            "1.5",
            bytearray(8),
            memoryview(b"abcd"),
            range(5),
            range(-3, 10**20, 10**19),
            {1.0: 2.0},
            {0.5},
            None,
        ]
    ),
)

anything = st.one_of(numbers, hostile(), nested, st.none(), st.text(max_size=3))


VALID = {
    "sample_rate": st.one_of(
        st.sampled_from(TRUE_PEAK_RATES),
        st.integers(1000, 400000),
        st.sampled_from(TRUE_PEAK_RATES),
    ),
    "threshold_dBFS": st.one_of(st.floats(-60.0, 0.0), st.sampled_from([0.0, -0.0, -1e300])),
    "attack_ms": st.floats(0.5, 20.0),
    "hold_ms": st.floats(0.0, 100.0),
    "release_ms": st.floats(0.0, 100.0),
    "axis": st.sampled_from([-1, 0, 1, -2]),
    "true_peak": st.sampled_from([True, False, np.True_, np.False_]),
}
WEIRD = {name: anything for name in VALID}
WEIRD["sample_rate"] = st.one_of(anything, st.sampled_from([0, -1, 2**32, 4294967295, 48000.0]))
WEIRD["axis"] = st.one_of(
    anything, st.sampled_from([2, -3, True, 2**63, -(2**63) - 1, 2**100, np.int64(0), 1.0])
)
WEIRD["true_peak"] = st.one_of(anything, st.sampled_from([0, 1, np.int64(1), "yes"]))
for _name in ("threshold_dBFS", "attack_ms", "hold_ms", "release_ms"):
    WEIRD[_name] = st.one_of(anything, st.sampled_from([1e12, 1e300, -1.0, 0.0, 1e-9, 10**400]))


# ---------------------------------------------------------------------------
# The reference: the same limiter on a plain float32 copy of the input


def canonical(audio):
    """The float32 array the module reads `audio` as, for plain inputs only."""
    if isinstance(audio, list):
        if all(type(v) in (float, int, bool) for v in audio):
            try:
                return np.array([float(v) for v in audio], dtype=np.float64).astype(np.float32)
            except OverflowError:
                return None
        if all(isinstance(v, list) and all(type(x) is float for x in v) for v in audio):
            try:
                return np.array(audio, dtype=np.float32)
            except ValueError:
                return None
        return None
    if type(audio) not in (np.ndarray, Sub) or audio.dtype.kind not in "biuf":
        return None
    if audio.dtype == np.float32 and audio.dtype.isnative:
        return np.array(audio, dtype=np.float32, order="C")
    if audio.ndim == 1:
        # Read item by item through Python's float(), then rounded to float32.
        return np.array([float(v) for v in audio], dtype=np.float64).astype(np.float32)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return np.array(audio, dtype=np.float32, order="C")


def compare(got, want):
    STATS["compared"] += 1
    if got[0] != want[0]:
        raise Failure(
            f"outcome {got[0]} {got[1] if got[0] == 'error' else ''} against the "
            f"reference's {want[0]} {want[1] if want[0] == 'error' else ''}"
        )
    if got[0] == "error":
        if got[1] != want[1]:
            raise Failure(f"error {got[1]} against the reference's {want[1]}")
        return
    for a, b in zip(got[1], want[1]):
        if a.shape != b.shape or a.tobytes() != b.tobytes():
            raise Failure("result differs from the reference on a float32 copy")


# ---------------------------------------------------------------------------
# The three entry points

STATS = {"examples": 0, "inputs": set(), "outcomes": {}, "compared": 0}


def record(kind, args, kwargs, outcome):
    STATS["examples"] += 1
    with np.printoptions(threshold=10**6):
        STATS["inputs"].add(repr((kind, args, sorted(kwargs.items()))))
    label = f"{kind}:{outcome[0] if outcome[0] == 'ok' else outcome[1]}"
    STATS["outcomes"][label] = STATS["outcomes"].get(label, 0) + 1


@st.composite
def arguments(draw, names, required):
    """Valid values with up to two replaced by anything at all; a positional
    prefix and keywords for the rest; now and then a binding mistake."""
    broken = draw(st.sets(st.sampled_from(names), max_size=2))
    values = {name: draw(WEIRD[name] if name in broken else VALID[name]) for name in names}
    present = [name for name in names if name in required or draw(st.booleans())]
    cut = draw(st.integers(0, len(present)))
    if present[:cut] != list(names[:cut]):
        cut = 0  # only a gap-free prefix can go by position
    args = [values[n] for n in present[:cut]]
    kwargs = {n: values[n] for n in present[cut:]}
    # Hypothesis favours the ends of a range, so the mistakes sit inside it.
    mistake = draw(st.sampled_from(["none"] * 12 + ["drop", "bogus", "extra"] + ["none"] * 12))
    if mistake == "drop" and kwargs:
        kwargs.pop(next(iter(kwargs)))
    elif mistake == "bogus":
        kwargs["bogus"] = 1
    elif mistake == "extra":
        args = args + [0.0] * (len(names) + 1 - len(args))
    return args, kwargs, mistake != "none"


def run_constructor(case):
    args, kwargs, binding = case
    outcome = call("QXLimiter", QXLimiter, args, kwargs, binding)
    record("QXLimiter", args, kwargs, outcome)
    if outcome[0] == "ok":
        limiter = outcome[1]
        text = repr(limiter)
        if not (text.startswith("QXLimiter(\n    sample_rate=") and text == str(limiter)):
            raise Failure(f"representation {text!r}")
        assert type(limiter.sample_rate) is int and type(limiter.true_peak) is bool
        assert 0.0 <= limiter.threshold <= 1.0 and limiter.attack_samples >= 1


LIMITERS = {}


def limiter_for(rate, true_peak, threshold):
    key = (rate, true_peak, threshold)
    if key not in LIMITERS:
        LIMITERS[key] = QXLimiter(rate, threshold, 1.0, 2.0, 5.0, true_peak)
    return LIMITERS[key]


def run_process(rate, true_peak, threshold, audio, axis_given, axis):
    limiter = limiter_for(rate, true_peak, threshold)
    kwargs = {"axis": axis} if axis_given else {}
    CURRENT.append(limiter)
    try:
        outcome = call("process", limiter.process, [audio], kwargs)
    finally:
        CURRENT.pop()
    record("process", [rate, true_peak, threshold, audio], kwargs, outcome)
    if outcome[0] == "ok":
        check_result(outcome[1], limiter.threshold)
    plain_axis = not axis_given or type(axis) is int and -(2**63) <= axis < 2**63
    canon = canonical(audio) if plain_axis else None
    if canon is not None:
        want = call("process", limiter.process, [canon], kwargs)
        compare(outcome, want)


def plain(value):
    return type(value) in (int, float, bool, np.bool_)


def run_limit(case, audio):
    args, kwargs, binding = case
    args = [audio] + args
    outcome = call("limit", limit, args, kwargs, binding)
    record("limit", args, kwargs, outcome)
    named = dict(zip(("audio",) + LIMIT_NAMES, args))
    named.update(kwargs)
    named.pop("audio")
    canon = canonical(audio)
    # limit converts axis before true_peak and sample_rate, the reference
    # after them: only an axis that converts keeps the orders comparable.
    axis_converts = type(named.get("axis", 0)) is int and -(2**63) <= named.get("axis", 0) < 2**63
    if binding or not all(plain(v) for v in named.values()) or not axis_converts or canon is None:
        if outcome[0] == "ok":
            check_result(outcome[1], 1.0)
        return
    # Plain settings convert the same way twice: the result must be that of
    # QXLimiter(...).process on a float32 copy, errors included.
    axis = {"axis": named.pop("axis")} if "axis" in named else {}

    def reference():
        limiter = QXLimiter(**named)
        return limiter.threshold, limiter.process(canon, **axis)

    want = call("reference", reference, [], {})
    if want[0] == "ok":
        ceiling, want = want[1][0], ("ok", want[1][1])
        if outcome[0] == "ok":
            check_result(outcome[1], ceiling)
    compare(outcome, want)


LIMIT_NAMES = (
    "sample_rate",
    "threshold_dBFS",
    "attack_ms",
    "hold_ms",
    "release_ms",
    "axis",
    "true_peak",
)
CONSTRUCTOR_NAMES = (
    "sample_rate",
    "threshold_dBFS",
    "attack_ms",
    "hold_ms",
    "release_ms",
    "true_peak",
)


# ---------------------------------------------------------------------------
# The meter


def check_measurement(result):
    if type(result) is not tools.Measurement:
        raise Failure(f"measure returned {type(result)}")
    values = [
        result.integrated_lufs,
        result.loudness_range_lu,
        result.true_peak_dbtp,
        result.sample_peak_dbfs,
    ]
    if any(type(v) is not float or math.isnan(v) for v in values):
        raise Failure(f"figures {values}")
    if result.true_peak_dbtp < result.sample_peak_dbfs:
        raise Failure(f"true peak below the sample peak: {values}")


def run_measure(case, audio):
    args, kwargs, binding = case
    if len(args) == 2 and not binding:
        kwargs = dict(kwargs, axis=args.pop())  # axis is keyword-only here
    args = [audio] + args
    outcome = call("measure", tools.measure, args, kwargs, binding)
    record("measure", args, kwargs, outcome)
    if outcome[0] == "ok":
        check_measurement(outcome[1])
    named = dict(zip(("audio",) + MEASURE_NAMES, args))
    named.update(kwargs)
    named.pop("audio")
    canon = canonical(audio)
    if binding or not all(plain(v) for v in named.values()) or canon is None:
        return
    # integrated_loudness reads the same array the same way.
    alone = call("integrated_loudness", tools.integrated_loudness, args, kwargs)
    if outcome[0] == "ok":
        if alone != ("ok", outcome[1].integrated_lufs):
            raise Failure(f"integrated_loudness {alone} against measure's {outcome[1]}")
    # The result must be that of a float32 copy, errors included.
    want = call("measure", tools.measure, [canon], named)
    STATS["compared"] += 1
    if outcome != want:
        raise Failure(f"measure {outcome} against {want} on a float32 copy")


def run_meter(case, chunks, axis):
    args, kwargs, binding = case
    outcome = call("Meter", tools.Meter, args, kwargs, binding)
    record("Meter", args, kwargs, outcome)
    if outcome[0] != "ok":
        return
    meter = outcome[1]
    taken = []
    for chunk in chunks:
        CURRENT_METERS.append(meter)
        try:
            added = call("Meter.add", meter.add, [chunk], {"axis": axis})
        finally:
            CURRENT_METERS.pop()
        record("Meter.add", [chunk], {"axis": axis}, added)
        if added[0] == "ok":
            taken.append(chunk)
    result = meter.result()
    check_measurement(result)
    rate = args[0] if args else kwargs.get("sample_rate")
    canon = [canonical(c) for c in taken]
    if canon and type(rate) is int and all(c is not None and c.ndim == 2 for c in canon):
        # A meter that took these chunks reads as measure over them joined.
        joined = np.concatenate([c if axis == -1 else c.T for c in canon], axis=1)
        STATS["compared"] += 1
        if tools.measure(joined, rate) != result:
            raise Failure("Meter over chunks differs from measure over them joined")


MEASURE_NAMES = ("sample_rate", "axis")
METER_NAMES = ("sample_rate", "channels")
VALID["channels"] = st.sampled_from([1, 2, 3, 6, 8])
WEIRD["channels"] = st.one_of(anything, st.sampled_from([0, -1, 2**63, 2**100, 1.0, "2"]))
METER_RATES = st.sampled_from([8000, 11025, 44100, 48000, 96000, 384000])
stereo_chunks = st.lists(
    st.one_of(
        hnp.arrays(
            np.float32,
            st.tuples(st.just(2), st.integers(0, 700)),
            elements=st.floats(-4, 4, width=32),
        ),
        hnp.arrays(np.float64, st.tuples(st.just(2), st.integers(0, 50))),
        audio_like,
    ),
    max_size=4,
)


def harness(examples, derandomize):
    common = settings(
        max_examples=examples,
        derandomize=derandomize,
        database=None,
        deadline=None,
        print_blob=True,
        phases=[Phase.explicit, Phase.generate, Phase.shrink],
        suppress_health_check=list(HealthCheck),
    )

    @common
    @given(arguments(CONSTRUCTOR_NAMES, {"sample_rate"}))
    def fuzz_constructor(case):
        run_constructor(case)

    @common
    @given(
        st.sampled_from([8000, 16000, 32000, 44100, 96000, 48000, 192000]),
        st.booleans(),
        st.sampled_from([0.0, -6.0, -1e300]),
        audio_like,
        st.booleans(),
        st.one_of(VALID["axis"], WEIRD["axis"]),
    )
    def fuzz_process(rate, true_peak, threshold, audio, axis_given, axis):
        run_process(rate, true_peak, threshold, audio, axis_given, axis)

    @common
    @given(arguments(LIMIT_NAMES, {"sample_rate"}), audio_like)
    def fuzz_limit(case, audio):
        run_limit(case, audio)

    @common
    @given(arguments(MEASURE_NAMES, {"sample_rate"}), audio_like)
    def fuzz_measure(case, audio):
        run_measure(case, audio)

    @common
    @given(
        st.one_of(
            arguments(METER_NAMES, {"sample_rate", "channels"}),
            st.tuples(METER_RATES.map(lambda r: [r, 2]), st.just({}), st.just(False)),
        ),
        stereo_chunks,
        st.sampled_from([-1, 0]),
    )
    def fuzz_meter(case, chunks, axis):
        run_meter(case, chunks, axis)

    return [fuzz_constructor, fuzz_process, fuzz_limit, fuzz_measure, fuzz_meter]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--examples", type=int, default=3000, help="examples per entry point")
    parser.add_argument("--random", action="store_true", help="new examples on every run")
    options = parser.parse_args()
    # Warnings NumPy gives while casting (complex parts dropped, overflow)
    # are not errors of the module.
    warnings.simplefilter("ignore")
    for test in harness(options.examples, not options.random):
        test()
    print(
        f"examples {STATS['examples']}, distinct inputs {len(STATS['inputs'])}, "
        f"compared with a float32 copy {STATS['compared']}"
    )
    for kind in ("QXLimiter", "process", "limit", "measure", "Meter", "Meter.add"):
        counts = {
            k.split(":", 1)[1]: v for k, v in STATS["outcomes"].items() if k.startswith(kind + ":")
        }
        print(f"{kind}: " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))


if __name__ == "__main__":
    sys.exit(main())
