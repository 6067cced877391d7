// The checker: agreement of element types and shapes, reported as findings; it stops the
// call only for an operation without outputs or output types.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "vel/ast.hpp"

namespace vel {

// The checker's own type record; shown as Ty { dtype: ..., shape: [...] }.
struct Ty {
  std::string dtype;
  std::vector<Dim> shape;
};

std::string debug_ty(const Ty& ty);

bool dims_match(const Dim& a, const Dim& b);
// Empty on agreement, otherwise the detail of the first difference ("dtype: f32 vs i32").
std::optional<std::string> types_match(const Ty& a, const Ty& b);

struct Constraints {
  std::set<std::string> params;  // sorted by bytes
  std::map<std::string, std::map<std::string, TensorType>> weights;
};

struct CheckResult {
  std::vector<std::string> errors;
  Constraints constraints;
};

CheckResult check(const Module& module);
void check_function(const std::string& key, const Function& function,
                    const OrderedMap<Function>& functions, CheckResult& result);

// Compact JSON, members always present.
std::string check_result_to_json(const CheckResult& result);

}  // namespace vel
