// Fuzzes limiter construction and block processing with arbitrary settings
// and planar blocks, and checks what must hold for every input:
//
// - construction either fails with exactly the error the checks define (in
//   their fixed order), or with OutOfMemory when the lengths cannot be
//   stored, or yields a limiter with the derived lengths the formulas give;
// - block processing either fails with exactly the error of the first bad
//   sample in planar order, or returns one gain per frame with every output
//   sample within the float32 ceiling, every gain finite and at most 1 and
//   not below zero by more than the rounding residue of the smoothing
//   stages' running sums, level × gain within the ceiling up to the
//   float32 rounding of the stored gain, and output = clamp(input × gain);
// - the result equals the one-frame-at-a-time oracle of the engine tests
//   bit for bit, on every instruction-set path, and a second call on the
//   same limiter gives the same bits (every call starts from neutral).
//
// Sizes: huge times must come back as OutOfMemory without touching memory.
// Run with ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=3072
// so that an allocation the engine does attempt above that size fails the
// same way on every machine instead of depending on overcommit.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "engine/block/block.hpp"
#include "engine/limiter/limiter.hpp"
#include "engine/dispatch/path.hpp"
#include "oracle.hpp"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant failed: %s\n", what);
    std::abort();
  }
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Every detection class: the Kaiser rates, the reference rates, the first
// sample-peak rates and the largest rate, and neighbours of the edges that
// true peak refuses.
constexpr std::uint32_t kRates[] = {8000,        11025, 12000, 16000, 22050,  24000,  32000,
                                    44100,       48000, 88200, 96000, 176400, 192000, 384000,
                                    4294967295u, 1,     1000,  44099, 48001,  176399};

bool true_peak_supported(std::uint32_t rate) {
  switch (rate) {
    case 8000:
    case 11025:
    case 12000:
    case 16000:
    case 22050:
    case 24000:
    case 32000:
    case 44100:
    case 48000:
    case 88200:
    case 96000: return true;
    default: return rate >= 176400;
  }
}

qx::DetectionKind expected_kind(std::uint32_t rate, bool true_peak) {
  if (!true_peak || rate >= 176400) return qx::DetectionKind::SamplePeak;
  if (rate >= 44100) return qx::DetectionKind::Reference;
  return qx::DetectionKind::KaiserReference;
}

// Lengths in frames that stay cheap (the stage rings are rewritten on every
// call), lengths that are large but only reserved, and lengths that cannot
// be stored at all.
constexpr double kSmallFrames = 20000.0;
constexpr std::uint64_t kMediumHoldFrames = std::uint64_t{1} << 22;
constexpr std::uint64_t kMediumAttackFrames = std::uint64_t{1} << 16;

double pick_time(FuzzedDataProvider& in, std::uint32_t rate, std::uint64_t medium_frames) {
  switch (in.ConsumeIntegralInRange<int>(0, 23)) {
    case 0: return 0.0;
    case 1: return -0.0;
    case 2: return kNaN;
    case 3: return in.ConsumeBool() ? kInf : -kInf;
    case 4:
      return in.ConsumeBool() ? std::numeric_limits<double>::denorm_min()
                              : -std::numeric_limits<double>::denorm_min();
    case 5: return -in.ConsumeFloatingPointInRange<double>(0.0, 1e300);
    case 6:  // at least 1e9 frames at any rate: more than memory allows
      return std::pow(10.0, in.ConsumeFloatingPointInRange<double>(12.0, 300.0));
    case 7:  // stored but mostly untouched
      return static_cast<double>(in.ConsumeIntegralInRange<std::uint64_t>(0, medium_frames)) *
             1000.0 / rate;
    case 8: return 1e300;
    default: {
      const double x = in.ConsumeFloatingPointInRange<double>(0.0, 1.0);
      return x * x * kSmallFrames * 1000.0 / rate;
    }
  }
}

