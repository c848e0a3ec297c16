// The envelope's step loop, written once and instantiated for each
// instruction-set target (the release step is a fused multiply-add, which
// is a library call unless the target has FMA). Include only from files
// that define a step-loop entry point.
#pragma once

#include <cmath>
#include <cstring>

#include "engine/envelope.hpp"

namespace qx::detail {

inline constexpr double kGainEpsilon = 2.220446049250313e-16;  // 2^-52

// The target gain of a level: T / (level + ε) above the ceiling, else 1.0.
__attribute__((always_inline)) inline double target_gain(double level, double T) {
  return level > T ? T / (level + kGainEpsilon) : 1.0;
}

// Fills t[0, count) with the target gains of steps n0 … n0 + count − 1:
// target_gain(levels[n]) for n < frames, 1.0 after the block. The plain
// loop; each instruction-set path passes its own vectorised version.
struct ScalarTargets {
  __attribute__((always_inline)) void operator()(const float* levels, std::uint64_t frames,
                                                 std::uint64_t n0, std::uint64_t count,
                                                 double T, double* t) const {
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t n = n0 + i;
      t[i] = n < frames ? target_gain(static_cast<double>(levels[n]), T) : 1.0;
    }
  }
};

// The same, several steps at a time in the lanes of a GCC vector of doubles
// VD (VF: as many floats): each lane does target_gain's comparison and
// division. Free of intrinsics, so it compiles to the instructions of the
// step-loop entry point it is inlined into.
template <class VD, class VF>
struct VectorTargets {
  __attribute__((always_inline)) void operator()(const float* levels, std::uint64_t frames,
                                                 std::uint64_t n0, std::uint64_t count,
                                                 double T, double* t) const {
    constexpr std::uint64_t W = sizeof(VD) / sizeof(double);
    VD threshold, epsilon, one;
    for (std::uint64_t l = 0; l < W; ++l) {
      threshold[l] = T;
      epsilon[l] = kGainEpsilon;
      one[l] = 1.0;
    }
    const std::uint64_t inside = n0 >= frames ? 0 : frames - n0 < count ? frames - n0 : count;
    std::uint64_t i = 0;
    for (; i + W <= inside; i += W) {
      VF narrow;
      std::memcpy(&narrow, levels + n0 + i, sizeof narrow);
      const VD level = __builtin_convertvector(narrow, VD);
      const VD reduced = threshold / (level + epsilon);
      const VD target = level > threshold ? reduced : one;
      std::memcpy(t + i, &target, sizeof target);
    }
    ScalarTargets{}(levels, frames, n0 + i, count - i, T, t + i);
  }
};

