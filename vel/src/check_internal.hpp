// The checker's comparison of types, open for its tests: the checker itself compares views
// of the types in the module and never builds a `Ty`. Private to the library.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "vel/ast.hpp"

namespace vel {

// The checker's own type record; shown as Ty { dtype: ..., shape: [...] }.
struct Ty {
  std::string dtype;
  std::vector<Dim> shape;

  bool operator==(const Ty&) const = default;
};

std::string debug_ty(const Ty& ty);

bool dims_match(const Dim& a, const Dim& b);
// Empty on agreement, otherwise the detail of the first difference ("dtype: f32 vs i32").
// A leading "..." on either side aligns the two shapes at their ends.
std::optional<std::string> types_match(const Ty& a, const Ty& b);

}  // namespace vel
