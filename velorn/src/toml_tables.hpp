// The configuration file as the TOML reader's tables: what the configuration values and
// the weight mapping are read from. Private to this unit and to the tests of its tables.
#pragma once

#include <toml++/toml.h>

#include <string>
#include <string_view>

#include "config_file.hpp"
#include "weights.hpp"

namespace velorn {

// The configuration file's text parsed whole as TOML. Stops the call with "failed to parse
// {}: {}"; `config_path` only names the file in the message.
toml::table parse_config_text(std::string_view config_path, std::string_view text);

// The configuration map from the root tables "shape", "scalar" and "vector", merged in
// that order. Stops the call with "unexpected value in vector section" for an array holding
// anything but numbers.
vel::ConfigMap config_from_toml(const toml::table& root);

// Adds the texts of `table`, nested tables included, under `prefix`, in ascending byte
// order of keys at every level. Never fails; iterative, so any depth is safe.
void flatten_weight_table(const toml::table& table, WeightMapping::Path prefix,
                          WeightMapping& mapping);
// The mapping from the root table "weights" of a parsed configuration file.
WeightMapping weight_mapping_from_toml(const toml::table& root);

}  // namespace velorn
