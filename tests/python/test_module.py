"""Module surface: import, names, the class's shape, docstrings and signatures."""

import importlib
import inspect
import shutil
import subprocess
import sys

import pytest
import qx_limiter
from conftest import run_python
from qx_limiter import QXLimiter, limit

CLASS_DOC = """\
A configurable look-ahead brick-wall limiter.

The limiter applies one linked gain value to all channels in each frame,
preserving their relative balance. Processing is offline and every call
starts with a neutral gain envelope.

Args:
    sample_rate: Sample rate in hertz. Must be a positive 32-bit integer.
    threshold_dBFS: Output ceiling in dBFS. Must be finite and at most ``0.0``;
        ``0.0`` is full scale and approximately ``-6.02`` is half scale.
    attack_ms: Look-ahead attack time in milliseconds. It must round to at
        least one sample at ``sample_rate``.
    hold_ms: Hold time in milliseconds. May be zero.
    release_ms: Release time in milliseconds. May be zero.
    true_peak: If true, use ITU-R BS.1770-5 true-peak detection to calculate
        limiter gain. The processed output true peak is not guaranteed to
        remain below the ceiling. Supported sample rates are 8, 11.025, 12,
        16, 22.05, 24, 32, 44.1, 48, 88.2, and 96 kHz, plus every rate at or
        above 176.4 kHz.

Raises:
    ValueError: If any configuration value is invalid."""

PROCESS_DOC = """\
Process mono or multichannel audio.

Args:
    audio: A one-dimensional mono array or a two-dimensional
        multichannel array. Values are converted to ``numpy.float32``;
        the input is not modified. Samples must be finite and within the
        inclusive range ``[-2 ** 32, 2 ** 32]``.
    axis: Frame axis. The default of ``-1`` expects
        ``(channels, frames)``. Use ``0`` for ``(frames, channels)``.
        For mono input, ``0`` and ``-1`` are
        equivalent.

Returns:
    A tuple ``(audio, frame_gains)``. ``audio`` is a new ``numpy.float32``
    array with the same shape as the input. ``frame_gains`` is a
    one-dimensional ``numpy.float32`` array containing one linked gain
    value per frame.

Raises:
    ValueError: If the input is not one- or two-dimensional, the
        frame axis is invalid, the channel dimension is empty, or an
        input sample is not finite or is outside the supported range."""

LIMIT_DOC = """\
Limit mono or multichannel audio in one call.

Args:
    audio: A one-dimensional mono array or a two-dimensional multichannel
        array. Values are converted to ``numpy.float32``; the input is not
        modified. Samples must be finite and within the inclusive range
        ``[-2 ** 32, 2 ** 32]``.
    sample_rate: Sample rate in hertz. Must be a positive 32-bit integer.
    threshold_dBFS: Output ceiling in dBFS. Must be finite and at most ``0.0``;
        ``0.0`` is full scale and approximately ``-6.02`` is half scale.
    attack_ms: Look-ahead attack time in milliseconds. It must round to at
        least one sample at ``sample_rate``.
    hold_ms: Hold time in milliseconds. May be zero.
    release_ms: Release time in milliseconds. May be zero.
    axis: Frame axis. The default of ``-1`` expects
        ``(channels, frames)``. Use ``0`` for ``(frames, channels)``. For
        mono input, ``0`` and ``-1`` are
        equivalent.
    true_peak: If true, use ITU-R BS.1770-5 true-peak detection to calculate
        limiter gain. The processed output true peak is not guaranteed to
        remain below the ceiling. Supported sample rates are 8, 11.025, 12,
        16, 22.05, 24, 32, 44.1, 48, 88.2, and 96 kHz, plus every rate at or
        above 176.4 kHz.

Returns:
    A tuple ``(audio, frame_gains)``. ``audio`` is a new ``numpy.float32`` array
    with the same shape as the input. ``frame_gains`` is a one-dimensional
    ``numpy.float32`` array containing one linked gain value per frame.

Raises:
    ValueError: If a configuration value or input is invalid, or an input
        sample is not finite or is outside the supported range."""

PROPERTY_DOCS = {
    "sample_rate": "int: Configured sample rate in hertz.",
    "threshold": "float: Configured output ceiling as a linear amplitude.",
    "threshold_dBFS": "float: Configured output ceiling in dBFS.",
    "true_peak": "bool: Whether ITU-R BS.1770-5 true-peak limiting is enabled.",
    "lookahead_samples": "int: Look-ahead latency in samples.",
    "attack_samples": "int: Look-ahead latency in samples. (alias for ``lookahead_samples``)",
    "hold_samples": "int: Configured hold duration in samples.",
    "release_samples": "float: Configured release duration in samples.",
}


