// Building the flat function: the entry walked once, every call and loop iteration inlined
// in place and every cache slot's body in place of its cache operation, as operations over
// values whose names are chosen afterwards (flatten_naming.cpp).
#pragma once

#include "flat_program.hpp"
#include "flatten_plan.hpp"
#include "vel/flatten.hpp"

namespace vel::flat {

// The flat function of `entry`, which `planner` has planned; it stops the call on the
// failures that building meets (cache slots) and on the bounds.
FlatProgram build(Planner& planner, const Function& entry, const CacheKeys& cache_keys);

}  // namespace vel::flat
