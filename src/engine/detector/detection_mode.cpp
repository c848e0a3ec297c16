// The detection mode a sample rate gets.
#include "engine/detector/detection_mode.hpp"

#include "engine/core/rates.hpp"
#include "engine/detector/filter_design.hpp"

namespace qx {

Result<DetectionMode> plan_for_rate(std::uint32_t sample_rate, bool true_peak) {
  if (!true_peak || sample_rate >= kTruePeakEveryRateFrom) return DetectionMode{};
  if (!detects_true_peak(sample_rate)) return EngineError::unsupported_true_peak_rate(sample_rate);
  auto reference = [](bool four_phase) {
    DetectionMode mode;
    mode.kind = DetectionKind::Reference;
    mode.four_phase = four_phase;
    return mode;
  };
  switch (sample_rate) {
    case 8000: return build_kaiser_bank(6, true);
    case 11025: return build_kaiser_bank(4, true);
    case 12000: return build_kaiser_bank(4, true);
    case 16000: return build_kaiser_bank(3, true);
    case 22050: return build_kaiser_bank(2, true);
    case 24000: return build_kaiser_bank(2, true);
    case 32000: return build_kaiser_bank(3, false);
    case 44100: return reference(true);
    case 48000: return reference(true);
    case 88200: return reference(false);
    case 96000: return reference(false);
    default: return EngineError::unsupported_true_peak_rate(sample_rate);
  }
}

}  // namespace qx
