// A flat module from files: the module read from its source file, the configuration's
// values substituted, the axes resolved, the entry flattened, the weights renamed.
#pragma once

#include <string>
#include <string_view>

#include "config_file.hpp"
#include "vel/ast.hpp"
#include "vel/flatten.hpp"

namespace velorn {

// The steps in that order, each stopping the call with its own message; `config` is read
// twice, for its values and then for its weight mapping.
vel::Module load_flat(std::string_view vel_path, ConfigFile& config, std::string_view entry,
                      const vel::CacheKeys& cache_keys);
// The same from a module already read, which is released as soon as it is resolved.
vel::Module load_flat(vel::Module parsed, ConfigFile& config, std::string_view entry,
                      const vel::CacheKeys& cache_keys);
// The flat module's JSON text, written without its records.
std::string load_flat_json(std::string_view vel_path, ConfigFile& config, std::string_view entry,
                           const vel::CacheKeys& cache_keys);

}  // namespace velorn
