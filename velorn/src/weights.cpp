#include "weights.hpp"

#include <utility>

#include "toml_tables.hpp"
#include "vel/ascii.hpp"
#include "vel/interrupt.hpp"

namespace velorn {

namespace {

constexpr std::string_view kWeightsTable = "weights";
constexpr std::string_view kWeightPrefix = "weights.";
constexpr std::string_view kSlot = "{}";

bool is_index_part(std::string_view part) {
  for (char c : part)
    if (!vel::ascii::is_digit(c)) return false;
  return true;
}

}  // namespace

std::optional<std::string> rename_weight(std::string_view reference, const WeightMapping& mapping) {
  if (const std::string* exact = mapping.find(reference)) return *exact;
  std::string key;
  std::vector<std::string_view> indices;
  std::size_t start = 0;
  for (;;) {
    std::size_t point = reference.find('.', start);
    std::string_view part = reference.substr(start, point - start);
    if (is_index_part(part)) {
      indices.push_back(part);
    } else {
      if (!key.empty()) key += '.';
      key += part;
    }
    if (point == std::string_view::npos) break;
    start = point + 1;
  }
  const std::string* pattern = mapping.find(key);
  if (pattern == nullptr) return std::nullopt;
  return fill_slots(*pattern, indices);
}

WeightMapping::WeightMapping() {
  vel::TextHasher hasher;
  hasher.add(kWeightsTable);
  segments_.push_back({kRoot, std::string(kWeightsTable), hasher, kWeightsTable.size()});
}

WeightMapping::Path WeightMapping::extend(Path prefix, std::string_view key) {
  const Segment& parent = segments_[prefix];
  vel::TextHasher hasher = parent.hasher;
  hasher.add('.').add(key);
  std::size_t length = parent.length + 1 + key.size();
  segments_.push_back({prefix, std::string(key), hasher, length});
  return static_cast<Path>(segments_.size() - 1);
}

void WeightMapping::store(Path path, std::string text) {
  entries_[segments_[path].hasher.finish()].push_back({path, std::move(text)});
}

bool WeightMapping::spells(Path path, std::string_view key) const {
  if (segments_[path].length != key.size()) return false;
  for (; path != kRoot; path = segments_[path].parent) {
    std::string_view own = segments_[path].key;
    if (!key.ends_with(own)) return false;
    key.remove_suffix(own.size());
    if (!key.ends_with('.')) return false;
    key.remove_suffix(1);
  }
  return key == segments_[kRoot].key;
}

const std::string* WeightMapping::find(std::string_view key) const {
  auto bucket = entries_.find(vel::hash_text(key));
  if (bucket == entries_.end()) return nullptr;
  for (auto entry = bucket->second.rbegin(); entry != bucket->second.rend(); ++entry)
    if (spells(entry->path, key)) return &entry->text;
  return nullptr;
}

void flatten_weight_table(const toml::table& table, WeightMapping::Path prefix,
                          WeightMapping& mapping) {
  // A nested table is gone through before the entries after it, as a recursive walk would.
  struct Level {
    toml::table::const_iterator next, end;
    WeightMapping::Path path;
  };
  std::vector<Level> stack{{table.begin(), table.end(), prefix}};
  while (!stack.empty()) {
    vel::poll_interrupt();
    Level& level = stack.back();
    if (level.next == level.end) {
      stack.pop_back();
      continue;
    }
    std::string_view key = level.next->first.str();
    const toml::node& node = level.next->second;
    ++level.next;
    if (const auto* text = node.as_string()) {
      mapping.store(mapping.extend(level.path, key), text->get());
    } else if (const auto* nested = node.as_table()) {
      WeightMapping::Path path = mapping.extend(level.path, key);
      stack.push_back({nested->begin(), nested->end(), path});  // `level` is not used after
    }
  }
}

WeightMapping weight_mapping_from_toml(const toml::table& root) {
  WeightMapping mapping;
  if (const toml::table* weights = root.get_as<toml::table>(kWeightsTable))
    flatten_weight_table(*weights, WeightMapping::kRoot, mapping);
  return mapping;
}

WeightMapping weight_mapping_from_toml_text(std::string_view config_path, std::string_view text) {
  return weight_mapping_from_toml(parse_config_text(config_path, text));
}

std::string fill_slots(std::string_view text, const std::vector<std::string_view>& parts) {
  // Left to right in one pass. The text before `rest` holds no slot: a part is digits and
  // cannot complete one, except the empty part, which may join a "{" before it to a "}"
  // after it; that slot is then the first one.
  std::string out;
  out.reserve(text.size());
  std::string_view rest = text;
  for (std::string_view part : parts) {
    if (!out.empty() && out.back() == '{' && rest.starts_with('}')) {
      out.pop_back();
      rest.remove_prefix(1);
    } else {
      std::size_t slot = rest.find(kSlot);
      if (slot == std::string_view::npos) break;
      out += rest.substr(0, slot);
      rest.remove_prefix(slot + kSlot.size());
    }
    out += part;
  }
  out += rest;
  return out;
}

void apply_weight_mapping(vel::Module& flat, const WeightMapping& mapping) {
  if (mapping.empty()) return;
  for (auto& [key, function] : flat.functions) {
    for (vel::Op& op : function.ops) {
      vel::poll_interrupt();
      for (vel::Atom& arg : op.args) {
        auto* name = std::get_if<vel::Atom::Name>(&arg.value);
        if (name == nullptr || !name->text.starts_with(kWeightPrefix)) continue;
        if (auto renamed = rename_weight(name->text, mapping)) name->text = *std::move(renamed);
      }
    }
  }
}

}  // namespace velorn
