// One table of hot-loop entry points per instruction-set path, and the
// choice between them. kernel_body.hpp is compiled once per path, inside
// the path's namespace and under its `#pragma GCC target`, so every loop,
// inlined helpers and std::fma included, is built with that path's
// instructions. Paths: the build's baseline target everywhere; on x86-64
// also x86-64-v3 (AVX2, FMA) and x86-64-v4 (AVX-512).
#include "engine/kernels.hpp"

#include <algorithm>
#include <atomic>
#include <type_traits>
#include <utility>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "engine/envelope_steps.hpp"
#include "engine/peak_mode.hpp"
#include "engine/simd.hpp"
#include "engine/simd_lanes.hpp"

namespace qx::detail {
namespace {

// Vectors of eight frames per stage-1 block for L = 2, 3, 4, 6: enough
// independent accumulators to cover the latency of the adds, few enough to
// stay in sixteen vector registers.
constexpr int kaiser_vectors_of8(int L) { return L == 2 ? 4 : L == 6 ? 1 : 2; }

namespace baseline {
// SSE2 (or the portable target's own vectors): four lanes.
using V = f32x4;
using VD = f64x2;
using VDF = f32x2;
#if defined(__x86_64__)
QX_INLINE bool any_lane(i32x4 m) {
  __m128i v;
  std::memcpy(&v, &m, sizeof m);
  return _mm_movemask_epi8(v) != 0;
}
#else
QX_INLINE bool any_lane(i32x4 m) {
  std::uint64_t word[2];
  std::memcpy(word, &m, sizeof m);
  return (word[0] | word[1]) != 0;
}
#endif
constexpr int kaiser_vectors(int L) { return 2 * kaiser_vectors_of8(L); }
#include "engine/kernel_body.hpp"
}  // namespace baseline

#if defined(__x86_64__)
// Each region compiles its functions for its target: GCC through its target
// pragma, clang through an attribute applied to every function inside.
#if defined(__clang__)
#define QX_TARGET_BEGIN(arch) \
  _Pragma(QX_STRINGIFY(clang attribute push(__attribute__((target(arch))), apply_to = function)))
#define QX_TARGET_END _Pragma("clang attribute pop")
#else
#define QX_TARGET_BEGIN(arch) _Pragma("GCC push_options") _Pragma(QX_STRINGIFY(GCC target(arch)))
#define QX_TARGET_END _Pragma("GCC pop_options")
#endif
#define QX_STRINGIFY(x) #x

QX_TARGET_BEGIN("arch=x86-64-v3")
namespace v3 {
using V = f32x8;
using VD = f64x4;
using VDF = f32x4;
QX_INLINE bool any_lane(i32x8 m) {
  __m256i v;
  std::memcpy(&v, &m, sizeof m);
  return !_mm256_testz_si256(v, v);
}
constexpr int kaiser_vectors(int L) { return kaiser_vectors_of8(L); }
#include "engine/kernel_body.hpp"
}  // namespace v3
QX_TARGET_END

QX_TARGET_BEGIN("arch=x86-64-v4")
// Sixteen lanes. On CPUs that split 512-bit operations in two halves this
// still gains, from the thirty-two registers and the broadcast operands.
namespace v4 {
using V = f32x16;
using VD = f64x4;
using VDF = f32x4;
QX_INLINE bool any_lane(i32x16 m) {
  __m512i v;
  std::memcpy(&v, &m, sizeof m);
  return _mm512_test_epi32_mask(v, v) != 0;
}
// Stage-1 frames in flight per block: more measured no faster.
constexpr int kaiser_vectors(int L) { return L == 2 ? 2 : 1; }
#include "engine/kernel_body.hpp"
}  // namespace v4
QX_TARGET_END
#endif

const Kernels* table_of(simd::Path path) {
  switch (path) {
    case simd::Path::Baseline: return &baseline::table;
#if defined(__x86_64__)
    case simd::Path::V3: return &v3::table;
    case simd::Path::V4: return &v4::table;
#else
    case simd::Path::V3:
    case simd::Path::V4: return nullptr;
#endif
  }
  return nullptr;
}

bool cpu_has(simd::Path path) {
#if defined(__x86_64__)
  // Static constructors may run before the compiler's own CPU probe.
  __builtin_cpu_init();
#endif
  switch (path) {
    case simd::Path::Baseline: return true;
#if defined(__x86_64__)
#if defined(__clang__)
    // This compiler does not know the level names; these are the features
    // the code of each level can use.
    case simd::Path::V3:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
             __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
             __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("sse4.2");
    case simd::Path::V4:
      return cpu_has(simd::Path::V3) && __builtin_cpu_supports("avx512f") &&
             __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512cd") &&
             __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
#else
    case simd::Path::V3: return __builtin_cpu_supports("x86-64-v3");
    case simd::Path::V4: return __builtin_cpu_supports("x86-64-v4");
#endif
#else
    case simd::Path::V3:
    case simd::Path::V4: return false;
#endif
  }
  return false;
}

simd::Path best_path() {
  if (cpu_has(simd::Path::V4)) return simd::Path::V4;
  if (cpu_has(simd::Path::V3)) return simd::Path::V3;
  return simd::Path::Baseline;
}

// The CPU's features never change while the process runs, so the choice is
// made once, at first use; only tests and benchmarks move it, through
// force_path. A race at first use stores the same value twice.
constexpr int kUnchosen = -1;
std::atomic<int> g_path{kUnchosen};

simd::Path current_path() {
  int path = g_path.load(std::memory_order_relaxed);
  if (path == kUnchosen) {
    path = static_cast<int>(best_path());
    g_path.store(path, std::memory_order_relaxed);
  }
  return static_cast<simd::Path>(path);
}

}  // namespace

const Kernels& kernels() { return *table_of(current_path()); }

}  // namespace qx::detail

namespace qx::simd {

const char* path_name(Path path) {
  switch (path) {
    case Path::Baseline: return "baseline";
    case Path::V3: return "x86-64-v3";
    case Path::V4: return "x86-64-v4";
  }
  return "unknown";
}

bool path_available(Path path) { return detail::cpu_has(path); }

Path active_path() { return detail::current_path(); }

bool force_path(Path path) {
  if (!path_available(path)) return false;
  detail::g_path.store(static_cast<int>(path), std::memory_order_relaxed);
  return true;
}

void reset_path() {
  detail::g_path.store(static_cast<int>(detail::best_path()), std::memory_order_relaxed);
}

}  // namespace qx::simd
