// Which instruction-set build of the engine's hot loops runs. Each unit's
// loops are compiled for the baseline target of the build and, on x86-64,
// also for x86-64-v3 (AVX2 with FMA) and x86-64-v4 (AVX-512)
// (each_target.inc); the best one the CPU supports is chosen on first use,
// once for every unit. Every path gives bit-identical results: the loops are
// vectorised across frames, so each frame's arithmetic is the same sequence
// of float32 (and, in the envelope, f64) operations whatever the width.
//
// This layer knows nothing of the units: it includes only the vector types.
#pragma once

#include <cstdint>

namespace qx::dispatch {

enum class Path : std::uint8_t {
  Baseline,  // the build's own target (plain x86-64, or any other CPU)
  V3,        // x86-64-v3: AVX2, FMA
  V4,        // x86-64-v4: AVX-512 F/BW/DQ/VL
};
inline constexpr int kPaths = 3;

const char* path_name(Path path);

// Whether this CPU (and this build) can run the path.
bool path_available(Path path);

// The path the engine uses now: the best available one unless forced.
Path active_path();

// Makes the engine use `path` from now on, process-wide; false (and no
// change) when the path is not available. For tests and benchmarks that
// compare the paths; not meant to be called while blocks are processed.
bool force_path(Path path);

// Back to the best available path.
void reset_path();

// The entry of `tables` (one per path, indexed by Path; null where the build
// has no such path) that the active path runs.
template <class Table>
const Table& select(const Table* const (&tables)[kPaths]) {
  return *tables[static_cast<int>(active_path())];
}

}  // namespace qx::dispatch
