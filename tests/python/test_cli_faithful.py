"""What the command line writes is what a careful tool would write, checked
with readers other than its own: channels in their places (decoded by
ffmpeg), WAV chunks and channel masks byte for byte, outputs that clash or
that are not files refused, a rename that never replaces what appeared
meanwhile, stops that always end the run, and the texts it prints.

Needs the extra qx_limiter[cli]; the checks that decode with ffmpeg skip
where it is not installed.
"""

import os
import re
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")

from qx_limiter_tools import Meter, StreamLimiter, master, measure  # noqa: E402

from cli_support import files_in, music, run, song, summary, write  # noqa: E402

needs_ffmpeg = pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="needs ffmpeg")
RATE = 48000


def command(*args):
    return [sys.executable, "-m", "qx_limiter_cli", *map(str, args)]


def ffmpeg_decode(path, channels):
    """Frames-first float32 samples as ffmpeg decodes the file, in the WAV
    order of its channel layout."""
    raw = subprocess.run(
        ["ffmpeg", "-v", "error", "-i", str(path), "-f", "f32le", "-acodec", "pcm_f32le", "-"],
        capture_output=True,
        check=True,
    ).stdout
    return np.frombuffer(raw, np.float32).reshape(-1, channels)


def tones(channels, seconds=2.0, rate=RATE):
    """One steady tone per channel, each at its own frequency; the fourth
    channel of 5.1 and wider layouts is the LFE, which codecs low-pass."""
    t = np.arange(int(rate * seconds)) / rate
    frequencies = [60.0 if c == 3 and channels >= 6 else 150.0 + 170.0 * c for c in range(channels)]
    return np.stack([0.2 * np.sin(2 * np.pi * f * t) for f in frequencies], 1)


def chunk(name, payload):
    return name + struct.pack("<I", len(payload)) + payload + b"\0" * (len(payload) & 1)


def broadcast_wav(path, audio, mask=0x60F):
    """A 16-bit WAVE_FORMAT_EXTENSIBLE file with a channel mask, bext and
    iXML before the audio, cue points and LIST INFO after it; returns the
    chunks other than fmt and data, by name."""
    samples = np.round(audio * 32767).astype("<i2")
    channels = samples.shape[1]
    fmt = (
        struct.pack(
            "<HHIIHHHHI",
            0xFFFE,
            channels,
            RATE,
            RATE * channels * 2,
            channels * 2,
            16,
            22,
            16,
            mask,
        )
        + struct.pack("<H", 1)
        + bytes.fromhex("000000001000800000aa00389b71")
    )
    extra = {
        b"bext": b"A description".ljust(256, b"\0")
        + b"an originator".ljust(32, b"\0")
        + b"REF".ljust(32, b"\0")
        + b"2026-12-0712:00:00"
        + struct.pack("<QH", 123456789, 1)
        + bytes(254)
        + b"A=PCM,F=48000\r\n",
        b"iXML": b'<?xml version="1.0"?><BWFXML><PROJECT>test</PROJECT></BWFXML>',
        b"cue ": struct.pack("<I", 1) + struct.pack("<II4sIII", 1, 1000, b"data", 0, 0, 1000),
        b"LIST": b"INFO" + chunk(b"INAM", b"A title\0") + chunk(b"IART", b"Someone\0"),
    }
    body = (
        chunk(b"fmt ", fmt)
        + chunk(b"bext", extra[b"bext"])
        + chunk(b"iXML", extra[b"iXML"])
        + chunk(b"data", samples.tobytes())
        + chunk(b"cue ", extra[b"cue "])
        + chunk(b"LIST", extra[b"LIST"])
    )
    Path(path).write_bytes(b"RIFF" + struct.pack("<I", 4 + len(body)) + b"WAVE" + body)
    return extra


def riff_chunks(path):
    """The chunks of a RIFF or RF64 file by name, and the fmt chunk's mask
    (None for a plain fmt), read here rather than by the code under test."""
    data = Path(path).read_bytes()
    assert data[:4] in (b"RIFF", b"RF64") and data[8:12] == b"WAVE"
    found, position, data_size = {}, 12, None
    while position + 8 <= len(data):
        name, size = (
            data[position : position + 4],
            struct.unpack("<I", data[position + 4 : position + 8])[0],
        )
        if name == b"ds64":
            data_size = struct.unpack("<Q", data[position + 16 : position + 24])[0]
        if name == b"data" and size == 0xFFFFFFFF:
            size = data_size
        found[name] = data[position + 8 : position + 8 + size]
        position += 8 + size + (size & 1)
    fmt = found[b"fmt "]
    mask = struct.unpack("<I", fmt[20:24])[0] if struct.unpack("<H", fmt[:2])[0] == 0xFFFE else None
    return found, mask


