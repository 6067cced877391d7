#include "load_flat.hpp"

#include <string>
#include <utility>

#include "toml_tables.hpp"
#include "vel/parse.hpp"
#include "vel/resolve.hpp"

namespace velorn {

Configuration configuration_from_toml_text(std::string_view config_path, std::string_view text) {
  // The tables are released at once: the mapping holds what renaming needs, in the size of
  // the table "weights".
  toml::table root = parse_config_text(config_path, text);
  return {config_from_toml(root), weight_mapping_from_toml(root)};
}

vel::Module load_flat(std::string_view vel_path, std::string_view config_path,
                      std::string_view entry, const vel::CacheKeys& cache_keys) {
  vel::Module parsed = vel::parse_file(vel_path);
  Configuration configuration =
      configuration_from_toml_text(config_path, read_config_text(config_path));
  return load_flat(std::move(parsed), std::move(configuration), entry, cache_keys);
}

vel::Module load_flat(vel::Module parsed, Configuration configuration, std::string_view entry,
                      const vel::CacheKeys& cache_keys) {
  // Each module is released as soon as the next one is built: a large model's memory is
  // taken from the system once.
  vel::Module flat = [&] {
    vel::Module resolved = vel::resolve(vel::sub_module(std::move(parsed), configuration.values));
    return vel::flatten(resolved, entry, cache_keys);
  }();
  apply_weight_mapping(flat, configuration.weights);
  return flat;
}

}  // namespace velorn
