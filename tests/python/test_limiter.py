"""QXLimiter construction: argument conversion order, errors, properties, repr."""

import math
import re

import numpy as np
import pytest
from qx_limiter import QXLimiter

RATE_ERROR = "sample_rate must be a positive 32-bit integer"


def test_default_repr_and_str():
    limiter = QXLimiter(48000)
    expected = (
        "QXLimiter(\n"
        "    sample_rate=48000, threshold_dBFS=0, threshold=1, true_peak=false,\n"
        "    lookahead_samples=240, hold_samples=720, release_samples=1920\n"
        ")"
    )
    assert repr(limiter) == expected
    assert str(limiter) == expected


def test_repr_with_fractional_release_and_true_peak():
    limiter = QXLimiter(44100, attack_ms=1.5, release_ms=12.5, true_peak=True)
    assert repr(limiter) == (
        "QXLimiter(\n"
        "    sample_rate=44100, threshold_dBFS=0, threshold=1, true_peak=true,\n"
        "    lookahead_samples=66, hold_samples=662, release_samples=551.25\n"
        ")"
    )


@pytest.mark.parametrize("make", [QXLimiter, "StreamLimiter"])
def test_the_longest_representation_is_whole(make):
    """Numbers are written positionally: -2.2250738585072014e-308 takes 327
    characters, and the representation holds three such doubles."""
    if make == "StreamLimiter":
        make = pytest.importorskip("qx_limiter_tools").StreamLimiter
    tiny = -2.2250738585072014e-308
    limiter = make(12345, threshold_dBFS=tiny, release_ms=-tiny)
    text = repr(limiter)
    assert text.endswith(")"), text[-80:]
    fields = dict(re.findall(r"(\w+)=([^,\s)]+)", text))
    assert float(fields["threshold_dBFS"]) == tiny
    assert float(fields["release_samples"]) == limiter.release_samples
    assert len(fields["threshold_dBFS"]) == 327


def test_negative_zero_threshold():
    limiter = QXLimiter(48000, threshold_dBFS=-0.0)
    assert "threshold_dBFS=-0," in repr(limiter)
    assert limiter.threshold == 1.0
    assert math.copysign(1.0, limiter.threshold_dBFS) == -1.0


def test_property_values_and_types():
    limiter = QXLimiter(48000, threshold_dBFS=-6.0, release_ms=0.01)
    values = {
        "sample_rate": (48000, int),
        "threshold": (pytest.approx(0.5011872336272722, abs=1e-16), float),
        "threshold_dBFS": (-6.0, float),
        "true_peak": (False, bool),
        "lookahead_samples": (240, int),
        "attack_samples": (240, int),
        "hold_samples": (720, int),
        "release_samples": (0.48, float),
    }
    for name, (value, kind) in values.items():
        got = getattr(limiter, name)
        assert type(got) is kind, name
        assert got == value, name


def test_true_peak_is_reported_as_passed_at_high_rates():
    assert QXLimiter(192000, true_peak=True).true_peak is True
    assert QXLimiter(176400, true_peak=True).true_peak is True


@pytest.mark.parametrize("rate", [1, 48000, np.int64(44100), np.uint32(8000), True, 4294967295])
def test_sample_rate_accepted(rate):
    # A one-sample look-ahead keeps the largest rate's envelope small.
    limiter = QXLimiter(rate, attack_ms=1000.0 / int(rate), hold_ms=0.0)
    assert limiter.sample_rate == int(rate)
    assert limiter.lookahead_samples == 1


@pytest.mark.parametrize("rate", [0, -1, 4294967296, 2**64, 2**80, 48000.0, "48000", None])
def test_sample_rate_rejected_with_one_message(rate):
    with pytest.raises(ValueError) as caught:
        QXLimiter(rate)
    assert caught.value.args == (RATE_ERROR,)
    assert not getattr(caught.value, "__notes__", None)
    assert caught.value.__cause__ is None and caught.value.__context__ is None


@pytest.mark.parametrize("flag", [True, False, np.True_, np.False_])
def test_true_peak_accepts_bools(flag):
    assert QXLimiter(48000, true_peak=flag).true_peak is bool(flag)


@pytest.mark.parametrize("flag", [1, 0, 1.0, np.int64(1), "yes", None])
def test_true_peak_rejects_everything_else(flag):
    with pytest.raises(TypeError) as caught:
        QXLimiter(48000, true_peak=flag)
    assert caught.value.__notes__ == ["true_peak"]


class Exploding:
    def __float__(self):
        raise ZeroDivisionError("no float here")


@pytest.mark.parametrize("name", ["threshold_dBFS", "attack_ms", "hold_ms", "release_ms"])
@pytest.mark.parametrize(
    "value, error", [("x", TypeError), (None, TypeError), (Exploding(), ZeroDivisionError)]
)
def test_float_conversion_errors_keep_type_and_get_a_note(name, value, error):
    with pytest.raises(error) as caught:
        QXLimiter(48000, **{name: value})
    assert caught.value.__notes__ == [name]


