// The envelope's step loop, compiled once per instruction-set path.
#include "engine/envelope/kernels.hpp"

#include <cmath>

#include "engine/dispatch/targets.hpp"

namespace qx::envelope_kernels {

// The step's few independent additions are not worth packing into vectors:
// the packing costs more than it saves on a loop bound by one dependency
// chain.
#pragma GCC optimize("no-tree-slp-vectorize")
#define QX_KERNEL_BODY "engine/envelope/steps.inc"
#include "engine/dispatch/each_target.inc"

const StepKernels& step_kernels() { return QX_ACTIVE_TABLE(StepKernels); }

}  // namespace qx::envelope_kernels
