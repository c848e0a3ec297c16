"""Times the loudness and true-peak meter against libebur128 and pyloudnorm.

    python bench/bench_meter.py [--seconds 300] [--repeats 5] [--limited | --noise]

On stereo 48 kHz music-like audio: `qx_limiter_tools.measure` (all four
figures) and its integrated loudness alone, libebur128 through pyebur128
(integrated, loudness range and true peak in one pass; integrated alone),
pyloudnorm, and one plain copy of the audio. Prints the median time of the
repeats in ns per stereo frame and the ratios the meter is held to:
libebur128's full pass / ours (target >= 8), our integrated-only / copy
(target <= 3).

With --limiter it times instead the waveform detection of the limiter:
`qx_limiter_tools.limit(audio, 48000, -1, detection="waveform")` against
`qx_limiter.limit(audio, 48000, -1, true_peak=True)` on the same audio in
the same run (target: at most about 1.5x).

With --noise the audio is stereo Gaussian noise (sigma 0.25, seeded), full
band: the screen finds candidates everywhere and the reading sits on rare
peaks. With --limited the audio is first put through the limiter
(qx_limiter.limit at -1 dBFS with true-peak detection): every sample near
the ceiling, the true-peak search's worst realistic case.

Until qx_limiter_tools is installed the NumPy oracle (reference/
meter_oracle.py) stands in, labelled as such: its figures show the harness
works, not the meter's speed. The integrated-only row uses
`qx_limiter_tools.integrated_loudness` when the module offers it.
"""

import argparse
import importlib.util
import os
import statistics
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "reference"))
import meter_oracle as oracle  # noqa: E402

SHARED_MUSIC = "/work/shared/perf/music_signal.py"
RATE = 48000


def music(seconds):
    """The shared perf signal when it is there (read by path), else ours."""
    if os.path.exists(SHARED_MUSIC):
        spec = importlib.util.spec_from_file_location("music_signal", SHARED_MUSIC)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        if getattr(module, "SR", RATE) == RATE:
            return module.make(seconds), "shared/perf/music_signal.py"
    return oracle.music_like(RATE, seconds), "meter_oracle.music_like"


