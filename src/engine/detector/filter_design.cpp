// Filter design. All design arithmetic is double; taps are stored as
// float32, and the few float32 steps (symmetrising the middle row, the pair
// sums) are written with float operands on purpose.
#include "engine/detector/filter_design.hpp"

#include <cmath>

namespace qx {
namespace {

constexpr float q13(int v) { return static_cast<float>(v) / 8192.0f; }

// Phases 0 and 1 as printed by the standard (× 8192); 2 and 3 are their
// reversals.
constexpr int kPhase0[12] = {14, 90, -161, 272, -487, 1125, 7964, -838, 390, -218, 122, -68};
constexpr int kPhase1[12] = {-239, 240, -424, 730, -1364, 3810, 6388, -1641, 832, -477, 271, -155};

constexpr double kPi = 3.141592653589793;
constexpr double kEpsilon = 2.220446049250313e-16;  // 2^-52

}  // namespace

#define QX_PHASE(P, R)                                                            \
  {q13(P[R ? 11 : 0]), q13(P[R ? 10 : 1]), q13(P[R ? 9 : 2]),  q13(P[R ? 8 : 3]), \
   q13(P[R ? 7 : 4]),  q13(P[R ? 6 : 5]),  q13(P[R ? 5 : 6]),  q13(P[R ? 4 : 7]), \
   q13(P[R ? 3 : 8]),  q13(P[R ? 2 : 9]),  q13(P[R ? 1 : 10]), q13(P[R ? 0 : 11])}

const float kReferencePhases[4][12] = {
    QX_PHASE(kPhase0, false),
    QX_PHASE(kPhase1, false),
    QX_PHASE(kPhase1, true),
    QX_PHASE(kPhase0, true),
};
#undef QX_PHASE

// (h[j] ± h[11−j]) / 2 on the integer form: a multiple of 2^-14, exact.
#define QX_PAIR(P, J) \
  static_cast<float>(P[J] + P[11 - J]) / 16384.0f, static_cast<float>(P[J] - P[11 - J]) / 16384.0f
const float kReferencePairs[2][12] = {
    {QX_PAIR(kPhase0, 0), QX_PAIR(kPhase0, 1), QX_PAIR(kPhase0, 2), QX_PAIR(kPhase0, 3),
     QX_PAIR(kPhase0, 4), QX_PAIR(kPhase0, 5)},
    {QX_PAIR(kPhase1, 0), QX_PAIR(kPhase1, 1), QX_PAIR(kPhase1, 2), QX_PAIR(kPhase1, 3),
     QX_PAIR(kPhase1, 4), QX_PAIR(kPhase1, 5)},
};
#undef QX_PAIR

double bessel_i0(double f) {
  double sum = 1.0;
  double term = 1.0;
  for (int b = 1; b <= 32; ++b) {
    term = term * (f / static_cast<double>(b * b));
    sum = sum + term;
    if (term <= sum * kEpsilon) break;
  }
  return sum;
}

Result<DetectionMode> build_kaiser_bank(unsigned factor, bool four_phase) {
  DetectionMode mode;
  mode.kind = DetectionKind::KaiserReference;
  mode.four_phase = four_phase;
  mode.factor = factor;
  const unsigned L = factor;
  mode.phase_table = Buffer<float>::zeroed(static_cast<std::uint64_t>(L) * kKaiserTaps);
  mode.pair_table =
      Buffer<float>::zeroed(static_cast<std::uint64_t>(mode.pair_rows()) * 2 * kKaiserPairs);
  if (!mode.phase_table.valid() || !mode.pair_table.valid()) return OutOfMemory{};
  float* table = mode.phase_table.data();
  table[31] = 1.0f;

  // β = 5 over a half-length of 32 taps, normalised by I0(β).
  const double norm = bessel_i0(6.25);
  for (unsigned c = 1; c <= L / 2; ++c) {
    float* row = table + c * kKaiserTaps;
    const double frac = static_cast<double>(c) / static_cast<double>(L);
    double sum = 0.0;
    for (int k = 0; k < kKaiserTaps; ++k) {
      // The true distance of tap k from the interpolation point; never an
      // integer and below 32 in magnitude, so no special cases below.
      const double x = frac - static_cast<double>(k - 31);
      const double d = x * 0.03125;
      const double z = std::sqrt(1.0 - d * d) * 5.0;
      const double w = bessel_i0(z * z * 0.25) / norm;
      const double xpi = x * kPi;
      const double h = w * (std::sin(xpi) / xpi);
      row[k] = static_cast<float>(h);
      sum = sum + h;
    }
    for (int k = 0; k < kKaiserTaps; ++k) {
      row[k] = static_cast<float>(static_cast<double>(row[k]) / sum);
    }
    if (c == L - c) {
      // The middle phase is its own mirror image: make it exactly symmetric
      // and unity-gain again, in float32.
      for (int j = 0; j < kKaiserPairs; ++j) {
        const float v = (row[j] + row[63 - j]) * 0.5f;
        row[j] = v;
        row[63 - j] = v;
      }
      float s = 0.0f;
      for (int k = 0; k < kKaiserTaps; ++k) s = s + row[k];
      for (int k = 0; k < kKaiserTaps; ++k) row[k] = row[k] / s;
    } else {
      float* mirror = table + (L - c) * kKaiserTaps;
      for (int k = 0; k < kKaiserTaps; ++k) mirror[k] = row[63 - k];
    }
  }

  for (unsigned r = 1; r <= mode.pair_rows(); ++r) {
    const float* t = table + r * kKaiserTaps;
    float* pairs = mode.pair_table.data() + (r - 1) * 2 * kKaiserPairs;
    for (int j = 0; j < kKaiserPairs; ++j) {
      const float sum = t[j] + t[63 - j];
      const float diff = t[j] - t[63 - j];
      pairs[2 * j] = sum * 0.5f;
      pairs[2 * j + 1] = diff * 0.5f;
    }
  }
  return mode;
}

}  // namespace qx