def w64_chunks(path):
    data = Path(path).read_bytes()
    found, position = {}, 40
    while position + 24 <= len(data):
        size = struct.unpack("<Q", data[position + 16 : position + 24])[0]
        name = data[position : position + 4]  # Wave64's GUIDs begin with the RIFF name
        found[b"LIST" if name == b"list" else name] = data[position + 24 : position + size]
        position += (size + 7) // 8 * 8
    return found


# -- channels and layouts ----------------------------------------------------


@needs_ffmpeg
@pytest.mark.parametrize("channels", [3, 4, 5, 6, 7, 8])
@pytest.mark.parametrize("extension", ["ogg", "opus"])
def test_lossy_surround_keeps_each_channel_in_its_place(folder, capsys, channels, extension):
    audio = tones(channels)
    write("in.wav", audio, RATE, "PCM_24", "WAVEX")
    code, out, err = run(capsys, "in.wav", "-o", f"out.{extension}", "--threshold-dBFS", "-3")
    assert (code, err) == (0, "")
    decoded = ffmpeg_decode(f"out.{extension}", channels)[: audio.shape[0]]
    # ffmpeg maps the stream's channels to WAV order: each must hold its tone.
    for c in range(channels):
        correlations = [
            abs(np.corrcoef(decoded[4800:-4800, c], audio[4800 : len(decoded) - 4800, k])[0, 1])
            for k in range(channels)
        ]
        assert int(np.argmax(correlations)) == c and correlations[c] > 0.99, (c, correlations)


@needs_ffmpeg
def test_a_51_delivery_to_vorbis_reads_on_target_by_another_meter(folder, capsys):
    pytest.importorskip("pyebur128")
    pytest.importorskip("scipy")  # for the reference meter module's own imports
    from meter_cases import ebur128_integrated

    audio = tones(6) * np.array([1.0, 0.8, 0.6, 1.5, 0.5, 0.3])
    write("in.wav", audio, RATE, "PCM_24", "WAVEX")
    code, out, err = run(capsys, "in.wav", "-o", "out.ogg", "--preset", "streaming")
    assert code == 0
    decoded = ffmpeg_decode("out.ogg", 6)
    reported = float(re.search(r"loudness \S+ -> (\S+) LUFS", out).group(1))
    assert abs(ebur128_integrated(decoded.T, RATE) - reported) < 0.02
    # And our reader puts a Vorbis file's channels back in WAV order.
    assert measure(decoded, RATE, axis=0).integrated_lufs == pytest.approx(reported, abs=0.02)


def test_a_channel_mask_is_kept_and_chunks_are_carried_byte_for_byte(folder, capsys):
    audio = music(RATE, 6, peak=0.9)
    extra = broadcast_wav("bwf.wav", audio)
    for output, reader in (("out.wav", riff_chunks), ("out.rf64", riff_chunks), ("out.w64", None)):
        code, out, err = run(capsys, "bwf.wav", "-o", output, "--threshold-dBFS", "-3")
        assert (code, err) == (0, ""), output
        if reader is None:
            found = w64_chunks(output)
            assert struct.unpack("<I", found[b"fmt "][20:24])[0] == 0x60F
        else:
            found, mask = reader(output)
            assert mask == 0x60F, output
        for name, payload in extra.items():
            assert found[name] == payload, (output, name)
        written, _ = sf.read(output, dtype="float32")
        assert written.shape == audio.shape and np.abs(written).max() <= 10 ** (-3 / 20)


@needs_ffmpeg
def test_ffmpeg_reads_the_layout_and_the_broadcast_fields_of_the_output(folder, capsys):
    broadcast_wav("bwf.wav", music(RATE, 6, peak=0.9))
    assert run(capsys, "bwf.wav", "-o", "out.wav", "--preset", "streaming")[0] == 0
    probe = subprocess.run(
        ["ffprobe", "-hide_banner", "out.wav"], capture_output=True, text=True
    ).stderr
    assert "5.1(side)" in probe and "A description" in probe and "A title" in probe


