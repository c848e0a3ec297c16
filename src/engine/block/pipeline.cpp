// The pipeline works in rounds of up to chunk_ frames: each round copies
// its frames into the window (checking every sample, and folding sample
// peaks into the levels on the way), measures true peaks as far as the
// detector can see, runs the envelope as far as there are levels, and gives
// out the frames whose gains are final, multiplied and clamped. A round's
// frames are read, limited and written while they are in cache.
#include "engine/block/pipeline.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/block/kernels.hpp"

namespace qx {
namespace {

// Frames per round, at least: enough to make the per-round work small
// next to the frames, few enough that a round of a few channels stays in
// the second-level cache.
constexpr std::uint64_t kRound = 4096;

// The error of sample `x` (which failed the check) at frame f, channel c
// of `count` frames.
EngineError sample_error(float x, std::uint64_t f, std::uint64_t c, std::uint64_t count) {
  if (!std::isfinite(x)) return EngineError::non_finite_sample(f, c, count);
  return EngineError::sample_out_of_range(f, c, count, x);
}

// The first bad sample of frames [0, count) of `in`: channel by channel, or
// with `earliest_frame`, frame by frame.
EngineError first_bad_sample(Frames in, std::uint64_t channels, std::uint64_t count,
                             bool earliest_frame) {
  const auto& k = block_kernels::sample_kernels();
  const std::uint64_t outer = earliest_frame ? count : channels;
  const std::uint64_t inner = earliest_frame ? channels : count;
  for (std::uint64_t i = 0; i < outer; ++i) {
    for (std::uint64_t j = 0; j < inner; ++j) {
      const std::uint64_t c = earliest_frame ? j : i;
      const std::uint64_t f = earliest_frame ? i : j;
      const float* x = in.at(c, f);
      if (k.first_bad(x, 1) == 0) return sample_error(*x, f, c, count);
    }
  }
  return EngineError::non_finite_sample(0, 0, count);  // not reached: the caller saw one
}

}  // namespace

std::uint64_t Pipeline::latency_of(const Limiter& limiter, const FrameLevels* levels) {
  const DetectorReach reach = levels ? levels->reach() : detector_reach(limiter.detection());
  return limiter.lookahead_samples() + reach.ahead;
}

Result<Pipeline> Pipeline::start(Limiter& limiter, std::uint64_t channels, FrameLevels* levels) {
  Pipeline p;
  p.limiter_ = &limiter;
  p.channels_ = channels;
  const DetectionMode& mode = limiter.detection();
  p.levels_from_ = levels;
  p.reach_ = levels ? levels->reach() : detector_reach(mode);
  p.latency_ = latency_of(limiter, levels);
  p.ceiling_ = static_cast<float>(limiter.threshold());
  if (!levels && mode.kind != DetectionKind::SamplePeak) {
    auto detector = TruePeakDetector::create(mode, limiter.threshold());
    if (!detector.ok()) return OutOfMemory{};
    p.detector_.emplace(std::move(detector).value());
  }
  limiter.envelope().reset();
  return p;
}

Result<Pipeline> Pipeline::create(Limiter& limiter, std::uint64_t channels, FrameLevels* levels) {
  auto made = start(limiter, channels, levels);
  if (!made.ok()) return made;
  Pipeline& p = made.value();
  // What a round leaves held: the frames waiting for their gains (A) or for
  // the detector to look back at (its reach back), and those it cannot
  // measure yet (its reach ahead).
  const std::uint64_t held = std::max(limiter.lookahead_samples(), p.reach_.back) + p.reach_.ahead;
  p.chunk_ = std::max(kRound, held);
  std::size_t samples = 0;
  if (__builtin_add_overflow(held, p.chunk_, &p.capacity_) ||
      !checked_mul(channels, p.capacity_, samples)) {
    return OutOfMemory{};
  }
  p.window_ = Buffer<float>::uninitialized(samples);
  p.level_buffer_ = Buffer<float>::uninitialized(p.capacity_);
  if (!p.window_.valid() || !p.level_buffer_.valid()) return OutOfMemory{};
  p.base_ = p.window_.data();
  p.channel_step_ = p.capacity_;
  p.levels_ = p.level_buffer_.data();
  return made;
}

Result<Pipeline> Pipeline::create_in_place(Limiter& limiter, std::uint64_t channels, float* block,
                                           std::uint64_t frames, float* gains) {
  auto made = start(limiter, channels, nullptr);
  if (!made.ok()) return made;
  Pipeline& p = made.value();
  p.chunk_ = kRound;
  p.capacity_ = frames;
  p.base_ = block;
  p.channel_step_ = frames;
  p.levels_ = gains;
  p.in_place_ = true;
  return made;
}

Result<std::uint64_t> Pipeline::push(Frames in, std::uint64_t count, Frames out, float* gains) {
  const auto& k = block_kernels::sample_kernels();
  const bool sample_peak = !detector_ && !levels_from_;
  std::uint64_t given = 0;
  for (std::uint64_t done = 0; done < count;) {
    const std::uint64_t n = std::min(chunk_, count - done);
    make_room(n);
    const std::uint64_t at = in_ - first_;
    float* levels = levels_ + at;
    const bool stereo_pairs = channels_ == 2 && in.frame_step == 2 && in.channel_step == 1;
    if (stereo_pairs) k.deinterleave2(in.at(0, done), n, channel(0) + at, channel(1) + at);
    for (std::uint64_t c = 0; c < channels_; ++c) {
      float* x = channel(c) + at;
      if (x == in.at(c, done) || stereo_pairs) {
        // The block is its own window, or the pair is in it already.
      } else if (in.frame_step == 1) {
        std::memcpy(x, in.at(c, done), n * sizeof(float));
      } else {
        const float* from = in.at(c, done);
        for (std::uint64_t f = 0; f < n; ++f) {
          x[f] = from[static_cast<std::int64_t>(f) * in.frame_step];
        }
      }
      // Channel 0 stores its magnitudes, which is max(0, |x|); the others
      // fold theirs in.
      const std::uint64_t good =
          sample_peak ? k.first_bad_peaks(x, n, levels, c != 0) : k.first_bad(x, n);
      if (good != n) return first_bad_sample(in, channels_, count, earliest_frame_);
    }
    in_ += n;
    done += n;
    const std::uint64_t last = in_ > reach_.ahead ? in_ - reach_.ahead : 0;
    const Frames to{out.at(0, given), out.channel_step, out.frame_step};
    // The envelope waits on its own chain most of the round: meanwhile it
    // brings in what the next round reads and writes (about this round's
    // count of frames further on, in each stream).
    Warmup warm;
    warm_streams(warm, in, done, out, given + n, gains, std::min(chunk_, count - done));
    given +=
        advance(last, last, std::numeric_limits<std::uint64_t>::max(), to, gains + given, &warm);
  }
  return given;
}

std::uint64_t Pipeline::finish(Frames out, float* gains) {
  return advance(in_, in_ + limiter_->lookahead_samples(), in_, out, gains);
}

void Pipeline::warm_streams(Warmup& warm, Frames in, std::uint64_t from, Frames out,
                            std::uint64_t to, float* gains, std::uint64_t frames) const {
  if (frames == 0) return;
  // Planar streams by their first two channels (so that every stream gets
  // its ranges); frames one after the other as one range.
  const auto add = [&](Frames f, std::uint64_t frame, bool write) {
    if (f.frame_step == 1) {
      for (std::uint64_t c = 0; c < std::min<std::uint64_t>(channels_, 2); ++c) {
        warm.add(f.at(c, frame), frames * sizeof(float), write);
      }
    } else if (f.channel_step == 1) {
      warm.add(f.at(0, frame), frames * channels_ * sizeof(float), write);
    }
  };
  add(in, from, false);
  add(out, to, true);
  if (gains != levels_) warm.add(gains + to, frames * sizeof(float), true);
}

std::uint64_t Pipeline::advance(std::uint64_t last, std::uint64_t steps, std::uint64_t end,
                                Frames out, float* gains, const Warmup* warm) {
  float* levels = levels_;
  if ((detector_ || levels_from_) && last > measured_) {
    const auto n = static_cast<std::int64_t>(in_ - first_);
    const auto from = static_cast<std::int64_t>(measured_ - first_);
    const auto to = static_cast<std::int64_t>(last - first_);
    std::fill(levels + from, levels + to, 0.0f);
    for (std::uint64_t c = 0; c < channels_; ++c) {
      if (levels_from_) {
        levels_from_->fold(channel(c), n, from, to, levels + from,
                           static_cast<std::int64_t>(first_));
      } else {
        detector_->fold(channel(c), n, from, to, levels + from);
      }
    }
  }
  measured_ = std::max(measured_, last);

  GainEnvelope& envelope = limiter_->envelope();
  envelope.steps(levels, first_, steps, end, limiter_->threshold(), warm);
  const std::uint64_t A = limiter_->lookahead_samples();
  std::uint64_t ready = envelope.step() > A ? envelope.step() - A : 0;
  if (in_place_ && ready < end) {
    // In place, a frame is overwritten with its output only once the
    // detector will not look back at it again.
    ready = std::min(ready, measured_ > reach_.back ? measured_ - reach_.back : 0);
  }
  const std::uint64_t count = std::min(ready, end) - out_;

  const auto& k = block_kernels::sample_kernels();
  const std::uint64_t at = out_ - first_;
  if (channels_ == 2 && out.frame_step == 2 && out.channel_step == 1) {
    k.apply_gains2(channel(0) + at, channel(1) + at, levels + at, out.at(0, 0), count, ceiling_);
  } else {
    apply_each(levels + at, at, count, out);
  }
  if (gains != levels + at) std::memcpy(gains, levels + at, count * sizeof(float));
  out_ += count;
  return count;
}

void Pipeline::apply_each(const float* gains, std::uint64_t at, std::uint64_t count, Frames out) {
  const auto& k = block_kernels::sample_kernels();
  for (std::uint64_t c = 0; c < channels_; ++c) {
    const float* x = channel(c) + at;
    if (out.frame_step == 1) {
      k.apply_gains(x, gains, out.at(c, 0), count, ceiling_);
    } else {
      k.apply_gains_strided(x, gains, out.at(c, 0), static_cast<std::uint64_t>(out.frame_step),
                            count, ceiling_);
    }
  }
}

void Pipeline::make_room(std::uint64_t room) {
  if (in_ - first_ + room <= capacity_) return;
  const std::uint64_t back = measured_ > reach_.back ? measured_ - reach_.back : 0;
  const std::uint64_t keep_from = std::min(out_, back);
  const std::uint64_t drop = keep_from - first_;
  const std::uint64_t kept = in_ - keep_from;
  for (std::uint64_t c = 0; c < channels_; ++c) {
    std::memmove(channel(c), channel(c) + drop, kept * sizeof(float));
  }
  std::memmove(levels_, levels_ + drop, kept * sizeof(float));
  first_ = keep_from;
}

}  // namespace qx
