// The checker: agreement of element types and shapes, reported as findings; it stops the
// call only for an operation without outputs or output types.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "vel/ast.hpp"

namespace vel {

struct Constraints {
  std::set<std::string> params;  // sorted by bytes
  // calling function key -> argument text -> the type its callee demands (the first one)
  std::map<std::string, std::map<std::string, TensorType>> weights;
};

struct CheckResult {
  std::vector<std::string> errors;
  Constraints constraints;
  // About the bytes of `errors` and of the weights' entries in JSON, counted as they are
  // found: the check stops once they pass the bound on output (output_bound.hpp).
  std::uint64_t error_bytes = 0;
};

CheckResult check(const Module& module);

// Compact JSON, members always present; `serialize` appends, `check_result_to_json` returns.
void serialize(std::string& out, const Constraints& constraints);
void serialize(std::string& out, const CheckResult& result);
std::string check_result_to_json(const CheckResult& result);

}  // namespace vel
