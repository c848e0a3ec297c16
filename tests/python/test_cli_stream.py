"""The command line streams: files longer than a chunk come out exactly as
limiting the whole file in memory would give them, whatever the chunk size;
the figure, the report and failures mid-file are what they are for a file
read whole; and memory does not grow with a file's length.

Needs the extra qx_limiter[cli]; skipped where it is not installed.
"""

import errno
import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")

from qx_limiter import QXLimiter, limit  # noqa: E402

from qx_limiter_cli import _pipeline, _writing  # noqa: E402
from qx_limiter_cli._columns import Columns  # noqa: E402
from qx_limiter_tools import master  # noqa: E402

from cli_support import PCM_BITS, dbfs, files_in, music, run, summary, write  # noqa: E402


def stored_in_memory(audio, subtype, ceiling):
    """What the command line stored before it streamed: the whole limited
    file rounded inside the ceiling, left-justified 32-bit integers."""
    bits = PCM_BITS[subtype]
    scale = 2.0 ** (bits - 1)
    steps = math.floor(ceiling * scale)

    def float32_at_most(value):
        rounded = np.float32(value)
        return np.nextafter(rounded, np.float32(0)) if float(rounded) > value else rounded

    top, bottom = float32_at_most(min(steps, scale - 1)), -float32_at_most(min(steps, scale))
    scaled = audio * np.float32(scale)
    np.rint(scaled, out=scaled)
    np.clip(scaled, bottom, top, out=scaled)
    return scaled.astype(np.int32) << (32 - bits)


FILES = [
    # format, subtype, extension, rate, channels
    ("WAV", "PCM_16", "wav", 44100, 2),
    ("WAV", "PCM_24", "wav", 48000, 2),
    ("WAV", "PCM_32", "wav", 48000, 1),
    ("WAV", "FLOAT", "wav", 48000, 2),
    ("AIFF", "PCM_24", "aiff", 44100, 3),
    ("W64", "PCM_16", "w64", 32000, 1),
    ("RF64", "PCM_24", "rf64", 96000, 2),
    ("FLAC", "PCM_24", "flac", 48000, 2),
    ("FLAC", "PCM_16", "flac", 22050, 1),
]
CHUNKS = [997, 4096, 20000]


@pytest.mark.parametrize(
    "file_format, subtype, extension, rate, channels",
    FILES,
    ids=[f"{f}-{s}-{c}ch" for f, s, _, _, c in FILES],
)
@pytest.mark.parametrize("true_peak", [False, True], ids=["sample-peak", "true-peak"])
def test_a_file_of_many_chunks_comes_out_as_limiting_it_whole(
    folder, capsys, monkeypatch, file_format, subtype, extension, rate, channels, true_peak
):
    source = write(f"in.{extension}", music(30011, channels, seed=rate), rate, subtype, file_format)
    audio, _ = sf.read(str(source), dtype="float32", always_2d=True)
    if true_peak:
        # A true-peak ceiling is master's passes, verified by the meter.
        done = master(audio, rate, ceiling_dbtp=-2.0, release_ms=30.0, axis=0)
        limited, gains = done.audio, done.gains
    else:
        limited, gains = limit(audio, rate, axis=0, threshold_dBFS=-2.0, release_ms=30.0)
    ceiling = QXLimiter(rate, -2.0).threshold

    outputs = []
    for chunk in CHUNKS:
        monkeypatch.setattr(_pipeline, "CHUNK_FRAMES", chunk)
        target = f"out{chunk}.{extension}"
        # Without dither, so that the rounding is the one done in memory.
        code, out, err = run(
            capsys,
            source,
            "-o",
            target,
            "--threshold-dBFS",
            "-2",
            "--release-ms",
            "30",
            "--dither",
            "none",
            *["--true-peak"] * true_peak,
        )
        assert (code, err, summary(out)) == (0, "", (1, 0))
        outputs.append(Path(target))

        if subtype == "FLOAT":
            written, _ = sf.read(target, dtype="float32", always_2d=True)
            assert np.array_equal(written.view(np.uint32), limited.view(np.uint32))
            after = float(np.abs(limited).max())
        else:
            expected = stored_in_memory(limited, subtype, ceiling)
            written, _ = sf.read(target, dtype="int32", always_2d=True)
            np.testing.assert_array_equal(written, expected)
            after = float(np.abs(expected.astype(np.int64)).max()) / 2.0**31
            # The file the in-memory path wrote, byte for byte.
            sf.write(f"memory.{extension}", expected, rate, subtype=subtype, format=file_format)
            assert Path(target).read_bytes() == Path(f"memory.{extension}").read_bytes()
        share = np.count_nonzero(gains < np.float32(10 ** (-0.1 / 20))) / gains.size
        assert (
            f": peak {dbfs(np.abs(audio).max())} -> {dbfs(after)} dBFS, gain reduction up "
            f"to {-20 * np.log10(gains.min()):.2f} dB, over 0.1 dB on {share:.1%} of "
            f"frames, " in out
        )
    assert 0 < share < 1


