"""qx-limiter delivering lossy and media outputs, against ffmpeg decoding and
encoding the same file at the same bit rate.

    python bench/bench_media.py [--cases mp3 vorbis aac] [--aac-minutes 60]
                                [--repeats 2] [--folder DIR]

Targets: a lossy output costs about what its encoder costs, at most 1.5x
ffmpeg's own decode and encode of the same file at the same bit rate, the
ceiling verified on the decoded output; a 60-minute AAC 256k delivery
(`--preset streaming --codec aac --bitrate 256k`) at most 1.5x
`ffmpeg -i IN -c:a aac -b:a 256k OUT`, in bounded memory.

Cases (the inputs generated once, kept in --folder):
- mp3: a 49-second MP3 (320k) delivered as MP3 at 320k, by libsndfile's
  path (`-o out.mp3`) and by PyAV's (`--bitrate 320k`);
- vorbis: a 3:48 WAV delivered as Ogg Vorbis (libsndfile), against ffmpeg's
  libvorbis (where ffmpeg has it) at its default quality;
- aac: a WAV of --aac-minutes delivered as M4A at AAC 256k.

Each command runs as a child process; wall time and its own peak resident
memory (through GNU time where installed) are printed, the best of
--repeats, with the ratio to ffmpeg's best, and the decoded output's true
peak as this meter reads it. The machine is shared: state its load.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from qx_limiter_tools import Meter  # noqa: E402

from bench_long_file import RATE, make_file, run_child  # noqa: E402


def _qx() -> str:
    return shutil.which("qx-limiter", path=os.path.dirname(sys.executable)) or "qx-limiter"


def decoded_true_peak(path: Path) -> float:
    """The output decoded by ffmpeg, a block at a time, through the meter."""
    meter = Meter(RATE, 2)
    with subprocess.Popen(
        [
            "ffmpeg",
            "-v",
            "error",
            "-i",
            str(path),
            "-f",
            "f32le",
            "-ac",
            "2",
            "-ar",
            str(RATE),
            "-",
        ],
        stdout=subprocess.PIPE,
    ) as decoder:
        assert decoder.stdout is not None
        while block := decoder.stdout.read(1 << 20):
            meter.add(np.frombuffer(block, np.float32).reshape(-1, 2), axis=0)
    return meter.result().true_peak_dbtp


def timed(
    name: str, command: list[str], output: Path, repeats: int, yardstick: float | None
) -> float:
    best, memory = float("inf"), 0.0
    for _ in range(repeats):
        if output.exists():
            output.unlink()
        wall, megabytes = run_child(command)
        best, memory = min(best, wall), max(memory, megabytes)
    ratio = f"{best / yardstick:.2f}x" if yardstick else "1.00x"
    print(
        f"| {name} | {best:.2f} | {ratio} | {memory:.0f} | {decoded_true_peak(output):+.2f} |",
        flush=True,
    )
    return best


def header(title: str) -> None:
    print(
        f"\n{title}\n\n| command | wall (s) | x ffmpeg | peak memory (MB) | decoded true "
        f"peak (dBTP) |\n| --- | --- | --- | --- | --- |",
        flush=True,
    )


def bench_mp3(folder: Path, repeats: int) -> None:
    wav = make_file(folder / "mp3-source.wav", 49 / 60)
    source = folder / "input.mp3"
    if not source.exists():
        subprocess.run(
            [
                "ffmpeg",
                "-v",
                "error",
                "-y",
                "-i",
                str(wav),
                "-c:a",
                "libmp3lame",
                "-b:a",
                "320k",
                str(source),
            ],
            check=True,
        )
    out = folder / "out.mp3"
    header("49 s MP3 320k delivered as MP3 (--preset streaming)")
    base = timed(
        "ffmpeg -i IN -c:a libmp3lame -b:a 320k OUT",
        [
            "ffmpeg",
            "-v",
            "error",
            "-y",
            "-i",
            str(source),
            "-c:a",
            "libmp3lame",
            "-b:a",
            "320k",
            str(out),
        ],
        out,
        repeats,
        None,
    )
    timed(
        "qx-limiter IN -o OUT.mp3 --preset streaming (libsndfile)",
        [_qx(), str(source), "-o", str(out), "--preset", "streaming", "-q"],
        out,
        repeats,
        base,
    )
    timed(
        "qx-limiter ... --bitrate 320k (PyAV)",
        [_qx(), str(source), "-o", str(out), "--preset", "streaming", "--bitrate", "320k", "-q"],
        out,
        repeats,
        base,
    )


def bench_vorbis(folder: Path, repeats: int) -> None:
    source = make_file(folder / "vorbis-source.wav", 3.8)
    out = folder / "out.ogg"
    header("3:48 WAV delivered as Ogg Vorbis (--preset streaming)")
    base = timed(
        "ffmpeg -i IN -c:a libvorbis OUT",
        ["ffmpeg", "-v", "error", "-y", "-i", str(source), "-c:a", "libvorbis", str(out)],
        out,
        repeats,
        None,
    )
    timed(
        "qx-limiter IN -o OUT.ogg --preset streaming",
        [_qx(), str(source), "-o", str(out), "--preset", "streaming", "-q"],
        out,
        repeats,
        base,
    )


def bench_aac(folder: Path, minutes: float, repeats: int) -> None:
    source = make_file(folder / f"aac-source-{minutes:g}.wav", minutes)
    out = folder / "out.m4a"
    header(f"{minutes:g} minutes of WAV delivered as M4A, AAC 256k")
    base = timed(
        "ffmpeg -i IN -c:a aac -b:a 256k OUT",
        ["ffmpeg", "-v", "error", "-y", "-i", str(source), "-c:a", "aac", "-b:a", "256k", str(out)],
        out,
        repeats,
        None,
    )
    timed(
        "qx-limiter IN -o OUT.m4a --preset streaming --codec aac --bitrate 256k",
        [
            _qx(),
            str(source),
            "-o",
            str(out),
            "--preset",
            "streaming",
            "--codec",
            "aac",
            "--bitrate",
            "256k",
            "-q",
        ],
        out,
        repeats,
        base,
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--cases", nargs="+", default=["mp3", "vorbis", "aac"], choices=["mp3", "vorbis", "aac"]
    )
    parser.add_argument("--aac-minutes", type=float, default=60.0)
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--folder", type=Path)
    args = parser.parse_args()
    if shutil.which("ffmpeg") is None:
        sys.exit("needs ffmpeg")
    folder = args.folder or Path(tempfile.mkdtemp(prefix="qx-bench-media."))
    folder.mkdir(parents=True, exist_ok=True)
    print(
        f"load average: {' '.join(f'{x:.2f}' for x in os.getloadavg())}; "
        f"{os.cpu_count()} cores; files in {folder}"
    )
    if "mp3" in args.cases:
        bench_mp3(folder, args.repeats)
    if "vorbis" in args.cases:
        bench_vorbis(folder, args.repeats)
    if "aac" in args.cases:
        bench_aac(folder, args.aac_minutes, args.repeats)
    print(f"\nload average after: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
