"""The command line's run: write errors with the system's reason, stopping on
signals, the order of the lines and the summary, --quiet, --version and the
smallest attack a file's rate allows.

Needs the extra qx_limiter[cli]; skipped where it is not installed.
"""

import errno
import importlib.metadata
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")

from qx_limiter_cli import main  # noqa: E402

from cli_support import files_in, music, run, summary, write  # noqa: E402

try:
    import resource
except ImportError:  # not on Windows
    resource = None


def command(*args):
    return [sys.executable, "-m", "qx_limiter_cli", *map(str, args)]


def command_on_a_slow_disk(*args):
    """The command, with every chunk taking 2 ms longer to write, so that a
    minute of audio streams for a second or more: long enough to be caught
    mid-file. (The pause releases the interpreter lock: the main thread,
    which runs the signal handlers, still gets it at once.)"""
    return [
        sys.executable,
        "-c",
        "import sys, time\n"
        "from qx_limiter_cli import _pipeline, _writing, main\n"
        "_pipeline.CHUNK_FRAMES = 4096\n"
        "write = _writing.Encoder.write\n"
        "def slow_write(self, samples):\n"
        "    time.sleep(0.002)\n"
        "    write(self, samples)\n"
        "_writing.Encoder.write = slow_write\n"
        "sys.exit(main(sys.argv[1:]))",
        *map(str, args),
    ]


@pytest.mark.parametrize(
    "extension, subtype",
    [
        ("wav", "FLOAT"),
        ("aiff", "PCM_16"),
        ("flac", "PCM_24"),
        ("ogg", "VORBIS"),
    ],
)
def test_a_full_disk_names_the_output_and_the_systems_reason(
    folder, capsys, monkeypatch, extension, subtype
):
    write(f"big.{extension}", music(96000, 2, seed=1), 48000, subtype)
    write(f"small.{extension}", music(480, 1, seed=2), 48000, subtype)
    os.mkdir("out")
    Path(f"out/big.{extension}").write_bytes(b"earlier work")
    room = 16384  # bytes for each file: the small output fits, the big one does not
    real_write = os.write

    def full_disk(descriptor, data):
        if descriptor > 2 and os.lseek(descriptor, 0, os.SEEK_CUR) + len(data) > room:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        return real_write(descriptor, data)

    with monkeypatch.context() as patch:
        patch.setattr(os, "write", full_disk)
        code, out, err = run(
            capsys,
            f"big.{extension}",
            f"small.{extension}",
            "--output-dir",
            "out",
            "--overwrite",
            "--threshold-dBFS",
            "-1",
        )
    assert err == (
        f"qx-limiter: error: big.{extension}: cannot write out/big.{extension} "
        f"(No space left on device)\n"
    )
    assert code == 1 and summary(out) == (1, 1)
    assert out.startswith(f"small.{extension} -> out/small.{extension}: peak ")
    assert files_in("out") == sorted([f"big.{extension}", f"small.{extension}"])
    assert Path(f"out/big.{extension}").read_bytes() == b"earlier work"
    assert sf.info(f"out/small.{extension}").frames == 480


@pytest.mark.skipif(
    resource is None or not hasattr(signal, "SIGXFSZ"), reason="needs RLIMIT_FSIZE and SIGXFSZ"
)
def test_a_file_size_limit_comes_back_as_the_systems_reason(folder):
    write("big.wav", music(96000, 2), 48000, "FLOAT")

    def limit_file_size():
        # Past the limit, write() fails with EFBIG once SIGXFSZ is ignored.
        resource.setrlimit(resource.RLIMIT_FSIZE, (200_000, 200_000))
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

    done = subprocess.run(
        command("big.wav", "-o", "out.wav"),
        capture_output=True,
        text=True,
        timeout=120,
        preexec_fn=limit_file_size,
    )
    assert done.returncode == 1
    assert done.stderr == (
        f"qx-limiter: error: big.wav: cannot write out.wav ({os.strerror(errno.EFBIG)})\n"
    )
    assert files_in(folder) == ["big.wav"]


@pytest.fixture(scope="module")
def long_inputs(tmp_path_factory):
    """Two minute-long stereo float files: long enough to be caught mid-way."""
    folder = tmp_path_factory.mktemp("long")
    return [
        write(folder / f"long{n}.wav", music(48000 * 60, 2, seed=n), 48000, "FLOAT") for n in (1, 2)
    ]


def default_signal_handlers():
    # A test run started in the background or under nohup passes on ignored
    # signals, which the command line rightly keeps ignoring.
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, signal.SIG_DFL)


@pytest.mark.skipif(not hasattr(signal, "SIGHUP"), reason="needs POSIX signals")
@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize(
    "name, words",
    [
        ("SIGTERM", "stopped by SIGTERM"),
        ("SIGHUP", "stopped by SIGHUP"),
        ("SIGINT", "interrupted"),
    ],
)
def test_a_signal_mid_file_leaves_no_output_and_no_temporary_file(
    folder, long_inputs, name, words, jobs
):
    number = getattr(signal, name)
    process = subprocess.Popen(
        command_on_a_slow_disk(
            *long_inputs[:jobs],
            "--output-dir",
            "out",
            "--plot",
            "out/figure.png",
            "--subtype",
            "PCM_24",
            "--jobs",
            jobs,
        ),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        preexec_fn=default_signal_handlers,
    )
    # The temporary files appear as a file starts; on the slow disk, it
    # takes a second or more after that.
    deadline = time.monotonic() + 120
    while (
        process.poll() is None
        and time.monotonic() < deadline
        and not list(Path(folder).glob("out/.*.qx-limiter-part"))
    ):
        time.sleep(0.005)
    if process.poll() is not None:
        pytest.fail(f"finished before a temporary file was seen: {process.communicate()}")
    process.send_signal(number)
    out, err = process.communicate(timeout=120)
    assert process.returncode == 128 + number, err
    assert err == f"qx-limiter: error: {words}; the files not finished were not written\n"
    assert out.splitlines()[-1].startswith(f"0 files written, 0 failed, {jobs} not done, in ")
    assert files_in("out") == []


