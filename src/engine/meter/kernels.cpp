// The meter's loops, compiled once per instruction-set path.
#include "engine/meter/kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/detector/filter_design.hpp"
#include "engine/dispatch/targets.hpp"

namespace qx::meter_kernels {

#include "engine/meter/precise_table.inc"

#define QX_KERNEL_BODY "engine/meter/loops.inc"
#include "engine/dispatch/each_target.inc"

const MeterKernels& meter_kernels() { return QX_ACTIVE_TABLE(MeterKernels); }

}  // namespace qx::meter_kernels