double pick_threshold(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 15)) {
    case 0: return 0.0;
    case 1: return -0.0;
    case 2: return kNaN;
    case 3: return in.ConsumeBool() ? kInf : -kInf;
    case 4: return std::numeric_limits<double>::denorm_min();  // just above zero: refused
    case 5: return -std::numeric_limits<double>::denorm_min();
    case 6: return in.ConsumeFloatingPointInRange<double>(0.0, 10.0);
    case 7: return -1e300;  // a ceiling of exactly zero
    case 8:                 // ceilings far below float32's normal range, down to zero
      return -in.ConsumeFloatingPointInRange<double>(700.0, 8000.0);
    default: return -in.ConsumeFloatingPointInRange<double>(0.0, 60.0);
  }
}

float bits_to_float(std::uint32_t bits) {
  float v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

float pick_sample(FuzzedDataProvider& in, float scale) {
  static const float kSpecial[] = {4294967296.0f,
                                   -4294967296.0f,  // ±2^32: accepted
                                   4294967808.0f,
                                   -4294967808.0f,  // the next float32 out: refused
                                   4294967040.0f,
                                   -4294967040.0f,  // the last float32 in
                                   std::numeric_limits<float>::infinity(),
                                   -std::numeric_limits<float>::infinity(),
                                   std::numeric_limits<float>::quiet_NaN(),
                                   -std::numeric_limits<float>::quiet_NaN(),
                                   bits_to_float(0x7f800001u),  // signalling NaN
                                   std::numeric_limits<float>::max(),
                                   -std::numeric_limits<float>::max(),
                                   std::numeric_limits<float>::min(),
                                   std::numeric_limits<float>::denorm_min(),
                                   -std::numeric_limits<float>::denorm_min(),
                                   0.0f,
                                   -0.0f,
                                   1.0f,
                                   -1.0f,
                                   3.0e9f,
                                   0.5f};
  switch (in.ConsumeIntegralInRange<int>(0, 31)) {
    case 0: return kSpecial[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kSpecial) - 1)];
    case 1: return bits_to_float(in.ConsumeIntegral<std::uint32_t>());
    case 2:  // a subnormal of either sign
      return bits_to_float(in.ConsumeIntegral<std::uint32_t>() & 0x807fffffu);
    case 3: return in.ConsumeFloatingPointInRange<float>(-4294967296.0f, 4294967296.0f);
    default: return in.ConsumeFloatingPointInRange<float>(-scale, scale);
  }
}

struct Settings {
  std::uint32_t rate;
  bool true_peak;
  double threshold_dBFS, attack_ms, hold_ms, release_ms;
};

