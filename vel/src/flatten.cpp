#include "vel/flatten.hpp"

#include <utility>

#include "flatten_build.hpp"
#include "flatten_naming.hpp"
#include "flatten_plan.hpp"
#include "flatten_write.hpp"

namespace vel {

namespace flat {

// What building leaves for naming and writing: the flat function, and the plans whose
// texts its operations are written from.
struct Built {
  explicit Built(const Module& module) : kept(module), planner(module, kept) {}
  KeptNames kept;
  Planner planner;
  FlatProgram program{};
};

}  // namespace flat

Flattening::Flattening(const Module& module, std::string_view entry, const CacheKeys& cache_keys)
    : module_(module),
      key_(entry),
      entry_(module.functions.at(entry)),
      built_(std::make_unique<flat::Built>(module)) {
  built_->planner.plan(&entry_);
  built_->program = flat::build(built_->planner, entry_, cache_keys);
}

Flattening::~Flattening() = default;
Flattening::Flattening(Flattening&&) noexcept = default;

void Flattening::finish(const RenameWeight& rename) {
  if (rename) flat::rename_weights(built_->program, rename);
  flat::choose_names(built_->program, built_->kept);
}

Module Flattening::module(const RenameWeight& rename) {
  finish(rename);
  return flat::to_module(built_->program, module_, key_, entry_);
}

std::string Flattening::json(const RenameWeight& rename) {
  finish(rename);
  return flat::to_json(built_->program, module_, key_, entry_);
}

Module flatten(const Module& module, std::string_view entry, const CacheKeys& cache_keys) {
  return Flattening(module, entry, cache_keys).module();
}

std::string flatten_to_json(const Module& module, std::string_view entry,
                            const CacheKeys& cache_keys) {
  return Flattening(module, entry, cache_keys).json();
}

}  // namespace vel
