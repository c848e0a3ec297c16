// The interface between the pipeline and a detector that lives outside the
// limiter's own detection modes.
#pragma once

#include <cstdint>

#include "engine/detector/true_peak.hpp"

namespace qx {

// Frame levels measured outside the limiter's own detection modes (the
// tools' waveform detection): fold(x, n, first, last, levels) folds with max
// the levels of frames [first, last) of channel x, which holds n frames,
// silence outside them, x[0] being frame `origin` of the signal; a frame
// whose reach lies within x gets the level it would have in any longer
// signal.
class FrameLevels {
 public:
  virtual ~FrameLevels() = default;
  virtual DetectorReach reach() const = 0;
  virtual void fold(const float* x, std::int64_t n, std::int64_t first, std::int64_t last,
                    float* levels, std::int64_t origin) = 0;
};

}  // namespace qx
