// The limiter run over audio that arrives in pieces: frames go in, and the
// frames whose gains are final come out, each exactly as one call over the
// whole signal would have made it. Between pieces the pipeline holds the
// frames it still needs (the look-ahead, the detector's reach and the
// frames waiting for their gains) and the state of the envelope, so its
// memory is bounded by the piece it works on, never by the signal's length.
//
// Block processing runs a whole block through it in place; the streaming
// limiter of the Python tools hands it chunk after chunk.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/core/buffer.hpp"
#include "engine/core/errors.hpp"
#include "engine/core/frames.hpp"
#include "engine/detector/frame_levels.hpp"
#include "engine/detector/true_peak.hpp"
#include "engine/limiter/limiter.hpp"

namespace qx {

class Pipeline {
 public:
  // A pipeline for `channels` ≥ 1 channels on `limiter`, which it uses
  // exclusively from now on and which must outlive it; the envelope starts
  // from neutral. OutOfMemory when the working storage does not fit.
  // With `levels` (which must outlive it) the frame levels are those, in
  // place of the limiter's own detection.
  static Result<Pipeline> create(Limiter& limiter, std::uint64_t channels,
                                 FrameLevels* levels = nullptr);
  // A pipeline that limits one whole planar block of `frames` frames in
  // place and writes its gains straight into gains[0, frames): the block
  // itself is its window, so nothing is copied. Push the block (as `in` and
  // `out`) in one call, then finish with the block and the gains from where
  // the push stopped.
  static Result<Pipeline> create_in_place(Limiter& limiter, std::uint64_t channels, float* block,
                                          std::uint64_t frames, float* gains);

  Pipeline(Pipeline&&) noexcept = default;
  Pipeline& operator=(Pipeline&&) noexcept = default;

  // Frames held back: the look-ahead plus how far the detector reads
  // ahead. After n frames have gone in, max(0, n − latency) have come out.
  std::uint64_t latency() const { return latency_; }
  static std::uint64_t latency_of(const Limiter& limiter, const FrameLevels* levels = nullptr);
  std::uint64_t frames_in() const { return in_; }
  std::uint64_t frames_out() const { return out_; }

  // Takes `count` frames from `in` and writes the frames that become final,
  // the next ones in order, to `out` (frame i of `out` is the i-th frame
  // given out by this call) and their gains to gains[0 …); returns how many.
  // `out` may be `in` itself: a frame is only written after every frame up
  // to it has been read. A sample that is not finite or above 2^32 in
  // magnitude ends the call with NonFiniteSample or SampleOutOfRange for
  // the first such sample of `in` in channel-major order (or the earliest
  // frame first, after name_earliest_frame()), its frame in `in` and its
  // channel (frames = count); the pipeline is then unusable, and what this
  // call wrote is not to be used.
  Result<std::uint64_t> push(Frames in, std::uint64_t count, Frames out, float* gains);

  // A bad sample is named as a reader of the stream meets it: the earliest
  // frame, then its lowest channel (as the meter names it), rather than
  // channel by channel as a planar block is checked.
  void name_earliest_frame() { earliest_frame_ = true; }

  // The frames still held, as if silence followed them; returns how many.
  // Nothing can be pushed afterwards.
  std::uint64_t finish(Frames out, float* gains);

 private:
  Pipeline() = default;
  // The parts both kinds share: settings, detector, a neutral envelope.
  static Result<Pipeline> start(Limiter& limiter, std::uint64_t channels, FrameLevels* levels);

  // Levels up to frame `last` (exclusive), steps up to `steps`, then the
  // frames whose gains are final out; `end` is the signal's length once
  // known.
  std::uint64_t advance(std::uint64_t last, std::uint64_t steps, std::uint64_t end, Frames out,
                        float* gains, const Warmup* warm = nullptr);
  // Adds to `warm` the streams a round reads and writes: `frames` frames of
  // `in` from frame `from`, of `out` and `gains` from frame `to`.
  void warm_streams(Warmup& warm, Frames in, std::uint64_t from, Frames out, std::uint64_t to,
                    float* gains, std::uint64_t frames) const;
  // Each channel's frames [at, at + count) of the window, times `gains`,
  // clamped, into `out`.
  void apply_each(const float* gains, std::uint64_t at, std::uint64_t count, Frames out);
  // Drops the frames nothing needs any more, making room for `room` more.
  void make_room(std::uint64_t room);
  float* channel(std::uint64_t c) { return base_ + c * channel_step_; }

  Limiter* limiter_ = nullptr;
  std::uint64_t channels_ = 0;
  std::uint64_t latency_ = 0;
  DetectorReach reach_;
  std::optional<TruePeakDetector> detector_;  // true-peak modes only
  FrameLevels* levels_from_ = nullptr;        // or levels from outside
  float ceiling_ = 1.0f;                      // float32 copy of the threshold

  // The frames held, [first_, in_), channel after channel, capacity_ frames
  // each, from base_ on, channel_step_ floats apart; and one level (then
  // gain) per frame held, from levels_ on. Both are the buffers below, or
  // the block and its gains in place.
  Buffer<float> window_;
  Buffer<float> level_buffer_;
  float* base_ = nullptr;
  std::uint64_t channel_step_ = 0;
  float* levels_ = nullptr;
  bool in_place_ = false;
  bool earliest_frame_ = false;
  std::uint64_t capacity_ = 0;
  std::uint64_t chunk_ = 0;  // frames taken in per round
  std::uint64_t first_ = 0;
  std::uint64_t in_ = 0;        // frames taken in
  std::uint64_t measured_ = 0;  // frames with a level
  std::uint64_t out_ = 0;       // frames given out
};

}  // namespace qx