def test_lines_come_in_input_order_and_end_with_a_summary(folder, capsys):
    write("a.wav", music(48000 * 8, 2, seed=1), 48000, "FLOAT")  # finishes last
    write("b.wav", music(4800, 2, seed=2), 48000, "FLOAT")
    broken = music(4800, 2, seed=3)
    broken[10, 0] = np.inf
    write("c.wav", broken, 48000, "FLOAT")
    write("d.wav", music(4800, 1, seed=4), 44100, "PCM_16")
    code, out, err = run(
        capsys, "a.wav", "b.wav", "c.wav", "d.wav", "--output-dir", "out", "--jobs", "3"
    )
    assert code == 1
    assert [line.split(" -> ")[0] for line in out.splitlines()[:-1]] == ["a.wav", "b.wav", "d.wav"]
    assert summary(out) == (3, 1)
    assert err == (
        "qx-limiter: error: c.wav: sample at frame 10 (0.000 s), channel 0 is not finite\n"
    )


def test_version_is_the_installed_packages():
    expected = f"qx-limiter {importlib.metadata.version('qx_limiter')}\n"
    done = subprocess.run(command("--version"), capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, expected, "")


@pytest.mark.parametrize(
    "inputs, status, errors",
    [
        (["good.wav"], 0, []),
        (
            ["good.wav", "nan.wav"],
            1,
            ["qx-limiter: error: nan.wav: sample at frame 5 (0.000 s), channel 1 is not finite"],
        ),
        (
            ["good.wav", "cut.wav"],
            0,
            [
                "qx-limiter: warning: cut.wav: truncated: its header promises 0.100 s of audio, "
                "the file holds 0.050 s (19200 bytes of audio data promised, 9578 present); "
                "limited what it holds"
            ],
        ),
    ],
)
def test_quiet_prints_only_warnings_and_errors(folder, capsys, inputs, status, errors):
    write("good.wav", music(4800, 2), 48000, "FLOAT")
    broken = music(4800, 2)
    broken[5, 1] = np.nan
    write("nan.wav", broken, 48000, "FLOAT")
    data = write("whole.wav", music(4800, 2, peak=0.9), 48000, "PCM_16").read_bytes()
    Path("cut.wav").write_bytes(data[: len(data) // 2])
    code, out, err = run(capsys, *inputs, "--output-dir", "out", "--quiet", "--allow-truncated")
    assert (code, out) == (status, "")
    assert err.splitlines() == errors
    assert files_in("out") == sorted(name for name in inputs if name != "nan.wav")


@pytest.mark.parametrize(
    "rate, smallest",
    [
        (8000, "0.0625"),
        (11025, "0.04536"),
        (44100, "0.01134"),
        (48000, "0.01042"),
        (96000, "0.005209"),
        (192000, "0.002605"),
    ],
)
def test_the_smallest_attack_named_is_the_smallest_that_works(folder, capsys, rate, smallest):
    write("in.wav", music(4800, 1), rate, "PCM_16")
    below = f"{float(smallest) * 0.999:.6g}"
    code, out, err = run(capsys, "in.wav", "-o", "out.wav", "--attack-ms", below)
    assert (code, out) == (1, "")
    assert err == (
        f"qx-limiter: error: in.wav: --attack-ms {below} is less than one frame at "
        f"{rate} Hz; the smallest that works at this rate is {smallest}\n"
    )
    assert files_in(folder) == ["in.wav"]
    code, out, err = run(capsys, "in.wav", "-o", "out.wav", "--attack-ms", smallest)
    assert (code, err) == (0, "") and summary(out) == (1, 0)
    # Four significant digits, rounded up: the next smaller value would not do.
    digits = smallest.split(".")[1]
    step = 10.0 ** -len(digits)
    assert (float(smallest) - step) * rate / 1000 < 0.5 <= float(smallest) * rate / 1000


def test_main_can_run_twice_in_one_process(folder, capsys):
    # The signal handlers are put back after each run.
    before = signal.getsignal(signal.SIGTERM)
    write("in.wav", music(4800, 2), 48000, "FLOAT")
    assert main(["in.wav", "-o", "a.wav"]) == 0
    assert main(["in.wav", "-o", "b.wav"]) == 0
    assert signal.getsignal(signal.SIGTERM) is before


@pytest.mark.skipif(not hasattr(signal, "SIGHUP"), reason="needs POSIX signals")
def test_a_signal_while_the_stages_start_still_joins_every_started_stage():
    """A stop that arrives between starting one stage and the next must not
    leave the first running past the end of the run (into the interpreter's
    shutdown, in the middle of a limiter call)."""
    from qx_limiter_cli import _stages, _stopping

    stop = threading.Event()

    def wait_for_stop():
        stop.wait(10)

    stages = [_stages.Stage(wait_for_stop, stop, f"stage {n}") for n in range(3)]
    start = _stages.Stage.start

    def start_then_signal(stage):
        start(stage)
        if stage is stages[0]:
            signal.raise_signal(signal.SIGTERM)

    with _stopping.stop_on_signals(), pytest.MonkeyPatch.context() as patch:
        patch.setattr(_stages.Stage, "start", start_then_signal)
        with pytest.raises(_stopping.Stopped):
            _stages.run_beside(lambda: None, stages, stop)
    assert not any(stage.is_alive() for stage in stages)
