// A flat module from files: the module read from its source file, the configuration's
// values substituted, the axes resolved, the entry flattened, the weights renamed.
#pragma once

#include <string>
#include <string_view>

#include "config_file.hpp"
#include "vel/ast.hpp"
#include "vel/config.hpp"
#include "vel/flatten.hpp"
#include "weights.hpp"

namespace velorn {

// What the configuration file gives a flat module: its values and its weight mapping, both
// from one reading of its text.
struct Configuration {
  vel::ConfigMap values;
  WeightMapping weights;
};
// The configuration of a text already read; stops the call with "failed to parse {}: {}"
// or "unexpected value in vector section", `config_path` naming the file.
Configuration configuration_from_toml_text(std::string_view config_path, std::string_view text);

// The steps in that order, each stopping the call with its own message; the configuration
// file is read once, after the source file.
vel::Module load_flat(std::string_view vel_path, std::string_view config_path,
                      std::string_view entry, const vel::CacheKeys& cache_keys);
// The steps after reading, from a module and a configuration already read; the module is
// released as soon as it is resolved.
vel::Module load_flat(vel::Module parsed, Configuration configuration, std::string_view entry,
                      const vel::CacheKeys& cache_keys);
// The same steps, the flat module's JSON text written without its records.
std::string load_flat_json(std::string_view vel_path, std::string_view config_path,
                           std::string_view entry, const vel::CacheKeys& cache_keys);

}  // namespace velorn
