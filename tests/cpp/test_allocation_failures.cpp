// Running out of memory at every allocation in turn: the allocation that a
// limiter's construction or a block's processing makes first, second, …
// fails, one after the other, until the operation gets through without
// meeting the failure. Each run ends either in the very result of a run
// without failures or in OutOfMemory, never in a crash, a half-built
// limiter or a result with holes; and once everything is released, no
// block is left behind. The meter (its window grows with the signal) and the
// limiter with the meter's waveform levels are walked the same way.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/block/block.hpp"
#include "engine/block/pipeline.hpp"
#include "engine/core/allocation.hpp"
#include "engine/limiter/limiter.hpp"
#include "engine/meter/meter.hpp"
#include "engine/meter/peak_search.hpp"
#include "test_support.hpp"

namespace {

using namespace testing_support;
namespace testing_memory = qx::memory::testing;

struct Settings {
  std::uint32_t rate;
  bool true_peak;
  double attack_ms, hold_ms;
};

// Everything a run produced, comparable bit for bit: the gains and the
// audio, or the error's message, or "out of memory".
struct Run {
  std::string outcome;
  Signal gains;
  Signal audio;
  bool operator==(const Run& other) const {
    return outcome == other.outcome && same_bits(gains, other.gains) &&
           same_bits(audio, other.audio);
  }
};

Run construct_and_process(const Settings& s, Signal block, std::uint64_t K) {
  auto made = qx::create_limiter(s.rate, -3.0, s.attack_ms, s.hold_ms, 5.0, s.true_peak);
  if (made.out_of_memory()) return {"out of memory", {}, {}};
  if (made.is_error()) return {std::string(made.error().message().view()), {}, {}};
  qx::Limiter lim = std::move(made).value();
  auto result = qx::process_block(lim, block.data(), block.size(), K);
  if (result.out_of_memory()) return {"out of memory", {}, {}};
  if (result.is_error()) return {std::string(result.error().message().view()), {}, {}};
  const float* g = result.value().data();
  return {"ok", Signal(g, g + result.value().size()), block};
}

// Walks the failure point through every allocation of one run of `run_once`;
// returns how many points there were.
template <class F>
int walk_runs(F run_once) {
  const std::int64_t before = testing_memory::live_blocks();
  const Run expected = run_once();
  EXPECT_EQ(testing_memory::live_blocks(), before);
  for (std::uint64_t n = 1;; ++n) {
    testing_memory::fail_after(n);
    const Run run = run_once();
    testing_memory::disarm();
    EXPECT_EQ(testing_memory::live_blocks(), before) << "failure point " << n;
    if (!testing_memory::failed()) {
      EXPECT_TRUE(run == expected) << "failure point " << n << " never came";
      return static_cast<int>(n - 1);
    }
    EXPECT_TRUE(run.outcome == "out of memory") << "failure point " << n << ": " << run.outcome;
    if (n > 100) {
      ADD_FAILURE() << "more allocations than any run should make";
      return static_cast<int>(n);
    }
  }
}

int walk_failures(const Settings& s, const Signal& block, std::uint64_t K) {
  return walk_runs([&] { return construct_and_process(s, block, K); });
}

// The meter over a planar signal of F frames in chunks of `chunk` frames:
// its four figures' bits as the outcome.
Run meter_run(const Signal& x, std::uint64_t K, std::uint64_t chunk) {
  auto made = qx::Meter::create(48000, K);
  if (made.out_of_memory()) return {"out of memory", {}, {}};
  qx::Meter meter = std::move(made).value();
  const std::uint64_t F = x.size() / K;
  Signal copy = x;
  for (std::uint64_t at = 0; at < F; at += chunk) {
    const std::uint64_t n = std::min(chunk, F - at);
    const qx::Frames in{copy.data() + at, static_cast<std::int64_t>(F), 1};
    auto added = meter.add(in, n);
    if (added.out_of_memory()) return {"out of memory", {}, {}};
  }
  auto r = meter.result();
  if (r.out_of_memory()) return {"out of memory", {}, {}};
  const auto& f = r.value();
  return {"ok",
          Signal{static_cast<float>(f.integrated_lufs), static_cast<float>(f.loudness_range_lu),
                 static_cast<float>(f.true_peak_dbtp), static_cast<float>(f.sample_peak_dbfs)},
          {}};
}

// The limiter at −1 dBFS with the meter's waveform levels, through the
// streaming pipeline in chunks: gains and audio out.
Run waveform_run(const Signal& x, std::uint64_t K, std::uint64_t chunk) {
  auto made = qx::create_limiter(48000, -1.0, 1.0, 2.0, 5.0, false);
  if (made.out_of_memory()) return {"out of memory", {}, {}};
  qx::Limiter lim = std::move(made).value();
  auto levels = qx::meter::WaveformLevels::create(lim.threshold());
  if (levels.out_of_memory()) return {"out of memory", {}, {}};
  qx::meter::WaveformLevels source = std::move(levels).value();
  auto started = qx::Pipeline::create(lim, K, &source);
  if (started.out_of_memory()) return {"out of memory", {}, {}};
  qx::Pipeline pipeline = std::move(started).value();
  const std::uint64_t F = x.size() / K, L = F + pipeline.latency();
  Signal copy = x, out(K * L), gains(L);
  std::uint64_t done = 0;
  const auto at_done = [&] {
    return qx::Frames{out.data() + done, static_cast<std::int64_t>(L), 1};
  };
  for (std::uint64_t at = 0; at < F; at += chunk) {
    const std::uint64_t n = std::min(chunk, F - at);
    const qx::Frames in{copy.data() + at, static_cast<std::int64_t>(F), 1};
    auto pushed = pipeline.push(in, n, at_done(), gains.data() + done);
    if (pushed.out_of_memory()) return {"out of memory", {}, {}};
    done += pushed.value();
  }
  done += pipeline.finish(at_done(), gains.data() + done);
  return {"ok", gains, out};
}

class AllocationFailures : public ::testing::TestWithParam<ModeCase> {};

// Lengths around the working chunks of the per-sample passes and of the
// detector (4096 frames; 4096 / L upsampled frames), and the empty block.
TEST_P(AllocationFailures, EveryPointInConstructionAndProcessing) {
  const ModeCase& m = GetParam();
  const Settings settings{m.rate, m.true_peak, 1.0, 1.0};
  int points = 0;
  for (std::uint64_t F : {0u, 1u, 682u, 683u, 4095u, 4096u, 4097u, 8193u}) {
    for (std::uint64_t K : {1u, 2u}) {
      const int n = walk_failures(settings, signal(Kind::Music, K, F, 7), K);
      EXPECT_GE(n, 2) << F << " frames";  // at least the limiter and the gains
      points = std::max(points, n);
    }
  }
  RecordProperty("failure_points", points);
}

// A sample error comes back as itself, or as OutOfMemory when memory ran
// out before the sample was reached.
TEST_P(AllocationFailures, SampleErrorOrOutOfMemory) {
  const ModeCase& m = GetParam();
  Signal block = signal(Kind::Music, 2, 500, 3);
  block[700] = std::numeric_limits<float>::infinity();
  walk_failures({m.rate, m.true_peak, 1.0, 1.0}, block, 2);
}

INSTANTIATE_TEST_SUITE_P(Modes, AllocationFailures, ::testing::ValuesIn(kModes), mode_name);

// The meter's window grows with the signal up to its full size (some 34000
// frames per channel): runs that stop short of it, reach it, and go past.
TEST(AllocationFailures, MeterWindowAndFigures) {
  for (std::uint64_t F : {1u, 4097u, 20000u, 60000u}) {
    for (std::uint64_t K : {1u, 2u}) {
      const Signal x = signal(Kind::Music, K, F, 5);
      EXPECT_GE(walk_runs([&] { return meter_run(x, K, 7000); }), 2) << F << " frames";
    }
  }
}

// The waveform levels' working storage and the pipeline around them.
TEST(AllocationFailures, WaveformLevelsInThePipeline) {
  for (std::uint64_t F : {1u, 5000u, 30000u}) {
    const Signal x = signal(Kind::Music, 2, F, 9);
    EXPECT_GE(walk_runs([&] { return waveform_run(x, 2, 4000); }), 3) << F << " frames";
  }
}

TEST(AllocationFailures, SettingsErrorsNeedNoMemory) {
  // An invalid threshold after the Kaiser design: the tables are released.
  walk_failures({8000, true, 1.0, 1.0}, Signal(4, 0.5f), 2);
  const std::int64_t before = testing_memory::live_blocks();
  testing_memory::fail_after(1);
  auto made = qx::create_limiter(8000, 1.0, 5.0, 15.0, 40.0, true);
  testing_memory::disarm();
  ASSERT_TRUE(made.out_of_memory() || made.is_error());
  EXPECT_EQ(testing_memory::live_blocks(), before);
}

}  // namespace
