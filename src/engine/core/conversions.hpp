// Conversions of computed lengths to frame counts.
#pragma once

#include <cstdint>
#include <limits>

namespace qx {

// The integer part of v as an unsigned 64-bit count: 0 for NaN and for
// negative values (−0.0 included), 2^64 − 1 for everything at or above 2^64.
inline std::uint64_t saturating_u64(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(v);
}

}  // namespace qx
