"""Delivering a file to -14 LUFS / -1 dBTP as 24-bit FLAC: qx-limiter against
what people use, each run as a black box; and master() against one limit().

    python bench/bench_deliver.py [--seconds 300] [--repeats 3] [--keep DIR]

The input: `seconds` of stereo 48 kHz music-like audio (meter_oracle's
music_like: modulated tones and decaying noise bursts, soft-saturated),
brought to about -16 LUFS and written as a 24-bit WAV. Each tool writes a
24-bit FLAC:

- qx-limiter --preset streaming;
- ffmpeg's loudnorm in two passes: the measuring pass (print_format=json),
  then the linear pass with the measured values, at the input's rate
  (-ar 48000);
- pedalboard: the gain to the target measured by qx_limiter_tools.measure,
  then pedalboard.BrickwallLimiter(ceiling_db=-1, true_peak=True), read and
  written with soundfile.

Each command runs in a process of its own (the median wall time of the
repeats, start-up included). Every output is decoded and read by libebur128
(pyebur128): integrated loudness and true peak, and their errors against
the target (true peak: how far over the ceiling, + when over).

Then master(loudness_lufs=-14, ceiling_dbtp=-1) and one
limit(..., true_peak=True) on the same audio in memory (median of the
repeats), and their ratio.
"""

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import soundfile as sf

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "reference"))
from meter_oracle import music_like  # noqa: E402

RATE = 48000
TARGET_LUFS, CEILING_DBTP = -14.0, -1.0
INPUT_LUFS = -16.0

PEDALBOARD = """
import sys
import numpy as np, soundfile as sf, pedalboard
from qx_limiter_tools import measure
audio, rate = sf.read(sys.argv[1], dtype="float32", always_2d=True)
gain = 10 ** ((-14.0 - measure(audio, rate, axis=0).integrated_lufs) / 20)
board = pedalboard.Pedalboard([pedalboard.Gain(gain_db=20 * np.log10(gain)),
                               pedalboard.BrickwallLimiter(ceiling_db=-1.0, true_peak=True)])
out = board(audio.T.copy(), rate)
sf.write(sys.argv[2], out.T, rate, subtype="PCM_24", format="FLAC")
"""


def make_input(path, seconds):
    from qx_limiter_tools import measure

    audio = music_like(RATE, seconds)
    gain = 10 ** ((INPUT_LUFS - measure(audio, RATE).integrated_lufs) / 20)
    audio = np.clip(audio * np.float32(gain), -1.0, 1.0 - 2.0**-23)
    sf.write(path, audio.T, RATE, subtype="PCM_24")
    return audio


def qx_limiter(source, target):
    command = shutil.which("qx-limiter") or os.path.join(
        os.path.dirname(sys.executable), "qx-limiter"
    )
    subprocess.run(
        [
            command,
            source,
            "-o",
            target,
            "--preset",
            "streaming",
            "--subtype",
            "PCM_24",
            "--overwrite",
            "-q",
        ],
        check=True,
    )


def ffmpeg_loudnorm(source, target):
    settings = f"I={TARGET_LUFS:g}:TP={CEILING_DBTP:g}:LRA=11"
    first = subprocess.run(
        [
            "ffmpeg",
            "-hide_banner",
            "-nostats",
            "-i",
            source,
            "-af",
            f"loudnorm={settings}:print_format=json",
            "-f",
            "null",
            "-",
        ],
        check=True,
        capture_output=True,
        text=True,
    )
    found = json.loads(re.search(r"\{[^{}]*\}\s*$", first.stderr).group(0))
    measured = (
        f"measured_I={found['input_i']}:measured_TP={found['input_tp']}:"
        f"measured_LRA={found['input_lra']}:measured_thresh={found['input_thresh']}:"
        f"offset={found['target_offset']}:linear=true"
    )
    subprocess.run(
        [
            "ffmpeg",
            "-hide_banner",
            "-nostats",
            "-loglevel",
            "error",
            "-y",
            "-i",
            source,
            "-af",
            f"loudnorm={settings}:{measured}:print_format=summary",
            "-ar",
            str(RATE),
            "-c:a",
            "flac",
            "-sample_fmt",
            "s32",
            "-bits_per_raw_sample",
            "24",
            target,
        ],
        check=True,
    )