def test_module_members_and_names():
    assert qx_limiter.__all__ == ["QXLimiter", "limit"]
    assert qx_limiter.__doc__ == (
        "Python bindings for the qx-limiter look-ahead brick-wall audio limiter."
    )
    assert QXLimiter.__module__ == "qx_limiter"
    assert (QXLimiter.__name__, QXLimiter.__qualname__) == ("QXLimiter", "QXLimiter")
    assert limit.__module__ == "qx_limiter"
    assert qx_limiter.__file__.endswith(".abi3.so")


@pytest.mark.parametrize(
    "obj, text_signature, signature, doc",
    [
        (
            QXLimiter,
            "(sample_rate, threshold_dBFS=0.0, attack_ms=5.0, hold_ms=15.0, "
            "release_ms=40.0, true_peak=False)",
            "(sample_rate, threshold_dBFS=0.0, attack_ms=5.0, hold_ms=15.0, "
            "release_ms=40.0, true_peak=False)",
            CLASS_DOC,
        ),
        (
            QXLimiter.process,
            "($self, audio, axis=-1)",
            "(self, /, audio, axis=-1)",
            PROCESS_DOC,
        ),
        (
            limit,
            "(audio, sample_rate, threshold_dBFS=0.0, attack_ms=5.0, hold_ms=15.0, "
            "release_ms=40.0, axis=-1, true_peak=False)",
            "(audio, sample_rate, threshold_dBFS=0.0, attack_ms=5.0, hold_ms=15.0, "
            "release_ms=40.0, axis=-1, true_peak=False)",
            LIMIT_DOC,
        ),
    ],
    ids=["QXLimiter", "process", "limit"],
)
def test_docstrings_and_signatures(obj, text_signature, signature, doc):
    assert obj.__text_signature__ == text_signature
    assert str(inspect.signature(obj)) == signature
    assert obj.__doc__ == doc


def test_properties_in_order_with_docstrings():
    getset = type(QXLimiter.threshold)
    names = [name for name, value in vars(QXLimiter).items() if isinstance(value, getset)]
    assert names == list(PROPERTY_DOCS)
    for name, doc in PROPERTY_DOCS.items():
        assert getattr(QXLimiter, name).__doc__ == doc


def test_class_is_final():
    with pytest.raises(TypeError):
        type("Sub", (QXLimiter,), {})


def test_instances_take_no_attributes_and_no_weak_references():
    import weakref

    limiter = QXLimiter(48000)
    with pytest.raises(AttributeError):
        limiter.threshold = 0.5
    with pytest.raises(AttributeError):
        del limiter.sample_rate
    with pytest.raises(AttributeError):
        limiter.foo = 1
    assert not hasattr(limiter, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(limiter)


def test_import_and_construction_do_not_import_numpy():
    code = """
        import sys
        import qx_limiter
        limiter = qx_limiter.QXLimiter(44100, true_peak=True)
        repr(limiter)
        print("numpy" in sys.modules)
        qx_limiter.limit([0.5, 2.0], 48000)
        print("numpy" in sys.modules)
    """
    returncode, out, err = run_python(code)
    assert returncode == 0, err
    assert out.split() == ["False", "True"]


def test_module_reimport_reuses_the_type():
    code = """
        import sys
        import qx_limiter
        module, first = qx_limiter, qx_limiter.QXLimiter
        del sys.modules["qx_limiter"]
        import qx_limiter as again
        print(again is not module, again.QXLimiter is first, again.__all__)
    """
    returncode, out, err = run_python(code)
    assert returncode == 0, err
    assert out.strip() == "True True ['QXLimiter', 'limit']"


@pytest.mark.skipif(
    not sys.platform.startswith("linux") or shutil.which("nm") is None,
    reason="reads the ELF dynamic symbol table with nm",
)
@pytest.mark.parametrize(
    "module, init",
    [("qx_limiter", "PyInit_qx_limiter"), ("qx_limiter_tools._native", "PyInit__native")],
)
def test_the_initialisation_function_is_the_only_export(module, init):
    path = importlib.import_module(module).__file__
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True
    ).stdout
    names = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    if "qx_testing_call" in names:
        pytest.skip("a build for allocation testing exports its test entry points too")
    assert names == [init]