def test_a_compressed_subtype_the_output_cannot_hold_falls_back(folder, capsys):
    if "MP3" not in sf.available_formats():
        pytest.skip("this libsndfile has no MP3 support")
    write("in.mp3", music(RATE, 2, peak=0.5), RATE, "MPEG_LAYER_III", "MP3")
    code, out, err = run(capsys, "in.mp3", "-o", "out.wav")
    assert (code, err) == (0, "")
    assert out.startswith("in.mp3 -> out.wav (PCM_24: WAV cannot hold MPEG_LAYER_III): ")
    assert sf.info("out.wav").subtype == "PCM_24"


# -- paths -------------------------------------------------------------------


def test_an_output_ending_in_a_separator_is_a_folder(folder, capsys):
    write("in.wav", music(4800, 2), RATE, "FLOAT")
    code, out, err = run(capsys, "in.wav", "-o", "new/folder/")
    assert (code, err) == (0, "")
    assert files_in("new") == ["folder", "folder/in.wav"]


def test_a_figure_that_would_replace_its_own_output_is_refused(folder, capsys):
    write("take.png", music(4800, 2), RATE, "FLOAT", "WAV")  # a WAV, whatever its name says
    code, out, err = run(capsys, "take.png", "--output-dir", "out", "--plot", "out/take.png")
    assert (code, out) == (1, "")
    assert err == "qx-limiter: error: take.png: the figure out/take.png is also its own output\n"
    assert files_in(folder) == ["take.png"]


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")
def test_outputs_that_are_not_files_are_left_alone(folder, capsys):
    write("in.wav", music(4800, 2), RATE, "FLOAT")
    os.mkfifo("pipe.wav")
    for target, kind in (("pipe.wav", "a named pipe"), (os.devnull, "a character device")):
        code, out, err = run(capsys, "in.wav", "-o", target, "--overwrite")
        assert (code, out) == (1, "")
        assert err == (
            f"qx-limiter: error: in.wav: the output {target} is {kind}, not a file; "
            f"qx-limiter replaces only files\n"
        )
    assert stat.S_ISFIFO(os.lstat("pipe.wav").st_mode)
    # A symbolic link is replaced by the output; what it pointed to stays.
    Path("kept.wav").write_bytes(b"earlier")
    os.symlink("kept.wav", "link.wav")
    assert run(capsys, "in.wav", "-o", "link.wav", "--overwrite")[0] == 0
    assert not os.path.islink("link.wav") and Path("kept.wav").read_bytes() == b"earlier"


def test_a_file_that_appears_meanwhile_is_not_replaced(folder, capsys, monkeypatch):
    from qx_limiter_cli import _writing

    write("in.wav", music(4800, 2), RATE, "FLOAT")
    finish = _writing.Encoder.finish

    def finish_while_another_writes(self):
        finish(self)
        Path("out.wav").write_bytes(b"another run's output")

    monkeypatch.setattr(_writing.Encoder, "finish", finish_while_another_writes)
    code, out, err = run(capsys, "in.wav", "-o", "out.wav", "--report", "r.json")
    assert code == 1 and summary(out) == (0, 1)
    assert err == (
        "qx-limiter: error: in.wav: cannot write out.wav (a file of that name "
        "appeared meanwhile; add --overwrite to replace it)\n"
    )
    assert Path("out.wav").read_bytes() == b"another run's output"
    assert files_in(folder) == ["in.wav", "out.wav", "r.json"]


def test_of_two_runs_to_one_new_output_one_writes_it(folder):
    write("in.wav", music(RATE * 20, 2), RATE, "FLOAT")
    runs = [
        subprocess.Popen(
            command("in.wav", "-o", "out.wav", "-q"), stderr=subprocess.PIPE, text=True
        )
        for _ in range(2)
    ]
    results = sorted((process.wait(120), process.stderr.read()) for process in runs)
    assert [code for code, _ in results] == [0, 1], results
    assert results[1][1].startswith("qx-limiter: error: in.wav: ")
    assert files_in(folder) == ["in.wav", "out.wav"]


