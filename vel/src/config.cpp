#include "vel/config.hpp"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "vel/ascii.hpp"
#include "vel/interrupt.hpp"
#include "vel/json.hpp"
#include "vel/numeric.hpp"
#include "vel/stop.hpp"

namespace vel {

namespace {

constexpr std::string_view kNoVariant =
    "data did not match any variant of untagged enum ConfigValue";

ConfigValue number_value(const json::Number& n) {
  if (n.cls == json::NumberClass::Negative) return {ConfigValue::Int{n.i}};
  if (n.cls == json::NumberClass::Unsigned && n.u <= std::numeric_limits<std::int64_t>::max())
    return {ConfigValue::Int{static_cast<std::int64_t>(n.u)}};
  return {ConfigValue::Float{json::as_f64(n)}};
}

// The value is read whole first, then tried against Int, Float and Vector in turn.
ConfigValue read_config_value(json::Reader& in) {
  int c = in.peek_token();
  if (c == '-' || ascii::is_digit(c)) return number_value(in.read_number());
  if (c == '[') {
    ConfigValue::Vector vector;
    bool numbers = true;
    in.read_array([&] {
      json::AnyValue item = in.read_any();
      if (item.kind == json::AnyValue::Kind::Number)
        vector.values.push_back(json::as_f64(item.number));
      else
        numbers = false;
    });
    if (numbers) return {std::move(vector)};
  } else {
    in.read_any();
  }
  throw json::Unplaced{std::string(kNoVariant)};
}

const ConfigValue* lookup(const ConfigMap& config, std::string_view name) {
  auto found = config.find(name);
  return found == config.end() ? nullptr : &found->second;
}

// A count is looked up without its prefix, and also whole when it has none; only an
// integer replaces it.
LoopCount sub_count(const LoopCount& count, const ConfigMap& config) {
  const auto* named = std::get_if<LoopCount::Named>(&count.value);
  if (named == nullptr) return count;
  std::string_view key = named->name;
  if (is_config_name(key)) key.remove_prefix(kConfigPrefix.size());
  const ConfigValue* value = lookup(config, key);
  const auto* integer = value ? std::get_if<ConfigValue::Int>(&value->value) : nullptr;
  if (integer == nullptr) return count;
  // As an unsigned count a negative value would read as 2^64 minus its size.
  if (integer->value < 0)
    stop("Loop count '" + named->name + "' is negative: " + std::to_string(integer->value));
  return {LoopCount::Concrete{static_cast<std::uint64_t>(integer->value)}};
}

// Each substitution is made in the place of a copy, or of a module no longer needed.
void sub_in_place(TensorType& type, const ConfigMap& config) {
  if (type.dtype == kDictDtype) return;
  for (Dim& dim : type.shape) dim = sub_dim(dim, config);
}

void sub_in_place(Op& op, const ConfigMap& config) {
  if (auto* loop = std::get_if<OpKind::Loop>(&op.kind.value))
    loop->count = sub_count(loop->count, config);
  for (auto& type : op.output_types)
    if (type) sub_in_place(*type, config);
}

void sub_in_place(std::vector<Param>& params, const ConfigMap& config) {
  for (Param& param : params) sub_in_place(param.ty, config);
}

}  // namespace

ConfigMap config_from_json(std::string_view text) {
  return json::read_document(text, [](json::Reader& in) {
    ConfigMap config;
    in.read_map(
        [&](std::string name) { config.insert_or_assign(std::move(name), read_config_value(in)); });
    return config;
  });
}

Dim sub_dim(const Dim& dim, const ConfigMap& config) {
  const auto* named = std::get_if<Dim::Named>(&dim.value);
  if (named == nullptr || !is_config_name(named->name)) return dim;
  const ConfigValue* value =
      lookup(config, std::string_view(named->name).substr(kConfigPrefix.size()));
  if (value == nullptr) return dim;
  if (const auto* integer = std::get_if<ConfigValue::Int>(&value->value))
    return {Dim::Concrete{integer->value}};
  if (const auto* real = std::get_if<ConfigValue::Float>(&value->value))
    return {Dim::Concrete{truncate_to_i64(real->value)}};
  return dim;  // a vector never replaces anything
}

TensorType sub_type(const TensorType& type, const ConfigMap& config) {
  TensorType out = type;
  sub_in_place(out, config);
  return out;
}

Module sub_module(Module&& module, const ConfigMap& config) {
  Module out = std::move(module);
  for (auto& [key, function] : out.functions) {
    sub_in_place(function.params, config);
    sub_in_place(function.returns, config);
    for (Op& op : function.ops) {
      poll_interrupt();
      sub_in_place(op, config);
    }
  }
  return out;
}

// Built one operation at a time, so that a large function is never copied whole between
// two polls.
Module sub_module(const Module& module, const ConfigMap& config) {
  Module out;
  out.header_comments = module.header_comments;
  for (const auto& [key, function] : module.functions) {
    Function copy{function.name, function.comments, function.params, function.returns, {}};
    sub_in_place(copy.params, config);
    sub_in_place(copy.returns, config);
    copy.ops.reserve(function.ops.size());
    for (const Op& op : function.ops) {
      poll_interrupt();
      sub_in_place(copy.ops.emplace_back(op), config);
    }
    out.functions.store(key, std::move(copy));
  }
  return out;
}

}  // namespace vel
