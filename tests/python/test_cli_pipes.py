"""qx-limiter in a pipe: - reads a WAV or FLAC stream from standard input,
-o - writes a WAV stream to standard output; the bytes are those of the
same run on files, what is said goes to standard error, and bad input
writes nothing anywhere.

Needs the extra qx_limiter[cli]; the streams ffmpeg writes need ffmpeg.
"""

import shutil
import subprocess
import sys

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")

from cli_support import files_in, song  # noqa: E402

RATE = 48000
TARGET = ["--preset", "streaming"]


def qx(*args, stdin=b""):
    return subprocess.run(
        [sys.executable, "-m", "qx_limiter_cli", *map(str, args)],
        input=stdin,
        capture_output=True,
        timeout=120,
    )


def streamed_by_ffmpeg(path):
    """The file as a WAV stream that ffmpeg writes into a pipe: no sizes in
    its header, as any streaming writer leaves them."""
    if shutil.which("ffmpeg") is None:
        pytest.skip("needs ffmpeg")
    return subprocess.run(
        ["ffmpeg", "-v", "error", "-i", str(path), "-c:a", "pcm_s24le", "-f", "wav", "-"],
        capture_output=True,
        check=True,
    ).stdout


@pytest.mark.parametrize(
    "source, stream",
    [
        ("in.wav", lambda path: open(path, "rb").read()),
        ("in.flac", lambda path: open(path, "rb").read()),
        ("in.wav", streamed_by_ffmpeg),
    ],
    ids=["wav", "flac", "wav-streamed"],
)
def test_a_pipe_gives_the_bytes_of_the_same_run_on_files(folder, source, stream):
    sf.write(source, np.clip(song(RATE, 2.0, level_db=-10.0), -1, 1), RATE, subtype="PCM_24")
    on_files = qx(source, "-o", "files.wav", *TARGET)
    assert on_files.returncode == 0, on_files.stderr
    piped = qx("-", "-o", "-", *TARGET, stdin=stream(source))
    assert piped.returncode == 0, piped.stderr
    if stream is streamed_by_ffmpeg:
        # ffmpeg's stream carries a LIST chunk of its own, which is kept:
        # the same samples, not the same bytes.
        import io

        assert np.array_equal(
            sf.read(io.BytesIO(piped.stdout), dtype="int32")[0],
            sf.read("files.wav", dtype="int32")[0],
        )
        return
    assert piped.stdout == (folder / "files.wav").read_bytes()
    # The report line names the streams, on standard error.
    assert b"- -> -: peak " in piped.stderr
    into_file = qx("-", "-o", "from-stdin.wav", *TARGET, stdin=stream(source))
    assert into_file.returncode == 0 and into_file.stdout.startswith(b"- -> from-stdin.wav")
    assert (folder / "from-stdin.wav").read_bytes() == (folder / "files.wav").read_bytes()


@pytest.mark.parametrize(
    "stdin, reason",
    [
        (b"", "standard input is empty"),
        (b"RIFF\x10\x00\x00\x00WAVEjunk", "cannot read it as audio"),
        (b"not audio at all\n" * 100, "cannot read it as audio"),
    ],
)
@pytest.mark.parametrize("output", ["-", "out.wav"])
def test_bad_input_on_standard_input_writes_nothing(folder, stdin, reason, output):
    done = qx("-", "-o", output, *TARGET, stdin=stdin)
    assert done.returncode == 1
    assert done.stderr.decode().startswith(f"qx-limiter: error: -: {reason}"), done.stderr
    assert done.stdout == b""
    assert files_in(folder) == []
