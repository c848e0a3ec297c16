// Bodies of the engine's hot loops, written once and compiled once per
// instruction-set path: kernels.cpp includes this file several times, each
// time inside its own namespace and under its own target pragma, so that
// every function here, helpers included, carries that path's target. Before
// each inclusion the namespace defines
//   V                          the vector type (simd_lanes.hpp),
//   bool any_lane(mask of V)   whether any lane of a comparison is set,
//   int kaiser_vectors(int L)  vectors of frames per stage-1 block.
// The entry points and the Kernels table of the path are at the end.
//
// The loops run across frames: lane l of a vector holds frame a + l, and
// each lane goes through exactly the operations, in exactly the order, that
// a single frame would. The scalar remainders and the bounds-checked edge
// paths use the same templates with a float in place of the vector, so the
// results do not depend on the vector width or on the path.
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
  static QX_INLINE V splat(float v) { return V{} + v; }
  static QX_INLINE V abs(V v) { return reinterpret_cast<V>(reinterpret_cast<I>(v) & 0x7fffffff); }
};

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

template <bool Fold>
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
    if constexpr (Fold) Ln::store(levels + i, vmax(Ln::load(levels + i), a));
  }
  for (; i < n; ++i) {
    if (!sample_ok(x[i])) return i;
    if constexpr (Fold) levels[i] = vmax(levels[i], std::fabs(x[i]));
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

// Frames a < 6 and a ≥ n − 5 reach outside the channel; they take the
// checked path, one at a time. The rest run W frames at a time, then one at
// a time without checks.
template <bool Four>
QX_INLINE void reference_channel_body(const float* x, std::uint64_t frames, float* levels) {
  using Ln = Lanes<V>;
  constexpr int W = Ln::width;
  const auto n = static_cast<std::int64_t>(frames);
  const std::int64_t begin = n < 12 ? n : 6;  // first interior frame
  const std::int64_t end = n < 12 ? n : n - 5;

  auto checked = [&](std::int64_t a) __attribute__((always_inline)) {
    const float peak = reference_peak<Four, float>(Checked{x, n, a});
    levels[a] = vmax(levels[a], vmax(std::fabs(x[a]), peak));
  };
  for (std::int64_t a = 0; a < begin; ++a) checked(a);

  std::int64_t a = begin;
  for (; a + W <= end; a += W) {
    const V peak = reference_peak<Four, V>(Interior<V>{x + a});
    const V level = vmax(Ln::load(levels + a), vmax(Ln::abs(Ln::load(x + a)), peak));
    Ln::store(levels + a, level);
  }
  for (; a < end; ++a) {
    const float peak = reference_peak<Four, float>(Interior<float>{x + a});
    levels[a] = vmax(levels[a], vmax(std::fabs(x[a]), peak));
  }

  for (a = end; a < n; ++a) checked(a);
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

// Computes the L phases of J groups of frames into phase[j][c].
template <class V, int J, int L, class Src>
QX_INLINE void kaiser_phases(const Src& src, const float* pairs, const float* middle,
                             V (&phase)[J][L]) {
  using Ln = Lanes<V>;
  using Shape = KaiserShape<L>;
  constexpr int R = Shape::rows > 0 ? Shape::rows : 1;
  V plus[J][R], minus[J][R], mid[J];
#pragma GCC unroll 4
  for (int j = 0; j < J; ++j) {
#pragma GCC unroll 2
    for (int r = 0; r < R; ++r) plus[j][r] = minus[j][r] = Ln::splat(0.0f);
    mid[j] = Ln::splat(0.0f);
  }
#pragma GCC unroll 32
  for (int k = 0; k < kKaiserPairs; ++k) {
#pragma GCC unroll 4
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
#pragma GCC unroll 4
  for (int j = 0; j < J; ++j) {
    phase[j][0] = src(j, 0);
#pragma GCC unroll 2
    for (int r = 0; r < Shape::rows; ++r) {
      phase[j][r + 1] = plus[j][r];
      phase[j][L - 1 - r] = minus[j][r];
    }
    if constexpr (Shape::middle) phase[j][L / 2] = mid[j];
  }
}

// Writes J × W frames of phases, given phase-major, frame after frame into
// out (out[f × L + c] = phase c of frame f).
template <class V, int J, int L>
QX_INLINE void interleave(const V (&phase)[J][L], float* out) {
  constexpr int W = Lanes<V>::width;
  alignas(64) float tmp[L][J * W];
#pragma GCC unroll 4
  for (int j = 0; j < J; ++j) {
#pragma GCC unroll 6
    for (int c = 0; c < L; ++c) Lanes<V>::store(&tmp[c][j * W], phase[j][c]);
  }
  for (int f = 0; f < J * W; ++f) {
#pragma GCC unroll 6
    for (int c = 0; c < L; ++c) out[f * L + c] = tmp[c][f];
  }
}

// Frames i < 31 and i ≥ n − 32 reach outside the channel and take the
// checked path; the interior runs in blocks of J × W frames, then W, then
// one at a time.
template <int L>
QX_INLINE void kaiser_channel_body(const float* x, std::uint64_t frames,
                                   const DetectionMode& mode, float* out) {
  constexpr int W = Lanes<V>::width;
  constexpr int J = kaiser_vectors(L);
  const float* pairs = KaiserShape<L>::rows > 0 ? mode.pair_row(1) : nullptr;
  const float* middle = KaiserShape<L>::middle ? mode.phase_row(L / 2) : nullptr;
  const auto n = static_cast<std::int64_t>(frames);
  const std::int64_t begin = n < 64 ? n : 31;
  const std::int64_t end = n < 64 ? n : n - 32;

  auto checked = [&](std::int64_t i) __attribute__((always_inline)) {
    float phase[1][L];
    kaiser_phases<float, 1, L>(CheckedGroups{Checked{x, n, i}}, pairs, middle, phase);
    for (int c = 0; c < L; ++c) out[i * L + c] = phase[0][c];
  };
  for (std::int64_t i = 0; i < begin; ++i) checked(i);

  std::int64_t i = begin;
  for (; i + J * W <= end; i += J * W) {
    V phase[J][L];
    kaiser_phases<V, J, L>(InteriorGroups<V>{x + i, W}, pairs, middle, phase);
    interleave<V, J, L>(phase, out + i * L);
  }
  for (; i + W <= end; i += W) {
    V phase[1][L];
    kaiser_phases<V, 1, L>(InteriorGroups<V>{x + i, W}, pairs, middle, phase);
    interleave<V, 1, L>(phase, out + i * L);
  }
  for (; i < end; ++i) {
    float phase[1][L];
    kaiser_phases<float, 1, L>(InteriorGroups<float>{x + i, 1}, pairs, middle, phase);
    for (int c = 0; c < L; ++c) out[i * L + c] = phase[0][c];
  }

  for (i = end; i < n; ++i) checked(i);
}

// levels[i] = max(0, fine[i·L], …, fine[i·L + L − 1]).
template <int L>
QX_INLINE void group_max_body(const float* fine, std::uint64_t n, float* levels) {
  for (std::uint64_t i = 0; i < n; ++i) {
    float level = 0.0f;
#pragma GCC unroll 6
    for (int c = 0; c < L; ++c) level = vmax(level, fine[i * L + c]);
    levels[i] = level;
  }
}

// ---------------------------------------------------------------------------
// Entry points of this path: the only functions that are not inlined. The
// factor and phase-count switches sit outside the per-frame loops.

std::uint64_t first_bad(const float* x, std::uint64_t n) {
  return first_bad_body<false>(x, n, nullptr);
}

std::uint64_t first_bad_fold(const float* x, std::uint64_t n, float* levels) {
  return first_bad_body<true>(x, n, levels);
}

void apply_gains(float* x, const float* gains, std::uint64_t n, float ceiling) {
  apply_gains_body(x, gains, n, ceiling);
}

void reference_channel(const float* x, std::uint64_t n, float* levels,
                                bool four_phase) {
  if (four_phase) {
    reference_channel_body<true>(x, n, levels);
  } else {
    reference_channel_body<false>(x, n, levels);
  }
}

void kaiser_channel(const float* x, std::uint64_t n, const DetectionMode& mode,
                             float* out) {
  switch (mode.factor) {
    case 2: kaiser_channel_body<2>(x, n, mode, out); break;
    case 3: kaiser_channel_body<3>(x, n, mode, out); break;
    case 4: kaiser_channel_body<4>(x, n, mode, out); break;
    case 6: kaiser_channel_body<6>(x, n, mode, out); break;
    default: break;  // the filter design makes no other factor
  }
}

void group_max(const float* fine, std::uint64_t n, unsigned factor, float* levels) {
  switch (factor) {
    case 2: group_max_body<2>(fine, n, levels); break;
    case 3: group_max_body<3>(fine, n, levels); break;
    case 4: group_max_body<4>(fine, n, levels); break;
    case 6: group_max_body<6>(fine, n, levels); break;
    default: break;
  }
}

void envelope(EnvelopeState& state, float* levels, std::uint64_t frames,
                       double threshold) {
  envelope_steps(state, levels, frames, threshold);
}

constexpr Kernels table = {first_bad,      first_bad_fold, apply_gains, reference_channel,
                           kaiser_channel, group_max,      envelope};
