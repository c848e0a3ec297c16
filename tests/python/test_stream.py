"""StreamLimiter: chunk after chunk, bit for bit the one limit() call over
the whole signal, in every detection mode, layout and chunking; errors, the
end of a stream, threads."""

import threading

import numpy as np
import pytest
from qx_limiter import QXLimiter, limit

from qx_limiter_tools import StreamLimiter

# One rate per detection mode: sample peak, the reference filter with four
# and two phases, every Kaiser factor (3 with both phase counts), and a rate
# above 176.4 kHz, where true peak is sample peak.
MODES = [
    (48000, False),
    (44100, True),
    (48000, True),
    (96000, True),
    (8000, True),
    (11025, True),
    (16000, True),
    (22050, True),
    (32000, True),
    (192000, True),
]


def signal(channels, frames, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((channels, frames)) * 0.3
    # Loud bursts, so that the envelope works everywhere.
    for start in rng.integers(0, max(1, frames - 50), size=max(1, frames // 700)):
        x[:, start : start + 40] *= 6.0
    return x.astype(np.float32)


def run(stream, chunks, axis):
    outs, gains = [], []
    for chunk in chunks:
        out, gain = stream.process(chunk, axis=axis)
        outs.append(out)
        gains.append(gain)
    out, gain = stream.flush()
    outs.append(out)
    gains.append(gain)
    frame_axis = 0 if axis == 0 or outs[0].ndim == 1 else 1
    return np.concatenate(outs, axis=frame_axis), np.concatenate(gains)


def cut(x, sizes, axis):
    frames = x.shape[axis]
    pieces, start, i = [], 0, 0
    while start < frames:
        size = sizes[i % len(sizes)]
        pieces.append(x[start : start + size] if axis == 0 else x[..., start : start + size])
        start += size
        i += 1
    return pieces


def assert_same(got, expected):
    (audio, gains), (ref_audio, ref_gains) = got, expected
    assert audio.dtype == np.float32 and gains.dtype == np.float32
    assert audio.shape == ref_audio.shape and gains.shape == ref_gains.shape
    assert np.array_equal(audio.view(np.uint32), ref_audio.view(np.uint32))
    assert np.array_equal(gains.view(np.uint32), ref_gains.view(np.uint32))


def chunkings(latency):
    rng = np.random.default_rng(latency)
    return {
        "1": [1],
        "2": [2],
        "7": [7],
        "latency-1": [max(1, latency - 1)],
        "latency": [latency],
        "latency+1": [latency + 1],
        # Around the pipeline's rounds of 4096 frames.
        "round": [4095, 4097, 4096, 1],
        "random": list(rng.integers(1, 3000, size=20)),
    }


@pytest.mark.parametrize("rate, true_peak", MODES)
@pytest.mark.parametrize(
    "chunking", ["1", "2", "7", "latency-1", "latency", "latency+1", "round", "random"]
)
def test_every_chunking_equals_one_call(rate, true_peak, chunking):
    x = signal(2, 2600 if chunking == "1" else 9000, seed=rate)
    settings = dict(
        threshold_dBFS=-3.0, attack_ms=2.0, hold_ms=3.0, release_ms=20.0, true_peak=true_peak
    )
    stream = StreamLimiter(rate, **settings)
    sizes = chunkings(stream.latency)[chunking]
    expected = limit(x, rate, **settings)
    assert_same(run(stream, cut(x, sizes, 1), -1), expected)


@pytest.mark.parametrize("channels", [1, 2, 3, 6])
@pytest.mark.parametrize("layout", ["mono", "channels-first", "frames-first"])
@pytest.mark.parametrize("rate, true_peak", [(48000, False), (48000, True), (8000, True)])
def test_layouts_and_channel_counts(channels, layout, rate, true_peak):
    if layout == "mono" and channels != 1:
        pytest.skip("mono is one channel")
    x = signal(channels, 7000, seed=channels)
    if layout == "mono":
        data, axis = x[0], -1
    elif layout == "frames-first":
        data, axis = np.ascontiguousarray(x.T), 0
    else:
        data, axis = x, -1
    stream = StreamLimiter(rate, -2.0, true_peak=true_peak)
    got = run(stream, cut(data, [333, 1, 2048], 0 if axis == 0 else data.ndim - 1), axis)
    assert_same(got, limit(data, rate, -2.0, axis=axis, true_peak=true_peak))


def test_any_array_like_and_dtype_chunk():
    x = signal(1, 3000)[0].astype(np.float64)
    stream = StreamLimiter(48000, -1.0)
    chunks = [x[:1000].tolist(), x[1000:2000], x[2000:][::-1][::-1], (x[:0]).astype(np.int16)]
    assert_same(run(stream, chunks, -1), limit(x, 48000, -1.0))


def test_chunks_read_in_place_through_any_strides():
    x = signal(3, 6000, seed=9)
    wide = np.zeros((3, 12000), np.float32)
    wide[:, ::2] = x
    backwards = np.ascontiguousarray(x[::-1, ::-1])  # reversed on both axes
    frames_first = np.zeros((6000, 5), np.float32)
    frames_first[:, [4, 2, 0]] = x.T
    unaligned = np.frombuffer(b"\0" + x.T.astype("<f4").tobytes(), "<f4", offset=1).reshape(6000, 3)
    stream = StreamLimiter(48000, -2.0, true_peak=True)
    chunks = [
        (wide[:, :3000:2], -1),  # every other frame
        (backwards[::-1, ::-1][:, 1500:3000], -1),  # negative strides
        (frames_first[3000:4500, 4::-2], 0),  # channels from the end
        (unaligned[4500:], 0),
    ]  # not aligned: copied first
    outs, gains = [], []
    for chunk, axis in chunks:
        out, gain = stream.process(chunk, axis=axis)
        outs.append(out if axis == -1 else out.T)
        gains.append(gain)
    out, gain = stream.flush()
    outs.append(out.T)
    gains.append(gain)
    assert_same(
        (np.concatenate(outs, axis=1), np.concatenate(gains)), limit(x, 48000, -2.0, true_peak=True)
    )


def test_held_frames_and_what_comes_out():
    stream = StreamLimiter(48000, true_peak=True)
    assert stream.latency == 240 + 5  # the look-ahead and the filter's reach ahead
    assert StreamLimiter(48000).latency == 240
    assert StreamLimiter(8000, true_peak=True).latency == 40 + 33
    out, gains = stream.process(np.zeros((2, 100), np.float32))
    assert out.shape == (2, 0) and gains.shape == (0,)
    out, gains = stream.process(np.zeros((2, 200), np.float32))
    assert out.shape == (2, 55) and gains.shape == (55,)
    out, gains = stream.process(np.zeros((200, 2), np.float32), axis=0)
    assert out.shape == (200, 2)
    out, gains = stream.flush()
    assert out.shape == (245, 2) and np.all(gains == 1.0)


def test_shorter_than_the_latency_and_empty_streams():
    x = signal(2, 100)
    stream = StreamLimiter(48000, -6.0)
    out, gains = stream.process(x)
    assert out.shape == (2, 0)
    assert_same(stream.flush(), limit(x, 48000, -6.0))
    out, gains = StreamLimiter(48000).flush()
    assert out.shape == (0,) and gains.shape == (0,) and out.dtype == np.float32


@pytest.mark.parametrize(
    "bad, kind",
    [
        (np.nan, "is not finite"),
        (-np.inf, "is not finite"),
        (5e9, "must be between -4294967296 and 4294967296, got 5000000000"),
    ],
)
def test_a_bad_sample_names_its_frame_and_ends_the_stream(bad, kind):
    x = signal(2, 3000)
    x[1, 2500] = bad
    x[0, 2700] = (
        bad  # in an earlier channel, but later: the earliest frame is named, as the meter names it
    )
    stream = StreamLimiter(48000)
    first, _ = stream.process(x[:, :2000])
    assert first.shape == (2, 1760)
    with pytest.raises(ValueError) as error:
        stream.process(x[:, 2000:], axis=-1)
    assert str(error.value) == f"input sample at frame 2500, channel 1 {kind}"
    # What came before stays what one call gives for the good part.
    assert np.array_equal(first, limit(x[:, :2000], 48000)[0][:, :1760])
    for call in (lambda: stream.process(x[:, :10]), stream.flush):
        with pytest.raises(RuntimeError, match="stopped at a bad sample"):
            call()


def test_chunks_must_keep_the_channel_count_and_shape_rules():
    stream = StreamLimiter(48000)
    stream.process(np.zeros((2, 10), np.float32))
    with pytest.raises(ValueError, match="^the chunk has 3 channels, the stream has 2$"):
        stream.process(np.zeros((3, 10), np.float32))
    with pytest.raises(ValueError, match="^audio must be a 1D or 2D array, got 3 dimensions$"):
        stream.process(np.zeros((2, 2, 2), np.float32))
    with pytest.raises(ValueError, match="^axis=2 is invalid for a 2D array$"):
        stream.process(np.zeros((2, 10), np.float32), axis=2)
    with pytest.raises(TypeError):
        stream.process(np.zeros((2, 10), np.float32), 0)  # axis is keyword-only
    stream.flush()
    with pytest.raises(RuntimeError, match="has been flushed"):
        stream.flush()


@pytest.mark.parametrize(
    "args, message",
    [
        ((0,), "sample_rate must be a positive 32-bit integer"),
        ((48000, 1.0), "threshold_dBFS must be a finite dBFS value less than or equal to 0, got 1"),
        ((1000, 0.0, 5.0, 15.0, 40.0, True), "true_peak does not support sample_rate=1000; "),
        ((48000, 0.0, 0.0), "attack_ms=0 rounds to zero samples at 48000 Hz"),
    ],
)
def test_settings_errors_are_the_modules(args, message):
    with pytest.raises(ValueError) as error:
        StreamLimiter(*args)
    assert str(error.value).startswith(message)
    with pytest.raises(ValueError) as module_error:
        QXLimiter(*args)
    assert str(module_error.value) == str(error.value)


def test_settings_read_like_qxlimiter():
    stream = StreamLimiter(44100, -1.5, 1.5, 15.0, 12.5, True)
    limiter = QXLimiter(44100, -1.5, 1.5, 15.0, 12.5, True)
    for name in (
        "sample_rate",
        "threshold",
        "threshold_dBFS",
        "true_peak",
        "lookahead_samples",
        "attack_samples",
        "hold_samples",
        "release_samples",
    ):
        assert getattr(stream, name) == getattr(limiter, name)


def test_one_call_at_a_time():
    stream = StreamLimiter(48000, true_peak=True)
    x = signal(2, 48000 * 20)
    entered, errors = threading.Event(), []

    class Slow:
        # Converting this chunk takes the stream's lock from inside process().
        def __array__(self, dtype=None, copy=None):
            entered.set()
            done.wait(5)
            return x[:, :100]

    done = threading.Event()
    worker = threading.Thread(target=lambda: stream.process(Slow()))
    worker.start()
    entered.wait(5)
    for call in (lambda: stream.process(x[:, :10]), lambda: stream.latency, lambda: repr(stream)):
        try:
            call()
        except RuntimeError as error:
            errors.append(str(error))
    done.set()
    worker.join()
    assert len(errors) == 3 and all("in use by a call in progress" in e for e in errors)


def test_separate_streams_run_in_parallel_threads():
    x = signal(2, 200000)
    expected = limit(x, 48000, -3.0, true_peak=True)
    results = [None] * 4

    def work(i):
        results[i] = run(StreamLimiter(48000, -3.0, true_peak=True), cut(x, [9999 + i], 1), -1)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for result in results:
        assert_same(result, expected)


# ---------------------------------------------------------------------------
# The waveform detection: levels the meter reads


def _waveform_case(family, rate):
    rng = np.random.default_rng([rate, len(family)])
    frames = rate // 4
    if family == "clipped":
        x = np.clip(rng.standard_normal((2, frames)) * 3, -1, 1)
    elif family == "random-signs":
        x = np.sign(rng.standard_normal((2, frames)))
    elif family == "near-nyquist":
        t = np.arange(frames)
        x = np.stack([np.cos(2 * np.pi * 0.495 * t + p) for p in rng.uniform(0, 6, 2)])
    else:  # bursts of full-band noise over a low tone
        t = np.arange(frames) / rate
        x = 0.3 * np.sin(2 * np.pi * 220 * t) + rng.standard_normal((2, frames)) * (
            (t * 8) % 1 < 0.1
        )
    return (1.5 * x).astype(np.float32)


@pytest.mark.parametrize("rate", [44100, 48000, 96000, 192000])
@pytest.mark.parametrize("family", ["clipped", "random-signs", "near-nyquist", "bursts"])
def test_waveform_detection_lands_under_the_ceiling_in_one_pass(family, rate):
    import qx_limiter_tools as tools

    from waveform import waveform_peak

    audio = _waveform_case(family, rate)
    ceiling = -1.0
    out, gains = tools.limit(audio, rate, ceiling)
    assert np.abs(out).max() <= np.float32(10 ** (ceiling / 20))
    # The meter's reading, and the waveform's own peak, at most 0.05 dB over.
    assert tools.measure(out, rate).true_peak_dbtp <= ceiling + 0.05
    assert 20 * np.log10(waveform_peak(out)) <= ceiling + 0.05
    # StreamLimiter in chunks, either layout, gives the same bits.
    stream = tools.StreamLimiter(rate, ceiling, detection="waveform")
    pieces = [
        stream.process(audio[:, s : s + 7001].T, axis=0) for s in range(0, audio.shape[1], 7001)
    ]
    pieces.append(stream.flush())
    assert np.array_equal(np.concatenate([p[0] for p in pieces]).T, out)
    assert np.array_equal(np.concatenate([p[1] for p in pieces]), gains)


@pytest.mark.parametrize("family", ["clipped", "random-signs", "near-nyquist", "bursts"])
def test_waveform_levels_hold_the_meters_reading_from_above(family):
    # Far sums beyond 256 frames come from block moments plus the bound of
    # their series: the largest level may sit over the meter's reading by
    # that bound, never under it. With a threshold of -120 dBFS every anchor
    # is evaluated and, with one frame of attack and neither hold nor
    # release, the smallest gain is the threshold over the largest level.
    import qx_limiter_tools as tools

    rate = 192000  # a quarter of a second: 48000 frames, far beyond 2 x 8192
    audio = _waveform_case(family, rate)
    _, gains = tools.limit(audio, rate, -120.0, 1000 / rate, 0.0, 0.0)
    level = 10 ** (-120 / 20) / float(gains.min())
    reading = 10 ** (tools.measure(audio, rate).true_peak_dbtp / 20)
    assert reading * (1 - 1e-6) <= level <= reading * 10 ** (0.001 / 20)


def test_detection_choices_and_their_contradictions():
    import qx_limiter_tools as tools

    assert tools.StreamLimiter(48000).detection == "sample"
    assert tools.StreamLimiter(48000, true_peak=True).detection == "bs1770"
    assert tools.StreamLimiter(48000, detection="bs1770").true_peak is True
    waveform = tools.StreamLimiter(48000, detection="waveform")
    assert waveform.latency == waveform.lookahead_samples + 8352
    for true_peak, detection in [(True, "waveform"), (True, "sample"), (False, "bs1770")]:
        with pytest.raises(ValueError, match="contradicts"):
            tools.StreamLimiter(48000, true_peak=true_peak, detection=detection)
    with pytest.raises(ValueError, match="detection must be"):
        tools.StreamLimiter(48000, detection="peak")
