// The sample rates at which the limiter detects true peaks: a short list of
// rates with their own filters, and every rate from a bound up, which is
// measured on its own samples. The rate plan, its error message and the
// tools' questions all read them here.
#pragma once

#include <cstdint>

namespace qx {

inline constexpr std::uint32_t kTruePeakRates[] = {8000,  11025, 12000, 16000, 22050, 24000,
                                                   32000, 44100, 48000, 88200, 96000};
inline constexpr std::uint32_t kTruePeakEveryRateFrom = 176400;

inline bool detects_true_peak(std::uint32_t sample_rate) {
  if (sample_rate >= kTruePeakEveryRateFrom) return true;
  for (std::uint32_t rate : kTruePeakRates) {
    if (rate == sample_rate) return true;
  }
  return false;
}

}  // namespace qx