def pedalboard_limiter(source, target):
    subprocess.run([sys.executable, "-c", PEDALBOARD, source, target], check=True)


def ebur128(path):
    import pyebur128

    audio, rate = sf.read(path, dtype="float64", always_2d=True)
    state = pyebur128.R128State(
        audio.shape[1],
        rate,
        int(pyebur128.MeasurementMode.MODE_I | pyebur128.MeasurementMode.MODE_TRUE_PEAK),
    )
    state.add_frames(np.ascontiguousarray(audio).ravel(), audio.shape[0])
    peak = max(pyebur128.get_true_peak(state, c) for c in range(audio.shape[1]))
    info = sf.info(path)
    return pyebur128.get_loudness_global(state), 20 * np.log10(peak), info


def median_time(run, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=300)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--keep", help="write the input and outputs into this folder")
    args = parser.parse_args()

    folder = args.keep or tempfile.mkdtemp(prefix="bench-deliver-")
    os.makedirs(folder, exist_ok=True)
    source = os.path.join(folder, "input.wav")
    audio = make_input(source, args.seconds)
    before, before_tp, _ = ebur128(source)
    print(
        f"{args.seconds} s stereo {RATE} Hz music-like, 24-bit WAV: {before:.2f} LUFS, "
        f"{before_tp:+.2f} dBTP (libebur128); to {TARGET_LUFS:g} LUFS / "
        f"{CEILING_DBTP:g} dBTP as 24-bit FLAC; median of {args.repeats} runs"
    )
    print()
    print(
        "| tool | wall time (s) | × qx-limiter | integrated (LUFS) | error (LU) "
        "| true peak (dBTP) | over the ceiling (dB) |"
    )
    print("|---|---|---|---|---|---|---|")
    tools = [
        ("qx-limiter --preset streaming", qx_limiter),
        ("ffmpeg loudnorm, two passes (linear)", ffmpeg_loudnorm),
        ("pedalboard: gain, BrickwallLimiter(true_peak=True)", pedalboard_limiter),
    ]
    ours = None
    for index, (name, run) in enumerate(tools):
        target = os.path.join(folder, f"out{index}.flac")
        try:
            seconds = median_time(lambda run=run, target=target: run(source, target), args.repeats)
        except (OSError, subprocess.CalledProcessError) as error:
            print(f"| {name} | failed: {error} | | | | | |")
            continue
        ours = ours or seconds
        loudness, peak, info = ebur128(target)
        assert (info.samplerate, info.channels, info.subtype) == (RATE, 2, "PCM_24"), info
        print(
            f"| {name} | {seconds:.2f} | {seconds / ours:.1f} | {loudness:.2f} | "
            f"{loudness - TARGET_LUFS:+.2f} | {peak:+.2f} | {peak - CEILING_DBTP:+.2f} |"
        )

    from qx_limiter import limit

    from qx_limiter_tools import master

    done = master(audio, RATE, loudness_lufs=TARGET_LUFS, ceiling_dbtp=CEILING_DBTP)
    took_master = median_time(
        lambda: master(audio, RATE, loudness_lufs=TARGET_LUFS, ceiling_dbtp=CEILING_DBTP),
        args.repeats,
    )
    took_limit = median_time(lambda: limit(audio, RATE, CEILING_DBTP, true_peak=True), args.repeats)
    print()
    print(
        f"master() in memory: {took_master:.2f} s ({done.passes} passes); one "
        f"limit(true_peak=True): {took_limit:.2f} s; ratio {took_master / took_limit:.1f}x "
        f"(target <= 4x)"
    )
    if not args.keep:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
