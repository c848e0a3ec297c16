"""The loudness and true-peak meter written out slowly in NumPy/SciPy.

This module is the meter's executable definition: `measure(audio, rate)`
returns the four figures the compiled `qx_limiter_tools.measure` must give,
computed with the same constants, block boundaries, gates, percentile rule
and true-peak search, each step in plain array code. docs/meter-design.md
explains the choices and the evidence for them.

Agreement with the compiled meter:

- sample peak and true peak: identical bits. Every value is a product or a
  sum of IEEE doubles or floats in an order fixed here (the screen filter in
  float32 tap by tap, the precise dot products as eight interleaved partial
  sums, the far sums as 32, the octet and group sums of the margins'
  measures in fixed trees, the parabolic refinement as written), so vector
  width cannot change them.
- integrated loudness and loudness range: identical bits when the K-weighting
  runs through `k_weight_exact` (the recursion in the compiled meter's exact
  operation order, slow, for short signals); through SciPy's `sosfilt` (the
  default, used for long signals) they agree within 1e-9 LU.

Beside the meter: the references the tests compare against (the 4x
interpolator printed in BS.1770, a 32x band-limited reconstruction) and the
generators of the test signals.
"""

from __future__ import annotations

import importlib.util
import math
from dataclasses import dataclass
from pathlib import Path

import numpy as np
from scipy import signal as _signal

# ---------------------------------------------------------------------------
# K-weighting

# Analog prototypes fitted to the 48 kHz coefficients printed in BS.1770:
# a high shelf (f0, Q, gain in dB) and a high pass (f0, Q).
SHELF_F0 = 1681.974450955533
SHELF_Q = 0.7071752369554196
SHELF_GAIN_DB = 3.999843853973347
HIGHPASS_F0 = 38.13547087602444
HIGHPASS_Q = 0.5003270373238773
# The shelf's mid-band gain, the fourth parameter of its prototype
#   H(s) = (Vh s^2 + Vb (w0/Q) s + w0^2) / (s^2 + (w0/Q) s + w0^2),
# solved from the printed 48 kHz b0 (b2 gives the same to 2e-15). It is
# Vh ** 0.49966677..., close to but not the geometric mean sqrt(Vh).
SHELF_MID_GAIN = 1.25872093023256

PRINTED_48K = (
    (1.53512485958697, -2.69169618940638, 1.19839281085285, -1.69065929318241, 0.73248077421585),
    (1.0, -2.0, 1.0, -1.99004745483398, 0.99007225036621),
)


def k_weighting_coefficients(sample_rate):
    """The two K-weighting stages at `sample_rate` as (b0, b1, b2, a1, a2), a0 = 1.

    Bilinear transform prewarped at each stage's f0 (K = tan(pi f0 / fs)).
    The high pass keeps the numerator 1, -2, 1 unnormalised at every rate,
    as the printed 48 kHz table does (its gain above f0 is a0, about 1.005).
    """
    fs = float(sample_rate)
    k = math.tan(math.pi * SHELF_F0 / fs)
    vh = 10.0 ** (SHELF_GAIN_DB / 20.0)
    a0 = 1.0 + k / SHELF_Q + k * k
    shelf = (
        (vh + SHELF_MID_GAIN * k / SHELF_Q + k * k) / a0,
        2.0 * (k * k - vh) / a0,
        (vh - SHELF_MID_GAIN * k / SHELF_Q + k * k) / a0,
        2.0 * (k * k - 1.0) / a0,
        (1.0 - k / SHELF_Q + k * k) / a0,
    )
    k = math.tan(math.pi * HIGHPASS_F0 / fs)
    a0 = 1.0 + k / HIGHPASS_Q + k * k
    highpass = (1.0, -2.0, 1.0, 2.0 * (k * k - 1.0) / a0, (1.0 - k / HIGHPASS_Q + k * k) / a0)
    return shelf, highpass


def k_weight(planar, sample_rate):
    """K-weighted channels (float64) of a (channels, frames) array, via SciPy."""
    shelf, highpass = k_weighting_coefficients(sample_rate)
    sos = np.array([[*shelf[:3], 1.0, *shelf[3:]], [*highpass[:3], 1.0, *highpass[3:]]])
    planar = np.asarray(planar, dtype=np.float64)
    if planar.shape[-1] == 0:
        return planar.copy()
    return _signal.sosfilt(sos, planar, axis=-1)


def k_weight_exact(planar, sample_rate):
    """The K-weighting in the compiled meter's operation order (slow: short signals).

    Each stage is direct form I in double, state zero at the start:
        w = ((b0*x[n] + b1*x[n-1]) + b2*x[n-2]) - a2*y[n-2]
        y[n] = w - a1*y[n-1]
    so the serial dependency through y[n-1] is one multiply and one subtract.
    Separate multiplies and adds: no fused multiply-add anywhere.
    """
    stages = k_weighting_coefficients(sample_rate)
    planar = np.asarray(planar, dtype=np.float64)
    out = np.empty_like(planar)
    for c in range(planar.shape[0]):
        data = planar[c].tolist()
        for b0, b1, b2, a1, a2 in stages:
            x1 = x2 = y1 = y2 = 0.0
            result = []
            for x in data:
                w = ((b0 * x + b1 * x1) + b2 * x2) - a2 * y2
                y = w - a1 * y1
                x2, x1, y2, y1 = x1, x, y1, y
                result.append(y)
            data = result
        out[c] = data
    return out


# ---------------------------------------------------------------------------
# Channels, blocks and gates

SURROUND_WEIGHT = 1.41


def channel_weights(channels):
    """Weight of each channel by position, as libebur128 assigns them by default.

    1: mono (weight 1, not dual mono); 2: L R; 3: L R C; 4: L R Ls Rs;
    5: L R C Ls Rs; 6 and more: L R C LFE Ls Rs, the LFE and every channel
    after the sixth weighted 0 (left out of the loudness).
    """
    if channels == 4:
        return (1.0, 1.0, SURROUND_WEIGHT, SURROUND_WEIGHT)
    if channels == 5:
        return (1.0, 1.0, 1.0, SURROUND_WEIGHT, SURROUND_WEIGHT)
    if channels >= 6:
        return (1.0, 1.0, 1.0, 0.0, SURROUND_WEIGHT, SURROUND_WEIGHT) + (0.0,) * (channels - 6)
    return (1.0,) * channels


