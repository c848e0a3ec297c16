// Fuzzes limiter construction and block processing with arbitrary settings
// and planar blocks, and checks what must hold for every input: either the
// exact error the checks define, or output within the float32 ceiling with
// finite gains in [0, 1] (level × gain within the ceiling for sample peaks).
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/block.hpp"
#include "engine/limiter.hpp"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    __builtin_printf("invariant failed: %s\n", what);
    std::abort();
  }
}

constexpr std::uint32_t kRates[] = {8000,  11025, 12000, 16000, 22050, 24000,  32000,
                                    44100, 48000, 88200, 96000, 176400, 192000, 1000};

double pick_time(FuzzedDataProvider& in, std::uint32_t rate) {
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: return 0.0;
    case 1: return -0.0;
    case 2: return std::numeric_limits<double>::quiet_NaN();
    case 3: return in.ConsumeBool() ? 1e300 : -1.0;
    case 4: return std::numeric_limits<double>::denorm_min();
    default: {
      // Long enough to reach every envelope path, short enough that a run
      // of steps stays cheap: at most about 20000 frames.
      const double ms = in.ConsumeFloatingPointInRange<double>(0.0, 1.0);
      return ms * ms * 2e7 / rate;
    }
  }
}

float pick_sample(FuzzedDataProvider& in) {
  static constexpr float kSpecial[] = {
      4294967296.0f, -4294967296.0f, 4294967808.0f, -4294967808.0f,
      std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
      std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::denorm_min(),
      -std::numeric_limits<float>::denorm_min(), 0.0f, -0.0f, 1.0f, 3.0e9f, 0.5f};
  if (in.ConsumeIntegralInRange<int>(0, 15) == 0) {
    return kSpecial[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kSpecial) - 1)];
  }
  const int kind = in.ConsumeIntegralInRange<int>(0, 3);
  if (kind == 0) {
    const std::uint32_t bits = in.ConsumeIntegral<std::uint32_t>();
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
  }
  return in.ConsumeFloatingPointInRange<float>(-4.0f, 4.0f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::uint32_t rate = in.ConsumeBool()
                                 ? kRates[in.ConsumeIntegralInRange<std::size_t>(0, 13)]
                                 : in.ConsumeIntegralInRange<std::uint32_t>(1, 400000);
  const bool true_peak = in.ConsumeBool();
  double threshold_dBFS = -in.ConsumeFloatingPointInRange<double>(0.0, 60.0);
  if (in.ConsumeIntegralInRange<int>(0, 9) == 0) threshold_dBFS = 0.5;
  if (in.ConsumeIntegralInRange<int>(0, 9) == 0) threshold_dBFS = -1e300;  // ceiling 0
  const double attack = pick_time(in, rate);
  const double hold = pick_time(in, rate);
  const double release = pick_time(in, rate);

  auto made = qx::create_limiter(rate, threshold_dBFS, attack, hold, release, true_peak);
  if (!made.ok()) return 0;
  qx::Limiter limiter = std::move(made).value();

  std::uint64_t channels = in.ConsumeIntegralInRange<std::uint64_t>(1, 8);
  const std::uint64_t frames = in.ConsumeIntegralInRange<std::uint64_t>(0, 140);
  std::uint64_t count = channels * frames;
  const int shape = in.ConsumeIntegralInRange<int>(0, 31);
  if (shape == 0) channels = 0;
  if (shape == 1 && channels > 1) count += 1;

  std::vector<float> block(count);
  for (auto& x : block) x = pick_sample(in);
  const std::vector<float> input = block;

  auto result = qx::process_block(limiter, block.data(), count, channels);

  if (channels == 0) {
    check(result.is_error() && result.error().kind == qx::ErrorKind::ZeroChannels, "zero channels");
    return 0;
  }
  if (count % channels != 0) {
    check(result.is_error() && result.error().kind == qx::ErrorKind::IndivisibleSamples,
          "indivisible");
    return 0;
  }
  // The first bad sample in channel-major (planar) order decides the error.
  for (std::uint64_t p = 0; p < count; ++p) {
    const float x = input[p];
    if (!std::isfinite(x)) {
      check(result.is_error() && result.error().kind == qx::ErrorKind::NonFiniteSample &&
                result.error().index == p,
            "non-finite sample");
      return 0;
    }
    if (std::fabs(x) > 4294967296.0f) {
      check(result.is_error() && result.error().kind == qx::ErrorKind::SampleOutOfRange &&
                result.error().index == p && result.error().sample == x,
            "sample out of range");
      return 0;
    }
  }
  check(result.ok(), "valid block processed");
  const qx::Buffer<float>& gains = result.value();
  check(gains.size() == frames, "one gain per frame");
  const double T = limiter.threshold();
  const float ceiling = static_cast<float>(T);
  for (std::uint64_t f = 0; f < frames; ++f) {
    const float g = gains[f];
    check(std::isfinite(g) && g <= 1.0f, "gain finite and at most 1");
    // The running sums may leave a residue just below zero only when the
    // ceiling itself is zero.
    check(g >= 0.0f || (T == 0.0 && g > -1e-9f), "gain not negative");
    float peak = 0.0f;
    for (std::uint64_t c = 0; c < channels; ++c) {
      const float y = block[c * frames + f];
      check(std::fabs(y) <= ceiling, "output within the ceiling");
      const float x = input[c * frames + f];
      peak = std::fmax(peak, std::fabs(x));
      float expected = x * g;
      expected = std::fmax(expected, -ceiling);
      expected = std::fmin(expected, ceiling);
      check(y == expected, "output is input times gain, clamped");
    }
    if (limiter.detection().kind == qx::DetectionKind::SamplePeak) {
      check(static_cast<double>(peak) * g <= T * (1.0 + 0x1p-23) || g <= 0.0f,
            "level times gain within the ceiling");
    }
  }
  return 0;
}
