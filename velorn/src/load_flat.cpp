#include "load_flat.hpp"

#include <utility>

#include "vel/config.hpp"
#include "vel/parse.hpp"
#include "vel/resolve.hpp"
#include "weights.hpp"

namespace velorn {

namespace {

// The road after parsing; `write` makes the result of the flattening and the renaming of
// its weight references.
template <class Write>
auto flat_of(vel::Module parsed, ConfigFile& config, std::string_view entry,
             const vel::CacheKeys& cache_keys, Write write) {
  // The parsed and the substituted module are released as soon as the next one is built:
  // a large model's memory is taken from the system once.
  const vel::Module resolved = [&] {
    vel::ConfigMap values = load_config(config);
    return vel::resolve(vel::sub_module(std::move(parsed), values));
  }();
  vel::Flattening flat(resolved, entry, cache_keys);
  // A regular file is read again: the weight mapping comes from this second reading.
  const WeightMapping mapping = load_weight_mapping(config);
  return write(flat, [&](std::string_view reference) { return rename_weight(reference, mapping); });
}

}  // namespace

vel::Module load_flat(std::string_view vel_path, ConfigFile& config, std::string_view entry,
                      const vel::CacheKeys& cache_keys) {
  return load_flat(vel::parse_file(vel_path), config, entry, cache_keys);
}

vel::Module load_flat(vel::Module parsed, ConfigFile& config, std::string_view entry,
                      const vel::CacheKeys& cache_keys) {
  return flat_of(
      std::move(parsed), config, entry, cache_keys,
      [](vel::Flattening& flat, const vel::RenameWeight& rename) { return flat.module(rename); });
}

std::string load_flat_json(std::string_view vel_path, ConfigFile& config, std::string_view entry,
                           const vel::CacheKeys& cache_keys) {
  return flat_of(
      vel::parse_file(vel_path), config, entry, cache_keys,
      [](vel::Flattening& flat, const vel::RenameWeight& rename) { return flat.json(rename); });
}

}  // namespace velorn
