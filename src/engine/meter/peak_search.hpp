// The true-peak search over audio that arrives in pieces, with bounded
// state: a window of the last few thousand frames per channel.
//
// The reading is the largest of the sample peak and, for every anchor, the
// BS.1770 4x values (in double) at the anchor and its two neighbours and
// the precise peak found near it: the band-limited waveform, from a 128-tap
// near part and a far part summed in closed form over 8192 frames either
// side. The screen (the BS.1770 filter in float32) runs over blocks of
// 4096 output frames counted from the start of the signal; an anchor, a
// local maximum of its magnitudes on the 4x grid, is a candidate when its
// magnitude times the screen margin reaches the reading of the blocks
// before, and is searched precisely when its near part times the near
// margin does. The margins are chosen per group of 64 outputs from the
// near-Nyquist content of the frames around it: 3 dB and 1.5 dB where it
// is small against the reading, 7 dB and 4.5 dB where it is moderate,
// 11 dB and 4.5 dB elsewhere. The reading
// changes only between blocks and each group's content is its own, so
// how the audio was chunked cannot change which anchors are evaluated.
#pragma once

#include <cstdint>

#include "engine/core/frames.hpp"
#include "engine/detector/frame_levels.hpp"
#include "engine/core/buffer.hpp"
#include "engine/core/errors.hpp"

namespace qx::meter {

// The values of two anchors u[0], u[1] (u = 4 n + p; the same one twice is
// fine) of channel `x` (frame 0 at x; readable from 8192 + 128 frames before
// the anchors to as far after them, zeros outside the signal, which ends at
// frame `end`): the largest of the BS.1770 4x values in double at u − 1, u,
// u + 1 and, where the near part at c and c ± 1/4 comes within the near
// margin of `before` (the tight one where tight[j]), the precise peak found
// around the anchor.
void anchor_values(const float* x, const std::int64_t* u, const bool* tight, double before,
                   std::int64_t end, double* out);
// The smallest positive float32 t with double(t) × factor ≥ `before`: the
// screen's threshold for anchors that can reach it with that margin.
float screen_threshold(double before, double factor);

// For the limiter's far sum G0 beyond 256 frames of an anchor: moments of
// the alternating signal z = (−1)^f x[f] (f a frame of the signal) over
// blocks of 64 frames fixed in the signal, Σ z u^p about the block's centre
// for p = 0 … 3, and the block's largest |x|. A pass's blocks are computed
// when an anchor first needs them and kept, sliding, for the passes after
// it over the same frames.
class FarMoments {
 public:
  static constexpr std::int64_t kBlock = 64;
  static constexpr std::int64_t kGroupBlocks = 8;  // computed together
  // OutOfMemory when the storage for `blocks` blocks does not fit.
  static Result<FarMoments> create(std::int64_t blocks);
  // Frames j of x are frames origin + j of the signal; frames outside
  // [0, n) read as silence. Forgets every block.
  void start(const float* x, std::int64_t n, std::int64_t origin);
  // Keeps blocks [first, first + capacity) of the signal (what it held of
  // them stays), none of them computed yet unless held.
  void slide(std::int64_t first);
  // Computes blocks [from, to) where not yet done (within the kept ones).
  void ensure(std::int64_t from, std::int64_t to);
  // Moment p (p = 4: the largest |x|) of block b, and those after it.
  const float* at(int p, std::int64_t b) const {
    return data_.data() + p * capacity_ + (b - first_);
  }
  std::int64_t origin() const { return origin_; }

 private:
  void compute(std::int64_t b);
  const float* x_ = nullptr;
  std::int64_t n_ = 0;
  std::int64_t origin_ = 0;
  std::int64_t first_ = 0;
  std::int64_t capacity_ = 0;  // blocks kept, a multiple of kGroupBlocks
  Buffer<float> data_;         // five rows of capacity_ floats
  Buffer<std::uint8_t> done_;  // per group of kGroupBlocks blocks
};

// Frame levels that are the meter's precise peaks: every frame's sample
// magnitude, and where an anchor can exceed `ceiling`, its value on the
// frames around it, with G0 beyond 256 frames taken from block moments
// (FarMoments) and the bound of what they leave out added, so that a level
// never falls under the meter's value for want of them. A level depends
// only on the samples within reach of its frame and on where the blocks lie
// in the signal, so any way of cutting the signal gives the same levels.
class WaveformLevels final : public FrameLevels {
 public:
  static constexpr std::int64_t kReach = 8192 + 160;
  // OutOfMemory when the working storage does not fit.
  static Result<WaveformLevels> create(double ceiling);
  DetectorReach reach() const override {
    return {static_cast<std::uint64_t>(kReach), static_cast<std::uint64_t>(kReach)};
  }
  void fold(const float* x, std::int64_t n, std::int64_t first, std::int64_t last, float* levels,
            std::int64_t origin) override;

 private:
  static constexpr std::int64_t kStep = 4096;  // frames per pass
  double ceiling_ = 0.0;
  float thresholds_[3] = {};  // with the wide, the middle and the tight margin
  Buffer<float> span_;        // the pass's frames with kReach around, zeros outside x
  Buffer<float> scratch_;     // the screen's magnitudes
  Buffer<std::int64_t> anchors_;
  FarMoments far_;
};

class PeakSearch {
 public:
  // OutOfMemory when the window does not fit.
  static Result<PeakSearch> create(std::uint64_t channels);

  PeakSearch(PeakSearch&&) noexcept = default;
  PeakSearch& operator=(PeakSearch&&) noexcept = default;

  // Makes room for `count` more frames (the window grows with the signal up
  // to its full size); false, and nothing changed, when it cannot.
  bool reserve(std::uint64_t count);
  // Takes frames [first, first + count) of `in` (validated samples), after
  // reserve(count).
  void add(Frames in, std::uint64_t first, std::uint64_t count);

  // The reading (linear) of every frame taken so far, as if the signal
  // ended here; the search itself goes on unchanged.
  double reading();
  // The largest sample magnitude taken so far.
  double sample_peak() const { return sample_peak_; }

 private:
  PeakSearch() = default;
  // Frames of the window that are free for new ones.
  std::uint64_t room() const;
  // Moves what later blocks still read to the front of the window.
  void compact();
  // The reading after block b given the reading before it; `end` is the
  // signal's length when it is known to end there, else 0.
  double run_block(std::uint64_t b, double before, std::uint64_t end);
  // The values of two anchors u[0], u[1] (u = 4 n + p; the same one twice
  // is fine) of channel `x` (frame 0 at x), evaluated side by side.

  const float* frame_zero(std::uint64_t c) const {
    return window_.data() + c * capacity_ - origin_;
  }
  float* row(std::uint64_t c) { return window_.data() + c * capacity_; }

  // Frames per channel of the window at its full size; it starts small, so
  // that many channels of short audio take little memory.
  static constexpr std::int64_t kCapacity = 4 * 4096 + 2 * (8192 + 80) + 512;
  std::uint64_t channels_ = 0;
  std::int64_t capacity_ = 0;  // frames per channel now; it holds [origin_, end_)
  Buffer<float> window_;
  Buffer<float> scratch_;         // the screen's magnitudes
  Buffer<std::int64_t> anchors_;  // one block's anchors
  std::int64_t origin_ = 0;
  std::int64_t end_ = 0;
  std::uint64_t next_block_ = 0;
  double reading_ = 0.0;  // after blocks [0, next_block_)
  double sample_peak_ = 0.0;
};

}  // namespace qx::meter
