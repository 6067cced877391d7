// The weight mapping: the table "weights" of the configuration file, read into a map from
// dotted weight keys to target names or templates with "{}" slots, and the renaming of a
// flat module's weight references through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "config_file.hpp"
#include "vel/ast.hpp"
#include "vel/hash.hpp"

namespace velorn {

// Each key is "weights" and the dotted path of a text in the table, as if spelled out.
// Keys are held as paths, one segment per table, each with the hash of its text so far,
// so that a table nested deep with many entries costs memory and time in the size of the
// file rather than of its spelled-out keys. Storing a key again replaces its value.
class WeightMapping {
 public:
  using Path = std::uint32_t;
  // The path "weights" itself, which no entry has.
  static constexpr Path kRoot = 0;

  WeightMapping();

  // The path `prefix` + "." + `key`.
  Path extend(Path prefix, std::string_view key);
  void store(Path path, std::string text);
  const std::string* find(std::string_view key) const;
  bool empty() const { return entries_.empty(); }

 private:
  struct Segment {
    Path parent;
    std::string key;
    vel::TextHasher hasher;  // of the spelled-out path, which a longer path goes on from
    std::size_t length;      // of the spelled-out path
  };
  struct Entry {
    Path path;
    std::string text;
  };

  bool spells(Path path, std::string_view key) const;

  std::vector<Segment> segments_;
  // By hash, in the order stored: among equal keys the last one holds.
  std::unordered_map<std::uint64_t, std::vector<Entry>> entries_;
};

// The mapping of the configuration file's text: stops the call with "failed to parse {}:
// {}"; `config_path` only names the file in the message.
WeightMapping weight_mapping_from_toml_text(std::string_view config_path, std::string_view text);

// The text of a template with its "{}" slots filled in order by `parts`: an index part
// for which no slot remains changes nothing, and slots left over stay "{}".
std::string fill_slots(std::string_view text, const std::vector<std::string_view>& parts);

// The text a weight reference takes: its exact entry, else the template of its key parts
// filled with its index parts; nothing when the mapping holds neither.
std::optional<std::string> rename_weight(std::string_view reference, const WeightMapping& mapping);

// Renames the weight references among the arguments of every operation, in place.
void apply_weight_mapping(vel::Module& flat, const WeightMapping& mapping);

}  // namespace velorn
