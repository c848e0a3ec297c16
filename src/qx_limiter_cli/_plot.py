"""The figure of one limited file: input and output waveforms with the
ceiling, and the gain reduction under them.

Only imported for --plot, so matplotlib stays optional and costs nothing
otherwise. Every column of pixels shows the smallest and largest value of
the frames it covers (gathered by _columns while the file streams), which
keeps a file of any length readable and the drawing time independent of the
number of frames.
"""

from __future__ import annotations

import math
import threading
from pathlib import Path

import numpy as np
import numpy.typing as npt
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from matplotlib.ticker import FuncFormatter, MultipleLocator

from ._columns import DPI, HEIGHT_INCHES, LEFT, RIGHT, WIDTH_INCHES, Columns

# Tick spacings, in seconds, for files of two minutes and longer.
_MINUTE_TICKS = (30, 60, 120, 300, 600, 900, 1800)

# matplotlib's text rendering and font cache are shared by every figure in
# the process; with --jobs, figures are drawn one at a time.
_drawing = threading.Lock()


def write_plot(
    target: Path,
    file_format: str,
    title: str,
    sample_rate: int,
    columns: Columns,
    input_peak: float,
    threshold_dBFS: float,
    ceiling: float,
    unit: str = "dBFS",
) -> None:
    """Writes the figure from a file's gathered columns, in `file_format`
    (matplotlib's name: png, svg, pdf, jpeg); `unit` names the ceiling's
    (dBTP where the true peak is held under it)."""
    with _drawing:
        figure = Figure(figsize=(WIDTH_INCHES, HEIGHT_INCHES), dpi=DPI)
        FigureCanvasAgg(figure)
        figure.subplots_adjust(left=LEFT, right=RIGHT, top=0.92, bottom=0.09, hspace=0.08)
        wave, reduction = figure.subplots(2, 1, sharex=True, height_ratios=(2.2, 1.0))
        figure.suptitle(title, fontsize=11)

        frames = columns.frames
        times = columns.times(sample_rate)
        # The input is drawn over the output as an outline, so that neither
        # hides the other: a quiet input brought up to a loudness target
        # lies inside its output.
        wave.fill_between(
            times,
            columns.output_low,
            columns.output_high,
            color="#1f5fa8",
            linewidth=0,
            label="output",
        )
        for edge, label in ((columns.input_high, "input"), (columns.input_low, None)):
            wave.plot(times, edge, color="#5a6570", linewidth=0.6, alpha=0.9, label=label)
        for sign in (1.0, -1.0):
            wave.axhline(
                sign * ceiling,
                color="#d62728",
                linewidth=0.9,
                linestyle="--",
                label=f"ceiling {threshold_dBFS:+.2f} {unit}" if sign > 0 else None,
            )
        reach = max(1.0, input_peak, ceiling) * 1.08
        wave.set_ylim(-reach, reach)
        wave.set_ylabel("amplitude")
        wave.legend(loc="upper right", fontsize=8, ncols=3, framealpha=0.9)
        wave.grid(True, linewidth=0.4, alpha=0.5)

        deepest, shallowest = _in_db(columns.gain_low), _in_db(columns.gain_high)
        reduction.fill_between(times, deepest, 0.0, color="#f3b88a", linewidth=0, step="mid")
        reduction.fill_between(times, deepest, shallowest, color="#d95f02", linewidth=0, step="mid")
        reduction.plot(times, deepest, color="#a33f00", linewidth=0.6, drawstyle="steps-mid")
        floor = min(-1.0, float(deepest.min()) * 1.1 if deepest.size else -1.0)
        reduction.set_ylim(floor, 0.3)
        reduction.set_ylabel("gain (dB)")
        reduction.grid(True, linewidth=0.4, alpha=0.5)
        duration = frames / sample_rate
        reduction.set_xlim(0.0, duration if duration > 0 else 1.0)
        reduction.set_xlabel("time (m:ss)" if duration >= 120 else "time (s)")
        if duration >= 120:
            spacing = next((step for step in _MINUTE_TICKS if duration / step <= 10), 3600)
            reduction.xaxis.set_major_locator(MultipleLocator(spacing))
            reduction.xaxis.set_major_formatter(FuncFormatter(_minutes_seconds))

        figure.savefig(target, format=file_format)


def _in_db(gains: npt.NDArray[np.float32]) -> npt.NDArray[np.float64]:
    tiny = np.float32(1e-12)
    return 20.0 * np.log10(np.maximum(gains, tiny).astype(np.float64))


def _minutes_seconds(seconds: float, _position: object) -> str:
    minutes, rest = divmod(math.floor(seconds + 0.5), 60)
    return f"{minutes}:{rest:02d}"