def subblock_length(sample_rate):
    """Frames per 100 ms sub-block: fs / 10 rounded half up (1103 at 11025 Hz)."""
    return (int(sample_rate) + 5) // 10


BLOCK_SUBBLOCKS = 4  # a 400 ms gating block
SHORT_TERM_SUBBLOCKS = 30  # a 3 s short-term window
SHORT_TERM_STEP = 10  # one short-term window per second, as libebur128
# -70 LUFS as a mean-square power: 10 ** ((-70 + 0.691) / 10).
ABSOLUTE_GATE_POWER = float.fromhex("0x1.f791ec6e1d5b7p-24")
LUFS_OFFSET = -0.691


def subblock_powers(weighted, frames_per_subblock, weights):
    """W[k]: the channel-weighted sums of squares of sub-block k, complete ones only.

    Per channel the squares are summed in frame order (np.add.accumulate is
    sequential), then the channels are added in channel order with their
    weights; channels weighted 0 are skipped.
    """
    count = weighted.shape[1] // frames_per_subblock
    out = np.zeros(count)
    for k in range(count):
        seg = weighted[:, k * frames_per_subblock : (k + 1) * frames_per_subblock]
        total = 0.0
        for c, g in enumerate(weights):
            if g == 0.0:
                continue
            total = total + g * float(np.add.accumulate(seg[c] * seg[c])[-1])
        out[k] = total
    return out


def window_powers(subblocks, length, step, frames_per_subblock):
    """Mean-square powers of windows of `length` sub-blocks every `step` sub-blocks.

    Each window's sum runs over its sub-blocks in order, then is divided by
    its frame count.
    """
    frames = float(length * frames_per_subblock)
    out = []
    for start in range(0, len(subblocks) - length + 1, step):
        total = 0.0
        for value in subblocks[start : start + length]:
            total = total + float(value)
        out.append(total / frames)
    return np.array(out)


def _sequential_mean(values):
    total = 0.0
    for value in values:
        total = total + float(value)
    return total / len(values)


def _lufs(power):
    return LUFS_OFFSET + 10.0 * math.log10(power)


def integrated_loudness(block_powers):
    """BS.1770 gating: absolute at -70 LUFS, then 10 LU below the absolutely gated mean."""
    kept = block_powers[block_powers > ABSOLUTE_GATE_POWER]
    if kept.size == 0:
        return -math.inf
    kept = kept[kept > _sequential_mean(kept) / 10.0]
    return _lufs(_sequential_mean(kept))


def percentile_index(count, percent):
    """Nearest rank, rounded half up: floor((count - 1) * percent / 100 + 1/2)."""
    return ((count - 1) * percent + 50) // 100


def loudness_range(short_term_powers):
    """EBU Tech 3342: gates at -70 LUFS and 20 LU below the mean, 10th to 95th percentile."""
    kept = short_term_powers[short_term_powers > ABSOLUTE_GATE_POWER]
    if kept.size == 0:
        return -math.inf
    kept = np.sort(kept[kept > _sequential_mean(kept) / 100.0])
    high = kept[percentile_index(kept.size, 95)]
    low = kept[percentile_index(kept.size, 10)]
    return 10.0 * (math.log10(high) - math.log10(low))


# ---------------------------------------------------------------------------
# True peak

# The BS.1770 interpolation filter, four phases of twelve taps, exact in
# float32. Output n of phase p lies at time n - 6 + (2p + 1) / 8 samples.
REFERENCE_PHASES = (
    np.array(
        [
            [14, 90, -161, 272, -487, 1125, 7964, -838, 390, -218, 122, -68],
            [-239, 240, -424, 730, -1364, 3810, 6388, -1641, 832, -477, 271, -155],
            [-155, 271, -477, 832, -1641, 6388, 3810, -1364, 730, -424, 240, -239],
            [-68, 122, -218, 390, -838, 7964, 1125, -487, 272, -161, 90, 14],
        ],
        dtype=np.float64,
    )
    / 8192.0
)
REFERENCE_TAPS = 12

