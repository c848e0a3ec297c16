// Block processing's per-sample loops, compiled once per instruction-set path.
#include "engine/block/kernels.hpp"

#include <cmath>

#include "engine/dispatch/targets.hpp"

namespace qx::block_kernels {

#define QX_KERNEL_BODY "engine/block/loops.inc"
#include "engine/dispatch/each_target.inc"

const SampleKernels& sample_kernels() { return QX_ACTIVE_TABLE(SampleKernels); }

}  // namespace qx::block_kernels