def test_a_chunk_size_larger_than_the_file_and_an_empty_file(folder, capsys):
    write("short.wav", music(500, 2), 48000, "PCM_24")
    sf.write("empty.wav", np.zeros((0, 2)), 48000, subtype="PCM_24")
    code, out, err = run(capsys, "short.wav", "empty.wav", "--output-dir", "out", "--plot", "p.png")
    assert (code, err, summary(out)) == (0, "", (2, 0))
    assert sf.info("out/empty.wav").frames == 0 and sf.info("out/short.wav").frames == 500
    assert (
        "empty.wav -> out/empty.wav: peak -inf -> -inf dBFS, gain reduction up to 0.00 dB, "
        "over 0.1 dB on 0.0% of frames, " in out
    )


@pytest.mark.parametrize("chunk", [1000, 4096])
@pytest.mark.parametrize(
    "frame, channel, value, words",
    [
        (25003, 1, np.nan, "is not finite"),
        (999, 0, np.inf, "is not finite"),
        (12000, 1, 1e10, "must be between -4294967296 and 4294967296, got 10000000000"),
    ],
)
def test_a_bad_sample_in_a_later_chunk_is_located_in_the_file(
    folder, capsys, monkeypatch, chunk, frame, channel, value, words
):
    monkeypatch.setattr(_pipeline, "CHUNK_FRAMES", chunk)
    audio = music(30000, 2)
    audio[frame, channel] = value
    write("bad.wav", audio, 48000, "FLOAT")
    Path("out.wav").write_bytes(b"earlier work")
    code, out, err = run(capsys, "bad.wav", "-o", "out.wav", "--overwrite", "--plot", "p.png")
    assert (code, summary(out)) == (1, (0, 1))
    assert err == (
        f"qx-limiter: error: bad.wav: sample at frame {frame} "
        f"({frame / 48000:.3f} s), channel {channel} {words}\n"
    )
    assert files_in(folder) == ["bad.wav", "out.wav"]
    assert Path("out.wav").read_bytes() == b"earlier work"


@pytest.mark.parametrize("failing_chunk", [0, 3])
@pytest.mark.parametrize("subtype", ["PCM_24", "FLOAT"])
def test_a_write_failing_after_some_chunks_leaves_nothing(
    folder, capsys, monkeypatch, failing_chunk, subtype
):
    monkeypatch.setattr(_pipeline, "CHUNK_FRAMES", 2000)
    write("in.wav", music(20000, 2), 48000, subtype)
    Path("out.wav").write_bytes(b"earlier work")
    real_write, real_os_write, calls = _writing.Encoder.write, os.write, []

    def count_chunks(self, samples):
        calls.append(len(samples))
        real_write(self, samples)

    def write_until_the_disk_is_full(descriptor, data):
        if descriptor > 2 and len(calls) > failing_chunk:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        return real_os_write(descriptor, data)

    monkeypatch.setattr(_writing.Encoder, "write", count_chunks)
    monkeypatch.setattr(os, "write", write_until_the_disk_is_full)
    code, out, err = run(capsys, "in.wav", "-o", "out.wav", "--overwrite", "--plot", "p.png")
    assert (code, summary(out)) == (1, (0, 1))
    assert err == "qx-limiter: error: in.wav: cannot write out.wav (No space left on device)\n"
    assert len(calls) == failing_chunk + 1
    assert files_in(folder) == ["in.wav", "out.wav"]
    assert Path("out.wav").read_bytes() == b"earlier work"


def column_extremes(values, starts):
    """Each column's extremes over the whole file at once, as the figure
    was drawn before it streamed."""
    flat = values.min(axis=1) if values.ndim == 2 else values
    high = values.max(axis=1) if values.ndim == 2 else values
    return np.minimum.reduceat(flat, starts), np.maximum.reduceat(high, starts)


