// The envelope's step loop, compiled once per instruction-set path.
#include "engine/envelope/kernels.hpp"

#include <cmath>

#include "engine/dispatch/targets.hpp"

namespace qx::envelope_kernels {

// The step's few independent additions are not worth packing into vectors:
// the packing costs more than it saves on a loop bound by one dependency
// chain. GCC packs them unless told not to, and its optimize pragma is the
// one switch for a single file. clang has no such pragma (it warns that it
// ignores it) and is left to its own cost model: for clang the envelope
// costs the same with its SLP vectoriser on or off. Packed or not, every
// addition is the same IEEE operation on the same operands, so the gains
// are the same bits either way.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-tree-slp-vectorize")
#endif
#define QX_KERNEL_BODY "engine/envelope/loops.inc"
#include "engine/dispatch/each_target.inc"

const StepKernels& step_kernels() { return QX_ACTIVE_TABLE(StepKernels); }

}  // namespace qx::envelope_kernels
