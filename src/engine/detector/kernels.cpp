// The detector's filter loops, compiled once per instruction-set path.
#include "engine/detector/kernels.hpp"

#include <algorithm>
#include <cmath>

#include "engine/detector/filter_design.hpp"
#include "engine/dispatch/targets.hpp"

namespace qx::detector_kernels {

#define QX_KERNEL_BODY "engine/detector/loops.inc"
#include "engine/dispatch/each_target.inc"

const FilterKernels& filter_kernels() { return QX_ACTIVE_TABLE(FilterKernels); }

}  // namespace qx::detector_kernels
