// Vector types of the engine's hot loops: GCC vector extensions of 4, 8 and
// 16 lanes, which compile to whatever vector instructions the enclosing
// function's target has. Each path uses its native width: wider generic
// vectors split into halves badly (comparisons and selects go lane by lane).
#pragma once

#include <cstdint>

#define QX_INLINE __attribute__((always_inline)) inline

namespace qx::detail {

typedef float f32x2 __attribute__((vector_size(8)));
typedef float f32x4 __attribute__((vector_size(16)));
typedef float f32x8 __attribute__((vector_size(32)));
typedef float f32x16 __attribute__((vector_size(64)));
typedef std::int32_t i32x4 __attribute__((vector_size(16)));
typedef std::int32_t i32x8 __attribute__((vector_size(32)));
typedef std::int32_t i32x16 __attribute__((vector_size(64)));
typedef double f64x2 __attribute__((vector_size(16)));
typedef double f64x4 __attribute__((vector_size(32)));

}  // namespace qx::detail