# The precise interpolator: the band-limited (sinc) reconstruction itself,
# in two parts. The near part, 128 taps tabulated at 16 fractional
# positions (row r evaluates the waveform at i + r/16 from x[i-63] ..
# x[i+64]), is the sinc after a gentle equaliser, unwindowed. The far part,
# every sample from 66 to FAR_REACH frames either side of the anchor's
# frame, is exact sinc reconstruction summed in closed form: sample i0 + e
# contributes x (-1)^e sin(pi tau) / (pi (tau - e)) at i0 + tau, and
# 1 / (tau - e) = -(1/e)(1 + tau/e + (tau/e)^2 + ...), so the whole far
# part is -(sin(pi tau) / pi) (G0 + tau (G1 + tau (G2 + tau G3))) with
# G_m = sum of x[i0 + e] (-1)^e / e^(m + 1): four dot products per anchor,
# whatever the position evaluated. Without it, any finite window misses
# the content near fs/2, whose sinc tails decay only as 1/e: a 512-tap
# Kaiser sinc still reads full-band noise up to 0.3 dB away from the
# waveform.
#
# The near part's taps and its equaliser are the engine's own design
# (src/engine/meter/precise_table.py, which generates the table the compiled
# meter embeds); the oracle reads them from there.
_TABLE_TOOL = Path(__file__).resolve().parents[1] / "src" / "engine" / "meter" / "precise_table.py"
_spec = importlib.util.spec_from_file_location("precise_table", _TABLE_TOOL)
_table_tool = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_table_tool)
PRECISE_EQUALISER = _table_tool.EQUALISER
PRECISE_HALF = _table_tool.HALF
PRECISE_STEPS = _table_tool.STEPS
# The far part: frames i0 - FAR_CORE .. i0 + FAR_CORE belong to the near part
# of every position evaluated around an anchor at frame i0 (positions
# i0 - 5/16 .. i0 + 21/16, whose 128-tap windows lie inside that core and
# whose few core samples outside their own window are added one by one);
# G0 reaches FAR_REACH frames, G1 .. G3 (weights 1/e^2 .. 1/e^4) less far.
FAR_CORE = 65
FAR_REACH = 8192
FAR_REACHES = (FAR_REACH, 1024, 256, 256)
# Screen: only local maxima of the 4x screen within this many dB of the
# reading so far are anchors, and of those only the ones whose near part
# (at the anchor and a quarter sample either side) comes within
# NEAR_MARGIN_DB of it are searched precisely (see the design note for the
# margins measured).
SCREEN_MARGIN_DB = 11.0
NEAR_MARGIN_DB = 4.5
NEAR_FACTOR = float(np.float32(10.0 ** (NEAR_MARGIN_DB / 20.0)))
# In a group of the tight screen margin (tight_groups) the near part needs
# to come within TIGHT_NEAR_MARGIN_DB.
TIGHT_NEAR_MARGIN_DB = 1.5
TIGHT_NEAR_FACTOR = float(np.float32(10.0 ** (TIGHT_NEAR_MARGIN_DB / 20.0)))
SCREEN_FACTOR = float(np.float32(10.0 ** (SCREEN_MARGIN_DB / 20.0)))
# The threshold is updated between blocks of this many screen outputs,
# counted from the start of the signal, so chunking cannot change it.
SCREEN_BLOCK = 4096
# The screen margin of a group of GROUP screen outputs (output n is in group
# n // GROUP): SCREEN_MARGIN_DB where near-Nyquist content surrounds it,
# MIDDLE_MARGIN_DB where some does, TIGHT_MARGIN_DB where little does.
# Little means: the largest octet sum of the alternating signal
# z[j] = (-1)^j x[j] over the frames of the group and two groups either
# side is at most OCTET_BOUND times the reading (an amplitude of a fifth of
# it), and the coherence of z (its 64-frame sums weighted by
# COHERENCE_WEIGHTS over COHERENCE_REACH groups either side) is at most
# COHERENCE_BOUND times the reading (the coherence in float32, the weights
# rounded to float32); some means: at most OCTET_MIDDLE and COHERENCE_MIDDLE
# times the reading. The 4x filter under-reads
# near-Nyquist content, most where it starts abruptly, and the waveform of a
# coherent run of z grows like the log of its length: short runs show in
# the octet sums (their steps cancel in longer sums), long ones in the
# coherence. See the design note for the margins measured.
TIGHT_MARGIN_DB = 3.0
TIGHT_FACTOR = float(np.float32(10.0 ** (TIGHT_MARGIN_DB / 20.0)))
MIDDLE_MARGIN_DB = 7.0
MIDDLE_FACTOR = float(np.float32(10.0 ** (MIDDLE_MARGIN_DB / 20.0)))
GROUP = 64
COHERENCE_REACH = 32
OCTET_BOUND = 1.6
COHERENCE_BOUND = 0.2
OCTET_MIDDLE = 2.4
COHERENCE_MIDDLE = 0.3
WIDE, MIDDLE, TIGHT = 0, 1, 2
COHERENCE_WEIGHTS = np.array(
    [
        1.0 / (16.0 * math.pi) if abs(d) <= 1 else 1.0 / ((64.0 * (abs(d) - 1)) * math.pi)
        for d in range(-COHERENCE_REACH, COHERENCE_REACH + 1)
    ],
    np.float32,
)


def z_stats(frames):
    """Per group of 64 frames (float32, the first an even frame): the largest
    magnitude of its eight octet sums of z, and the sum of those octet sums,
    each sum the fixed tree of pairs ((z0 + z1) + (z2 + z3)) + ((z4 + z5) + (z6 + z7))
    with z0 + z1 = x0 - x1."""
    x = np.asarray(frames, np.float32)
    pairs = x[0::2] - x[1::2]
    quads = pairs[0::2] + pairs[1::2]
    octets = (quads[0::2] + quads[1::2]).reshape(-1, 8)
    o = octets
    total = ((o[:, 0] + o[:, 1]) + (o[:, 2] + o[:, 3])) + (
        (o[:, 4] + o[:, 5]) + (o[:, 6] + o[:, 7])
    )
    return np.abs(octets).max(axis=1), total


def group_tiers(segment, segment_start, frames, g0, g1, reading):
    """The tiers (WIDE, MIDDLE or TIGHT) of groups [g0, g1) of screen outputs,
    for one channel whose frames [segment_start, segment_start + len(segment))
    are `segment` (the signal has `frames` frames, zeros outside it)."""
    first, last = g0 - COHERENCE_REACH - 2, g1 + COHERENCE_REACH + 2
    x = np.zeros((last - first) * GROUP, np.float32)
    lo = max(first * GROUP, segment_start, 0)
    hi = min(last * GROUP, segment_start + segment.size, frames)
    if hi > lo:
        x[lo - first * GROUP : hi - first * GROUP] = segment[
            lo - segment_start : hi - segment_start
        ]
    octet_max, total = z_stats(x)
    magnitude = np.abs(total)
    count = g1 - g0
    # Group g0 + j is at index j + COHERENCE_REACH + 2; float32 throughout.
    coherence = COHERENCE_WEIGHTS[0] * magnitude[2 : 2 + count]
    for i in range(1, COHERENCE_WEIGHTS.size):
        coherence = coherence + COHERENCE_WEIGHTS[i] * magnitude[i + 2 : i + 2 + count]
    near = octet_max[COHERENCE_REACH : COHERENCE_REACH + count]
    for shift in range(1, 5):
        near = np.maximum(
            near, octet_max[COHERENCE_REACH + shift : COHERENCE_REACH + shift + count]
        )
    octets = near.astype(np.float64)
    coherent = coherence.astype(np.float64)
    tight = (octets <= OCTET_BOUND * reading) & (coherent <= COHERENCE_BOUND * reading)
    middle = (octets <= OCTET_MIDDLE * reading) & (coherent <= COHERENCE_MIDDLE * reading)
    return np.where(tight, TIGHT, np.where(middle, MIDDLE, WIDE))


