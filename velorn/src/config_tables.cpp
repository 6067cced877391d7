// The configuration values of a TOML file: its tables "shape", "scalar" and "vector".
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "toml_tables.hpp"
#include "vel/interrupt.hpp"
#include "vel/stop.hpp"

namespace velorn {

namespace {

using vel::ConfigMap;
using vel::ConfigValue;

constexpr std::string_view kUnexpectedInVector = "unexpected value in vector section";
// The tables of configuration values, in the order they are merged.
constexpr std::string_view kValueTables[] = {"shape", "scalar", "vector"};

// A TOML value under a configuration table, or nothing for a kind that is skipped.
std::optional<ConfigValue> toml_value(const toml::node& node) {
  if (auto i = node.as_integer()) return ConfigValue{ConfigValue::Int{i->get()}};
  if (auto f = node.as_floating_point()) return ConfigValue{ConfigValue::Float{f->get()}};
  if (auto array = node.as_array()) {
    ConfigValue::Vector vector;
    vector.values.reserve(array->size());
    for (const toml::node& item : *array) {
      vel::poll_interrupt();
      if (auto i = item.as_integer())
        vector.values.push_back(static_cast<double>(i->get()));
      else if (auto f = item.as_floating_point())
        vector.values.push_back(f->get());
      else
        vel::stop(std::string(kUnexpectedInVector));
    }
    return ConfigValue{std::move(vector)};
  }
  return std::nullopt;
}

}  // namespace

ConfigMap config_from_toml(const toml::table& root) {
  ConfigMap config;
  for (std::string_view name : kValueTables) {
    const toml::table* table = root.get_as<toml::table>(name);
    if (table == nullptr) continue;
    // A TOML table yields its keys in ascending byte order.
    for (const auto& [key, node] : *table) {
      vel::poll_interrupt();
      if (auto value = toml_value(node))
        config.insert_or_assign(std::string(key.str()), *std::move(value));
    }
  }
  return config;
}

ConfigMap config_from_toml_text(std::string_view config_path, std::string_view text) {
  return config_from_toml(parse_config_text(config_path, text));
}

}  // namespace velorn
