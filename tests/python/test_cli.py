"""The qx-limiter command line on real audio files.

Needs the extra qx_limiter[cli]; skipped where it is not installed.
"""

import os
import re
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")

from conftest import run_python  # noqa: E402
from qx_limiter import QXLimiter, limit  # noqa: E402

from qx_limiter_tools import master, measure  # noqa: E402

from cli_support import PCM_BITS, files_in, music, run, summary, write  # noqa: E402

FORMATS = [
    # format, subtype, extension, rate, channels
    ("WAV", "PCM_16", "wav", 44100, 2),
    ("WAV", "PCM_24", "wav", 48000, 1),
    ("WAV", "PCM_32", "wav", 96000, 2),
    ("WAV", "PCM_U8", "wav", 22050, 1),
    ("WAV", "FLOAT", "wav", 48000, 2),
    ("WAV", "DOUBLE", "wav", 32000, 3),
    ("FLAC", "PCM_16", "flac", 44100, 2),
    ("FLAC", "PCM_24", "flac", 88200, 2),
    ("FLAC", "PCM_S8", "flac", 16000, 1),
    ("AIFF", "PCM_16", "aiff", 44100, 2),
    ("AIFF", "PCM_24", "aif", 48000, 6),
    ("AIFF", "PCM_S8", "aiff", 8000, 1),
    ("AIFF", "FLOAT", "aiff", 44100, 2),
    ("OGG", "VORBIS", "ogg", 48000, 2),
]


