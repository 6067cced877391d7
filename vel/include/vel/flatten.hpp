// The flattener: one entry function of a module becomes a single function of primitive
// operations, its calls inlined, its loops unrolled and its cache slots expanded.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "vel/ast.hpp"
#include "vel/hash.hpp"

namespace vel {

namespace flat {
struct Built;
}

// The cache slots fed from outside; only membership counts.
using CacheKeys = std::unordered_set<std::string, TextHash, std::equal_to<>>;

// The new text of a weight reference (an argument beginning with "weights." that the flat
// function reads as it is, not a value that it writes or a cache slot fed from outside), or
// nothing to keep it.
using RenameWeight = std::function<std::optional<std::string>(std::string_view)>;

// The flat form of `module` from the function `entry`, built but not yet written out;
// `module` must outlive it and is not changed. Making it stops the call on every failure
// of flattening.
class Flattening {
 public:
  Flattening(const Module& module, std::string_view entry, const CacheKeys& cache_keys);
  ~Flattening();
  Flattening(Flattening&&) noexcept;

  // The flat module, or its JSON text, each weight reference renamed by `rename` if given;
  // either, once. The names of the flat function's values are chosen with the weight
  // references as renamed, so that no value is taken for a weight.
  Module module(const RenameWeight& rename = {});
  std::string json(const RenameWeight& rename = {});

 private:
  void finish(const RenameWeight& rename);

  const Module& module_;
  std::string key_;
  const Function& entry_;
  std::unique_ptr<flat::Built> built_;
};

// The flat form of `module` from the function `entry`; the module is not changed.
Module flatten(const Module& module, std::string_view entry, const CacheKeys& cache_keys);
// Its JSON text, written without the flat module's records.
std::string flatten_to_json(const Module& module, std::string_view entry,
                            const CacheKeys& cache_keys);

}  // namespace vel