def median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def limiter_times(audio, repeats):
    """qx_limiter_tools.limit with waveform detection against qx_limiter.limit
    with BS.1770 true-peak detection, -1 dBFS, the same audio, one run."""
    import qx_limiter

    import qx_limiter_tools as tools

    frames = audio.shape[1]
    bs1770 = median_time(lambda: qx_limiter.limit(audio, RATE, -1.0, true_peak=True), repeats)
    waveform = median_time(lambda: tools.limit(audio, RATE, -1.0, detection="waveform"), repeats)
    print(f"{'':44} {'s':>8} {'ns/frame':>9}")
    for name, seconds in (
        ("qx_limiter.limit(true_peak=True)", bs1770),
        ("qx_limiter_tools.limit(detection='waveform')", waveform),
    ):
        print(f"{name:44} {seconds:8.3f} {seconds / frames * 1e9:9.2f}")
    print(f"waveform / bs1770: {waveform / bs1770:.2f}  (target <= 1.5)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=300)
    parser.add_argument("--repeats", type=int, default=5)
    kind = parser.add_mutually_exclusive_group()
    kind.add_argument(
        "--limited",
        action="store_true",
        help="measure the limiter's output (-1 dBFS, true peak) instead",
    )
    kind.add_argument(
        "--noise", action="store_true", help="measure stereo Gaussian noise (sigma 0.25) instead"
    )
    parser.add_argument(
        "--limiter",
        action="store_true",
        help="time the limiter's waveform detection against its BS.1770 one",
    )
    args = parser.parse_args()

    if args.noise:
        rng = np.random.default_rng(300)
        audio = (0.25 * rng.standard_normal((2, RATE * args.seconds))).astype(np.float32)
        source = "Gaussian noise, sigma 0.25"
    else:
        audio, source = music(args.seconds)
    audio = np.ascontiguousarray(audio, dtype=np.float32)
    if args.limited:
        from qx_limiter import limit

        audio = limit(audio, RATE, -1.0, true_peak=True)[0]
        source += ", limited to -1 dBFS (true peak)"
    frames = audio.shape[1]
    print(f"{args.seconds} s stereo {RATE} Hz from {source}; median of {args.repeats} runs")
    if args.limiter:
        limiter_times(audio, args.repeats)
        return

    try:
        import qx_limiter_tools as tools

        label = "qx_limiter_tools"
        measure = tools.measure
        integrated = getattr(tools, "integrated_loudness", None)
    except ImportError:
        tools = None
        label = "oracle*"
        measure = oracle.measure

        def integrated(a, rate):
            n = oracle.subblock_length(rate)
            sub = oracle.subblock_powers(oracle.k_weight(a, rate), n, oracle.channel_weights(2))
            return oracle.integrated_loudness(oracle.window_powers(sub, 4, 1, n))

    rows = []
    # One plain copy: a new array, as a caller's own copy of the audio would
    # be (fresh pages); the copy into an already-touched buffer beside it.
    rows.append(("plain copy", median_time(lambda: audio.copy(), args.repeats)))
    copy_target = np.empty_like(audio)
    copy_target[...] = 0
    rows.append(
        (
            "copy into a touched buffer",
            median_time(lambda: np.copyto(copy_target, audio), args.repeats),
        )
    )
    rows.append(
        (f"{label}: measure (all four)", median_time(lambda: measure(audio, RATE), args.repeats))
    )
    if integrated is not None:
        rows.append(
            (
                f"{label}: integrated only",
                median_time(lambda: integrated(audio, RATE), args.repeats),
            )
        )

    interleaved = np.ascontiguousarray(audio.T, dtype=np.float64).ravel()
    try:
        import pyebur128 as eb

        def ebur(mode, readers):
            def run():
                state = eb.R128State(2, RATE, int(mode))
                state.add_frames(interleaved, frames)
                for read in readers:
                    read(state)

            return run

        M = eb.MeasurementMode
        full = ebur(
            M.MODE_I | M.MODE_LRA | M.MODE_TRUE_PEAK,
            [
                eb.get_loudness_global,
                eb.get_loudness_range,
                lambda s: eb.get_true_peak(s, 0),
                lambda s: eb.get_true_peak(s, 1),
            ],
        )
        rows.append(("libebur128: I + LRA + TP", median_time(full, args.repeats)))
        rows.append(
            (
                "libebur128: I only",
                median_time(ebur(M.MODE_I, [eb.get_loudness_global]), args.repeats),
            )
        )
        result = measure(audio, RATE)
        state = eb.R128State(2, RATE, int(M.MODE_I | M.MODE_LRA | M.MODE_TRUE_PEAK))
        state.add_frames(interleaved, frames)
        print(
            f"figures: ours I {result.integrated_lufs:.3f} LRA {result.loudness_range_lu:.3f} "
            f"TP {result.true_peak_dbtp:.3f}; libebur128 I {eb.get_loudness_global(state):.3f} "
            f"LRA {eb.get_loudness_range(state):.3f} TP "
            f"{20 * np.log10(max(eb.get_true_peak(state, 0), eb.get_true_peak(state, 1))):.3f}"
        )
    except ImportError:
        print("pyebur128 is not installed: pip install pyebur128")
    try:
        import pyloudnorm

        frames_first = np.ascontiguousarray(audio.T, dtype=np.float64)
        rows.append(
            (
                "pyloudnorm: I",
                median_time(
                    lambda: pyloudnorm.Meter(RATE).integrated_loudness(frames_first), args.repeats
                ),
            )
        )
    except ImportError:
        print("pyloudnorm is not installed: pip install pyloudnorm")

    times = dict(rows)
    copy = times["plain copy"]
    print(f"{'':34} {'s':>8} {'ns/frame':>9} {'x copy':>7}")
    for name, seconds in rows:
        print(f"{name:34} {seconds:8.3f} {seconds / frames * 1e9:9.2f} {seconds / copy:7.2f}")
    ours = times[f"{label}: measure (all four)"]
    if "libebur128: I + LRA + TP" in times:
        print(
            f"libebur128 (I + LRA + TP) / ours (all four): "
            f"{times['libebur128: I + LRA + TP'] / ours:.2f}  (target >= 8)"
        )
    if f"{label}: integrated only" in times:
        print(
            f"ours integrated only / copy: {times[f'{label}: integrated only'] / copy:.2f}  "
            f"(target <= 3)"
        )
    if tools is None:
        print(
            "* qx_limiter_tools is not installed: the NumPy oracle stands in; its times are "
            "not the meter's"
        )


if __name__ == "__main__":
    main()
