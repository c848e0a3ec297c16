"""A fixed set of the module's outputs, to show that two builds of it (GCC's
and clang's, scripts/clang_check.sh) compute the same bits.

    python scripts/same_outputs.py OUT.npz            # compute, with the installed module
    python scripts/same_outputs.py --compare A.npz B.npz

The first form runs ``qx_limiter.limit`` (sample peak and true peak, so
every kind of detector: the designed upsampler at 8000, 22050 and 32000 Hz,
the reference filter with four phases at 44100 and 48000 Hz and two at
96000 Hz, sample peaks alone at 192000 Hz even for true peak), the
``qx_limiter_tools.StreamLimiter`` over uneven chunks, ``measure``,
``integrated_loudness`` and ``Meter`` on seeded signals, and saves every
result array and every figure (as a float64 array) under a name that says
what produced it. The inputs are saved too, so a difference in them (another
NumPy drawing other numbers) is told apart from one in the module's outputs.
The second form compares two such files byte for byte and names every entry
that differs; its exit status is 1 if any does.

Small on purpose: the whole run takes about a second.
"""

from __future__ import annotations

import sys
from dataclasses import astuple

import numpy as np

RATES = (8000, 22050, 32000, 44100, 48000, 96000, 192000)


def signal(rng: np.random.Generator, rate: int, channels: int, seconds: float) -> np.ndarray:
    """(channels, frames) float32: a tone near a quarter of the rate (whose
    peaks fall between samples), a low tone and noise, in ten sections each
    at its own level (-30 to +8 dB: the limiter works hard in some, its gain
    recovers to 1 in others, and the loudness range is not 0), one of them
    +8 dB and one digital silence, and short bursts 6 to 14 dB louder."""
    frames = int(rate * seconds)
    t = np.arange(frames) / rate
    levels = rng.uniform(-30, 8, 10)
    loud, silent = rng.choice(10, 2, replace=False)
    levels[loud] = 8.0
    sections = np.repeat(10 ** (levels / 20), -(-frames // 10))[:frames]
    sections[silent * frames // 10 :][: frames // 10] = 0.0
    out = np.empty((channels, frames), dtype=np.float32)
    for ch in range(channels):
        u = rng.random(4)
        x = (
            0.4 * np.sin(2 * np.pi * (0.23 + 0.04 * u[0]) * rate * t + 2 * np.pi * u[1])
            + 0.25 * np.sin(2 * np.pi * (60 + 200 * u[2]) * t)
            + 0.2 * (rng.random(frames) - 0.5)
        )
        bursts = np.ones(frames)
        for start in rng.integers(0, frames, 6):
            bursts[start : start + int(rng.integers(1, rate // 50))] = 2.0 + 3.0 * u[3]
        out[ch] = x * sections * bursts
    return out


def compute() -> dict[str, np.ndarray]:
    import qx_limiter

    import qx_limiter_tools as tools

    rng = np.random.default_rng(20240611)
    result: dict[str, np.ndarray] = {}

    def keep(name: str, value: np.ndarray) -> None:
        assert name not in result, name
        result[name] = value

    def figures(name: str, values) -> None:
        keep(name, np.array(values, dtype=np.float64))

    # limit: every rate, both modes, mono, stereo and 5.1, frames on either
    # axis; settings move from case to case.
    case = 0
    for rate in RATES:
        for true_peak in (False, True):
            for channels in (1, 2, 6):
                audio = signal(rng, rate, channels, 0.25)
                layouts = (
                    [("mono", audio[0], -1)]
                    if channels == 1
                    else [("last", audio, -1), ("first", np.ascontiguousarray(audio.T), 0)]
                )
                settings = dict(
                    threshold_dBFS=-0.5 - 1.5 * (case % 3),
                    attack_ms=(1.0, 5.0, 2.5)[case % 3],
                    hold_ms=(0.0, 15.0, 7.0)[case % 3],
                    release_ms=(40.0, 5.0, 120.0)[case % 3],
                )
                case += 1
                for layout, x, axis in layouts:
                    name = f"limit/{rate}/{'tp' if true_peak else 'sp'}/{channels}ch/{layout}"
                    keep(name + "/in", x)
                    out, gains = qx_limiter.limit(
                        x, rate, axis=axis, true_peak=true_peak, **settings
                    )
                    keep(name + "/out", out)
                    keep(name + "/gains", gains)

    # Inputs the module converts itself: float64 (read as float32), int16 and a
    # strided view.
    audio = signal(rng, 48000, 2, 0.25).astype(np.float64) * 1.3
    for name, x in (
        ("float64", audio),
        ("int16", (audio * 9000).astype(np.int16)),
        ("strided", audio[:, ::3]),
    ):
        keep(f"limit/convert/{name}/in", x)
        out, gains = qx_limiter.limit(x, 48000, threshold_dBFS=-1.0, true_peak=True)
        keep(f"limit/convert/{name}/out", out)
        keep(f"limit/convert/{name}/gains", gains)

    # StreamLimiter over uneven chunks (some empty, some one frame), then flushed.
    for rate, true_peak, channels in (
        (8000, True, 2),
        (44100, True, 1),
        (48000, False, 6),
        (96000, True, 2),
    ):
        audio = signal(rng, rate, channels, 0.3)
        frames = audio.shape[1]
        cuts = np.sort(np.concatenate([rng.integers(0, frames, 12), [0, 1, 1, frames]]))
        stream = tools.StreamLimiter(rate, threshold_dBFS=-1.0, true_peak=true_peak)
        outs, gains = [], []
        for a, b in zip(cuts[:-1], cuts[1:]):
            chunk = audio[:, a:b].T if channels != 1 else audio[0, a:b]
            o, g = stream.process(chunk, axis=0)
            outs.append(o.reshape(-1, channels))
            gains.append(g)
        o, g = stream.flush()
        outs.append(o.reshape(-1, channels))
        gains.append(g)
        name = f"stream/{rate}/{'tp' if true_peak else 'sp'}/{channels}ch"
        keep(name + "/in", audio)
        keep(name + "/out", np.concatenate(outs))
        keep(name + "/gains", np.concatenate(gains))

    # The meter: 6 s, for a loudness range over four windows; whole, frames
    # on either axis, and in chunks.
    for rate, channels in ((8000, 1), (44100, 2), (48000, 6), (96000, 2)):
        audio = signal(rng, rate, channels, 6.0)
        name = f"meter/{rate}/{channels}ch"
        keep(name + "/in", audio)
        figures(name + "/measure", astuple(tools.measure(audio, rate)))
        figures(name + "/measure_first", astuple(tools.measure(audio.T, rate, axis=0)))
        figures(name + "/integrated", [tools.integrated_loudness(audio, rate)])
        meter = tools.Meter(rate, channels)
        frames = audio.shape[1]
        for a, b in zip(range(0, frames, 7919), range(7919, frames + 7919, 7919)):
            meter.add(audio[:, a:b])
        figures(name + "/meter", astuple(meter.result()))
        # Audio held at a true-peak ceiling: every sample near it, where the
        # true-peak search has the most to do.
        limited, _ = qx_limiter.limit(audio, rate, threshold_dBFS=-1.0, true_peak=True)
        figures(name + "/measure_limited", astuple(tools.measure(limited, rate)))
    return result


def compare(path_a: str, path_b: str) -> int:
    a, b = np.load(path_a), np.load(path_b)
    differ = []
    for name in sorted(set(a.files) | set(b.files)):
        if name not in a.files or name not in b.files:
            differ.append(f"{name}: only in {path_a if name in a.files else path_b}")
            continue
        x, y = a[name], b[name]
        if x.dtype != y.dtype or x.shape != y.shape:
            differ.append(f"{name}: {x.dtype}{x.shape} against {y.dtype}{y.shape}")
        elif x.tobytes() != y.tobytes():
            raw = (
                (
                    x.view(np.uint8).reshape(x.shape + (-1,))
                    != y.view(np.uint8).reshape(y.shape + (-1,))
                )
                .any(axis=-1)
                .ravel()
            )
            at = np.flatnonzero(raw)
            first = int(at[0])
            xs, ys = x.ravel()[first], y.ravel()[first]
            show = (lambda v: float(v).hex()) if x.dtype.kind == "f" else repr
            where = tuple(int(i) for i in np.unravel_index(first, x.shape))
            differ.append(
                f"{name}: {at.size} of {x.size} values differ, the first at "
                f"{where}: {show(xs)} against {show(ys)}"
            )
    inputs = [d for d in differ if d.split(":")[0].endswith("/in")]
    for line in differ:
        print("differs:", line)
    if inputs:
        print(
            "the inputs themselves differ: the two runs drew other signals "
            "(another NumPy?), so the outputs cannot be compared"
        )
    print(f"{len(a.files)} arrays compared, {len(differ)} differ")
    return 1 if differ else 0


def main(argv: list[str]) -> int:
    if len(argv) == 3 and argv[0] == "--compare":
        return compare(argv[1], argv[2])
    if len(argv) == 1 and not argv[0].startswith("-"):
        np.savez(argv[0], **compute())
        return 0
    print(__doc__.split("\n\n")[1], file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
