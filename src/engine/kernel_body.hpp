// Bodies of the engine's hot loops, written once and compiled once per
// instruction-set path: kernels.cpp includes this file several times, each
// time inside its own namespace and under its own target pragma, so that
// every function here, helpers included, carries that path's target. Before
// each inclusion the namespace defines
//   V                          the vector type (simd_lanes.hpp),
//   bool any_lane(mask of V)   whether any lane of a comparison is set,
//   int kaiser_vectors(int L)  vectors of frames per stage-1 block,
//   VD, VDF                    a vector of doubles and one of as many floats.
// The entry points and the Kernels table of the path are at the end.
//
// The loops run across frames: lane l of a vector holds frame a + l, and
// each lane goes through exactly the operations, in exactly the order, that
// a single frame would. The scalar remainders and the bounds-checked edge
// paths use the same templates with a float in place of the vector, so the
// results do not depend on the vector width or on the path. Where computing
// a frame twice changes nothing (the filters), a remainder of a long run is
// covered by one more vector ending at the last frame instead.
//
// No include guard, on purpose; include only from kernels.cpp.

// ---------------------------------------------------------------------------
// Lanes: loads, stores and the few element-wise operations the loops need,
// for a float and for the vector types.

template <class V>
struct Lanes;

template <>
struct Lanes<float> {
  static constexpr int width = 1;
  static QX_INLINE float load(const float* p) { return *p; }
  static QX_INLINE void store(float* p, float v) { *p = v; }
  static QX_INLINE float splat(float v) { return v; }
  static QX_INLINE float abs(float v) { return std::fabs(v); }
};