// Runs steps 0 … frames + A − 1 from whatever state `st` holds (neutral,
// normally). State is kept in locals for the loop and written back once.
//
// The target gains (step 2) are computed ahead, a chunk of steps at a time,
// by `targets`: they depend on nothing but the levels, and computing them in
// a separate, branch-free loop keeps the step loop clear of a division and
// of a branch on level > T that mispredicts whenever loud and quiet frames
// alternate. A chunk's levels are read before any gain of the chunk is
// written, and gains are written A steps behind, so no level is read after
// it has been overwritten.
template <class Targets = ScalarTargets>
__attribute__((always_inline)) inline void envelope_steps(EnvelopeState& st, float* levels,
                                                          std::uint64_t frames, double T,
                                                          const Targets& targets = {}) {
  if (frames == 0) return;
  const std::uint64_t A = st.lookahead;
  const std::uint64_t W = st.window_length;
  const double c = st.release_coefficient;
  WindowEntry* const ring = st.window;
  const std::uint64_t cap = st.window_capacity;
  double* const r1 = st.stage_ring[0];
  double* const r2 = st.stage_ring[1];
  double* const r3 = st.stage_ring[2];
  const std::uint64_t n1 = st.stage_length[0], n2 = st.stage_length[1], n3 = st.stage_length[2];
  const double k1 = st.stage_reciprocal[0], k2 = st.stage_reciprocal[1],
               k3 = st.stage_reciprocal[2];

  std::uint64_t front = st.front;
  std::uint64_t count = st.count;
  double g = st.smoothed_gain;
  std::uint64_t p1 = st.stage_pos[0], p2 = st.stage_pos[1], p3 = st.stage_pos[2];
  double s1 = st.stage_sum[0], s2 = st.stage_sum[1], s3 = st.stage_sum[2];

  // The queue's back slot, derived from front and count.
  std::uint64_t back = front + count;
  if (back >= cap) back -= cap;
  back = back == 0 ? cap - 1 : back - 1;

  // Quiet stretches: once the window minimum has been 1.0 and the smoothed
  // gain has not moved for as many steps as the three stages hold values,
  // every ring holds one repeated value and every running sum is a fixed
  // point, so a step whose target is 1.0 changes nothing but the window's
  // single entry and emits the same smoothed gain again. Such steps skip
  // straight to the emit; the arithmetic they skip would reproduce the same
  // bits.
  const std::uint64_t settle = n1 + n2 + n3;
  std::uint64_t steady = 0;  // consecutive steps with m == 1.0 and g unchanged
  double steady_gain = 1.0;  // the smoothed gain those steps emit
  bool clear = count == 1 && ring[front].target_gain == 1.0;  // window is one 1.0

  constexpr std::uint64_t kChunk = 256;
  alignas(64) double target[kChunk];
  const std::uint64_t steps = frames + A;
  for (std::uint64_t n = 0; n < steps; ++n) {
    if ((n & (kChunk - 1)) == 0) {
      targets(levels, frames, n, steps - n < kChunk ? steps - n : kChunk, T, target);
    }
    const double t = target[n & (kChunk - 1)];

    if (steady >= settle) {
      if (t == 1.0) {
        if (n >= A) {
          const std::uint64_t f = n - A;
          const double p = static_cast<double>(levels[f]);
          const double gain = steady_gain * p > T ? T / (p + kGainEpsilon) : steady_gain;
          levels[f] = static_cast<float>(gain);
        }
        continue;
      }
      // The quiet stretch ends here; its last step left one window entry.
      ring[back] = WindowEntry{n - 1, 1.0};
      front = back;
      count = 1;
      steady = 0;
    }

    double m;
    if (t == 1.0 && clear) {
      // The window holds a single 1.0; popping it and appending the new 1.0
      // lands in the same slot, and nothing can expire.
      ring[back].index = n;
      m = 1.0;
    } else {
      // Candidates at least as large as t can never again be the minimum.
      while (count != 0 && ring[back].target_gain >= t) {
        back = back == 0 ? cap - 1 : back - 1;
        --count;
      }
      back = back + 1 == cap ? 0 : back + 1;
      ring[back] = WindowEntry{n, t};
      ++count;
      if (count == 1) front = back;

      // Frames older than the window leave from the front; the entry just
      // appended always stays (W ≥ 1).
      const std::uint64_t next = n + 1;
      const std::uint64_t lower = next >= W ? next - W : 0;
      while (ring[front].index < lower) {
        front = front + 1 == cap ? 0 : front + 1;
        --count;
      }
      m = ring[front].target_gain;
      // Target gains strictly increase from front to back and never exceed
      // 1.0, so a minimum of 1.0 means the window holds that one entry.
      clear = m == 1.0;
    }

    const double g_before = g;
    const double r = std::fma(m - g, c, g);
    g = r < m ? r : m;
    steady = m == 1.0 && g == g_before ? steady + 1 : 0;

    double x = g;
    s1 = (x - r1[p1]) + s1;
    r1[p1] = x;
    p1 = p1 + 1 == n1 ? 0 : p1 + 1;
    x = s1 * k1;
    s2 = (x - r2[p2]) + s2;
    r2[p2] = x;
    p2 = p2 + 1 == n2 ? 0 : p2 + 1;
    x = s2 * k2;
    s3 = (x - r3[p3]) + s3;
    r3[p3] = x;
    p3 = p3 + 1 == n3 ? 0 : p3 + 1;
    x = s3 * k3;
    const double s = x < 1.0 ? x : 1.0;
    steady_gain = s;

    if (n >= A) {
      const std::uint64_t f = n - A;
      const double p = static_cast<double>(levels[f]);
      // s × p > T implies p > T (s ≤ 1), so this is frame f's target gain.
      const double gain = s * p > T ? T / (p + kGainEpsilon) : s;
      levels[f] = static_cast<float>(gain);
    }
  }

  if (steady >= settle) {
    ring[back] = WindowEntry{steps - 1, 1.0};
    front = back;
    count = 1;
  }
  st.front = front;
  st.count = count;
  st.next_index = steps;
  st.smoothed_gain = g;
  st.stage_pos[0] = p1;
  st.stage_pos[1] = p2;
  st.stage_pos[2] = p3;
  st.stage_sum[0] = s1;
  st.stage_sum[1] = s2;
  st.stage_sum[2] = s3;
}

}  // namespace qx::detail
