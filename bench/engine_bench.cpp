// Cost of process_block per frame, in each detection mode, next to a plain
// memcpy of the same block measured in the same run, and the cost of two of
// its units alone: the gain envelope over the block's levels, and the
// true-peak detector.
//
// Each case builds ten minutes (by default) of stereo audio at its rate,
// then alternates, for several rounds: a memcpy of the block into a second
// buffer (timed), a fresh copy into the working buffer (not timed), and
// process_block on that copy (timed, allocations of the call included).
// Interleaving the two keeps the ratio meaningful on a busy machine; the
// table reports medians over the rounds.
//
//   engine_bench [--rounds=N] [--minutes=M] [--path=baseline|v3|v4] [--only=SUBSTRING]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/block/block.hpp"
#include "engine/detector/true_peak.hpp"
#include "engine/limiter/limiter.hpp"
#include "engine/dispatch/path.hpp"

namespace {

using Clock = std::chrono::steady_clock;

enum class Load { Music, Heavy };

struct Case {
  const char* name;
  std::uint32_t rate;
  bool true_peak;
  Load load;
};

constexpr Case kCases[] = {
    {"sample peak 48k music", 48000, false, Load::Music},
    {"sample peak 48k heavy", 48000, false, Load::Heavy},
    {"Reference 48k (4 phases)", 48000, true, Load::Music},
    {"Reference 96k (2 phases)", 96000, true, Load::Music},
    {"Kaiser L=6 8k", 8000, true, Load::Music},
    {"Kaiser L=3 16k", 16000, true, Load::Music},
    {"Kaiser L=2 22.05k", 22050, true, Load::Music},
    {"Kaiser L=3 32k (2 phases)", 32000, true, Load::Music},
};

constexpr double kThresholdDb = -1.0;

// Stereo, planar. Music: a few partials and some noise around -8 dBFS, with
// a short loud transient, a few dB over the ceiling, several times a second.
// Heavy: noise whose frame peak (the larger of two channels) is above the
// ceiling in half the frames, at random.
std::vector<float> make_signal(Load load, std::uint32_t rate, std::uint64_t frames) {
  std::vector<float> x(2 * frames);
  std::mt19937 rng(12345);
  std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
  const double T = std::pow(10.0, kThresholdDb / 20.0);
  const double sr = rate;
  if (load == Load::Heavy) {
    // P(|x| ≤ T) = 1/√2 per channel, so P(both ≤ T) = 1/2.
    const auto a = static_cast<float>(T * std::sqrt(2.0));
    for (float& v : x) v = a * uni(rng);
    return x;
  }
  const auto burst_every = static_cast<std::uint64_t>(sr * 0.23);
  const auto burst_len = static_cast<std::uint64_t>(sr * 0.004) + 1;
  for (int c = 0; c < 2; ++c) {
    for (std::uint64_t f = 0; f < frames; ++f) {
      const double t = static_cast<double>(f) / sr;
      double v = 0.22 * std::sin(2 * M_PI * 220.0 * t + c) + 0.12 * std::sin(2 * M_PI * 331.0 * t) +
                 0.06 * std::sin(2 * M_PI * 1250.0 * t + 0.5 * c) + 0.04 * uni(rng);
      if (f % burst_every < burst_len) v *= 2.6;  // ≈ +2 to +4 dB over the ceiling
      x[c * frames + f] = static_cast<float>(v);
    }
  }
  return x;
}

double seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

bool arg(const char* a, const char* name, std::string& value) {
  const std::size_t len = std::strlen(name);
  if (std::strncmp(a, name, len) != 0 || a[len] != '=') return false;
  value = a + len + 1;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 7;
  double minutes = 10.0;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    std::string v;
    if (arg(argv[i], "--rounds", v)) {
      rounds = std::max(1, std::atoi(v.c_str()));
    } else if (arg(argv[i], "--minutes", v)) {
      minutes = std::atof(v.c_str());
    } else if (arg(argv[i], "--only", v)) {
      only = v;
    } else if (arg(argv[i], "--path", v)) {
      const qx::dispatch::Path p = v == "v4"   ? qx::dispatch::Path::V4
                                   : v == "v3" ? qx::dispatch::Path::V3
                                               : qx::dispatch::Path::Baseline;
      if (!qx::dispatch::force_path(p)) {
        std::fprintf(stderr, "path %s is not available on this CPU\n", v.c_str());
        return 2;
      }
    } else {
      std::fprintf(stderr,
                   "usage: %s [--rounds=N] [--minutes=M] [--path=baseline|v3|v4] "
                   "[--only=SUBSTRING]\n",
                   argv[0]);
      return 2;
    }
  }

