// Configuration values, and their substitution into a module: a `param.` dimension or a
// named loop count takes the value of its name, as a pass that copies the module.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "vel/ast.hpp"
#include "vel/text.hpp"

namespace vel {

struct ConfigValue {
  struct Int {
    std::int64_t value;
    bool operator==(const Int&) const = default;
  };
  struct Float {
    double value;
    bool operator==(const Float&) const = default;
  };
  struct Vector {
    std::vector<double> values;
    bool operator==(const Vector&) const = default;
  };
  // Also the order in which a JSON value is tried against the alternatives.
  std::variant<Int, Float, Vector> value;

  bool operator==(const ConfigValue&) const = default;
};

// Looked up by exact name only; a name stored again takes the later value.
using ConfigMap = std::unordered_map<std::string, ConfigValue, TextHash, std::equal_to<>>;

// One JSON object of names to numbers and arrays of numbers. Throws `vel::json::JsonError`.
ConfigMap config_from_json(std::string_view text);

// Copies with the configuration substituted; the inputs are only read.
Dim sub_dim(const Dim& dim, const ConfigMap& config);
TensorType sub_type(const TensorType& type, const ConfigMap& config);
Module sub_module(const Module& module, const ConfigMap& config);
// The same, made in the place of a module that is no longer needed.
Module sub_module(Module&& module, const ConfigMap& config);

}  // namespace vel