def test_temporary_files_of_killed_runs_are_removed_by_the_next(folder, capsys):
    write("in.wav", music(4800, 2), RATE, "FLOAT")
    host = socket.gethostname()
    dead = subprocess.Popen([sys.executable, "-c", "pass"])
    dead.wait()
    left = Path(f".out.wav.abcd1234.{host}.{dead.pid}.qx-limiter-part")
    alive = Path(f".out.wav.efgh5678.{host}.{os.getpid()}.qx-limiter-part")
    elsewhere = Path(f".out.wav.ijkl9012.another-host.{dead.pid}.qx-limiter-part")
    for path in (left, alive, elsewhere):
        path.write_bytes(b"partial")
    assert run(capsys, "in.wav", "-o", "out.wav")[0] == 0
    assert not left.exists() and alive.exists() and elsewhere.exists()


def test_a_read_only_file_system_is_named_as_such(folder, capsys, monkeypatch):
    import errno

    from qx_limiter_cli import _planning

    write("in.wav", music(4800, 2), RATE, "FLOAT")
    os.mkdir("frozen")
    real_statvfs, real_access = os.statvfs, os.access
    monkeypatch.setattr(
        _planning.os, "access", lambda path, mode: not mode & os.W_OK and real_access(path, mode)
    )
    monkeypatch.setattr(
        _planning.os,
        "statvfs",
        lambda path: os.statvfs_result(
            real_statvfs(path)[:8] + (os.ST_RDONLY,) + real_statvfs(path)[9:]
        ),
    )
    code, out, err = run(capsys, "in.wav", "-o", "frozen/out.wav")
    assert code == 1
    assert err == (
        f"qx-limiter: error: cannot write into frozen: frozen is not writable "
        f"({os.strerror(errno.EROFS)})\n"
    )


# -- options and texts ---------------------------------------------------------


@pytest.mark.parametrize(
    "args, ceiling",
    [
        (["--true-peak", "-1.5"], -1.5),
        (["--true-peak=-2"], -2.0),
        (["--true-peak"], 0.0),
        (["--threshold-dBFS", "-1e300"], -1e300),
    ],
)
def test_ceilings_written_as_numbers_are_taken_as_values(folder, capsys, args, ceiling):
    write("in.wav", music(4800, 2), RATE, "FLOAT")
    code, out, err = run(capsys, "in.wav", *args, "-o", "out.wav", "--report", "r.json")
    assert (code, err) == (0, "")
    import json

    [entry] = json.loads(Path("r.json").read_text())
    assert entry["settings"]["threshold_dBFS"] == ceiling
    assert entry["settings"]["true_peak"] == args[0].startswith("--true-peak")


def test_a_ceiling_given_twice_is_refused(folder, capsys):
    code, out, err = run(
        capsys, "in.wav", "-o", "o.wav", "--true-peak", "-1", "--threshold-dBFS", "-2"
    )
    assert (code, out) == (2, "")
    assert err == (
        "qx-limiter: error: the ceiling is given twice, with --true-peak and "
        "--threshold-dBFS; give it once\n"
    )


def test_a_warning_names_the_users_own_ceiling(folder, capsys):
    # Hard-clipped noise into a lossy codec: the file is encoded again under
    # lower internal ceilings, and the loudness is out of reach.
    rng = np.random.default_rng(7)
    write("dense.wav", np.clip(rng.standard_normal((RATE * 3, 2)) * 2, -1, 1), RATE, "FLOAT")
    code, out, err = run(
        capsys, "dense.wav", "-o", "out.ogg", "--loudness", "-3", "--true-peak", "-0.5"
    )
    assert code == 0
    figures = re.findall(r"(-?\d+(?:\.\d+)?) dBTP ceiling", err)
    assert figures and set(figures) == {"-0.5"}, err