template <class V, class I, int W>
struct VectorLanes {
  static constexpr int width = W;
  static QX_INLINE V load(const float* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  static QX_INLINE void store(float* p, V v) { std::memcpy(p, &v, sizeof v); }
  // A uniform constructor, which compiles to one broadcast. (Adding the
  // value to a zero vector would not: 0 + x is not x for x = −0, so the
  // add has to be done.)
  static QX_INLINE V splat(float v) { return splat_of(v, std::make_integer_sequence<int, W>{}); }
  template <int... l>
  static QX_INLINE V splat_of(float v, std::integer_sequence<int, l...>) {
    return V{(static_cast<void>(l), v)...};
  }
  static QX_INLINE V abs(V v) { return reinterpret_cast<V>(reinterpret_cast<I>(v) & 0x7fffffff); }
};

template <>
struct Lanes<f32x4> : VectorLanes<f32x4, i32x4, 4> {};
template <>
struct Lanes<f32x8> : VectorLanes<f32x8, i32x8, 8> {};
template <>
struct Lanes<f32x16> : VectorLanes<f32x16, i32x16, 16> {};

// max that keeps `a` unless b is larger. Only ever applied to magnitudes of
// validated samples, where it is exact and order-independent.
template <class V>
QX_INLINE V vmax(V a, V b) {
  return a < b ? b : a;
}

// ---------------------------------------------------------------------------
// Sample validation, with or without folding sample peaks into levels.

QX_INLINE bool sample_ok(float x) {
  // False for NaN as well: a NaN compares unordered.
  return std::fabs(x) <= kSampleLimit;
}

enum class Peaks { None, Store, Fold };

// Peaks::Store writes |x[i]| to levels[i], Peaks::Fold folds it in with max;
// for levels that start at 0.0 the first is the same as the second.
template <Peaks Mode>
QX_INLINE std::uint64_t first_bad_body(const float* x, std::uint64_t n, float* levels) {
  using Ln = Lanes<V>;
  constexpr int W = Ln::width;
  const V limit = Ln::splat(kSampleLimit);
  std::uint64_t i = 0;
  for (; i + W <= n; i += W) {
    const V a = Ln::abs(Ln::load(x + i));
    if (any_lane(~(a <= limit))) {
      // Some lane failed: find the first one, in order.
      for (int l = 0; l < W; ++l) {
        if (!sample_ok(x[i + l])) return i + l;
      }
    }
    if constexpr (Mode == Peaks::Store) Ln::store(levels + i, a);
    if constexpr (Mode == Peaks::Fold) Ln::store(levels + i, vmax(Ln::load(levels + i), a));
  }
  for (; i < n; ++i) {
    if (!sample_ok(x[i])) return i;
    if constexpr (Mode == Peaks::Store) levels[i] = std::fabs(x[i]);
    if constexpr (Mode == Peaks::Fold) levels[i] = vmax(levels[i], std::fabs(x[i]));
  }
  return n;
}

// ---------------------------------------------------------------------------
// Gain application.

template <class V>
QX_INLINE V apply_gain(V x, V gain, V lower, V upper) {
  V y = x * gain;
  y = y < lower ? lower : y;
  y = y > upper ? upper : y;
  return y;
}

QX_INLINE void apply_gains_body(float* x, const float* gains, std::uint64_t n, float ceiling) {
  using Ln = Lanes<V>;
  constexpr int W = Ln::width;
  const V lower = Ln::splat(-ceiling);
  const V upper = Ln::splat(ceiling);
  std::uint64_t i = 0;
  for (; i + W <= n; i += W) {
    Ln::store(x + i, apply_gain(Ln::load(x + i), Ln::load(gains + i), lower, upper));
  }
  for (; i < n; ++i) x[i] = apply_gain(x[i], gains[i], -ceiling, ceiling);
}

// ---------------------------------------------------------------------------
// Signal sources for the filters: Interior reads a channel directly (the
// caller guarantees every offset is inside it); Checked reads 0.0 outside
// the channel's n frames.

template <class V>
struct Interior {
  const float* x;  // frame a of the first lane
  QX_INLINE V operator()(std::int64_t offset) const { return Lanes<V>::load(x + offset); }
};

struct Checked {
  const float* x;
  std::int64_t n;
  std::int64_t a;
  QX_INLINE float operator()(std::int64_t offset) const {
    const std::int64_t i = a + offset;
    return i >= 0 && i < n ? x[i] : 0.0f;
  }
};

// ---------------------------------------------------------------------------
// Stage 2: the BS.1770 interpolation filter at frame a. Returns the largest
// magnitude of the interpolated points of frame a (not of the sample).

// Four phases through the pair form: for each pair row, with
// s_j = x[a−6+j] + x[a+5−j] and d_j = x[a−6+j] − x[a+5−j],
// A = ((e0·s0 + e1·s1) + e2·s2) + … + e5·s5 and D likewise with o_j, d_j;
// the row yields A − D and A + D (phases 0 and 3, or 1 and 2).
template <class V, class Src>
QX_INLINE V four_phase_peak(const Src& src) {
  using Ln = Lanes<V>;
  V s[6], d[6];
#pragma GCC unroll 6
  for (int j = 0; j < 6; ++j) {
    const V u = src(j - 6);
    const V v = src(5 - j);
    s[j] = u + v;
    d[j] = u - v;
  }
  V peak{};
#pragma GCC unroll 2
  for (int row = 0; row < 2; ++row) {
    const float* pr = kReferencePairs[row];
    V A = Ln::splat(pr[0]) * s[0];
    V D = Ln::splat(pr[1]) * d[0];
#pragma GCC unroll 5
    for (int j = 1; j < 6; ++j) {
      A = A + Ln::splat(pr[2 * j]) * s[j];
      D = D + Ln::splat(pr[2 * j + 1]) * d[j];
    }
    const V pair_peak = vmax(Ln::abs(A - D), Ln::abs(A + D));
    peak = row == 0 ? pair_peak : vmax(peak, pair_peak);
  }
  return peak;
}

// Phases 0 and 2 in direct form:
// y_p = ((h_p[0]·x[a+5] + h_p[1]·x[a+4]) + h_p[2]·x[a+3]) + … + h_p[11]·x[a−6].
template <class V, class Src>
QX_INLINE V two_phase_peak(const Src& src) {
  using Ln = Lanes<V>;
  V x[12];
#pragma GCC unroll 12
  for (int m = 0; m < 12; ++m) x[m] = src(5 - m);
  V peak{};
#pragma GCC unroll 2
  for (int q = 0; q < 2; ++q) {
    const float* h = kReferencePhases[2 * q];
    V y = Ln::splat(h[0]) * x[0];
#pragma GCC unroll 11
    for (int m = 1; m < 12; ++m) y = y + Ln::splat(h[m]) * x[m];
    peak = q == 0 ? Ln::abs(y) : vmax(peak, Ln::abs(y));
  }
  return peak;
}

template <bool Four, class V, class Src>
QX_INLINE V reference_peak(const Src& src) {
  if constexpr (Four) {
    return four_phase_peak<V>(src);
  } else {
    return two_phase_peak<V>(src);
  }
}

// Stage 2 over positions [first, last) of a signal x of n samples with
// silence around it, folding each position's sample and interpolated points
// into levels[t − first]. Positions t < 6 and t ≥ n − 5 reach outside the
// signal and take the checked path, one at a time; the rest run W at a
// time, then one at a time, without checks.
template <bool Four>
QX_INLINE void reference_checked(const float* x, std::int64_t n, std::int64_t t, float* level) {
  const float peak = reference_peak<Four, float>(Checked{x, n, t});
  *level = vmax(*level, vmax(std::fabs(x[t]), peak));
}

template <bool Four>
__attribute__((noinline)) void reference_interior(const float* x, std::int64_t count,
                                                  float* levels) {
  using Ln = Lanes<V>;
  constexpr int W = Ln::width;
  std::int64_t a = 0;
  for (; a + W <= count; a += W) {
    const V peak = reference_peak<Four, V>(Interior<V>{x + a});
    const V level = vmax(Ln::load(levels + a), vmax(Ln::abs(Ln::load(x + a)), peak));
    Ln::store(levels + a, level);
  }
  if (a < count && count >= W) {
    // The last W frames once more: folding a frame's peaks twice leaves
    // its level as it was.
    a = count - W;
    const V peak = reference_peak<Four, V>(Interior<V>{x + a});
    const V level = vmax(Ln::load(levels + a), vmax(Ln::abs(Ln::load(x + a)), peak));
    Ln::store(levels + a, level);
    a = count;
  }
  for (; a < count; ++a) {
    const float peak = reference_peak<Four, float>(Interior<float>{x + a});
    levels[a] = vmax(levels[a], vmax(std::fabs(x[a]), peak));
  }
}

template <bool Four>
QX_INLINE void reference_range_body(const float* x, std::int64_t n, std::int64_t first,
                                    std::int64_t last, float* levels) {
  const std::int64_t lo = n < 12 ? n : 6;  // interior positions: [lo, hi)
  const std::int64_t hi = n < 12 ? n : n - 5;
  const std::int64_t a = std::max(first, lo);
  const std::int64_t b = std::min(last, hi);
  for (std::int64_t t = first; t < std::min(last, lo); ++t) {
    reference_checked<Four>(x, n, t, levels + (t - first));
  }
  if (a < b) reference_interior<Four>(x + a, b - a, levels + (a - first));
  for (std::int64_t t = std::max(first, hi); t < last; ++t) {
    reference_checked<Four>(x, n, t, levels + (t - first));
  }
}

// ---------------------------------------------------------------------------
// Stage 1: Kaiser upsampling by L. Phase 0 is the sample itself; each pair
// row r yields phases r and L − r from 32 sample pairs, accumulated in
// ascending k:
//   a = x[i+k−31], b = x[i+32−k], p = (a + b)·e_k, q = (a − b)·o_k,
//   acc+ = acc+ + (p + q), acc− = acc− + (p − q),
// and for even L the middle phase is acc = acc + (x[i+k−31] + x[i+32−k])·g_k.

template <int L>
struct KaiserShape {
  static constexpr int rows = (L + 1) / 2 - 1;  // pair rows
  static constexpr bool middle = L % 2 == 0;
};

// Sources of J groups of frames, `stride` frames apart.
template <class V>
struct InteriorGroups {
  const float* x;
  std::int64_t stride;
  QX_INLINE V operator()(int j, std::int64_t offset) const {
    return Lanes<V>::load(x + j * stride + offset);
  }
};

struct CheckedGroups {
  Checked src;
  QX_INLINE float operator()(int, std::int64_t offset) const { return src(offset); }
};

// Computes phases 1 … L − 1 of J groups of frames into phase[j][c].
template <class V, int J, int L, class Src>
QX_INLINE void kaiser_phases(const Src& src, const float* pairs, const float* middle,
                             V (&phase)[J][L]) {
  using Ln = Lanes<V>;
  using Shape = KaiserShape<L>;
  constexpr int R = Shape::rows > 0 ? Shape::rows : 1;
  V plus[J][R], minus[J][R], mid[J];
#pragma GCC unroll 8
  for (int j = 0; j < J; ++j) {
#pragma GCC unroll 2
    for (int r = 0; r < R; ++r) plus[j][r] = minus[j][r] = Ln::splat(0.0f);
    mid[j] = Ln::splat(0.0f);
  }
  // Unrolled by four, not fully: unrolled 32 times the compiler computes
  // every product first and spills them all, while eight iterations of four
  // keep the accumulators in registers and broadcast each coefficient from
  // the table as it is needed.
#pragma GCC unroll 4
  for (int k = 0; k < kKaiserPairs; ++k) {
#pragma GCC unroll 8
    for (int j = 0; j < J; ++j) {
      const V a = src(j, k - 31);
      const V b = src(j, 32 - k);
      const V s = a + b;
      const V d = a - b;
#pragma GCC unroll 2
      for (int r = 0; r < Shape::rows; ++r) {
        const V p = s * Ln::splat(pairs[r * 2 * kKaiserPairs + 2 * k]);
        const V q = d * Ln::splat(pairs[r * 2 * kKaiserPairs + 2 * k + 1]);
        plus[j][r] = plus[j][r] + (p + q);
        minus[j][r] = minus[j][r] + (p - q);
      }
      if constexpr (Shape::middle) mid[j] = mid[j] + s * Ln::splat(middle[k]);
    }
  }
#pragma GCC unroll 8
  for (int j = 0; j < J; ++j) {
#pragma GCC unroll 2
    for (int r = 0; r < Shape::rows; ++r) {
      phase[j][r + 1] = plus[j][r];
      phase[j][L - 1 - r] = minus[j][r];
    }
    if constexpr (Shape::middle) phase[j][L / 2] = mid[j];
  }
}

// Stage 1 for frames [first, last) of a channel x of n frames: phase c
// (1 ≤ c < L) of frame i goes to out[c][i − first]; phase 0 is the sample
// itself and is not copied. Frames i < 31 and i ≥ n − 32 reach outside the
// channel and take the checked path; the interior runs in blocks of J × W
// frames, then W, then one at a time.
template <int L>
__attribute__((noinline)) void kaiser_checked(const float* x, std::int64_t n, std::int64_t i,
                                              const float* pairs, const float* middle,
                                              float* const* out, std::int64_t k) {
  float phase[1][L];
  kaiser_phases<float, 1, L>(CheckedGroups{Checked{x, n, i}}, pairs, middle, phase);
  for (int c = 1; c < L; ++c) out[c][k] = phase[0][c];
}

template <int L>
__attribute__((noinline)) void kaiser_interior(const float* x, std::int64_t count,
                                               const float* pairs, const float* middle,
                                               float* const* out, std::int64_t k0) {
  using Ln = Lanes<V>;
  constexpr int W = Ln::width;
  constexpr int J = kaiser_vectors(L);
  std::int64_t i = 0;
  for (; i + J * W <= count; i += J * W) {
    V phase[J][L];
    kaiser_phases<V, J, L>(InteriorGroups<V>{x + i, W}, pairs, middle, phase);
    for (int j = 0; j < J; ++j) {
      for (int c = 1; c < L; ++c) Ln::store(out[c] + k0 + i + j * W, phase[j][c]);
    }
  }
  for (; i + W <= count; i += W) {
    V phase[1][L];
    kaiser_phases<V, 1, L>(InteriorGroups<V>{x + i, W}, pairs, middle, phase);
    for (int c = 1; c < L; ++c) Ln::store(out[c] + k0 + i, phase[0][c]);
  }
  if (i < count && count >= W) {
    // The last W frames once more: a frame's phases are the same however
    // often they are computed, and one vector costs less than a few frames
    // one at a time.
    i = count - W;
    V phase[1][L];
    kaiser_phases<V, 1, L>(InteriorGroups<V>{x + i, W}, pairs, middle, phase);
    for (int c = 1; c < L; ++c) Ln::store(out[c] + k0 + i, phase[0][c]);
    i = count;
  }
  for (; i < count; ++i) {
    float phase[1][L];
    kaiser_phases<float, 1, L>(InteriorGroups<float>{x + i, 1}, pairs, middle, phase);
    for (int c = 1; c < L; ++c) out[c][k0 + i] = phase[0][c];
  }
}

template <int L>
QX_INLINE void kaiser_range_body(const float* x, std::int64_t n, std::int64_t first,
                                 std::int64_t last, const DetectionMode& mode,
                                 float* const* out) {
  const float* pairs = KaiserShape<L>::rows > 0 ? mode.pair_row(1) : nullptr;
  const float* middle = KaiserShape<L>::middle ? mode.phase_row(L / 2) : nullptr;
  const std::int64_t lo = n < 64 ? n : 31;  // interior frames: [lo, hi)
  const std::int64_t hi = n < 64 ? n : n - 32;
  const std::int64_t a = std::max(first, lo);
  const std::int64_t b = std::min(last, hi);
  for (std::int64_t i = first; i < std::min(last, lo); ++i) {
    kaiser_checked<L>(x, n, i, pairs, middle, out, i - first);
  }
  if (a < b) kaiser_interior<L>(x + a, b - a, pairs, middle, out, a - first);
  for (std::int64_t i = std::max(first, hi); i < last; ++i) {
    kaiser_checked<L>(x, n, i, pairs, middle, out, i - first);
  }
}

// ---------------------------------------------------------------------------
// Stage 2 on the upsampled signal, u[t] with t = i·L + c, held phase by
// phase: u[i·L + c] = phase[c][i − first]. For a fixed phase c, every
// sample that the filter at position i·L + c reads, u[i·L + c + δ] for
// δ = −6 … 5, is phase (c + δ) mod L of frame i + floor((c + δ) / L): one
// contiguous load across frames. So stage 2 runs across frames too, one
// phase after the other, with each position's arithmetic exactly that of
// the time-ordered signal; and frame i's level, the largest over its L
// positions, is folded at once.

template <class V, int L, int C>
struct PhaseInterior {
  const float* const* phase;
  std::int64_t k;  // frame of the first lane, relative to the phase arrays
  QX_INLINE V operator()(std::int64_t offset) const {
    const std::int64_t t = C + offset;
    const std::int64_t q = ((t % L) + L) % L;
    return Lanes<V>::load(phase[q] + k + (t - q) / L);
  }
};

template <int L>
struct PhaseChecked {
  const float* const* phase;
  std::int64_t first;  // the frame at index 0 of the phase arrays
  std::int64_t n;      // upsampled positions in the channel, F·L
  std::int64_t t;      // the position filtered
  QX_INLINE float operator()(std::int64_t offset) const {
    const std::int64_t p = t + offset;
    return p >= 0 && p < n ? phase[p % L][p / L - first] : 0.0f;
  }
};

template <int L, class Fn, int... C>
QX_INLINE void each_phase(Fn&& fn, std::integer_sequence<int, C...>) {
  (fn(std::integral_constant<int, C>{}), ...);
}

// Largest magnitude over the positions of one frame (W frames for a
// vector): the samples and their interpolated points.
template <bool Four, int L, class V>
QX_INLINE V upsampled_frame_peak(const float* const* phase, std::int64_t k) {
  using Ln = Lanes<V>;
  V level = Ln::abs(Ln::load(phase[0] + k));
  each_phase<L>(
      [&](auto c) __attribute__((always_inline)) {
        if constexpr (c.value > 0) level = vmax(level, Ln::abs(Ln::load(phase[c.value] + k)));
        level = vmax(level, reference_peak<Four, V>(PhaseInterior<V, L, c.value>{phase, k}));
      },
      std::make_integer_sequence<int, L>{});
  return level;
}

// Frames near the ends of the channel, one position at a time: positions
// t < 6 and t ≥ n − 5 reach outside the upsampled channel and take the
// checked path, the others read the phase arrays directly.
template <bool Four, int L>
__attribute__((noinline)) void upsampled_edge_frame(const float* const* phase,
                                                    std::int64_t first, std::int64_t n,
                                                    std::int64_t i, float* level) {
  const std::int64_t k = i - first;
  float peak = 0.0f;
  each_phase<L>(
      [&](auto c) __attribute__((always_inline)) {
        const std::int64_t t = i * L + c.value;
        peak = vmax(peak, std::fabs(phase[c.value][k]));
        const float p =
            t < 6 || t >= n - 5
                ? reference_peak<Four, float>(PhaseChecked<L>{phase, first, n, t})
                : reference_peak<Four, float>(PhaseInterior<float, L, c.value>{phase, k});
        peak = vmax(peak, p);
      },
      std::make_integer_sequence<int, L>{});
  *level = vmax(*level, peak);
}

template <bool Four, int L>
__attribute__((noinline)) void upsampled_interior(const float* const* phase, std::int64_t k0,
                                                  std::int64_t count, float* levels) {
  using Ln = Lanes<V>;
  constexpr int W = Ln::width;
  std::int64_t k = 0;
  for (; k + W <= count; k += W) {
    const V peak = upsampled_frame_peak<Four, L, V>(phase, k0 + k);
    Ln::store(levels + k, vmax(Ln::load(levels + k), peak));
  }
  if (k < count && count >= W) {
    k = count - W;  // the last W frames once more; folding twice changes nothing
    const V peak = upsampled_frame_peak<Four, L, V>(phase, k0 + k);
    Ln::store(levels + k, vmax(Ln::load(levels + k), peak));
    k = count;
  }
  for (; k < count; ++k) {
    const float peak = upsampled_frame_peak<Four, L, float>(phase, k0 + k);
    levels[k] = vmax(levels[k], peak);
  }
}

// Folds the levels of frames [first, last) of one upsampled channel of
// `frames` frames into levels[i − first]. phase[c][i − first] must hold
// phase c of frame i for max(0, first − ceil(6/L)) ≤ i <
// min(frames, last + floor(4/L) + 1).
template <bool Four, int L>
QX_INLINE void upsampled_levels_body(const float* const* phase, std::int64_t frames,
                                     std::int64_t first, std::int64_t last, float* levels) {
  const std::int64_t n = frames * L;
  // Frames whose L positions all lie in 6 ≤ t < n − 5.
  const std::int64_t lo = std::min<std::int64_t>(frames, (6 + L - 1) / L);
  const std::int64_t hi = std::max<std::int64_t>(lo, frames - (5 + L - 1) / L);
  const std::int64_t a = std::max(first, lo);
  const std::int64_t b = std::min(last, hi);
  for (std::int64_t i = first; i < std::min(last, lo); ++i) {
    upsampled_edge_frame<Four, L>(phase, first, n, i, levels + (i - first));
  }
  if (a < b) upsampled_interior<Four, L>(phase, a - first, b - a, levels + (a - first));
  for (std::int64_t i = std::max(first, hi); i < last; ++i) {
    upsampled_edge_frame<Four, L>(phase, first, n, i, levels + (i - first));
  }
}

// ---------------------------------------------------------------------------
// Entry points of this path: the only functions that are not inlined. The
// factor and phase-count switches sit outside the per-frame loops.

std::uint64_t first_bad(const float* x, std::uint64_t n) {
  return first_bad_body<Peaks::None>(x, n, nullptr);
}

std::uint64_t first_bad_peaks(const float* x, std::uint64_t n, float* levels, bool fold) {
  return fold ? first_bad_body<Peaks::Fold>(x, n, levels)
              : first_bad_body<Peaks::Store>(x, n, levels);
}

void apply_gains(float* x, const float* gains, std::uint64_t n, float ceiling) {
  apply_gains_body(x, gains, n, ceiling);
}

void reference_range(const float* x, std::int64_t n, std::int64_t first, std::int64_t last,
                     float* levels, bool four_phase) {
  if (four_phase) {
    reference_range_body<true>(x, n, first, last, levels);
  } else {
    reference_range_body<false>(x, n, first, last, levels);
  }
}

void kaiser_range(const float* x, std::int64_t n, std::int64_t first, std::int64_t last,
                  const DetectionMode& mode, float* const* phase) {
  switch (mode.factor) {
    case 2: kaiser_range_body<2>(x, n, first, last, mode, phase); break;
    case 3: kaiser_range_body<3>(x, n, first, last, mode, phase); break;
    case 4: kaiser_range_body<4>(x, n, first, last, mode, phase); break;
    case 6: kaiser_range_body<6>(x, n, first, last, mode, phase); break;
    default: break;  // the filter design makes no other factor
  }
}

template <bool Four>
QX_INLINE void upsampled_levels_any(const float* const* phase, std::int64_t frames,
                                    unsigned factor, std::int64_t first, std::int64_t last,
                                    float* levels) {
  switch (factor) {
    case 2: upsampled_levels_body<Four, 2>(phase, frames, first, last, levels); break;
    case 3: upsampled_levels_body<Four, 3>(phase, frames, first, last, levels); break;
    case 4: upsampled_levels_body<Four, 4>(phase, frames, first, last, levels); break;
    case 6: upsampled_levels_body<Four, 6>(phase, frames, first, last, levels); break;
    default: break;
  }
}

void upsampled_levels(const float* const* phase, std::int64_t frames, unsigned factor,
                      std::int64_t first, std::int64_t last, float* levels, bool four_phase) {
  if (four_phase) {
    upsampled_levels_any<true>(phase, frames, factor, first, last, levels);
  } else {
    upsampled_levels_any<false>(phase, frames, factor, first, last, levels);
  }
}

void envelope(EnvelopeState& state, float* levels, std::uint64_t frames,
                       double threshold) {
  envelope_steps(state, levels, frames, threshold, VectorTargets<VD, VDF>{});
}

constexpr Kernels table = {first_bad,    first_bad_peaks,  apply_gains, reference_range,
                           kaiser_range, upsampled_levels, envelope};
