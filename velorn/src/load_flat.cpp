#include "load_flat.hpp"

#include <string>
#include <utility>

#include "toml_tables.hpp"
#include "vel/parse.hpp"
#include "vel/resolve.hpp"

namespace velorn {

namespace {

// The road after reading; `write` makes the result of the flattening and the renaming of its
// weight references.
template <class Write>
auto flat_of(vel::Module parsed, Configuration configuration, std::string_view entry,
             const vel::CacheKeys& cache_keys, Write write) {
  // The parsed and the substituted module are released as soon as the next one is built:
  // a large model's memory is taken from the system once.
  const vel::Module resolved =
      vel::resolve(vel::sub_module(std::move(parsed), configuration.values));
  vel::Flattening flat(resolved, entry, cache_keys);
  const WeightMapping& mapping = configuration.weights;
  return write(flat, [&](std::string_view reference) { return rename_weight(reference, mapping); });
}

Configuration configuration_of(std::string_view config_path) {
  return configuration_from_toml_text(config_path, read_config_text(config_path));
}

}  // namespace

Configuration configuration_from_toml_text(std::string_view config_path, std::string_view text) {
  // The tables are released at once: the mapping holds what renaming needs, in the size of
  // the table "weights".
  toml::table root = parse_config_text(config_path, text);
  return {config_from_toml(root), weight_mapping_from_toml(root)};
}

vel::Module load_flat(std::string_view vel_path, std::string_view config_path,
                      std::string_view entry, const vel::CacheKeys& cache_keys) {
  vel::Module parsed = vel::parse_file(vel_path);
  return load_flat(std::move(parsed), configuration_of(config_path), entry, cache_keys);
}

vel::Module load_flat(vel::Module parsed, Configuration configuration, std::string_view entry,
                      const vel::CacheKeys& cache_keys) {
  return flat_of(
      std::move(parsed), std::move(configuration), entry, cache_keys,
      [](vel::Flattening& flat, const vel::RenameWeight& rename) { return flat.module(rename); });
}

std::string load_flat_json(std::string_view vel_path, std::string_view config_path,
                           std::string_view entry, const vel::CacheKeys& cache_keys) {
  vel::Module parsed = vel::parse_file(vel_path);
  return flat_of(
      std::move(parsed), configuration_of(config_path), entry, cache_keys,
      [](vel::Flattening& flat, const vel::RenameWeight& rename) { return flat.json(rename); });
}

}  // namespace velorn