@pytest.mark.parametrize(
    "file_format, subtype, extension, rate, channels",
    FORMATS,
    ids=[f"{f}-{s}-{c}ch" for f, s, _, _, c in FORMATS],
)
@pytest.mark.parametrize("true_peak", [False, True], ids=["sample-peak", "true-peak"])
def test_round_trip_keeps_the_file_and_stays_under_the_ceiling(
    tmp_path, capsys, file_format, subtype, extension, rate, channels, true_peak
):
    source = write(
        tmp_path / f"in.{extension}", music(rate // 2, channels), rate, subtype, file_format
    )
    target = tmp_path / f"out.{extension}"
    options = ["--threshold-dBFS", "-6", "--release-ms", "60"] + ["--true-peak"] * true_peak
    code, out, err = run(capsys, source, "-o", target, *options)
    assert (code, err) == (0, "")
    assert out.startswith(f"{source} -> {target}: ") and out.count("\n") == 2
    assert summary(out) == (1, 0)

    before, after = sf.info(str(source)), sf.info(str(target))
    assert (after.format, after.subtype, after.samplerate, after.channels, after.frames) == (
        before.format,
        before.subtype,
        before.samplerate,
        before.channels,
        before.frames,
    )

    audio, _ = sf.read(str(source), dtype="float32", always_2d=True)
    written, _ = sf.read(str(target), dtype="float64", always_2d=True)
    limiter = QXLimiter(rate, -6.0, release_ms=60.0)
    if true_peak:
        # A true-peak ceiling is master's passes, verified by the meter.
        expected = master(audio, rate, ceiling_dbtp=-6.0, release_ms=60.0, axis=0).audio
    else:
        expected, _ = limiter.process(audio, axis=0)
    ceiling = limiter.threshold
    if subtype in PCM_BITS:
        # Rounded inside the ceiling: never above it once read back, and at
        # most one step away from the limiter's own output; 16 bits and
        # fewer are dithered first (triangular, under one step).
        step = 2.0 ** (1 - PCM_BITS[subtype])
        assert np.abs(written).max() <= ceiling
        away = 1.5 if PCM_BITS[subtype] <= 16 else 1.0
        if not (true_peak and PCM_BITS[subtype] == 8):
            assert np.abs(written - expected).max() <= step * away * 1.0001
        # (At 8 bits, a step of dither reads over a true-peak ceiling, and
        # another pass lowers the threshold: the file is no longer master's.)
    if true_peak:
        assert measure(written.astype(np.float32), rate, axis=0).true_peak_dbtp <= -6.0
    elif subtype in ("FLOAT", "DOUBLE"):
        np.testing.assert_array_equal(written, expected)
        assert np.abs(written).max() <= np.float32(ceiling)
    else:
        # A lossy codec may overshoot the ceiling a little on decoding.
        assert np.abs(written).max() <= ceiling * 10 ** (1.5 / 20)
        assert np.corrcoef(written.ravel(), expected.ravel())[0, 1] > 0.8


@pytest.mark.parametrize(
    "file_format, subtype, extension",
    [
        ("WAV", "PCM_16", "wav"),
        ("WAV", "PCM_24", "wav"),
        ("WAV", "PCM_U8", "wav"),
        ("FLAC", "PCM_24", "flac"),
        ("FLAC", "PCM_S8", "flac"),
        ("AIFF", "PCM_16", "aiff"),
    ],
)
def test_audio_under_the_ceiling_passes_bit_exact(
    tmp_path, capsys, file_format, subtype, extension
):
    quiet = music(20000, 2, peak=0.7)
    source = write(tmp_path / f"in.{extension}", quiet, 44100, subtype, file_format)
    target = tmp_path / f"out.{extension}"
    assert run(capsys, source, "-o", target, "--threshold-dBFS", "-1")[0] == 0
    original, _ = sf.read(str(source), dtype="int32")
    np.testing.assert_array_equal(sf.read(str(target), dtype="int32")[0], original)


def test_report_line(tmp_path, capsys):
    audio = music(48000, 2, peak=2.0)
    source = write(tmp_path / "loud.wav", audio, 48000, "FLOAT")
    code, out, _ = run(capsys, source, "-o", tmp_path / "out.wav", "--threshold-dBFS", "-3")
    limited, gains = limit(audio.astype(np.float32), 48000, threshold_dBFS=-3.0, axis=0)
    before = 20 * np.log10(np.abs(audio.astype(np.float32)).max())
    after = 20 * np.log10(np.abs(limited).max())
    reduction = -20 * np.log10(gains.min())
    share = np.mean(gains < np.float32(10 ** (-0.1 / 20)))
    expected = (
        f"{source} -> {tmp_path / 'out.wav'}: peak {before:+.2f} -> {after:+.2f} dBFS, "
        f"gain reduction up to {reduction:.2f} dB, over 0.1 dB on {share:.1%} of frames, "
    )
    assert code == 0
    first = out.splitlines()[0]
    assert first.startswith(expected) and re.fullmatch(r"\d+\.\d\d s", first[len(expected) :])
    assert "-> -3.00 dBFS" in out and 0 < share < 1


def test_subtype_and_format_conversion(tmp_path, capsys):
    source = write(tmp_path / "in.wav", music(10000, 2), 44100, "FLOAT")
    assert run(capsys, source, "-o", tmp_path / "a.wav", "--subtype", "pcm_16")[0] == 0
    assert sf.info(str(tmp_path / "a.wav")).subtype == "PCM_16"
    # The extension chooses the format; the subtype must fit it.
    assert run(capsys, source, "-o", tmp_path / "b.flac", "--subtype", "PCM_24")[0] == 0
    info = sf.info(str(tmp_path / "b.flac"))
    assert (info.format, info.subtype, info.samplerate) == ("FLAC", "PCM_24", 44100)


@pytest.fixture
def inputs(tmp_path, monkeypatch):
    """A folder of inputs, good and bad, as the current directory."""
    monkeypatch.chdir(tmp_path)
    loud = music(4800, 2)
    write("good.wav", loud, 48000, "FLOAT")
    write("rate1000.wav", loud, 1000, "FLOAT")
    write("rate8000.wav", loud, 8000, "PCM_16")
    Path("text.wav").write_text("not audio\n")
    broken = loud.copy()
    broken[100, 1] = np.nan
    write("nan.wav", broken, 48000, "FLOAT")
    huge = loud.copy()
    huge[2400, 0] = 1e10
    write("huge.wav", huge, 48000, "FLOAT")
    Path("nan.wav.json").write_text("[]\n")
    write("audio.json", loud, 48000, "FLOAT", "WAV")  # a WAV file, whatever its name says
    os.mkdir("other")
    write("other/good.wav", loud, 48000, "FLOAT")
    return tmp_path


ERRORS = [
    # arguments, exit status, the one line on standard error
    (["missing.wav", "-o", "o.wav"], 1, "missing.wav: no such file"),
    (["other", "-o", "o.wav"], 1, "other: is a directory, not an audio file"),
    (["text.wav", "-o", "o.wav"], 1, "text.wav: cannot read it as audio (Format not recognised)"),
    (
        ["rate1000.wav", "-o", "o.wav", "--true-peak"],
        1,
        "rate1000.wav: --true-peak does not support 1000 Hz; the loudness and true-peak meter "
        "takes 8000 to 384000 Hz\n",
    ),
    (
        ["rate8000.wav", "-o", "o.wav", "--attack-ms", "0.01"],
        1,
        "rate8000.wav: --attack-ms 0.01 is less than one frame at 8000 Hz; the smallest that "
        "works at this rate is 0.0625\n",
    ),
    (
        ["good.wav", "-o", "good.wav"],
        1,
        "good.wav: the output good.wav would overwrite the input good.wav; choose another output",
    ),
    (
        ["good.wav", "--output-dir", "."],
        1,
        "good.wav: the output good.wav would overwrite the input",
    ),
    (
        ["good.wav", "-o", "o.wav", "--plot", "good.wav"],
        2,
        "argument --plot: must name a .png, .svg, .pdf or .jpg file (the extension chooses), "
        "got good.wav",
    ),
    (
        ["good.wav", "other/good.wav", "--output-dir", "out"],
        1,
        "other/good.wav: the output out/good.wav is also the output of good.wav",
    ),
    (
        ["good.wav", "-o", "o.ogg", "--subtype", "PCM_16"],
        1,
        "good.wav: OGG files cannot hold PCM_16 samples; OGG takes ",
    ),
    (
        ["good.wav", "-o", "text.wav/o.wav"],
        1,
        "cannot write into text.wav: text.wav is not a directory\n",
    ),
    (
        ["good.wav", "-o", "o.wav", "--plot", "text.wav/deeper/p.png"],
        1,
        "cannot write into text.wav/deeper: text.wav is not a directory\n",
    ),
    (["good.wav", "-o", "other"], 1, "good.wav: the output other is a directory"),
    (
        ["nan.wav", "-o", "o.wav"],
        1,
        "nan.wav: sample at frame 100 (0.002 s), channel 1 is not finite",
    ),
    (
        ["huge.wav", "-o", "o.wav"],
        1,
        "huge.wav: sample at frame 2400 (0.050 s), channel 0 "
        "must be between -4294967296 and 4294967296, got 10000000000",
    ),
    (
        ["good.wav", "-o", "o.wav", "--threshold-dBFS", "0.5"],
        2,
        "argument --threshold-dBFS: must be a finite dBFS value at most 0, got 0.5",
    ),
    (
        ["good.wav", "-o", "o.wav", "--threshold-dBFS", "nan"],
        2,
        "argument --threshold-dBFS: must be a finite dBFS value at most 0, got nan",
    ),
    (
        ["good.wav", "-o", "o.wav", "--attack-ms", "-1"],
        2,
        "argument --attack-ms: must be a finite number of milliseconds, more than 0, got -1",
    ),
    (
        ["good.wav", "-o", "o.wav", "--attack-ms", "0"],
        2,
        "argument --attack-ms: must be a finite number of milliseconds, more than 0, got 0",
    ),
    (
        ["good.wav", "-o", "o.wav", "--hold-ms", "-1"],
        2,
        "argument --hold-ms: must be a finite number of milliseconds, at least 0, got -1",
    ),
    (
        ["good.wav", "-o", "o.wav", "--hold-ms", "inf"],
        2,
        "argument --hold-ms: must be a finite number of milliseconds, at least 0, got inf",
    ),
    (
        ["good.wav", "-o", "o.wav", "--release-ms", "fast"],
        2,
        "argument --release-ms: expected a number, got 'fast'",
    ),
    (
        ["good.wav", "-o", "o.wav", "--jobs", "0"],
        2,
        "argument --jobs: must be a whole number of at least 1, got 0",
    ),
    (
        ["good.wav", "-o", "o.wav", "--subtype", "PCM_17"],
        2,
        "argument --subtype: unknown subtype PCM_17; known: ",
    ),
    (
        ["good.wav", "rate1000.wav", "-o", "o.wav"],
        2,
        "-o/--output takes a single input, got 2; use --output-dir for several",
    ),
    (["good.wav"], 2, "one of the arguments -o/--output --output-dir is required"),
    (
        ["good.wav", "--output-dir", "text.wav"],
        2,
        "argument --output-dir: text.wav is not a directory",
    ),
    # Delivering: loudness targets, presets, dither and the report file.
    (
        ["rate1000.wav", "-o", "o.wav", "--loudness", "-16"],
        1,
        "rate1000.wav: --loudness does not support 1000 Hz; the loudness and true-peak meter "
        "takes 8000 to 384000 Hz\n",
    ),
    (
        ["rate1000.wav", "-o", "o.wav", "--preset", "podcast"],
        1,
        "rate1000.wav: --preset does not support 1000 Hz; ",
    ),
    (
        ["nan.wav", "-o", "o.wav", "--loudness", "-16"],
        1,
        "nan.wav: sample at frame 100 (0.002 s), channel 1 is not finite\n",
    ),
    (
        ["huge.wav", "-o", "o.wav", "--preset", "streaming"],
        1,
        "huge.wav: sample at frame 2400 (0.050 s), channel 0 must be between",
    ),
    (
        ["good.wav", "-o", "o.wav", "--loudness", "3"],
        2,
        "argument --loudness: must be a LUFS value from -60 to 0, got 3\n",
    ),
    (
        ["good.wav", "-o", "o.wav", "--loudness=-inf"],
        2,
        "argument --loudness: must be a LUFS value from -60 to 0, got -inf\n",
    ),
    (
        ["good.wav", "-o", "o.wav", "--preset", "radio"],
        2,
        "argument --preset: invalid choice: 'radio' (choose from ",
    ),
    (
        ["good.wav", "-o", "o.wav", "--dither", "shaped"],
        2,
        "argument --dither: invalid choice: 'shaped' (choose from ",
    ),
    (
        ["good.wav", "-o", "o.wav", "--report", "r.txt"],
        2,
        "argument --report: must name a .json or .csv file (the extension chooses), got r.txt\n",
    ),
    (
        ["good.wav", "-o", "o.wav", "--report", "-"],
        2,
        "argument --report: standard output ('-') is not supported",
    ),
    (
        ["good.wav", "-o", "o.wav", "--report", "nan.wav.json"],
        1,
        "the report nan.wav.json exists; add --overwrite to replace it\n",
    ),
    (
        ["audio.json", "--output-dir", "out", "--report", "out/audio.json"],
        1,
        "the report out/audio.json would overwrite an output; choose another name\n",
    ),
    (
        ["good.wav", "-o", "o.wav", "--report", "good.wav.csv", "--report", "good.wav"],
        2,
        "argument --report: must name a .json or .csv file (the extension chooses), got "
        "good.wav\n",
    ),
    (
        ["good.wav", "-o", "o.wav", "--report", "text.wav/r.json"],
        1,
        "cannot write into text.wav: text.wav is not a directory\n",
    ),
]


@pytest.mark.parametrize("args, status, message", ERRORS, ids=[m[:40] for _, _, m in ERRORS])
def test_user_errors_are_one_line_and_write_nothing(inputs, capsys, args, status, message):
    before = files_in(inputs)
    code, out, err = run(capsys, *args)
    assert code == status
    # A file that fails while it is limited ends the run with the summary.
    assert out == "" or (message.startswith(("nan.wav", "huge.wav")) and summary(out) == (0, 1))
    assert err.count("\n") == 1 and err.startswith(f"qx-limiter: error: {message}")
    assert files_in(inputs) == before


def test_every_problem_is_reported_before_anything_is_written(inputs, capsys):
    code, out, err = run(capsys, "good.wav", "missing.wav", "text.wav", "--output-dir", "out")
    assert (code, out) == (1, "")
    assert err.splitlines() == [
        "qx-limiter: error: missing.wav: no such file",
        "qx-limiter: error: text.wav: cannot read it as audio (Format not recognised)",
    ]
    assert not (inputs / "out").exists()


def test_a_failing_file_leaves_the_others_and_the_old_output(inputs, capsys):
    os.mkdir("out")
    Path("out/nan.wav").write_bytes(b"previous result")
    code, out, err = run(
        capsys, "good.wav", "nan.wav", "--output-dir", "out", "--plot", "out/p.png", "--overwrite"
    )
    assert code == 1
    assert out.startswith("good.wav -> out/good.wav: ") and summary(out) == (1, 1)
    assert (
        err
        == "qx-limiter: error: nan.wav: sample at frame 100 (0.002 s), channel 1 is not finite\n"
    )
    assert files_in("out") == ["good.wav", "nan.wav", "p-good.png"]
    assert Path("out/nan.wav").read_bytes() == b"previous result"


def test_a_failed_write_leaves_no_partial_file(inputs, capsys, monkeypatch):
    Path("o.wav").write_bytes(b"previous result")
    original_write = sf.SoundFile.write

    def write_half_then_fail(self, data):
        original_write(self, data[: len(data) // 2])
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(sf.SoundFile, "write", write_half_then_fail)
    before = files_in(inputs)
    code, out, err = run(capsys, "good.wav", "-o", "o.wav", "--plot", "o.png", "--overwrite")
    assert (code, summary(out)) == (1, (0, 1))
    assert err == "qx-limiter: error: good.wav: cannot write o.wav (No space left on device)\n"
    assert files_in(inputs) == before
    assert Path("o.wav").read_bytes() == b"previous result"


def test_jobs_give_the_same_files_as_one_at_a_time(tmp_path, capsys):
    sources = [
        write(tmp_path / "a.wav", music(30000, 2, seed=1), 48000, "FLOAT"),
        write(tmp_path / "b.flac", music(40000, 1, seed=2), 44100, "PCM_24", "FLAC"),
        write(tmp_path / "c.aiff", music(25000, 3, seed=3), 96000, "PCM_16", "AIFF"),
        write(tmp_path / "d.wav", music(35000, 2, seed=4), 22050, "PCM_16"),
    ]
    results = {}
    for jobs in ("1", "3"):
        folder = tmp_path / f"jobs{jobs}"
        code, out, err = run(
            capsys,
            *sources,
            "--output-dir",
            folder,
            "--jobs",
            jobs,
            "--true-peak",
            "--threshold-dBFS",
            "-2",
        )
        assert (code, err) == (0, "")
        # In the order named, whichever finished first.
        assert [line.split(" -> ")[0] for line in out.splitlines()[:-1]] == [
            str(source) for source in sources
        ]
        assert summary(out) == (4, 0)
        results[jobs] = {path.name: path.read_bytes() for path in sorted(folder.iterdir())}
    assert sorted(results["1"]) == ["a.wav", "b.flac", "c.aiff", "d.wav"]
    for name, data in results["1"].items():
        if name.endswith(".flac"):
            assert data == results["3"][name]
        else:
            # Only the samples: libsndfile may stamp a float WAV's PEAK chunk with the time.
            one, three = (
                sf.read(str(tmp_path / f"jobs{j}" / name), dtype="int32")[0] for j in ("1", "3")
            )
            np.testing.assert_array_equal(one, three)


def test_plot_files(tmp_path, capsys):
    image = pytest.importorskip("matplotlib.image")
    first = write(tmp_path / "first.wav", music(96000, 2), 48000, "FLOAT")
    second = write(tmp_path / "second.flac", music(30000, 1), 44100, "PCM_16", "FLAC")
    assert run(capsys, first, "-o", tmp_path / "out.wav", "--plot", tmp_path / "one.png")[0] == 0
    assert (
        run(
            capsys, first, second, "--output-dir", tmp_path / "out", "--plot", tmp_path / "many.png"
        )[0]
        == 0
    )
    for name in ("one.png", "many-first.png", "many-second.png"):
        data = (tmp_path / name).read_bytes()
        assert data.startswith(b"\x89PNG\r\n\x1a\n") and len(data) > 10000
        assert image.imread(tmp_path / name).shape[:2] == (560, 1000)


def test_matplotlib_is_imported_only_for_a_plot(tmp_path):
    source = write(tmp_path / "in.wav", music(4800, 1), 48000, "FLOAT")
    for extra, imported in ([], False), (["--plot", str(tmp_path / "p.png")], True):
        code, out, err = run_python(f"""
            import sys
            from qx_limiter_cli import main
            status = main([{str(source)!r}, "-o", {str(tmp_path / "out.wav")!r}, "--overwrite"]
                          + {extra!r})
            print(status, "matplotlib" in sys.modules)
        """)
        assert (code, err) == (0, "")
        assert out.splitlines()[-1] == f"0 {imported}"


def test_console_script_and_module_entry(inputs):
    script = shutil.which("qx-limiter", path=os.path.dirname(sys.executable))
    assert script is not None
    for command in ([script], [sys.executable, "-m", "qx_limiter_cli"]):
        done = subprocess.run(
            command + ["missing.wav", "-o", "o.wav"], capture_output=True, text=True, timeout=120
        )
        assert (done.returncode, done.stdout) == (1, "")
        assert done.stderr == "qx-limiter: error: missing.wav: no such file\n"
        done = subprocess.run(
            command + ["good.wav", "-o", "o.wav", "--overwrite"],
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert (done.returncode, done.stderr) == (0, "")
        assert done.stdout.startswith("good.wav -> o.wav: peak ")


def test_progress_bar_only_on_a_terminal(inputs, capsys):
    pty = pytest.importorskip("pty")
    fcntl = pytest.importorskip("fcntl")
    termios = pytest.importorskip("termios")
    args = ["good.wav", "rate8000.wav", "--output-dir", "out", "--overwrite"]
    code, out, _ = run(capsys, *args)
    assert code == 0 and "\r" not in out and len(out.splitlines()) == 3
    assert "gain reduction up to 0.00 dB, over 0.1 dB on 0.0% of frames" in out  # not -0.00

    leader, follower = pty.openpty()
    # A terminal of 100 columns: in one of no width, tqdm draws nothing.
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 100, 0, 0))
    done = subprocess.Popen(
        [sys.executable, "-m", "qx_limiter_cli", *args, "--jobs", "2"],
        stdout=follower,
        stderr=subprocess.PIPE,
    )
    os.close(follower)
    shown = b""
    while True:
        try:
            chunk = os.read(leader, 4096)
        except OSError:  # the terminal closes when the program ends
            break
        if not chunk:
            break
        shown += chunk
    os.close(leader)
    assert done.wait(timeout=120) == 0
    assert b"/2 [" in shown  # tqdm's "n/total [elapsed" while files are running
    assert shown.count(b" -> out/") == 2