def test_master_stops_raising_the_gain_when_the_limiter_takes_most_of_it():
    # Dense mono music asked for far more than it can give under the
    # ceiling: the gain stops where a further dB stops adding half a LU, as
    # the limiter itself measures it on either side.
    from qx_limiter_tools import gain_factor
    from qx_limiter_tools import limit as limit_waveform

    x = song(44100, 20, channels=1, level_db=-20, seed=1)[:, 0].astype(np.float32)
    done = master(x, 44100, loudness_lufs=-6, ceiling_dbtp=-0.5)
    assert not done.loudness_reached
    assert re.fullmatch(
        r"-6 LUFS cannot be reached under a -0.5 dBTP ceiling without heavy "
        r"limiting: beyond about -\d+\.\d\d LUFS, a further dB of gain adds less "
        r"than 0\.5 LU, the rest limited away",
        done.note,
    ), done.note

    def loudness(gain_db):
        out, _ = limit_waveform(x * gain_factor(gain_db), 44100, -0.55)
        return measure(out, 44100).integrated_lufs

    here = loudness(done.gain_db)
    assert here - loudness(done.gain_db - 1.0) > 0.5 > loudness(done.gain_db + 1.0) - here


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (
            {"ceiling_dbtp": float("nan")},
            "ceiling_dbtp must be a finite dBTP value at most 0, got nan",
        ),
        ({"ceiling_dbtp": 1.0}, "ceiling_dbtp must be a finite dBTP value at most 0, got 1.0"),
        (
            {"loudness_lufs": float("nan")},
            "loudness_lufs must be a LUFS value from -70 to 0, or None, got nan",
        ),
        (
            {"loudness_lufs": float("inf")},
            "loudness_lufs must be a LUFS value from -70 to 0, or None, got inf",
        ),
        (
            {"loudness_lufs": 1e308},
            "loudness_lufs must be a LUFS value from -70 to 0, or None, got 1e+308",
        ),
    ],
)
def test_master_refuses_targets_it_cannot_deliver_to(kwargs, message):
    with pytest.raises(ValueError) as error:
        master(np.zeros((2, 4800), np.float32), RATE, **kwargs)
    assert str(error.value) == message


def test_master_says_a_silent_output_has_no_loudness():
    x = np.random.default_rng(0).standard_normal((2, RATE * 5))
    done = master(x, RATE, loudness_lufs=-14, ceiling_dbtp=-200)
    assert (
        not done.loudness_reached and done.note == "the output has no loudness to measure (silence)"
    )


def test_every_tool_names_the_earliest_bad_sample(folder, capsys):
    x = music(RATE, 2)
    x[30000, 0], x[20000, 1] = np.nan, np.inf
    expected = "input sample at frame 20000, channel 1 is not finite"
    for call in (
        lambda: measure(x, RATE, axis=0),
        lambda: Meter(RATE, 2).add(x, axis=0),
        lambda: StreamLimiter(RATE).process(x, axis=0),
        lambda: StreamLimiter(RATE, true_peak=True).process(x.T),
    ):
        with pytest.raises(ValueError) as error:
            call()
        assert str(error.value) == expected
    write("bad.wav", x, RATE, "FLOAT")
    for options in ([], ["--report", "r.json"], ["--preset", "streaming"], ["--loudness", "-20"]):
        code, out, err = run(capsys, "bad.wav", "-o", "out.wav", *options)
        assert err == (
            "qx-limiter: error: bad.wav: sample at frame 20000 (0.417 s), channel 1 "
            "is not finite\n"
        ), options


# -- damaged inputs, decoder noise and stops -------------------------------------


