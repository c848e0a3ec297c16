// What a unit's kernels.cpp includes before compiling its loops once per
// path with each_target.inc: the vector types, the path choice, and the
// macros that put a region of code under a target.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "engine/dispatch/path.hpp"
#include "engine/dispatch/vector_types.hpp"

#if defined(__x86_64__)
// Each region compiles its functions for its target: GCC through its target
// pragma, clang through an attribute applied to every function inside.
#define QX_STRINGIFY(x) #x
#if defined(__clang__)
#define QX_TARGET_BEGIN(arch) \
  _Pragma(QX_STRINGIFY(clang attribute push(__attribute__((target(arch))), apply_to = function)))
#define QX_TARGET_END _Pragma("clang attribute pop")
#else
#define QX_TARGET_BEGIN(arch) _Pragma("GCC push_options") _Pragma(QX_STRINGIFY(GCC target(arch)))
#define QX_TARGET_END _Pragma("GCC pop_options")
#endif
// The three builds of a loop file's `table`, indexed by dispatch::Path.
#define QX_PATH_TABLES {&baseline::table, &v3::table, &v4::table}
#else
#define QX_PATH_TABLES {&baseline::table, nullptr, nullptr}
#endif
// The build of the loop file's `table` that the active path runs.
#define QX_ACTIVE_TABLE(Type) ::qx::dispatch::select<Type>(QX_PATH_TABLES)