std::uint64_t round_saturating(double x) {
  const double r = std::round(x);
  if (!(r > 0.0)) return 0;
  if (r >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(r);
}

// Checks construction against the rules; returns the limiter when it was
// built.
std::optional<qx::Limiter> construct(const Settings& s) {
  auto made = qx::create_limiter(s.rate, s.threshold_dBFS, s.attack_ms, s.hold_ms, s.release_ms,
                                 s.true_peak);
  auto expect_error = [&](qx::ErrorKind kind, const char* what) {
    check(made.is_error() && made.error().kind == kind, what);
  };
  if (s.true_peak && !true_peak_supported(s.rate)) {
    expect_error(qx::ErrorKind::UnsupportedTruePeakRate, "unsupported true-peak rate");
    check(made.error().sample_rate == s.rate, "unsupported rate carried");
    return std::nullopt;
  }
  if (!std::isfinite(s.threshold_dBFS) || s.threshold_dBFS > 0.0) {
    expect_error(qx::ErrorKind::InvalidThreshold, "invalid threshold");
    check(std::memcmp(&made.error().value, &s.threshold_dBFS, sizeof(double)) == 0,
          "threshold carried as passed");
    return std::nullopt;
  }
  const struct {
    const char* name;
    double value;
  } times[] = {{"attack_ms", s.attack_ms}, {"hold_ms", s.hold_ms}, {"release_ms", s.release_ms}};
  for (const auto& t : times) {
    if (!std::isfinite(t.value) || t.value < 0.0) {
      expect_error(qx::ErrorKind::InvalidTime, "invalid time");
      check(std::strcmp(made.error().name, t.name) == 0, "first invalid time named");
      check(std::memcmp(&made.error().value, &t.value, sizeof(double)) == 0,
            "time carried as passed");
      return std::nullopt;
    }
  }
  const double sr = s.rate;
  const std::uint64_t A = round_saturating(s.attack_ms * sr / 1000.0);
  if (A == 0) {
    expect_error(qx::ErrorKind::AttackRoundsToZero, "attack rounds to zero");
    return std::nullopt;
  }
  const std::uint64_t span = round_saturating((s.attack_ms + s.hold_ms) * sr / 1000.0);
  const std::uint64_t W = span > A ? span : A;
  // Above 2^28 window entries (16 bytes each) or 2^29 stage values the
  // storage exceeds the allocation cap, so nothing but OutOfMemory fits.
  if (A >= (std::uint64_t{1} << 29) || W >= (std::uint64_t{1} << 28)) {
    check(made.out_of_memory(), "storage beyond memory is OutOfMemory");
    return std::nullopt;
  }
  check(made.ok(), "valid settings that fit build a limiter");
  qx::Limiter limiter = std::move(made).value();
  check(limiter.lookahead_samples() == A, "look-ahead length");
  check(limiter.hold_samples() == W - A, "hold length");
  const double R = s.release_ms * sr / 1000.0;
  check(limiter.release_samples() == R, "release length");
  check(limiter.threshold() == std::pow(10.0, s.threshold_dBFS / 20.0), "linear threshold");
  check(limiter.threshold() >= 0.0 && limiter.threshold() <= 1.0, "threshold in [0, 1]");
  check(limiter.detection().kind == expected_kind(s.rate, s.true_peak), "detection mode");
  check(limiter.sample_rate() == s.rate && limiter.true_peak() == s.true_peak,
        "settings kept as passed");
  return limiter;
}

std::vector<qx::dispatch::Path> available_paths() {
  std::vector<qx::dispatch::Path> paths;
  for (auto p : {qx::dispatch::Path::Baseline, qx::dispatch::Path::V3, qx::dispatch::Path::V4}) {
    if (qx::dispatch::path_available(p)) paths.push_back(p);
  }
  return paths;
}

bool same_bits(const float* a, const float* b, std::size_t n) {
  return n == 0 || std::memcmp(a, b, n * sizeof(float)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  Settings s{};
  s.rate = in.ConsumeBool()
               ? kRates[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kRates) - 1)]
               : in.ConsumeIntegralInRange<std::uint32_t>(1, 400000);
  s.true_peak = in.ConsumeBool();
  s.threshold_dBFS = pick_threshold(in);
  s.attack_ms = pick_time(in, s.rate, kMediumAttackFrames);
  s.hold_ms = pick_time(in, s.rate, kMediumHoldFrames);
  s.release_ms = pick_time(in, s.rate, kMediumHoldFrames);

  std::optional<qx::Limiter> made = construct(s);
  if (!made) return 0;
  qx::Limiter& limiter = *made;

  // Mostly lengths around the detector's edges (12 and 64 frames, 31 and
  // 32 edge frames, 128-frame interior blocks); sometimes several blocks.
  std::uint64_t channels = in.ConsumeIntegralInRange<std::uint64_t>(1, 8);
  const std::uint64_t frames = in.ConsumeIntegralInRange<int>(0, 7) == 0
                                   ? in.ConsumeIntegralInRange<std::uint64_t>(141, 700)
                                   : in.ConsumeIntegralInRange<std::uint64_t>(0, 140);
  std::uint64_t count = channels * frames;
  const int shape = in.ConsumeIntegralInRange<int>(0, 31);
  if (shape == 0) channels = 0;
  if (shape == 1 && channels > 1)
    count += in.ConsumeIntegralInRange<std::uint64_t>(1, channels - 1);

  // A block-wide scale, so whole blocks stay under the ceiling or above it.
  static const float kScales[] = {1e-30f, 1e-3f, 0.5f, 1.0f, 4.0f, 1e6f};
  const float scale = kScales[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kScales) - 1)];
  std::vector<float> block(count);
  for (auto& x : block) x = pick_sample(in, scale);
  const std::vector<float> input = block;

  auto result = qx::process_block(limiter, block.data(), count, channels);

  if (channels == 0) {
    check(result.is_error() && result.error().kind == qx::ErrorKind::ZeroChannels, "zero channels");
    return 0;
  }
  if (count % channels != 0) {
    check(result.is_error() && result.error().kind == qx::ErrorKind::IndivisibleSamples &&
              result.error().samples == count && result.error().channels == channels,
          "indivisible");
    return 0;
  }
  // The first bad sample in channel-major (planar) order decides the error.
  for (std::uint64_t p = 0; p < count; ++p) {
    const float x = input[p];
    if (!std::isfinite(x)) {
      check(result.is_error() && result.error().kind == qx::ErrorKind::NonFiniteSample &&
                result.error().planar_index() == p,
            "non-finite sample");
      return 0;
    }
    if (std::fabs(x) > 4294967296.0f) {
      check(result.is_error() && result.error().kind == qx::ErrorKind::SampleOutOfRange &&
                result.error().planar_index() == p &&
                std::memcmp(&result.error().sample, &x, sizeof x) == 0,
            "sample out of range");
      return 0;
    }
  }
  check(result.ok(), "valid block processed");
  const qx::Buffer<float>& gains = result.value();
  check(gains.size() == frames, "one gain per frame");

  const double T = limiter.threshold();
  const auto ceiling = static_cast<float>(T);
  const std::uint64_t A = limiter.lookahead_samples();
  const std::uint64_t W = A + limiter.hold_samples();
  const std::uint64_t steps = frames + A;
  const double residue = static_cast<double>(steps) * static_cast<double>(A + 2) * 0x1p-52;
  for (std::uint64_t f = 0; f < frames; ++f) {
    const float g = gains[f];
    check(std::isfinite(g) && g <= 1.0f, "gain finite and at most 1");
    // The running sums of the smoothing stages carry rounding residue of
    // up to an ulp of their stage length per step. Where every target gain
    // of a long look-ahead is below that residue (a ceiling of next to
    // nothing, or levels near 2^32), the sum can end a hair below zero;
    // nowhere else is a gain negative.
    check(g >= 0.0f || g >= -residue, "gain not negative beyond the running-sum residue");
    for (std::uint64_t c = 0; c < channels; ++c) {
      const float y = block[c * frames + f];
      check(std::fabs(y) <= ceiling, "output within the ceiling");
      float expected = input[c * frames + f] * g;
      expected = std::fmax(expected, -ceiling);
      expected = std::fmin(expected, ceiling);
      check(std::memcmp(&y, &expected, sizeof y) == 0 || (y == 0.0f && expected == 0.0f),
            "output is input times gain, clamped");
    }
  }

  if (frames == 0) return 0;

  // The levels the gains were computed from (sample or true peaks), through
  // the oracle: each times its gain stays within the ceiling, up to the
  // rounding of the gain to float32 (relative, or half the smallest
  // subnormal where the gain is that small).
  const oracle::Signal levels = oracle::frame_levels(limiter.detection(), input, channels);
  for (std::uint64_t f = 0; f < frames; ++f) {
    const double level = levels[f];
    check(level * gains[f] <= T * (1.0 + 0x1p-23) + level * 0x1p-150,
          "level times gain within the ceiling");
  }

  // The oracle's envelope finds each window minimum by brute force; keep it
  // to inputs where that stays cheap.
  if (steps * (W < steps ? W : steps) <= 500000) {
    const oracle::Processed want = oracle::process(limiter, input, channels);
    check(!want.error, "oracle accepts the block");
    check(same_bits(want.gains.data(), gains.data(), frames), "gains equal the oracle's");
    check(same_bits(want.audio.data(), block.data(), count), "output equals the oracle's");
  }

  // A second call on the same limiter, on a path of the fuzzer's choice,
  // gives the same bits: every call starts from neutral, and every path
  // computes the same operations.
  const std::vector<qx::dispatch::Path> paths = available_paths();
  const qx::dispatch::Path path =
      paths[in.ConsumeIntegralInRange<std::size_t>(0, paths.size() - 1)];
  check(qx::dispatch::force_path(path), "path can be forced");
  std::vector<float> again = input;
  auto second = qx::process_block(limiter, again.data(), count, channels);
  qx::dispatch::reset_path();
  check(second.ok(), "second call succeeds");
  check(same_bits(second.value().data(), gains.data(), frames), "same gains on every path");
  check(same_bits(again.data(), block.data(), count), "same output on every path");
  return 0;
}