@pytest.mark.parametrize("frames, columns", [(20000, 900), (2700, 900), (500, 900), (7, 3)])
@pytest.mark.parametrize("sizes", [[1], [333], [4096, 17, 5000], [10**6]])
def test_the_figures_columns_gathered_in_chunks_are_those_of_the_whole_file(frames, columns, sizes):
    rng = np.random.default_rng(frames)
    audio = rng.standard_normal((frames, 2)).astype(np.float32)
    gains = rng.uniform(0.1, 1.0, frames).astype(np.float32)
    gathered = Columns(frames, columns)
    start, index = 0, 0
    while start < frames:
        end = min(frames, start + sizes[index % len(sizes)])
        gathered.add_input(start, audio[start:end])
        gathered.add_output(start, audio[start:end] * 0.5, gains[start:end])
        start, index = end, index + 1
    count = min(frames, columns)
    starts = np.arange(count) * frames // count
    np.testing.assert_array_equal(gathered.starts, starts)
    for low, high, values in [
        (gathered.input_low, gathered.input_high, audio),
        (gathered.output_low, gathered.output_high, audio * 0.5),
        (gathered.gain_low, gathered.gain_high, gains),
    ]:
        expected_low, expected_high = column_extremes(values, starts)
        np.testing.assert_array_equal(low, expected_low)
        np.testing.assert_array_equal(high, expected_high)


def test_the_figure_is_the_same_for_any_chunk_size(folder, capsys, monkeypatch):
    image = pytest.importorskip("matplotlib.image")
    write("in.wav", music(48000 * 3, 2), 48000, "PCM_24")
    pictures = []
    for chunk in (1000, 65536):
        monkeypatch.setattr(_pipeline, "CHUNK_FRAMES", chunk)
        code, _, err = run(
            capsys, "in.wav", "-o", f"out{chunk}.wav", "--plot", f"p{chunk}.png", "--true-peak"
        )
        assert (code, err) == (0, "")
        pictures.append(image.imread(f"p{chunk}.png"))
    assert pictures[0].shape[:2] == (560, 1000)
    np.testing.assert_array_equal(pictures[0], pictures[1])


