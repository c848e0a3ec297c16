// The choice of instruction-set path, made once per process.
#include "engine/dispatch/path.hpp"

#include <atomic>

namespace qx::dispatch {
namespace {

bool cpu_has(Path path) {
#if defined(__x86_64__)
  // Static constructors may run before the compiler's own CPU probe.
  __builtin_cpu_init();
#endif
  switch (path) {
    case Path::Baseline: return true;
#if defined(__x86_64__)
#if defined(__clang__)
    // This compiler does not know the level names; these are the features
    // the code of each level can use.
    case Path::V3:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
             __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
             __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("sse4.2");
    case Path::V4:
      return cpu_has(Path::V3) && __builtin_cpu_supports("avx512f") &&
             __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512cd") &&
             __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
#else
    case Path::V3: return __builtin_cpu_supports("x86-64-v3");
    case Path::V4: return __builtin_cpu_supports("x86-64-v4");
#endif
#else
    case Path::V3:
    case Path::V4: return false;
#endif
  }
  return false;
}

Path best_path() {
  if (cpu_has(Path::V4)) return Path::V4;
  if (cpu_has(Path::V3)) return Path::V3;
  return Path::Baseline;
}

// The CPU's features never change while the process runs, so the choice is
// made once, at first use; only tests and benchmarks move it, through
// force_path. A race at first use stores the same value twice.
constexpr int kUnchosen = -1;
std::atomic<int> g_path{kUnchosen};

}  // namespace

const char* path_name(Path path) {
  switch (path) {
    case Path::Baseline: return "baseline";
    case Path::V3: return "x86-64-v3";
    case Path::V4: return "x86-64-v4";
  }
  return "unknown";
}

bool path_available(Path path) { return cpu_has(path); }

Path active_path() {
  int path = g_path.load(std::memory_order_relaxed);
  if (path == kUnchosen) {
    path = static_cast<int>(best_path());
    g_path.store(path, std::memory_order_relaxed);
  }
  return static_cast<Path>(path);
}

bool force_path(Path path) {
  if (!path_available(path)) return false;
  g_path.store(static_cast<int>(path), std::memory_order_relaxed);
  return true;
}

void reset_path() { g_path.store(static_cast<int>(best_path()), std::memory_order_relaxed); }

}  // namespace qx::dispatch
