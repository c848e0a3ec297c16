"""qx_limiter's `limit` against the limiters people use today: speed and overshoot.

    pip install -r bench/requirements.txt      # the peers, scipy and matplotlib
    python bench/compare.py                     # 60 s, 11 timed runs, docs/compare.png
    python bench/compare.py --quick             # 3 s, 3 runs: only checks that it still works

Every tool limits the same 60 s stereo 48 kHz music-like signal (chords,
bass and noise bursts, peaks 6 dB over the ceiling) to a ceiling of -1 dBFS:

- `limit` with sample-peak and with true-peak detection;
- `pedalboard.BrickwallLimiter` (look-ahead, ceiling, linked channels,
  optional 4x true-peak detection) in both detection modes,
  `pedalboard.Limiter` and `cylimiter.Limiter`, installed from PyPI and
  called as black boxes with the settings closest to the same ones;
- `numpy_limiter` below, a look-ahead limiter in plain NumPy/SciPy, the
  thing one writes when no package is at hand (sample or true peak).

For each tool the script prints the median wall time of the timed runs
(interleaved, after one untimed run), its ratio to `limit`'s time in the same
detection mode, and how far the output exceeds the ceiling: the largest
output sample and the largest true peak of the output (8x oversampled with
scipy.signal.resample_poly), in dB over the ceiling; negative stays under.

A peer that is not installed is skipped with a note in --quick mode and is
an error otherwise.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import platform
import statistics
import sys
import time
from collections.abc import Callable
from dataclasses import asdict, dataclass

import numpy as np
import numpy.typing as npt
from qx_limiter import limit
from scipy.ndimage import minimum_filter1d, uniform_filter1d
from scipy.signal import resample_poly

Audio = npt.NDArray[np.float32]

RATE = 48000
CEILING_DB = -1.0
ATTACK_MS, HOLD_MS, RELEASE_MS = 5.0, 15.0, 40.0
OVER_DB = 6.0  # how far the test signal's sample peak is over the ceiling
REQUIREMENTS = "pip install -r bench/requirements.txt"


def test_signal(seconds: float, rate: int = RATE, seed: int = 7) -> Audio:
    """A music-like (2, frames) float32 signal: a chord every two seconds
    (three notes with four harmonics each, decaying, panned), a bass line and
    drum-like noise bursts on a quarter-second grid, scaled so that its
    largest sample is OVER_DB over the ceiling."""
    rng = np.random.default_rng(seed)
    frames = int(seconds * rate)
    audio = np.zeros((2, frames))
    bar = 2 * rate
    for start in range(0, frames, bar):
        time_s = np.arange(min(bar, frames - start)) / rate
        root = 110.0 * 2.0 ** (rng.integers(0, 12) / 12)
        for ratio in (1.0, 1.25, 1.5):
            pitch = root * ratio * 2.0 ** rng.integers(0, 3)
            envelope = np.exp(-time_s / rng.uniform(0.5, 1.5))
            tone = sum(
                np.sin(2 * np.pi * k * pitch * time_s + rng.uniform(0, 2 * np.pi)) / k
                for k in range(1, 5)
                if k * pitch < rate / 2
            )
            pan = rng.uniform(0.2, 0.8)
            audio[0, start : start + time_s.size] += (1 - pan) * envelope * tone
            audio[1, start : start + time_s.size] += pan * envelope * tone
        audio[:, start : start + time_s.size] += 0.8 * np.sin(2 * np.pi * root / 2 * time_s)
    beat = rate // 4
    burst = int(0.15 * rate)
    for start in range(0, frames, beat):
        if rng.random() < 0.6:
            length = min(burst, frames - start)
            decay = np.exp(-np.arange(length) / (rate * rng.uniform(0.01, 0.06)))
            audio[:, start : start + length] += (
                rng.uniform(0.5, 2.0) * decay * rng.standard_normal((2, length))
            )
    peak = np.abs(audio).max()
    return (audio * (10 ** ((CEILING_DB + OVER_DB) / 20) / peak)).astype(np.float32)


def numpy_limiter(
    audio: Audio,
    rate: int,
    threshold_dBFS: float = CEILING_DB,
    attack_ms: float = ATTACK_MS,
    hold_ms: float = HOLD_MS,
    release_ms: float = RELEASE_MS,
    true_peak: bool = False,
) -> Audio:
    """A look-ahead limiter for (channels, frames) audio in plain NumPy/SciPy,
    with one gain per frame for all channels.

    The gain each frame needs is ceiling / peak; a minimum filter spreads it
    over the look-ahead before and the hold after each frame, a moving
    average over the look-ahead turns the steps into ramps that reach the
    needed gain at the peak, and the release rises at most from 0 to 1 in
    release_ms. Each step only lowers the gain, so no sample (or, with
    true_peak, no 4x oversampled peak) ends above the ceiling.
    """
    samples = audio.astype(np.float64)
    peaks = np.abs(samples).max(axis=0)
    if true_peak:
        oversampled = np.abs(resample_poly(samples, 4, 1, axis=-1))
        peaks = np.maximum(peaks, oversampled.reshape(samples.shape[0], -1, 4).max(axis=(0, 2)))
    ceiling = 10 ** (threshold_dBFS / 20)
    needed = np.minimum(1.0, ceiling / np.maximum(peaks, 1e-30))
    ahead = max(1, round(attack_ms * rate / 1000))
    hold = round(hold_ms * rate / 1000)
    release = max(1, round(release_ms * rate / 1000))
    # Smallest needed gain from `hold` frames back to `ahead` frames ahead.
    size = hold + ahead + 1
    gain = minimum_filter1d(needed, size, mode="nearest", origin=hold - size // 2)
    # Average over the `ahead` frames up to each frame: a ramp down to the peak.
    gain = uniform_filter1d(gain, ahead + 1, mode="nearest", origin=ahead // 2)
    # Release: gain[f] = min over g <= f of gain[g] + (f - g) / release.
    rise = np.arange(gain.size) / release
    gain = np.minimum.accumulate(gain - rise) + rise
    return (samples * gain).astype(np.float32)


def true_peak(audio: Audio) -> float:
    """The largest magnitude of the 8x oversampled signal, channel by channel.

    The interpolation filter reaches 10 samples to each side and sees zeros
    past the ends, where it rings; the first and last 16 samples count with
    their own values only."""
    edge = 16 * 8
    peak = float(np.abs(audio).max())
    for channel in audio:
        oversampled = resample_poly(channel.astype(np.float64), 8, 1)[edge:-edge]
        if oversampled.size:
            peak = max(peak, float(np.abs(oversampled).max()))
    return peak


def decibels(value: float) -> float:
    return 20 * np.log10(max(value, 1e-30))


def tools(quick: bool) -> tuple[dict[str, tuple[str, Callable[[Audio], Audio]]], list[str]]:
    """name -> (detection mode, function of (2, frames) audio); and notes on peers skipped."""
    found: dict[str, tuple[str, Callable[[Audio], Audio]]] = {
        "qx_limiter.limit": (
            "sample",
            lambda audio: limit(audio, RATE, CEILING_DB, ATTACK_MS, HOLD_MS, RELEASE_MS)[0],
        ),
        "qx_limiter.limit, true_peak": (
            "true",
            lambda audio: limit(
                audio, RATE, CEILING_DB, ATTACK_MS, HOLD_MS, RELEASE_MS, true_peak=True
            )[0],
        ),
    }
    notes = []
    if importlib.util.find_spec("pedalboard") is not None:
        import pedalboard

        def run_pedalboard(audio: Audio) -> Audio:
            # Its only settings: threshold and release. Its output ceiling is
            # 0 dBFS whatever the threshold (the level comes up by the
            # threshold and more), so the output is brought down by the
            # threshold to put that ceiling where the others' is.
            plugin = pedalboard.Limiter(threshold_db=CEILING_DB, release_ms=RELEASE_MS)
            out = np.asarray(plugin.process(audio, RATE), dtype=np.float32)
            return out * np.float32(10 ** (CEILING_DB / 20))

        found[f"pedalboard.Limiter, output {CEILING_DB:g} dB"] = ("sample", run_pedalboard)

        # The look-ahead limiter with a ceiling: the same ceiling, look-ahead
        # and release (it has no hold), and its own 4x true-peak detection.
        # reset=True: every call starts from a neutral state, as `limit` does.
        def brickwall(true_peak: bool) -> Callable[[Audio], Audio]:
            plugin = pedalboard.BrickwallLimiter(
                ceiling_db=CEILING_DB,
                release_ms=RELEASE_MS,
                lookahead_ms=ATTACK_MS,
                true_peak=true_peak,
            )
            return lambda audio: np.asarray(plugin(audio, RATE, reset=True), dtype=np.float32)

        found["pedalboard.BrickwallLimiter"] = ("sample", brickwall(False))
        found["pedalboard.BrickwallLimiter, true_peak"] = ("true", brickwall(True))
    else:
        notes.append("pedalboard")
    if importlib.util.find_spec("cylimiter") is not None:
        import cylimiter

        # The release as a one-pole coefficient for a 40 ms time constant, the
        # attack as the delay (look-ahead) in frames, a linear threshold. The
        # attack coefficient keeps its default: taken as a one-pole coefficient
        # for 5 ms it lets the peaks through by about 2 dB more.
        settings = dict(
            release=float(np.exp(-1000 / (RELEASE_MS * RATE))),
            delay=round(ATTACK_MS * RATE / 1000),
            threshold=10 ** (CEILING_DB / 20),
        )

        def run_cylimiter(audio: Audio) -> Audio:
            # Mono only: each channel on its own, with its own gain.
            return np.stack(
                [
                    np.asarray(cylimiter.Limiter(**settings).limit(channel), dtype=np.float32)
                    for channel in audio
                ]
            )

        found["cylimiter.Limiter"] = ("sample", run_cylimiter)
    else:
        notes.append("cylimiter")
    if notes and not quick:
        sys.exit(f"not installed: {', '.join(notes)}; {REQUIREMENTS}")
    found["NumPy/SciPy look-ahead"] = ("sample", lambda audio: numpy_limiter(audio, RATE))
    found["NumPy/SciPy look-ahead, true peak"] = (
        "true",
        lambda audio: numpy_limiter(audio, RATE, true_peak=True),
    )
    return found, notes


@dataclass
class Result:
    tool: str
    detection: str
    median_s: float
    ratio: float  # to `limit` in the same detection mode
    sample_over_db: float
    true_peak_over_db: float
    level_change_db: float  # RMS of the output against the input's


def measure(seconds: float, runs: int, quick: bool) -> tuple[list[Result], list[str]]:
    audio = test_signal(seconds)
    found, notes = tools(quick)
    times: dict[str, list[float]] = {name: [] for name in found}
    overs: dict[str, tuple[float, float, float]] = {}
    level = float(np.sqrt(np.mean(np.square(audio, dtype=np.float64))))
    for name, (_, run) in found.items():
        out = run(audio)  # untimed: warms caches and gives the output to measure
        if out.shape != audio.shape:
            raise RuntimeError(f"{name} returned shape {out.shape} for {audio.shape}")
        overs[name] = (
            decibels(float(np.abs(out).max())) - CEILING_DB,
            decibels(true_peak(out)) - CEILING_DB,
            decibels(float(np.sqrt(np.mean(np.square(out, dtype=np.float64))))) - decibels(level),
        )
    for _ in range(runs):  # round-robin, so a noisy moment hits every tool alike
        for name, (_, run) in found.items():
            started = time.perf_counter()
            run(audio)
            times[name].append(time.perf_counter() - started)
    medians = {name: statistics.median(values) for name, values in times.items()}
    reference = {
        "sample": medians["qx_limiter.limit"],
        "true": medians["qx_limiter.limit, true_peak"],
    }
    results = [
        Result(name, detection, medians[name], medians[name] / reference[detection], *overs[name])
        for name, (detection, _) in found.items()
    ]
    return results, notes


def signed(value: float) -> str:
    text = f"{value:+.2f} dB"
    return "0.00 dB" if text in ("+0.00 dB", "-0.00 dB") else text


def table(results: list[Result]) -> str:
    lines = [
        "| tool | detection | median time | × `limit` | max sample over ceiling | "
        "true peak over ceiling | RMS level change |",
        "| --- | --- | ---: | ---: | ---: | ---: | ---: |",
    ]
    for r in results:
        lines.append(
            f"| {r.tool} | {r.detection} peak | {r.median_s * 1000:.1f} ms | "
            f"{r.ratio:.2f} | {signed(r.sample_over_db)} | {signed(r.true_peak_over_db)} | "
            f"{signed(r.level_change_db)} |"
        )
    return "\n".join(lines)


def plot(results: list[Result], path: str, seconds: float) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = [r.tool for r in results][::-1]
    rows = np.arange(len(names))
    figure, (speed, over) = plt.subplots(
        1, 2, figsize=(9, 3.2), sharey=True, constrained_layout=True
    )
    milliseconds = [r.median_s * 1000 for r in results][::-1]
    speed.barh(rows, milliseconds, color="#4878a8")
    for row, value in zip(rows, milliseconds):
        speed.text(value, row, f" {value:.3g}", va="center", fontsize="small")
    speed.set_xlim(min(milliseconds) / 2, max(milliseconds) * 4)
    speed.set_xscale("log")
    speed.set_xlabel(f"median time for {seconds:g} s of stereo audio, ms (log)")
    speed.set_yticks(rows, names)
    height = 0.4
    over.barh(
        rows + height / 2,
        [r.sample_over_db for r in results][::-1],
        height,
        color="#4878a8",
        label="largest sample",
    )
    over.barh(
        rows - height / 2,
        [r.true_peak_over_db for r in results][::-1],
        height,
        color="#e0a040",
        label="true peak (8x)",
    )
    over.axvline(0.0, color="#c03030", linestyle="--", linewidth=1)
    over.set_xlabel(f"over the ceiling ({CEILING_DB:g} dBFS), dB")
    over.legend(loc="upper right", fontsize="small")
    figure.savefig(path, dpi=72)
    plt.close(figure)


def check_instruments() -> None:
    """The two measurements the table relies on, checked before anything is
    timed: the true-peak meter finds a peak between samples, and the NumPy
    limiter keeps every sample under the ceiling with one gain per frame."""
    # A quarter-rate sine sampled 45 degrees off its crests: every sample is
    # at 1/sqrt(2) of the true peak.
    frames = np.arange(4800)
    sine = np.sin(np.pi / 2 * frames + np.pi / 4).astype(np.float32)[None, :]
    if abs(decibels(true_peak(sine))) > 0.03:
        raise SystemExit(
            f"the true-peak meter reads {decibels(true_peak(sine)):+.3f} dB on a "
            f"sine whose samples miss its 0 dB crests"
        )
    audio = test_signal(1.0)
    ceiling = 10 ** (CEILING_DB / 20)
    out = numpy_limiter(audio, RATE)
    loud = np.abs(audio[1]) > 0.1
    ratios = np.abs(out[0][loud] / out[1][loud] - audio[0][loud] / audio[1][loud])
    if (
        np.abs(out).max() > np.float32(ceiling)
        or not np.all(ratios <= 1e-5 * np.abs(audio[0][loud] / audio[1][loud]))
        or true_peak(numpy_limiter(audio, RATE, true_peak=True)) >= true_peak(out)
    ):
        raise SystemExit(
            "the NumPy limiter does not keep the ceiling with one gain per frame "
            "(or its true-peak detection does not lower the true peak)"
        )


def main(arguments: list[str] | None = None) -> list[Result]:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument(
        "--quick",
        action="store_true",
        help="3 s of audio and 3 runs; peers that are not installed are skipped",
    )
    parser.add_argument("--seconds", type=float, help="length of the signal (60, quick 3)")
    parser.add_argument("--runs", type=int, help="timed runs per tool (11, quick 3)")
    parser.add_argument("--plot", help="PNG to draw (docs/compare.png; none in quick mode)")
    parser.add_argument("--json", help="also write the results to this file")
    options = parser.parse_args(arguments)
    seconds = options.seconds or (3.0 if options.quick else 60.0)
    runs = options.runs or (3 if options.quick else 11)
    check_instruments()
    results, notes = measure(seconds, runs, options.quick)
    print(
        f"{seconds:g} s stereo at {RATE} Hz, sample peak {OVER_DB:g} dB over a ceiling of "
        f"{CEILING_DB:g} dBFS; attack {ATTACK_MS:g} ms, hold {HOLD_MS:g} ms, release "
        f"{RELEASE_MS:g} ms; median of {runs} runs on {os.cpu_count()} cores "
        f"({platform.machine()}, Python {platform.python_version()}, NumPy {np.__version__})"
    )
    print()
    print(table(results))
    for name in notes:
        print(f"\nskipped {name}: not installed ({REQUIREMENTS})")
    plot_path = options.plot or (None if options.quick else "docs/compare.png")
    if plot_path:
        plot(results, plot_path, seconds)
    if options.json:
        with open(options.json, "w", encoding="utf-8") as sink:
            json.dump([asdict(r) for r in results], sink, indent=1)
    return results


if __name__ == "__main__":
    main()
