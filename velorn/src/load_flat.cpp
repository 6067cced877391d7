#include "load_flat.hpp"

#include <utility>

#include "vel/config.hpp"
#include "vel/parse.hpp"
#include "vel/resolve.hpp"
#include "weights.hpp"

namespace velorn {

vel::Module load_flat(std::string_view vel_path, ConfigFile& config, std::string_view entry,
                      const vel::CacheKeys& cache_keys) {
  return load_flat(vel::parse_file(vel_path), config, entry, cache_keys);
}

vel::Module load_flat(vel::Module parsed, ConfigFile& config, std::string_view entry,
                      const vel::CacheKeys& cache_keys) {
  // Each module is released as soon as the next one is built: a large model's memory is
  // taken from the system once.
  vel::Module flat = [&] {
    vel::Module resolved = [&] {
      vel::ConfigMap values = load_config(config);
      return vel::resolve(vel::sub_module(std::move(parsed), values));
    }();
    return vel::flatten(resolved, entry, cache_keys);
  }();
  // A regular file is read again: the weight mapping comes from this second reading.
  apply_weight_mapping(flat, load_weight_mapping(config));
  return flat;
}

}  // namespace velorn