def far_table(m):
    """float32 weights (-1)^e / e^(m + 1) for e = -reach .. reach (reach =
    FAR_REACHES[m]), 0 in the core |e| <= FAR_CORE, zeros after the last to
    make the length a multiple of 8."""
    reach = FAR_REACHES[m]
    e = np.arange(-reach, reach + 1)
    safe = np.where(np.abs(e) > FAR_CORE, e, 1).astype(np.float64)
    weights = np.where(np.abs(e) > FAR_CORE, np.where(e % 2 == 0, 1.0, -1.0) / safe ** (m + 1), 0.0)
    length = -(-weights.size // 32) * 32
    return np.concatenate([weights, np.zeros(length - weights.size)]).astype(np.float32)


FAR_TABLES = tuple(far_table(m) for m in range(4))


# float32: the very values the compiled meter embeds.
PRECISE_TABLE = _table_tool.coefficients()


def _dot8(coefficients, rows):
    """Sum of coefficients * rows over the last axis as eight interleaved partial
    sums (lane j takes terms j, j + 8, j + 16, ... in order), then added as a
    fixed tree; in the arrays' type (float32 for the precise interpolator)."""
    products = coefficients * rows
    acc = products[..., 0:8].copy()
    for g in range(8, products.shape[-1], 8):
        acc = acc + products[..., g : g + 8]
    return ((acc[..., 0] + acc[..., 1]) + (acc[..., 2] + acc[..., 3])) + (
        (acc[..., 4] + acc[..., 5]) + (acc[..., 6] + acc[..., 7])
    )


def reference_screen(channel):
    """The BS.1770 4x interpolator in float32, taps in order: (frames + 11, 4) outputs."""
    x = np.concatenate(
        [
            np.zeros(REFERENCE_TAPS - 1, np.float32),
            channel.astype(np.float32),
            np.zeros(REFERENCE_TAPS - 1, np.float32),
        ]
    )
    count = channel.size + REFERENCE_TAPS - 1
    phases = REFERENCE_PHASES.astype(np.float32)
    out = np.empty((count, 4), np.float32)
    for p in range(4):
        acc = phases[p, 0] * x[REFERENCE_TAPS - 1 : REFERENCE_TAPS - 1 + count]
        for m in range(1, REFERENCE_TAPS):
            acc = acc + phases[p, m] * x[REFERENCE_TAPS - 1 - m : REFERENCE_TAPS - 1 - m + count]
        out[:, p] = acc
    return out


def reference_values(channel, positions):
    """The same 4x interpolator in double, at 4x grid positions u = 4 n + p."""
    x = np.concatenate(
        [np.zeros(REFERENCE_TAPS - 1), channel.astype(np.float64), np.zeros(REFERENCE_TAPS)]
    )
    n, p = np.divmod(positions, 4)
    acc = np.zeros(len(positions))
    for m in range(REFERENCE_TAPS):
        acc = acc + REFERENCE_PHASES[p, m] * x[n + REFERENCE_TAPS - 1 - m]
    return acc


def precise_near(channel, sixteenths):
    """The near part alone at times t = sixteenths / 16, float32 (zeros outside
    the channel)."""
    pad = PRECISE_HALF + 8
    x = np.concatenate(
        [np.zeros(pad, np.float32), channel.astype(np.float32), np.zeros(pad, np.float32)]
    )
    i, r = np.divmod(sixteenths, PRECISE_STEPS)
    start = i - PRECISE_HALF + 1 + pad
    rows = x[start[:, None] + np.arange(2 * PRECISE_HALF)[None, :]]
    return _dot8(PRECISE_TABLE[r], rows)


def _dot32(coefficients, rows):
    """Sum of coefficients * rows over the last axis (a multiple of 32 long) as
    32 partial sums, sum i adding terms i, i + 32, ... in order; then sums
    i, i + 8, i + 16, i + 24 joined as (s_i + s_i+8) + (s_i+16 + s_i+24) and
    the eight results added as the fixed tree of _dot8; float32."""
    products = (coefficients * rows).astype(np.float32)
    acc = np.zeros(products.shape[:-1] + (32,), np.float32)
    for g in range(0, products.shape[-1], 32):
        acc = acc + products[..., g : g + 32]
    a = (acc[..., 0:8] + acc[..., 8:16]) + (acc[..., 16:24] + acc[..., 24:32])
    return ((a[..., 0] + a[..., 1]) + (a[..., 2] + a[..., 3])) + (
        (a[..., 4] + a[..., 5]) + (a[..., 6] + a[..., 7])
    )


def far_sums(channel, frames):
    """G0 .. G3 (float32 dot products as 32 partial sums from e = -reach on,
    see _dot32) around each frame i0, as doubles: shape (len(frames), 4).
    Samples outside the channel are zeros."""
    pad = FAR_REACH + 48
    x = np.concatenate(
        [np.zeros(pad, np.float32), channel.astype(np.float32), np.zeros(pad, np.float32)]
    )
    out = np.zeros((len(frames), 4))
    for m, table in enumerate(FAR_TABLES):
        start = np.asarray(frames) - FAR_REACHES[m] + pad
        for lo in range(0, len(frames), 256):
            rows = x[start[lo : lo + 256, None] + np.arange(table.size)[None, :]]
            out[lo : lo + 256, m] = _dot32(table, rows)
    return out


def _sine_of_sixteenths(offsets):
    """sin(pi r / 16) for integer offsets r, each from math.sin (NumPy's sin
    need not round as the C library's does)."""
    offsets = np.asarray(offsets, np.int64)
    table = {r: math.sin(math.pi * (r / 16.0)) for r in np.unique(offsets).tolist()}
    return np.array([table[r] for r in offsets.tolist()], np.float64)


def precise_values(channel, sixteenths, base, sums):
    """The precise interpolator (near part, the core samples outside its
    window, far part) at times sixteenths[i] / 16 around frame base[i], whose
    far sums are sums[i] (G0 .. G3); doubles, each element computed by the
    same sequence of operations as one at a time."""
    sixteenths = np.asarray(sixteenths, np.int64)
    base = np.broadcast_to(np.asarray(base, np.int64), sixteenths.shape)
    sums = np.broadcast_to(np.asarray(sums, np.float64), sixteenths.shape + (4,))
    value = precise_near(channel, sixteenths).astype(np.float64)
    j = sixteenths >> 4
    offset = sixteenths - 16 * base
    tau = offset / 16.0
    sine = _sine_of_sixteenths(offset)
    x = channel.astype(np.float64)
    # Core samples the position's own 128-tap window leaves out, in order.
    for d in range(-FAR_CORE, FAR_CORE + 1):
        k = base + d
        outside = (
            ((k < j - PRECISE_HALF + 1) | (k > j + PRECISE_HALF)) & (k >= 0) & (k < channel.size)
        )
        if not outside.any():
            continue
        sign = -1.0 if d % 2 else 1.0
        sample = x[np.clip(k, 0, channel.size - 1)]
        term = sample * ((sign * sine) / (math.pi * (tau - d)))
        value = np.where(outside, value + term, value)
    g0, g1, g2, g3 = sums[..., 0], sums[..., 1], sums[..., 2], sums[..., 3]
    series = ((g3 * tau + g2) * tau + g1) * tau + g0
    return value + -(sine / math.pi) * series


def _vertex(a, b, c):
    """Value at the vertex of the parabola through magnitudes a, b, c (b the
    largest); b itself where the three are collinear."""
    d = (a - b) + (c - b)
    out = b.copy()
    curved = d < 0.0
    diff = a[curved] - c[curved]
    out[curved] = b[curved] - (diff * diff) / (8.0 * d[curved])
    return out


def anchor_peaks(channel, anchors, reading=0.0, near_factors=NEAR_FACTOR):
    """Per anchor (a 4x grid position): the largest of the double 4x values at
    u-1, u, u+1 and the precise peak found near it in two steps.

    The near part at c and c -+ 1/4 decides first whether the anchor can
    matter: where its largest magnitude times its near factor (NEAR_FACTOR,
    or TIGHT_NEAR_FACTOR in a group of the tight margin) stays under
    `reading` (the reading before the anchor's block), the precise search is
    skipped and only the 4x values count.

    Step 1 evaluates the precise interpolator at the anchor's time c and at
    c -+ 1/4 sample (the neighbouring 4x positions); the vertex of the parabola
    through the three magnitudes, kept within c -+ 1/4, rounded to the nearest
    sixteenth, is g (without curvature, g is the largest of the three). Step 2 evaluates g - 1/16,
    g, g + 1/16 and takes the larger of their largest magnitude and the
    vertex of the parabola through them. Six dot products per anchor.
    """
    anchors = np.asarray(anchors, dtype=np.int64)
    if anchors.size == 0:
        return np.zeros(0)
    # u = 4 n + p sits at n - 6 + (2 p + 1) / 8 samples, in sixteenths:
    n, p = np.divmod(anchors, 4)
    centre = 16 * (n - 6) + 4 * p + 2
    base = centre >> 4
    near = np.abs(precise_near(channel, np.concatenate([centre - 4, centre, centre + 4])))
    near = near.reshape(3, anchors.size).max(axis=0).astype(np.float64)
    searched = np.nonzero(near * near_factors >= reading)[0]
    sums = np.zeros((anchors.size, 4))
    sums[searched] = far_sums(channel, base[searched])
    peak = np.zeros(anchors.size)
    if searched.size:
        c0, b0, g = centre[searched], base[searched], sums[searched]
        a, b, c = (np.abs(precise_values(channel, c0 + shift, b0, g)) for shift in (-4, 0, 4))
        d = (a - b) + (c - b)
        curved = d < 0.0
        with np.errstate(divide="ignore", invalid="ignore"):
            offset = np.minimum(1.0, np.maximum(-1.0, (a - c) / (2.0 * d)))
        step = np.where(
            curved,
            np.floor(4.0 * offset + 0.5),
            np.where((b >= a) & (b >= c), 0.0, np.where(a > c, -4.0, 4.0)),
        )
        fine_at = c0 + step.astype(np.int64)
        fa, fb, fc = (
            np.abs(precise_values(channel, fine_at + shift, b0, g)) for shift in (-1, 0, 1)
        )
        middle = (fb >= fa) & (fb >= fc)
        fine = np.where(middle, _vertex(fa, fb, fc), np.maximum(np.maximum(fa, fb), fc))
        peak[searched] = np.maximum(np.maximum(fine, a), np.maximum(b, c))
    total = channel.size + REFERENCE_TAPS - 1
    ref = np.zeros(anchors.size)
    for shift_u in (-1, 0, 1):
        u = anchors + shift_u
        ok = (u >= 0) & (u < 4 * total)
        r = np.zeros(anchors.size)
        r[ok] = np.abs(reference_values(channel, u[ok]))
        ref = np.maximum(ref, r)
    return np.maximum(peak, ref)


# Frames a screen block needs around its outputs: the screen reaches 11
# back, an anchor's evaluation PRECISE_HALF + 7 back and PRECISE_HALF - 5 ahead.
BLOCK_BEFORE = FAR_REACH + 80
BLOCK_AFTER = FAR_REACH + 80


def block_reading(segment, segment_start, block, reading, frames, screened=True):
    """The reading after screen block `block`, given the reading before it.

    `segment` holds frames [segment_start, segment_start + width) of the
    (channels, frames) signal, float32, and must cover the block's frames
    from BLOCK_BEFORE before it to BLOCK_AFTER after it, or up to the end of
    the signal (`frames` long; frames outside it are zeros). The block's
    screen outputs are n = block * SCREEN_BLOCK .. + SCREEN_BLOCK - 1 (output n
    of the 4x filter reads frames n - 11 .. n; there are frames + 11 outputs).
    """
    outputs = frames + REFERENCE_TAPS - 1
    low = block * SCREEN_BLOCK
    high = min(low + SCREEN_BLOCK, outputs)
    result = reading
    first, last = low, min(frames, high)
    if first < last:
        result = max(
            result, float(np.abs(segment[:, first - segment_start : last - segment_start]).max())
        )
    for channel in segment:
        screen = np.abs(reference_screen(channel).reshape(-1))  # 4 (n - segment_start) + p
        local = np.arange(4 * (low - segment_start), 4 * (high - segment_start))
        here = screen[local]
        before = (
            screen[local - 1]
            if local[0] > 0
            else np.concatenate([[np.float32(0)], screen[local[1:] - 1]])
        )
        after_index = local + 1
        after = np.where(
            after_index < 4 * (outputs - segment_start),
            screen[np.minimum(after_index, screen.size - 1)],
            np.float32(0),
        )
        anchors = local[(here >= before) & (here > after) & (here > 0)]
        if screened and anchors.size:
            g0 = low // GROUP
            g1 = -(-high // GROUP)
            tier = group_tiers(channel, segment_start, frames, g0, g1, reading)
            group = (anchors // 4 + segment_start) // GROUP
            factor = np.array([SCREEN_FACTOR, MIDDLE_FACTOR, TIGHT_FACTOR])[tier[group - g0]]
            keep = screen[anchors].astype(np.float64) * factor >= reading
            near_factors = np.where(tier[group - g0] == TIGHT, TIGHT_NEAR_FACTOR, NEAR_FACTOR)[keep]
            anchors = anchors[keep]
        else:
            near_factors = NEAR_FACTOR
        if anchors.size:
            result = max(
                result,
                float(
                    anchor_peaks(channel, anchors, reading if screened else 0.0, near_factors).max()
                ),
            )
    return result


def true_peak_linear(planar, screened=True):
    """The true peak of a whole (channels, frames) signal, as a linear value.

    Screen blocks are visited in order; in each, only the local maxima of the
    float32 4x screen whose value times the screen factor of their group
    (SCREEN_FACTOR, MIDDLE_FACTOR or TIGHT_FACTOR, see group_tiers) reaches
    the reading of the blocks before are evaluated precisely (`screened=False` evaluates
    every local maximum: the two agree whenever the margins hold, which the
    tests check on the material that needs them most).
    """
    planar = np.asarray(planar, dtype=np.float32)
    channels, frames = planar.shape
    reading = 0.0
    blocks = -(-(frames + REFERENCE_TAPS - 1) // SCREEN_BLOCK) if frames else 0
    for b in range(blocks):
        start = max(0, b * SCREEN_BLOCK - BLOCK_BEFORE)
        stop = min(frames, (b + 1) * SCREEN_BLOCK + BLOCK_AFTER)
        reading = block_reading(planar[:, start:stop], start, b, reading, frames, screened)
    return reading


# ---------------------------------------------------------------------------
# The meter


@dataclass(frozen=True)
class Measurement:
    integrated_lufs: float
    loudness_range_lu: float
    true_peak_dbtp: float
    sample_peak_dbfs: float
    max_momentary_lufs: float
    max_short_term_lufs: float


def largest_window(sub, length, n):
    """The loudest window of `length` sub-blocks, one starting at every
    sub-block, ungated (the maximum momentary or short-term loudness)."""
    powers = window_powers(sub, length, 1, n)
    largest = float(powers.max()) if powers.size else 0.0
    return _lufs(largest) if largest > 0.0 else -math.inf


def to_planar(audio, axis=-1):
    """(channels, frames) float32 view of the input, with the limiter's array checks."""
    array = np.asarray(audio)
    if array.dtype != np.float32:
        array = array.astype(np.float32)
    if array.ndim not in (1, 2):
        raise ValueError(f"audio must be a 1D or 2D array, got {array.ndim} dimensions")
    frame_axis = axis + array.ndim if axis < 0 else axis
    if not 0 <= frame_axis < array.ndim:
        raise ValueError(f"axis={axis} is invalid for a {array.ndim}D array")
    planar = array[None, :] if array.ndim == 1 else (array if frame_axis == 1 else array.T)
    if planar.shape[0] == 0:
        raise ValueError("the channel dimension must not be empty")
    bad = ~np.isfinite(planar) | (np.abs(planar) > 4294967296.0)
    if bad.any():
        # The earliest frame first, then the lowest channel: the order in
        # which a meter reading the signal front to back meets them.
        frame, channel = (int(i) for i in np.argwhere(bad.T)[0])
        value = planar[channel, frame]
        if not np.isfinite(value):
            raise ValueError(f"input sample at frame {frame}, channel {channel} is not finite")
        # The float32's shortest decimal digits, without an exponent, as the
        # limiter prints them.
        shown = np.format_float_positional(np.float32(value), trim="-")
        raise ValueError(
            f"input sample at frame {frame}, channel {channel} must be between "
            f"-4294967296 and 4294967296, got {shown}"
        )
    return planar


def _db(linear):
    return 20.0 * math.log10(linear) if linear > 0.0 else -math.inf


def measure(audio, sample_rate, *, axis=-1, exact=False, screened=True, peaks=True):
    """The four figures of `audio` at `sample_rate`; see the module docstring.
    With `peaks` false both peak figures read -inf (the loudness alone)."""
    planar = to_planar(audio, axis)
    channels, frames = planar.shape
    n = subblock_length(sample_rate)
    weighted = (k_weight_exact if exact else k_weight)(planar, sample_rate)
    sub = subblock_powers(weighted, n, channel_weights(channels))
    blocks = window_powers(sub, BLOCK_SUBBLOCKS, 1, n)
    short = window_powers(sub, SHORT_TERM_SUBBLOCKS, SHORT_TERM_STEP, n)
    sample_peak = float(np.abs(planar).max()) if frames and peaks else 0.0
    return Measurement(
        integrated_lufs=integrated_loudness(blocks),
        loudness_range_lu=loudness_range(short),
        true_peak_dbtp=_db(true_peak_linear(planar, screened)) if peaks else -math.inf,
        sample_peak_dbfs=_db(sample_peak),
        max_momentary_lufs=largest_window(sub, BLOCK_SUBBLOCKS, n),
        max_short_term_lufs=largest_window(sub, SHORT_TERM_SUBBLOCKS, n),
    )


class Meter:
    """The same figures fed chunk by chunk, holding bounded state.

    K-weighting filter states and one partial sum per channel carry over
    between chunks; each completed sub-block leaves one number (its weighted
    power); the true-peak search keeps the last few thousand frames until
    their screen block can be evaluated.
    """

    def __init__(self, sample_rate, channels):
        if int(sample_rate) <= 0:
            raise ValueError("sample_rate must be a positive 32-bit integer")
        if channels <= 0:
            raise ValueError("channels must be greater than zero")
        self.sample_rate = int(sample_rate)
        self.channels = channels
        self._weights = channel_weights(channels)
        self._subblock = subblock_length(sample_rate)
        shelf, highpass = k_weighting_coefficients(sample_rate)
        self._sos = np.array([[*shelf[:3], 1.0, *shelf[3:]], [*highpass[:3], 1.0, *highpass[3:]]])
        self._zi = np.zeros((2, channels, 2))
        self._partial = np.zeros(channels)  # running sums of squares in the open sub-block
        self._filled = 0  # frames in the open sub-block
        self._subblocks = []
        self._frames = 0
        self._sample_peak = 0.0
        self._reading = 0.0
        self._next_block = 0
        self._kept = np.zeros((channels, 0), np.float32)  # frames [self._kept_start, self._frames)
        self._kept_start = 0

    def add(self, chunk, *, axis=-1):
        planar = to_planar(chunk, axis)
        if planar.shape[0] != self.channels:
            raise ValueError(
                f"chunk has {planar.shape[0]} channels, the meter measures {self.channels}"
            )
        frames = planar.shape[1]
        if frames == 0:
            return
        weighted, self._zi = _signal.sosfilt(
            self._sos, planar.astype(np.float64), axis=-1, zi=self._zi
        )
        pos = 0
        while pos < frames:
            take = min(frames - pos, self._subblock - self._filled)
            seg = weighted[:, pos : pos + take]
            for c in range(self.channels):
                self._partial[c] = np.add.accumulate(
                    np.concatenate([[self._partial[c]], seg[c] * seg[c]])
                )[-1]
            self._filled += take
            pos += take
            if self._filled == self._subblock:
                total = 0.0
                for c, g in enumerate(self._weights):
                    if g != 0.0:
                        total = total + g * float(self._partial[c])
                self._subblocks.append(total)
                self._partial[:] = 0.0
                self._filled = 0
        self._sample_peak = max(self._sample_peak, float(np.abs(planar).max()))
        self._kept = np.concatenate([self._kept, planar], axis=1)
        self._frames += frames
        self._run_blocks(final=False)

    def _run_blocks(self, final):
        outputs = self._frames + REFERENCE_TAPS - 1
        while True:
            b = self._next_block
            if b * SCREEN_BLOCK >= (outputs if final else self._frames):
                break
            stop = (b + 1) * SCREEN_BLOCK + BLOCK_AFTER
            if not final and stop > self._frames:
                break  # the block's look-ahead has not arrived yet
            start = max(0, b * SCREEN_BLOCK - BLOCK_BEFORE)
            segment = self._kept[
                :, start - self._kept_start : min(stop, self._frames) - self._kept_start
            ]
            frames = self._frames if final else max(self._frames, stop)
            self._reading = block_reading(segment, start, b, self._reading, frames)
            self._next_block += 1
            # Drop what no later block reads.
            keep_from = max(0, self._next_block * SCREEN_BLOCK - BLOCK_BEFORE)
            if keep_from > self._kept_start:
                self._kept = self._kept[:, keep_from - self._kept_start :]
                self._kept_start = keep_from

    def result(self):
        """The figures of everything added so far (the meter can go on after it)."""
        saved = (self._next_block, self._reading, self._kept, self._kept_start)
        self._run_blocks(final=True)
        reading = self._reading
        self._next_block, self._reading, self._kept, self._kept_start = saved
        sub = np.array(self._subblocks)
        blocks = window_powers(sub, BLOCK_SUBBLOCKS, 1, self._subblock)
        short = window_powers(sub, SHORT_TERM_SUBBLOCKS, SHORT_TERM_STEP, self._subblock)
        return Measurement(
            integrated_lufs=integrated_loudness(blocks),
            loudness_range_lu=loudness_range(short),
            true_peak_dbtp=_db(reading),
            sample_peak_dbfs=_db(self._sample_peak),
            max_momentary_lufs=largest_window(sub, BLOCK_SUBBLOCKS, self._subblock),
            max_short_term_lufs=largest_window(sub, SHORT_TERM_SUBBLOCKS, self._subblock),
        )


# ---------------------------------------------------------------------------
# References the meter is compared with


def bs1770_reference_peak(planar):
    """Largest magnitude the BS.1770 4x interpolator gives (double, full convolution)."""
    planar = np.atleast_2d(np.asarray(planar, dtype=np.float64))
    best = 0.0
    for channel in planar:
        for phase in REFERENCE_PHASES:
            best = max(best, float(np.abs(np.convolve(channel, phase)).max(initial=0.0)))
    return best


def sinc_peak(planar, factor=32):
    """Peak of the band-limited (sinc) reconstruction, read on a `factor`x grid.

    The samples, with zeros around them, are interpolated exactly in the
    frequency domain (the Nyquist bin split evenly between its two images);
    a second of zeros on each side makes the wrap-around of the periodic
    transform negligible (a sinc tail of 1/(pi * fs) at most).
    """
    planar = np.atleast_2d(np.asarray(planar, dtype=np.float64))
    frames = planar.shape[1]
    size = 1 << int(math.ceil(math.log2(frames + 2 * max(4096, frames // 4))))
    best = 0.0
    for channel in planar:
        spectrum = np.fft.rfft(channel, size)
        spectrum[-1] *= 0.5
        wide = np.zeros(size * factor // 2 + 1, complex)
        wide[: spectrum.size] = spectrum
        best = max(best, float(np.abs(np.fft.irfft(wide, size * factor)).max()) * factor)
    return best


# ---------------------------------------------------------------------------
# Test signals. Every generator returns float32 (channels, frames), so the
# meter and the references see the very same numbers.


def _ramps(frames, ramp):
    """Flat 1 with raised-cosine ramps of `ramp` frames at both ends."""
    t = np.arange(frames, dtype=np.float64)
    edge = np.minimum(1.0, np.minimum(t, frames - 1 - t) / max(ramp, 1))
    return 0.5 - 0.5 * np.cos(np.pi * edge)


def tone(
    rate, frequency, seconds=0.5, amplitude=0.5, ramp_seconds=0.05, channels=1, crest_between=True
):
    """A steady sine with gentle ramps; with `crest_between` a crest falls halfway
    between the two middle samples (its worst phase: at fs/4 the samples sit
    45 degrees off the crests). Its true peak is `amplitude`."""
    frames = int(round(rate * seconds))
    centre = frames // 2 + (0.5 if crest_between else 0.0)
    t = (np.arange(frames) - centre) / rate
    x = amplitude * np.cos(2 * np.pi * frequency * t) * _ramps(frames, rate * ramp_seconds)
    return np.repeat(x[None, :], channels, axis=0).astype(np.float32)


def sine_sum(rate, frequencies, amplitudes, seconds=0.5):
    """Sines that all crest together halfway between two samples: the true peak
    is exactly sum(amplitudes) (ramps end far from that crest)."""
    frames = int(round(rate * seconds))
    t = (np.arange(frames) - frames // 2 - 0.5) / rate
    x = sum(a * np.cos(2 * np.pi * f * t) for f, a in zip(frequencies, amplitudes))
    return (x * _ramps(frames, rate * 0.05))[None, :].astype(np.float32)


def transients(rate, seconds=0.5, seed=0):
    """Clicks, steps and short bursts (full band, no ramps)."""
    rng = np.random.default_rng(seed)
    frames = int(round(rate * seconds))
    x = np.zeros(frames)
    spots = rng.integers(64, frames - 64, 24)
    x[spots[:8]] = rng.choice([-0.9, 0.9], 8)
    for s in spots[8:16]:
        x[s : s + 40] += rng.choice([-0.4, 0.4])
    for s in spots[16:]:
        x[s : s + 32] += 0.5 * rng.standard_normal(32) * np.exp(-np.arange(32) / 6)
    return np.clip(x, -0.99, 0.99)[None, :].astype(np.float32)


def clipped_noise(rate, seconds=0.5, drive=3.0, seed=0):
    """Gaussian noise driven into hard clipping at 0.5."""
    rng = np.random.default_rng(seed)
    x = np.clip(rng.standard_normal(int(round(rate * seconds))) * drive, -1.0, 1.0) * 0.5
    return x[None, :].astype(np.float32)


def band_noise(rate, low, high, seconds=0.5, seed=0, peak=0.7):
    """Noise band-limited to [low, high] x fs (low = 0 for a low pass), ramped,
    scaled so its largest sample is `peak`."""
    rng = np.random.default_rng(seed)
    frames = int(round(rate * seconds))
    if low <= 0:
        taps = _signal.firwin(801, 2 * high, window=("kaiser", 12))
    else:
        taps = _signal.firwin(801, [2 * low, 2 * high], pass_zero=False, window=("kaiser", 12))
    x = np.convolve(rng.standard_normal(frames), taps, "same") * _ramps(frames, frames // 10)
    return (x / np.abs(x).max() * peak)[None, :].astype(np.float32)


def music_like(rate, seconds, channels=2, seed=1234, level=1.0):
    """Slowly modulated harmonic tones per channel plus decaying noise bursts,
    soft-saturated: a stand-in for mixed music with occasional sharp peaks."""
    rng = np.random.default_rng(seed)
    frames = int(round(rate * seconds))
    t = np.arange(frames) / rate
    freqs = np.array([110.0, 164.8, 220.0, 277.2, 329.6, 440.0, 659.3, 1318.5])
    amps = 1.8 * np.array([0.20, 0.12, 0.10, 0.08, 0.07, 0.05, 0.03, 0.015])
    out = np.zeros((channels, frames))
    for c in range(channels):
        for k in range(freqs.size):
            env = 0.6 + 0.4 * np.sin(2 * np.pi * rng.uniform(0.1, 1.5) * t + k)
            out[c] += amps[k] * env * np.sin(2 * np.pi * freqs[k] * t + rng.uniform(0, 2 * np.pi))
    pos = 0
    decay = np.exp(-np.arange(int(0.15 * rate)) / (0.03 * rate))
    while True:
        pos += int(rng.uniform(0.125, 0.5) * rate)
        if pos >= frames:
            break
        m = min(decay.size, frames - pos)
        peak = rng.uniform(0.5, 2.2) if rng.random() < 0.8 else rng.uniform(0.05, 0.5)
        out[:, pos : pos + m] += rng.standard_normal((channels, m)) * decay[:m] * (peak / 3.0)
    return (2.0 * np.tanh(level * out / 2.0)).astype(np.float32)


def sectioned_music(rate, seconds, channels=2, seed=7):
    """Music-like audio in sections of 4 to 15 s whose levels span 20 dB,
    joined by crossfades of 0.5 to 3 s: material with a loudness range."""
    rng = np.random.default_rng(seed)
    frames = int(round(rate * seconds))
    levels = np.zeros(frames)
    pos = 0
    while pos < frames:
        length = int(rate * rng.uniform(4, 15))
        levels[pos : pos + length] = rng.uniform(-20, 0)
        pos += length
    fade = int(rate * rng.uniform(0.5, 3))
    running = np.concatenate([[0.0], np.cumsum(np.pad(levels, (fade, 0), mode="edge"))])
    levels = (running[fade:] - running[:-fade])[:frames] / fade  # moving average: crossfades
    base = music_like(rate, seconds, channels, seed).astype(np.float64)
    return (base * 10 ** (levels / 20) * 0.5).astype(np.float32)


def sign_run(rate, half, amplitude=0.9, noise=0.02, shift=0, seconds=0.04):
    """Low noise with, near the middle, the worst signs for a point between
    two samples over +-half samples: a step of the alternating signal, whose
    waveform grows like log(half) while the 4x screen sees little of it.
    (1, frames) float32."""
    rng = np.random.default_rng(half + shift)
    x = noise * rng.standard_normal(int(rate * seconds))
    k = np.arange(-half + 1, half + 1)
    x[x.size // 2 + shift + k] += amplitude * np.sign(np.sinc(k - 0.5))
    return x[None].astype(np.float32)


def after_its_copy(part):
    """`part` at 0.99 of its level, the far part's reach and a screen block
    of silence, then `part` itself: its second copy's blocks face a reading
    just under their own peak, so their screen margins decide whether the
    peak is found."""
    part = np.asarray(part, np.float32)
    gap = np.zeros((part.shape[0], FAR_REACH + SCREEN_BLOCK), np.float32)
    return np.concatenate([np.float32(0.99) * part, gap, part], axis=1)