def wav_header(channels, rate, frames, bits=16):
    size = frames * channels * bits // 8
    return (
        b"RIFF"
        + struct.pack("<I", 36 + size)
        + b"WAVE"
        + b"fmt "
        + struct.pack(
            "<IHHIIHH",
            16,
            1,
            channels,
            rate,
            (rate * channels * bits // 8) & 0xFFFFFFFF,
            (channels * bits // 8) & 0xFFFF,
            bits,
        )
        + b"data"
        + struct.pack("<I", size)
    )


def test_a_crafted_header_is_refused_in_one_line(folder):
    Path("crafted.wav").write_bytes(wav_header(1024, 2147483647, 100))
    done = subprocess.run(
        command("crafted.wav", "-o", "out.wav", "--allow-truncated"),
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == (
        "qx-limiter: error: crafted.wav: its sample rate, 2147483647 Hz, is "
        "beyond what qx-limiter takes (768000 Hz at most)\n"
    )


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer needs far more address space",
)
def test_many_channels_stream_in_bounded_memory(folder, capsys):
    Path("many.wav").write_bytes(wav_header(1024, RATE, RATE) + bytes(RATE * 1024 * 2))
    done = subprocess.run(
        [
            "/usr/bin/env",
            "bash",
            "-c",
            'ulimit -v 2000000 && exec "$@"',
            "-",
            *command("many.wav", "-o", "out.wav", "--preset", "streaming", "-q"),
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    assert sf.info("out.wav").channels == 1024


def test_the_mp3_decoders_messages_become_one_warning(folder):
    if "MP3" not in sf.available_formats():
        pytest.skip("this libsndfile has no MP3 support")
    write("clean.mp3", music(RATE * 3, 2, peak=0.5), RATE, "MPEG_LAYER_III", "MP3")
    data = bytearray(Path("clean.mp3").read_bytes())
    rng = np.random.default_rng(0)
    for at in rng.integers(2000, len(data), 1000):
        data[at] ^= 0xFF
    Path("bad.mp3").write_bytes(bytes(data))
    done = subprocess.run(
        command("bad.mp3", "-o", "out.wav", "-q", "--allow-truncated"),
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (done.returncode, done.stdout) == (0, "")
    lines = done.stderr.splitlines()
    noise = [line for line in lines if "the MP3 decoder reported" in line]
    assert len(noise) == 1 and noise[0].startswith(
        "qx-limiter: warning: bad.mp3: the MP3 decoder reported "
    ), lines
    assert not any("libmpg123" in line or line.startswith("Note:") for line in lines), lines


THE_LOCK_IS_HELD = """
import os, signal, sys, threading, time
from qx_limiter_cli import _pipeline, main
_pipeline.CHUNK_FRAMES = 1024
enter = threading.Condition.__enter__
entered = 0
MAIN = threading.get_ident()

def enter_then_signal(self):
    # The signal arrives just after a queue's lock is taken, before the
    # `with` that would release it has begun (well into the streaming).
    global entered
    got = enter(self)
    if threading.get_ident() == MAIN:
        entered += 1
        if entered == {at}:
            os.kill(os.getpid(), signal.{name})
            time.sleep(0.01)
    return got

threading.Condition.__enter__ = enter_then_signal
sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.skipif(not hasattr(signal, "SIGHUP"), reason="needs POSIX signals")
@pytest.mark.parametrize("name, at", [("SIGINT", 200), ("SIGTERM", 800)])
def test_a_stop_while_a_queue_is_locked_still_ends_the_run(folder, name, at):
    write("in.wav", music(RATE * 30, 2), RATE, "FLOAT")
    started = time.monotonic()
    code = THE_LOCK_IS_HELD.replace("{name}", name).replace("{at}", str(at))
    done = subprocess.run(
        [sys.executable, "-c", code, "in.wav", "-o", "out.wav", "--preset", "streaming"],
        capture_output=True,
        text=True,
        timeout=60,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    assert done.returncode == 128 + getattr(signal, name), done.stderr
    assert time.monotonic() - started < 30
    assert files_in(folder) == ["in.wav"]


def test_malformed_files_fail_cleanly_and_leave_earlier_outputs_alone(folder, capsys):
    """A seeded batch of damaged files: every run ends in 0 or 1 without a
    traceback, leaves no temporary file, and a failed run keeps the output
    that an earlier run wrote."""
    rng = np.random.default_rng(2026)
    sources = {}
    for extension, subtype in (
        ("wav", "PCM_16"),
        ("wav", "FLOAT"),
        ("flac", "PCM_24"),
        ("ogg", "VORBIS"),
        ("aiff", "PCM_16"),
    ):
        path = write(f"src.{subtype}.{extension}", music(4800, 2, peak=0.9), RATE, subtype)
        sources[path] = path.read_bytes()
    os.mkdir("out")
    earlier = b"an earlier output"
    statuses = []
    for n in range(240):
        path, data = list(sources.items())[n % len(sources)]
        data = bytearray(data)
        kind = n % 4
        if kind == 0:  # cut anywhere
            data = data[: int(rng.integers(0, len(data)))]
        elif kind == 1:  # header fields overwritten
            for at in rng.integers(0, min(64, len(data)), 4):
                data[at] = int(rng.integers(0, 256))
        elif kind == 2:  # bytes flipped anywhere
            for at in rng.integers(0, len(data), 16):
                data[at] ^= 0xFF
        else:  # a size claimed larger than the file
            data[4:8] = struct.pack("<I", 0xFFFFFFF0)
        name = f"bad{n}{path.suffix}"
        Path(name).write_bytes(bytes(data))
        target = Path("out") / f"bad{n}.wav"
        target.write_bytes(earlier)
        options = (["--preset", "streaming"], [], ["--true-peak", "--allow-truncated"])[n % 3]
        code, out, err = run(capsys, name, "-o", target, "--overwrite", "-q", *options)
        statuses.append(code)
        assert code in (0, 1), (name, err)
        assert "Traceback" not in err
        if code == 1:
            assert target.read_bytes() == earlier, name
    assert not [name for name in files_in("out") if "qx-limiter-part" in name]
    assert statuses.count(0) and statuses.count(1)