  std::printf(
      "path %s, %d rounds, %.3g minutes of stereo per case, threshold %g dBFS, "
      "attack 5 ms, hold 15 ms, release 40 ms; medians\n\n",
      qx::dispatch::path_name(qx::dispatch::active_path()), rounds, minutes, kThresholdDb);
  std::printf("%-27s %10s %12s %12s %12s %8s %12s %12s\n", "case", "frames", "block ns/fr",
              "memcpy ns/s", "memcpy ns/fr", "ratio", "envelope", "detector");

  for (const Case& c : kCases) {
    if (!only.empty() && std::string(c.name).find(only) == std::string::npos) continue;
    const auto frames = static_cast<std::uint64_t>(minutes * 60.0 * c.rate);
    const std::vector<float> source = make_signal(c.load, c.rate, frames);
    std::vector<float> work(source.size()), copy(source.size());
    auto made = qx::create_limiter(c.rate, kThresholdDb, 5.0, 15.0, 40.0, c.true_peak);
    if (!made.ok()) {
      std::fprintf(stderr, "%s: limiter not built\n", c.name);
      return 1;
    }
    qx::Limiter limiter = std::move(made).value();

    // The levels of the block, for the envelope alone.
    std::vector<float> levels(frames, 0.0f);
    for (std::uint64_t f = 0; f < frames; ++f) {
      levels[f] = std::max(std::fabs(source[f]), std::fabs(source[frames + f]));
    }
    if (c.true_peak && limiter.detection().kind != qx::DetectionKind::SamplePeak) {
      auto peaks = qx::true_peak_levels(limiter.detection(), source.data(), source.size(), 2);
      if (!peaks.ok()) return 1;
      std::memcpy(levels.data(), peaks.value().data(), frames * sizeof(float));
    }
    std::vector<float> envelope_levels(frames);

    std::vector<double> block_s, memcpy_s, envelope_s, detector_s;
    double checksum = 0.0;
    for (int r = 0; r < rounds; ++r) {
      auto t0 = Clock::now();
      std::memcpy(copy.data(), source.data(), source.size() * sizeof(float));
      auto t1 = Clock::now();
      memcpy_s.push_back(seconds(t0, t1));

      std::memcpy(work.data(), source.data(), source.size() * sizeof(float));
      t0 = Clock::now();
      auto gains = qx::process_block(limiter, work.data(), work.size(), 2);
      t1 = Clock::now();
      if (!gains.ok()) {
        std::fprintf(stderr, "%s: process_block failed\n", c.name);
        return 1;
      }
      block_s.push_back(seconds(t0, t1));
      checksum += gains.value()[frames / 2] + work[frames / 3] + copy[frames / 5];

      std::memcpy(envelope_levels.data(), levels.data(), frames * sizeof(float));
      t0 = Clock::now();
      limiter.envelope().run(envelope_levels.data(), frames, limiter.threshold());
      t1 = Clock::now();
      envelope_s.push_back(seconds(t0, t1));
      if (limiter.detection().kind != qx::DetectionKind::SamplePeak) {
        t0 = Clock::now();
        auto peaks = qx::true_peak_levels(limiter.detection(), source.data(), source.size(), 2);
        t1 = Clock::now();
        if (!peaks.ok()) return 1;
        detector_s.push_back(seconds(t0, t1));
        checksum += peaks.value()[frames / 7];
      }
    }

    const double fr = static_cast<double>(frames);
    const double block_ns = median(block_s) * 1e9 / fr;
    const double memcpy_ns_sample = median(memcpy_s) * 1e9 / (2.0 * fr);
    char detector[16] = "-";
    if (!detector_s.empty()) {
      std::snprintf(detector, sizeof detector, "%.2f", median(detector_s) * 1e9 / fr);
    }
    std::printf("%-27s %10llu %12.2f %12.3f %12.3f %8.1f %12.2f %12s\n", c.name,
                static_cast<unsigned long long>(frames), block_ns, memcpy_ns_sample,
                2.0 * memcpy_ns_sample, block_ns / (2.0 * memcpy_ns_sample),
                median(envelope_s) * 1e9 / fr, detector);
    if (checksum == 12345.678) std::printf(" ");  // keeps the results observable
  }
  std::printf(
      "\nblock ns/fr: process_block per stereo frame; memcpy ns/s: per float32 sample;\n"
      "ratio: block ns/fr over memcpy ns/fr (the cost of copying the same frame);\n"
      "envelope: its steps alone over the block's levels, ns per frame; detector: the\n"
      "true-peak levels of the block alone (working storage included), ns per frame.\n");
  return 0;
}
