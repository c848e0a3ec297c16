// The meter's hot loops as the active instruction-set path runs them.
// Internal to the meter unit (and its tests). Every path gives the same
// bits: the K-weighting keeps channels in lanes, the screen keeps output
// frames in lanes, and the dot products keep eight partial sums whatever
// the vector width, each lane doing one fixed sequence of operations.
#pragma once

#include <cstdint>

namespace qx::meter_kernels {

// Coefficients of the two K-weighting stages, each (b0, b1, b2, a1, a2).
struct KCoefficients {
  double stage[2][5];
};

// Per channel: the eight filter states (stage 0: x1, x2, y1, y2, then
// stage 1 likewise) and the open sum of squares of the current sub-block.
struct KChannel {
  double state[8];
  double sum;
};

// Screen magnitudes at or above `threshold` that are local maxima of the
// 4x grid become anchors u = 4 n + p, written to anchors[0 …).
struct ScreenOut {
  std::int64_t* anchors;
  std::int64_t count;
};

struct MeterKernels {
  // Lanes the K-weighting fills per call: the caller groups channels so.
  int k_lanes;
  // K-weights `count` frames of up to k_lanes channels: channel l reads
  // x[l][f × stride] for f in [0, count) and carries ch[l] across calls,
  // its squares added to ch[l].sum in frame order.
  void (*k_weight)(const float* const* x, int lanes, std::int64_t stride, std::int64_t count,
                   const KCoefficients& k, KChannel* const* ch);
  // Largest magnitude of x[0, count); 0 for none.
  float (*abs_max)(const float* x, std::int64_t count);
  // Whether every one of x[0, count) is finite and at most 2^32 in magnitude.
  bool (*all_valid)(const float* x, std::int64_t count);
  // The screen (the BS.1770 4x filter in float32, taps in order) for output
  // frames [first, last) of a channel whose frame f is x[f] (readable from
  // first − 12 to last), with the magnitudes of outputs first − 1 and last
  // as neighbours; appends the anchors whose magnitude is at least
  // `threshold` (> 0). `scratch` holds 4 × (last − first + 2) + 64 floats.
  void (*screen)(const float* x, std::int64_t first, std::int64_t last, float threshold,
                 float* scratch, ScreenOut& out);
  // The precise interpolator at six times s[k] / 16 (sixteenths, from
  // frame 0 of x), each a 128-tap float32 dot product summed as eight
  // interleaved partial sums: out[k] = its value (not the magnitude).
  void (*precise6)(const float* x, const std::int64_t* s, float* out);
  // Σ w[i] × x[i] over the blocks of 32 terms [first, last): 32 partial
  // sums, sum i adding term i of each block in block order; then sums i,
  // i + 8, i + 16, i + 24 joined as (s_i + s_i+8) + (s_i+16 + s_i+24), and
  // those eight as ((a0+a1)+(a2+a3))+((a4+a5)+(a6+a7)).
  float (*far_dot)(const float* w, const float* x, std::int64_t first, std::int64_t last);
  // The near-Nyquist content of `groups` groups of 64 frames from x (x[0]
  // an even frame): per octet (8 frames) the sum of the alternating signal
  // z[j] = (−1)^j x[j] as ((z0 + z1) + (z2 + z3)) + ((z4 + z5) + (z6 + z7));
  // per group octet_max[g] = the largest octet magnitude and zsum[g] = the
  // eight octet sums joined by the same tree.
  void (*z_stats)(const float* x, std::int64_t groups, float* octet_max, float* zsum);
  // out[k] = Σ_{d = −32 … 32} w[d + 32] × a[k + d] in float32, in that order
  // (the first term alone, then each added), a readable from −32 to
  // count + 32, for k in [0, count).
  void (*coherence)(const float* a, const float* w, std::int64_t count, float* out);
};

const MeterKernels& meter_kernels();

}  // namespace qx::meter_kernels
