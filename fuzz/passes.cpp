#include "passes.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "config_file.hpp"
#include "load_flat.hpp"
#include "roundtrip.hpp"
#include "toml_tables.hpp"
#include "vel/ast.hpp"
#include "vel/ast_json.hpp"
#include "vel/config.hpp"
#include "vel/flatten.hpp"
#include "vel/json.hpp"
#include "vel/parse.hpp"
#include "vel/resolve.hpp"
#include "vel/stop.hpp"
#include "vel/unicode.hpp"
#include "weights.hpp"

namespace vel::fuzz {

namespace {

// The value of `work()`, or nothing when the call would have stopped; Python gives every
// road valid UTF-8.
template <class Work>
auto attempt(Work work) -> std::optional<decltype(work())> {
  try {
    return work();
  } catch (const Stop&) {
  } catch (const json::JsonError&) {}
  return std::nullopt;
}

// FNV-1a: the same input always makes the same choices.
std::uint64_t input_hash(std::string_view input) {
  std::uint64_t hash = 14695981039346656037u;
  for (char c : input) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211u;
  }
  return hash;
}

// ---------------------------------------------------------------------------------------
// Axis resolution and flattening

// The axes map of a view or tile operation; `O` is Op or const Op.
template <class O>
auto view_or_tile_axes(O& op) -> decltype(&std::get_if<OpKind::View>(&op.kind.value)->axes) {
  if (auto* view = std::get_if<OpKind::View>(&op.kind.value)) return &view->axes;
  if (auto* tile = std::get_if<OpKind::Tile>(&op.kind.value)) return &tile->axes;
  return nullptr;
}

// `module` with the axes that `resolved` holds wherever `module` holds none: what the
// resolver may give when it changes nothing else. Nothing when the two differ in shape.
std::optional<Module> with_resolved_axes(Module module, const Module& resolved) {
  if (module.functions.size() != resolved.functions.size()) return std::nullopt;
  auto other = resolved.functions.begin();
  for (auto& [key, fn] : module.functions) {
    const Function& theirs = (other++)->value();
    if (fn.ops.size() != theirs.ops.size()) return std::nullopt;
    for (std::size_t i = 0; i < fn.ops.size(); ++i) {
      Axes* axes = view_or_tile_axes(fn.ops[i]);
      const Axes* filled = view_or_tile_axes(theirs.ops[i]);
      if (axes && filled && axes->empty()) *axes = *filled;
    }
  }
  return module;
}

// Every function name of the module, and one that no module of the seeds holds.
std::vector<std::string> entry_candidates(const Module& module) {
  std::vector<std::string> names;
  for (const auto& [key, fn] : module.functions) names.push_back(key.str());
  names.emplace_back("no such entry");
  return names;
}

// Each cache slot the module can make: a var, and for one inside a loop ("s.*") its first
// two iterations.
std::vector<std::string> slot_candidates(const Module& module) {
  std::vector<std::string> slots;
  for (const auto& [key, fn] : module.functions)
    for (const Op& op : fn.ops)
      if (const auto* cache = std::get_if<OpKind::Cache>(&op.kind.value)) {
        slots.push_back(cache->var.str());
        if (cache->var.ends_with(".*")) {
          std::string stem = cache->var.substr(0, cache->var.size() - 1);
          slots.push_back(stem + "0");
          slots.push_back(stem + "1");
        }
      }
  return slots;
}

std::optional<std::string> flat_form_fault(const Module& flat, std::string_view entry) {
  if (flat.functions.size() != 1 || flat.functions.find(entry) == nullptr)
    return "the flat form does not hold exactly the entry " + std::string(entry);
  for (const Op& op : flat.functions.at(entry).ops)
    if (std::holds_alternative<OpKind::Call>(op.kind.value) ||
        std::holds_alternative<OpKind::Loop>(op.kind.value))
      return "the flat form of " + std::string(entry) + " keeps a " +
             std::string(kind_word(op.kind)) + " operation";
  return std::nullopt;
}

std::optional<std::string> resolution_fault(const Module& module, std::string_view json) {
  auto resolved = attempt([&] { return resolve(module); });
  if (!resolved) return std::nullopt;
  std::optional<Module> expected = with_resolved_axes(module, *resolved);
  if (!expected || !same_module(*expected, *resolved))
    return "the resolver changed more than empty axes maps of:\n" + std::string(json);
  auto again = attempt([&] { return resolve(*resolved); });
  if (!again || !same_module(*again, *resolved))
    return "a second resolution did not give the resolved module of:\n" + std::string(json);
  module_to_json(*resolved);
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------
// Configuration values

// Uses configuration names in dimensions of parameters, returns and output types, and as
// loop counts, with and without the prefix, and resolves a view over them.
constexpr std::string_view kConfigUser = R"(
body(x: f32[n, param.d]) -> (y: f32[n, param.d]) {
  y: f32[n, param.d] = map[gelu](x)
}

main(x: f32[param.b, param.h, param.d], w: *) -> (y: f32[param.b, param.d]) {
  v: f32[param.b, param.g, param.e] = view["b (g e) -> b g e"](x)
  t: f32[param.b, param.h, param.d] = tile["b d -> b h d"](x)
  y: f32[param.b, param.d] = loop[body, param.n](x)
  z: f32[param.b, param.d] = loop[body, n](y)
}
)";

const Module& config_user() {
  static const Module module = parse(kConfigUser);
  return module;
}

// One function whose parameter's shape names every configuration value, and a loop
// counted by each.
Module module_using(const ConfigMap& config) {
  Function fn{"main", {}, {{"x", {"f32", {}}}}, {}, {}};
  for (const auto& [name, value] : config) {
    // Emplaced in place: GCC 12 takes a braced variant temporary for uninitialised.
    fn.params[0].ty.shape.emplace_back().value.emplace<Dim::Named>(Dim::Named{"param." + name});
    Op& loop = fn.ops.emplace_back();
    loop.kind.value.emplace<OpKind::Loop>(OpKind::Loop{"main", {LoopCount::Named{name}}});
    loop.outputs = {"y"};
    loop.args.emplace_back().value.emplace<Atom::Name>(Atom::Name{"x"});
  }
  Module module;
  module.functions.store("main", std::move(fn));
  return module;
}

// ---------------------------------------------------------------------------------------
// Weight mapping

// The texts of a table "weights" in the order that the mapping stores them, under their
// spelled-out dotted keys; nested tables walked without recursion.
std::vector<std::pair<std::string, std::string>> weight_texts(const toml::table& weights) {
  struct Level {
    toml::table::const_iterator next, end;
    std::string path;
  };
  std::vector<std::pair<std::string, std::string>> texts;
  std::vector<Level> stack{{weights.begin(), weights.end(), "weights"}};
  while (!stack.empty()) {
    if (stack.back().next == stack.back().end) {
      stack.pop_back();
      continue;
    }
    auto& level = stack.back();
    std::string path = level.path + "." + std::string(level.next->first.str());
    const toml::node& node = level.next->second;
    ++level.next;
    if (const auto* text = node.as_string())
      texts.emplace_back(std::move(path), text->get());
    else if (const auto* nested = node.as_table())
      stack.push_back({nested->begin(), nested->end(), std::move(path)});
  }
  return texts;
}

Op reference_op(std::vector<std::string> references) {
  Op op{OpKind{OpKind::Map{"id"}}, {"y"}, {}, {}, {}};
  for (std::string& reference : references)
    op.args.emplace_back().value.emplace<Atom::Name>(Atom::Name{std::move(reference)});
  return op;
}

// Applies the mapping to a reference of every text, and to the same reference with index
// parts put in after "weights.", where a template takes them.
std::optional<std::string> weight_mapping_fault(const toml::table& root) {
  velorn::WeightMapping mapping = velorn::weight_mapping_from_toml(root);
  const toml::table* weights = root.get_as<toml::table>("weights");
  if (weights == nullptr) return std::nullopt;
  std::vector<std::pair<std::string, std::string>> texts = weight_texts(*weights);
  std::map<std::string, std::string> last;  // the text stored last under each key
  std::vector<std::string> references;
  for (const auto& [path, text] : texts) {
    last[path] = text;
    references.push_back(path);
    references.push_back("weights.7." + path.substr(8) + ".");
  }
  Function fn{"main", {}, {}, {}, {reference_op(references)}};
  Module flat;
  flat.functions.store("main", std::move(fn));
  velorn::apply_weight_mapping(flat, mapping);
  const Args& renamed = flat.functions.at("main").ops[0].args;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::string& path = texts[i].first;
    const auto& got = std::get<Atom::Name>(renamed[2 * i].value).text;
    if (got != last[path])
      return "the reference " + path + " became " + got + " in place of " + last[path];
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> passes_fault(std::string_view json) {
  if (!unicode::is_valid_utf8(json)) return std::nullopt;
  auto module = attempt([&] { return module_from_json(json); });
  if (!module) return std::nullopt;
  if (auto fault = resolution_fault(*module, json)) return fault;

  std::uint64_t choice = input_hash(json);
  std::vector<std::string> entries = entry_candidates(*module);
  const std::string& entry = entries[choice % entries.size()];
  choice /= entries.size();
  CacheKeys keys;
  for (std::string& slot : slot_candidates(*module)) {
    if (choice & 1) keys.insert(std::move(slot));
    choice = choice >> 1 | choice << 63;
  }
  auto flat = attempt([&] { return flatten(*module, entry, keys); });
  if (!flat) return std::nullopt;
  if (auto fault = flat_form_fault(*flat, entry)) return *fault + " of:\n" + std::string(json);
  module_to_json(*flat);
  return std::nullopt;
}

std::optional<std::string> config_json_fault(std::string_view input) {
  if (!unicode::is_valid_utf8(input)) return std::nullopt;
  std::size_t nul = input.find('\0');
  std::string_view config_json = input.substr(0, nul);
  std::optional<Module> module;
  if (nul == std::string_view::npos)
    module = config_user();
  else
    module = attempt([&] { return module_from_json(input.substr(nul + 1)); });
  if (!module) return std::nullopt;
  auto config = attempt([&] { return config_from_json(config_json); });
  if (!config) return std::nullopt;
  if (!same_module(sub_module(*module, {}), *module))
    return "an empty configuration changed the module";
  auto substituted = attempt([&] { return sub_module(*module, *config); });
  if (!substituted) return std::nullopt;
  return resolution_fault(*substituted, input);
}

std::optional<std::string> config_toml_fault(std::string_view toml) {
  if (!unicode::is_valid_utf8(toml)) return std::nullopt;  // the file reader refuses it
  auto root = attempt([&] { return velorn::parse_config_text("config.toml", toml); });
  if (!root) return std::nullopt;
  if (auto config = attempt([&] { return velorn::config_from_toml(*root); })) {
    attempt([&] { return sub_module(module_using(*config), *config); });
    attempt([&] { return resolve(sub_module(config_user(), *config)); });
  }
  if (auto fault = weight_mapping_fault(*root)) return *fault + " for:\n" + std::string(toml);
  // The whole road of a flat module loaded with this configuration.
  attempt([&] {
    return velorn::load_flat(config_user(),
                             velorn::configuration_from_toml_text("config.toml", toml), "main", {});
  });
  return std::nullopt;
}

}  // namespace vel::fuzz
