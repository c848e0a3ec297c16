"""qx-limiter on long files against ffmpeg, and StreamLimiter against limit().

    python bench/bench_long_file.py [--minutes 60 180] [--repeats 3] [--folder DIR]
                                    [--stream-seconds 300] [--skip-files] [--stages]

Long files: writes a music-like stereo 48 kHz PCM_24 WAV of each length
(a chunk at a time, so the generator's own memory stays small; kept in
--folder between runs), then times, interleaved, `repeats` times each:

- `ffmpeg -i IN -c:a pcm_s24le OUT`: decoding and encoding alone, the yardstick;
- `ffmpeg -i IN -af alimiter=... -c:a pcm_s24le OUT`: ffmpeg's own limiter at
  the same settings, for reference;
- `qx-limiter IN -o OUT --threshold-dBFS -1`: one limiting pass, the limiter
  alone (sample peaks);
- the same with `--true-peak`: the verified true-peak ceiling, one pass of
  the waveform detection, written and verified (more where the meter reads
  over);
- `--preset streaming`: -14 LUFS under -1 dBTP: one reading to measure the
  input and its loudness profile, then the writing passes the delivery
  plan asks for (their count is printed).

Each command runs as a child process; its wall time and its own peak
resident memory are taken (through GNU time where it is installed). Outputs are removed before
every run, so no tool pays for replacing an existing file (ext4 flushes a
file written over another to disk). Printed: the best and the median wall
time, the largest peak memory and each time over ffmpeg's best.

StreamLimiter: 300 s of stereo at 48 kHz fed in 1-second chunks, against
one limit() call on the whole signal, channels-first and frames-first, in
both detection modes (best of `repeats`).

--stages times each step of the command line's pipeline on its own, in one
thread (per hour of audio, CPU time), beside libsndfile's own conversions:
where the time goes. The machine is shared: compare figures of one run.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import numpy.typing as npt
import soundfile as sf
from qx_limiter import limit

from qx_limiter_tools import StreamLimiter

RATE = 48000
BAR_SECONDS = 8  # the pattern that the generated music repeats


def _pattern() -> npt.NDArray[np.float32]:
    """One bar: a kick twice a second, a chord with a swell and a bass line,
    between -1 and 1 with full-scale peaks on the kicks."""
    t = np.arange(BAR_SECONDS * RATE) / RATE
    beat = np.exp(-((t * 2.0) % 1.0) * 12.0)
    kick = np.sin(2 * np.pi * 55.0 * t) * beat * 0.9
    chord = (
        sum(
            np.sin(2 * np.pi * f * t + p)
            for f, p in ((220.0, 0.0), (277.2, 1.0), (329.6, 2.0), (440.0, 0.5))
        )
        * 0.12
    )
    swell = 0.6 + 0.4 * np.sin(2 * np.pi * t / BAR_SECONDS)
    bass = np.sin(2 * np.pi * 82.4 * t) * 0.15
    left = kick + chord * swell + bass
    right = kick + np.roll(chord, 7) * swell * 0.9 + bass
    return np.stack([left, right], axis=1).astype(np.float32)


def make_file(path: Path, minutes: float) -> Path:
    """The music-like file, written a bar at a time with fresh noise."""
    frames = int(minutes * 60 * RATE)
    if path.exists() and sf.info(str(path)).frames == frames:
        return path
    bar = _pattern()
    rng = np.random.default_rng(0)
    with sf.SoundFile(str(path) + ".part", "w", RATE, 2, "PCM_24", format="WAV") as file:
        for start in range(0, frames, bar.shape[0]):
            count = min(bar.shape[0], frames - start)
            noise = rng.standard_normal((count, 2), dtype=np.float32) * np.float32(0.03)
            gain = np.float32(0.8 + 0.25 * np.sin(start / RATE / 97.0))
            file.write(np.clip(bar[:count] * gain + noise, -1.0, 1.0 - 2.0**-23))
    os.replace(str(path) + ".part", path)
    return path


def run_child(command: list[str]) -> tuple[float, float]:
    """Wall seconds and the child's own peak resident memory in MB.

    Not wait4's ru_maxrss: a child started from this process counts this
    process's memory too (the high-water mark survives exec). GNU time
    starts the command from a small process of its own and reports the
    command's; without it, the command's VmHWM is sampled while it runs."""
    timer = shutil.which("time", path="/usr/bin:/bin")
    with tempfile.NamedTemporaryFile("r") as report:
        wrapped = [timer, "-q", "-f", "%M", "-o", report.name, *command] if timer else command
        started = time.perf_counter()
        process = subprocess.Popen(wrapped, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        sampled = 0
        while process.poll() is None:
            if not timer:
                sampled = max(sampled, _high_water_kb(process.pid))
            time.sleep(0.01)
        wall = time.perf_counter() - started
        error = process.stderr.read().decode() if process.stderr else ""
        if process.returncode != 0:
            sys.exit(f"{command[0]} failed ({process.returncode}): {error}")
        kilobytes = int(report.read().split()[-1]) if timer else sampled
    return wall, kilobytes / 1024


def _high_water_kb(pid: int) -> int:
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def bench_files(folder: Path, minutes: list[float], repeats: int) -> None:
    ffmpeg = shutil.which("ffmpeg")
    qx = shutil.which("qx-limiter", path=os.path.dirname(sys.executable)) or "qx-limiter"
    for length in minutes:
        source = make_file(folder / f"music-{length:g}min.wav", length)
        output = folder / "out.wav"
        commands: dict[str, list[str]] = {}
        if ffmpeg:
            decode = [ffmpeg, "-nostdin", "-y", "-loglevel", "error", "-i", str(source)]
            encode = ["-c:a", "pcm_s24le", str(output)]
            commands["ffmpeg decode+encode"] = decode + encode
            limiter = "alimiter=limit=0.891:attack=5:release=40:latency=1"
            commands["ffmpeg alimiter"] = decode + ["-af", limiter] + encode
        commands["qx-limiter"] = [qx, str(source), "-o", str(output), "--threshold-dBFS", "-1"]
        commands["qx-limiter --true-peak"] = commands["qx-limiter"] + ["--true-peak"]
        commands["qx-limiter --preset streaming"] = [
            qx,
            str(source),
            "-o",
            str(output),
            "--preset",
            "streaming",
            "--report",
            str(folder / "report.json"),
            "--overwrite",
        ]
        runs: dict[str, list[tuple[float, float]]] = {name: [] for name in commands}
        for _ in range(repeats):
            for name, command in commands.items():
                output.unlink(missing_ok=True)
                runs[name].append(run_child(command))
        output.unlink(missing_ok=True)
        base = min(wall for wall, _ in runs["ffmpeg decode+encode"]) if ffmpeg else None
        print(
            f"\n{length:g} min stereo {RATE} Hz PCM_24 WAV "
            f"({source.stat().st_size / 1e9:.2f} GB), {repeats} runs each:\n"
        )
        print("| command | best s | median s | peak MB | best / ffmpeg decode+encode |")
        print("|---|---:|---:|---:|---:|")
        for name, results in runs.items():
            walls = [wall for wall, _ in results]
            ratio = f"{min(walls) / base:.2f}x" if base else "-"
            print(
                f"| {name} | {min(walls):.2f} | {statistics.median(walls):.2f} | "
                f"{max(memory for _, memory in results):.0f} | {ratio} |"
            )
        report = folder / "report.json"
        if report.exists():
            # The delivery reads the input once to decide, once per pass to write.
            [record] = json.loads(report.read_text())
            print(
                f"\n--preset streaming: {record['passes']} pass(es), the input read "
                f"{1 + record['passes']} times; reached {record['after']['integrated_lufs']:.2f} "
                f"LUFS, {record['after']['true_peak_dbtp']:+.2f} dBTP"
            )
            report.unlink()


def best_of(repeats: int, work: Callable[[], object]) -> float:
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        work()
        times.append(time.perf_counter() - started)
    return min(times)


def streamed(audio: npt.NDArray[np.float32], axis: int, true_peak: bool) -> None:
    stream = StreamLimiter(RATE, -1.0, true_peak=true_peak)
    frames = audio.shape[axis]
    for start in range(0, frames, RATE):
        stream.process(
            audio[start : start + RATE] if axis == 0 else audio[:, start : start + RATE], axis=axis
        )
    stream.flush()


def bench_stream(seconds: float, repeats: int) -> None:
    rng = np.random.default_rng(1)
    frames = int(seconds * RATE)
    planar = (rng.standard_normal((2, frames)) * 0.4).astype(np.float32)
    interleaved = np.ascontiguousarray(planar.T)
    print(
        f"\nStreamLimiter, 1 s chunks, against one limit() call: {seconds:g} s stereo "
        f"{RATE} Hz, best of {repeats}:\n"
    )
    print("| layout | detection | limit() s | StreamLimiter s | ratio |")
    print("|---|---|---:|---:|---:|")
    for name, audio, axis in (("channels-first", planar, 1), ("frames-first", interleaved, 0)):
        for true_peak in (False, True):
            # Timed here and now: each closure runs before the loop moves on.
            whole = best_of(
                repeats,
                lambda: limit(audio, RATE, -1.0, true_peak=true_peak, axis=axis),  # noqa: B023
            )
            chunked = best_of(repeats, lambda: streamed(audio, axis, true_peak))  # noqa: B023
            mode = "true peak" if true_peak else "sample peak"
            print(f"| {name} | {mode} | {whole:.3f} | {chunked:.3f} | {chunked / whole:.2f} |")


class _Steps:
    """CPU time of this thread, step by step."""

    def __init__(self) -> None:
        self.seconds: dict[str, float] = {}
        self._name = ""

    def __call__(self, name: str) -> _Steps:
        self._name = name
        return self

    def __enter__(self) -> None:
        self._started = time.thread_time()

    def __exit__(self, *_: object) -> None:
        spent = time.thread_time() - self._started
        self.seconds[self._name] = self.seconds.get(self._name, 0.0) + spent


def bench_stages(folder: Path) -> None:
    """Each step of the pipeline alone, in this thread, over 10 minutes."""
    from qx_limiter_cli._pcm import packer
    from qx_limiter_cli._quantise import Quantiser, peak
    from qx_limiter_cli._reading import InputReader

    source = make_file(folder / "music-10min.wav", 10)
    chunk = 1 << 16
    step = _Steps()
    reader = InputReader(source)
    buffer = np.empty((chunk, 2), dtype=np.float32)
    limiter = StreamLimiter(RATE, -1.0, true_peak=True)
    quantiser = Quantiser("PCM_24", limiter.threshold)
    pack = packer("WAV", "PCM_24")
    assert pack is not None
    chunks = reader.chunks(reader.promised, lambda: buffer)
    with tempfile.TemporaryFile() as sink:
        while True:
            with step("read as bytes, converted by NumPy"):
                piece = next(chunks, None)
            if piece is None:
                break
            with step("input peak"):
                peak(piece)
            with step("StreamLimiter, true peak"):
                audio, gains = limiter.process(piece, axis=0)
            with step("gain figures"):
                gains.min(), np.count_nonzero(gains < np.float32(0.99))
            with step("quantise to 24 bits"):
                stored = quantiser(audio)
            with step("pack 24-bit bytes"):
                packed = pack(stored)  # type: ignore[arg-type]
            with step("write the bytes"):
                sink.write(memoryview(packed))
    with sf.SoundFile(str(source)) as file, step("for comparison: libsndfile's read"):
        while file.read(out=buffer).shape[0]:
            pass
    data = np.zeros((chunk, 2), dtype=np.int32)
    with (
        tempfile.NamedTemporaryFile(suffix=".wav") as target,
        sf.SoundFile(target.name, "w", RATE, 2, "PCM_24") as file,
        step("for comparison: libsndfile's write"),
    ):
        for _ in range(10 * 60 * RATE // chunk):
            file.write(data)
    print(
        "\nOne step at a time, CPU seconds per hour of stereo 48 kHz PCM_24 "
        "(measured over 10 min):\n"
    )
    print("| step | s per hour |")
    print("|---|---:|")
    for name, seconds in step.seconds.items():
        print(f"| {name} | {seconds * 6:.2f} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--minutes", type=float, nargs="+", default=[60.0, 180.0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument(
        "--folder",
        type=Path,
        default=None,
        help="where the generated files are kept (default: a temporary folder)",
    )
    parser.add_argument("--stream-seconds", type=float, default=300.0)
    parser.add_argument("--skip-files", action="store_true", help="only StreamLimiter")
    parser.add_argument("--stages", action="store_true", help="also time each step alone")
    options = parser.parse_args()
    print(
        f"{datetime.date.today()}, {platform.processor() or platform.machine()}, "
        f"{os.cpu_count()} cores, load {os.getloadavg()[0]:.2f}"
    )
    with tempfile.TemporaryDirectory() as temporary:
        folder = options.folder or Path(temporary)
        folder.mkdir(parents=True, exist_ok=True)
        if not options.skip_files:
            bench_files(folder, options.minutes, options.repeats)
        bench_stream(options.stream_seconds, options.repeats)
        if options.stages:
            bench_stages(folder)


if __name__ == "__main__":
    main()