def test_float_settings_accept_float_protocols():
    class Half:
        def __float__(self):
            return -0.5

    class Index:
        def __index__(self):
            return -3

    assert QXLimiter(48000, threshold_dBFS=Half()).threshold_dBFS == -0.5
    assert QXLimiter(48000, threshold_dBFS=Index()).threshold_dBFS == -3.0
    assert QXLimiter(48000, threshold_dBFS=-1.0).threshold_dBFS == -1.0


@pytest.mark.parametrize(
    "kwargs, error, note",
    [
        # Float settings are converted before sample_rate, in signature order.
        ({"sample_rate": -1, "threshold_dBFS": "x"}, TypeError, "threshold_dBFS"),
        (
            {"sample_rate": 48000, "attack_ms": "x", "threshold_dBFS": None},
            TypeError,
            "threshold_dBFS",
        ),
        ({"sample_rate": 48000, "release_ms": "x", "hold_ms": None}, TypeError, "hold_ms"),
        # true_peak comes after the floats and before sample_rate.
        ({"sample_rate": 0, "true_peak": 1}, TypeError, "true_peak"),
        ({"sample_rate": 48000, "true_peak": 1, "release_ms": "x"}, TypeError, "release_ms"),
    ],
)
def test_conversion_order(kwargs, error, note):
    with pytest.raises(error) as caught:
        QXLimiter(**kwargs)
    assert caught.value.__notes__ == [note]


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (
            {"sample_rate": 1000, "true_peak": True, "threshold_dBFS": 5.0},
            "true_peak does not support sample_rate=1000; supported rates are 8000, 11025, 12000, "
            "16000, 22050, 24000, 32000, 44100, 48000, 88200, 96000, and every rate at or above "
            "176400 Hz",
        ),
        (
            {"sample_rate": 176399, "true_peak": True},
            "true_peak does not support sample_rate=176399; supported rates are 8000, 11025, "
            "12000, 16000, 22050, 24000, 32000, 44100, 48000, 88200, 96000, and every rate at or "
            "above 176400 Hz",
        ),
        (
            {"sample_rate": 48000, "threshold_dBFS": 0.5},
            "threshold_dBFS must be a finite dBFS value less than or equal to 0, got 0.5",
        ),
        (
            {"sample_rate": 48000, "threshold_dBFS": -math.inf},
            "threshold_dBFS must be a finite dBFS value less than or equal to 0, got -inf",
        ),
        (
            {"sample_rate": 48000, "threshold_dBFS": math.nan, "attack_ms": -1.0},
            "threshold_dBFS must be a finite dBFS value less than or equal to 0, got NaN",
        ),
        (
            {"sample_rate": 48000, "threshold_dBFS": 5e-324},
            "threshold_dBFS must be a finite dBFS value less than or equal to 0, "
            "got 0." + "0" * 323 + "5",
        ),
        (
            {"sample_rate": 48000, "attack_ms": -1.0, "hold_ms": math.nan},
            "attack_ms must be finite and non-negative, got -1",
        ),
        (
            {"sample_rate": 48000, "attack_ms": math.nan},
            "attack_ms must be finite and non-negative, got NaN",
        ),
        (
            {"sample_rate": 48000, "hold_ms": math.inf},
            "hold_ms must be finite and non-negative, got inf",
        ),
        (
            {"sample_rate": 48000, "release_ms": math.nan},
            "release_ms must be finite and non-negative, got NaN",
        ),
        (
            {"sample_rate": 1000, "attack_ms": 0.49},
            "attack_ms=0.49 rounds to zero samples at 1000 Hz",
        ),
        ({"sample_rate": 1}, "attack_ms=5 rounds to zero samples at 1 Hz"),
        (
            {"sample_rate": 48000, "attack_ms": -0.0},
            "attack_ms=-0 rounds to zero samples at 48000 Hz",
        ),
    ],
)
def test_settings_errors_are_plain_value_errors(kwargs, message):
    with pytest.raises(ValueError) as caught:
        QXLimiter(**kwargs)
    assert caught.value.args == (message,)
    assert not getattr(caught.value, "__notes__", None)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((48000, 0.0, 5.0, 15.0, 40.0, False, 1), {}),
        ((48000,), {"sample_rate": 48000}),
        (
            (48000,),
            {
                "threshold_dBFS": 0.0,
                "attack_ms": 5.0,
                "hold_ms": 15.0,
                "release_ms": 40.0,
                "true_peak": False,
                "extra": 1,
            },
        ),
    ],
    ids=["missing", "too-many", "twice", "unexpected"],
)
def test_binding_errors(args, kwargs):
    with pytest.raises(TypeError, match="QXLimiter"):
        QXLimiter(*args, **kwargs)


def test_all_six_by_position_and_by_keyword_agree():
    by_position = QXLimiter(44100, -1.0, 1.5, 15.0, 12.5, True)
    by_keyword = QXLimiter(
        true_peak=True,
        release_ms=12.5,
        hold_ms=15.0,
        attack_ms=1.5,
        threshold_dBFS=-1.0,
        sample_rate=44100,
    )
    assert repr(by_position) == repr(by_keyword)


def test_huge_release_gives_infinite_release_samples():
    assert QXLimiter(48000, release_ms=1e304).release_samples == math.inf
