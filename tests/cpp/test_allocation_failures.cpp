// Running out of memory at every allocation in turn: the allocation that a
// limiter's construction or a block's processing makes first, second, …
// fails, one after the other, until the operation gets through without
// meeting the failure. Each run ends either in the very result of a run
// without failures or in OutOfMemory, never in a crash, a half-built
// limiter or a result with holes; and once everything is released, no
// block is left behind.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/block/block.hpp"
#include "engine/core/allocation.hpp"
#include "engine/limiter/limiter.hpp"
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

// Walks the failure point through every allocation of one run; returns how
// many points there were.
int walk_failures(const Settings& s, const Signal& block, std::uint64_t K) {
  const std::int64_t before = testing_memory::live_blocks();
  const Run expected = construct_and_process(s, block, K);
  EXPECT_EQ(testing_memory::live_blocks(), before);
  for (std::uint64_t n = 1;; ++n) {
    testing_memory::fail_after(n);
    const Run run = construct_and_process(s, block, K);
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
