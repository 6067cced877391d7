// The flattener: one entry function of a module becomes a single function of primitive
// operations, its calls inlined, its loops unrolled and its cache slots expanded.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "vel/ast.hpp"
#include "vel/hash.hpp"

namespace vel {

// The cache slots fed from outside; only membership counts.
using CacheKeys = std::unordered_set<std::string, TextHash, std::equal_to<>>;

// The flat form of `module` from the function `entry`; the module is not changed.
Module flatten(const Module& module, std::string_view entry, const CacheKeys& cache_keys);

}  // namespace vel