@pytest.mark.parametrize("chunk", [1000, 65536])
def test_a_decoder_giving_up_mid_file_with_a_figure(folder, capsys, monkeypatch, chunk):
    monkeypatch.setattr(_pipeline, "CHUNK_FRAMES", chunk)
    data = write("whole.flac", music(96000, 2, peak=0.9), 48000, "PCM_16").read_bytes()
    Path("cut.flac").write_bytes(data[: len(data) // 2])
    code, out, err = run(
        capsys,
        "cut.flac",
        "-o",
        "out.wav",
        "--subtype",
        "FLOAT",
        "--threshold-dBFS",
        "-3",
        "--allow-truncated",
        "--plot",
        "p.png",
    )
    assert (code, summary(out)) == (0, (1, 0))
    assert err.startswith("qx-limiter: warning: cut.flac: truncated: its header promises 2.000 s")
    written, _ = sf.read("out.wav", dtype="float32", always_2d=True)
    original, _ = sf.read("whole.flac", dtype="float32", always_2d=True)
    expected, _ = limit(original[: written.shape[0]], 48000, threshold_dBFS=-3.0, axis=0)
    assert 0 < written.shape[0] < 96000
    np.testing.assert_array_equal(written, expected)
    assert Path("p.png").read_bytes().startswith(b"\x89PNG")


# The child's own peak: VmHWM belongs to its address space, while ru_maxrss
# would also count the memory of this process, which it started from.
MEASURE = """
import sys
from qx_limiter_cli import main
status = main(sys.argv[1:])
with open("/proc/self/status") as lines:
    print(status, next(line.split()[1] for line in lines if line.startswith("VmHWM:")))
"""


def long_file(path, seconds, rate=48000, block=48000):
    """A stereo 24-bit file written a second at a time (bounded memory)."""
    with sf.SoundFile(path, "w", rate, 2, "PCM_24") as file:
        for second in range(seconds):
            file.write(music(block, 2, seed=second, peak=1.0) * 0.99)
    return path


@pytest.mark.skipif(not Path("/proc/self/status").exists(), reason="needs Linux's /proc")
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer holds freed memory back, in proportion to the work",
)
def test_peak_memory_does_not_grow_with_the_files_length(tmp_path):
    growth = {}
    for seconds in (30, 240):
        source = long_file(tmp_path / f"in{seconds}.wav", seconds)
        done = subprocess.run(
            [
                sys.executable,
                "-c",
                MEASURE,
                str(source),
                "-o",
                str(tmp_path / f"out{seconds}.wav"),
                "--true-peak",
                "--threshold-dBFS",
                "-1",
                "--plot",
                str(tmp_path / "p.png"),
                "--overwrite",
                "-q",
            ],
            capture_output=True,
            text=True,
            timeout=300,
        )
        status, kilobytes = done.stdout.split()
        assert (status, done.stderr) == ("0", "")
        growth[seconds] = int(kilobytes) / 1024
        os.remove(source)
    # Four minutes of stereo are 88 MB as float32, and reading a file whole
    # held it at least twice over; streamed, the longer file costs no more
    # than some noise.
    assert abs(growth[240] - growth[30]) < 16, growth
    assert growth[240] < 250, growth


RAW = [("WAV", "wav"), ("WAVEX", "wav"), ("W64", "w64"), ("RF64", "rf64"), ("AIFF", "aiff")]


@pytest.mark.parametrize("file_format, extension", RAW)
@pytest.mark.parametrize("subtype", ["PCM_16", "PCM_24", "PCM_32"])
@pytest.mark.parametrize("frames, channels", [(1, 1), (4099, 2), (1001, 3)])
def test_plain_pcm_read_as_bytes_is_what_libsndfile_reads(
    folder, file_format, extension, subtype, frames, channels
):
    from qx_limiter_cli._reading import InputReader

    audio = np.clip(np.random.default_rng(frames).standard_normal((frames, channels)), -1, 1)
    audio[0, 0] = -1.0  # the most negative sample of every width
    sf.write(f"in.{extension}", audio, 44100, subtype=subtype, format=file_format)
    expected, _ = sf.read(f"in.{extension}", dtype="float32", always_2d=True)
    reader = InputReader(Path(f"in.{extension}"))
    assert reader._unpacker is not None  # read as bytes, not through libsndfile's conversion
    buffer = np.empty((700, channels), dtype=np.float32)
    got = np.concatenate([chunk.copy() for chunk in reader.chunks(frames, lambda: buffer)])
    assert got.shape == expected.shape
    assert np.array_equal(got.view(np.uint32), expected.view(np.uint32))


@pytest.mark.parametrize("file_format, extension", RAW)
@pytest.mark.parametrize("subtype", ["PCM_16", "PCM_24", "PCM_32"])
@pytest.mark.parametrize("overlapping_writes", [True, False])
def test_plain_pcm_written_as_bytes_is_what_libsndfile_writes(
    folder, monkeypatch, file_format, extension, subtype, overlapping_writes
):
    from qx_limiter_cli import _pcm
    from qx_limiter_cli._formats import OutputFormat
    from qx_limiter_cli._quantise import Quantiser

    # Where NumPy would not write in order, libsndfile packs 24-bit samples.
    monkeypatch.setattr(_pcm, "_OVERLAPPING_WRITES", overlapping_writes)
    audio = np.random.default_rng(3).uniform(-1.2, 1.2, (3001, 2)).astype(np.float32)
    stored = Quantiser(subtype, 0.95)(audio)
    sf.write(f"libsndfile.{extension}", stored, 48000, subtype=subtype, format=file_format)
    target = Path(f"packed.{extension}")
    target.write_bytes(b"")
    encoder = _writing.Encoder(target, target, 48000, 2, OutputFormat(file_format, subtype), {})
    assert (encoder._pack is not None) == (overlapping_writes or subtype != "PCM_24")
    for start in range(0, 3001, 1000):  # the last chunk leaves one frame over
        encoder.write(stored[start : start + 1000].copy())
    encoder.finish()
    assert target.read_bytes() == Path(f"libsndfile.{extension}").read_bytes()


@pytest.mark.parametrize("subtype", ["PCM_U8", "PCM_S8", "PCM_16", "PCM_24", "PCM_32"])
@pytest.mark.parametrize("ceiling", [1.0, 0.8912509, 0.25])
def test_quantising_chunk_by_chunk_is_quantising_the_whole(subtype, ceiling):
    from qx_limiter_cli._quantise import Quantiser

    rng = np.random.default_rng(int(ceiling * 100))
    audio = (rng.uniform(-1, 1, (5000, 2)) * ceiling).astype(np.float32)
    audio[:4] = [
        [ceiling, -ceiling],
        [np.float32(ceiling), 0.0],
        [-1.0 * ceiling, 1e-30],
        [np.nextafter(np.float32(ceiling), np.float32(0)), -0.0],
    ]
    expected = stored_in_memory(audio.copy(), subtype, ceiling)
    quantiser, pieces, start = Quantiser(subtype, ceiling), [], 0
    for size in [1, 2, 997, 4000]:
        pieces.append(quantiser(audio[start : start + size].copy()).copy())
        start += size
    np.testing.assert_array_equal(np.concatenate(pieces), expected)
    assert quantiser.peak == np.abs(expected.astype(np.int64)).max() / 2.0**31
    assert quantiser.peak <= ceiling
