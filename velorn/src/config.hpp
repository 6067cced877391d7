// Configuration values: read from a JSON object or from the tables "shape", "scalar" and
// "vector" of a TOML configuration file, and substituted into a module's declared types
// and loop counts.
#pragma once

#include <toml++/toml.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "vel/ast.hpp"
#include "vel/file.hpp"
#include "vel/text.hpp"

namespace velorn {

struct ConfigValue {
  struct Int {
    std::int64_t value;
    bool operator==(const Int&) const = default;
  };
  struct Float {
    double value;
    bool operator==(const Float&) const = default;
  };
  struct Vector {
    std::vector<double> values;
    bool operator==(const Vector&) const = default;
  };
  // Also the order in which a JSON value is tried against the alternatives.
  std::variant<Int, Float, Vector> value;

  bool operator==(const ConfigValue&) const = default;
};

// Looked up by exact name only; a name stored again takes the later value.
using ConfigMap = std::unordered_map<std::string, ConfigValue, vel::TextHash, std::equal_to<>>;

// One JSON object of names to numbers and arrays of numbers. Throws `vel::json::JsonError`.
ConfigMap config_from_json(std::string_view text);

// The configuration file parsed whole as TOML. Stops the call with "failed to read {}: {}"
// or "failed to parse {}: {}", the path shown as given.
toml::table read_config_file(std::string_view config_path);

// The configuration file of one call, which reads it once for its values and once for its
// weight mapping. A regular file is read anew each time; any other (a pipe, a terminal)
// may give its text only once, so the first reading keeps that text for the second.
struct ConfigFile {
  std::string_view path;
  std::optional<std::string> kept;
};
// `read_config_file` of the file, or of the text a first reading kept.
toml::table read_config_file(ConfigFile& file);

// The same for a text already read; `config_path` only names it in the message.
toml::table parse_config_text(std::string_view config_path, std::string_view text);

// Where a TOML error stands: line and column from 1, the column and the extent counted
// in characters. A line of 0 is no place.
struct TomlErrorPlace {
  std::size_t line = 0;
  std::size_t column = 0;
  std::size_t extent = 1;
};

// The report of a TOML error in `text`, every line ending in a line feed: the place, the
// gutter, the line with carets under the error's extent, then the description. Without a
// place, the description alone.
std::string toml_error_report(std::string_view text, const TomlErrorPlace& place,
                              std::string_view description);

// Tables and arrays nested deeper than this are refused before the TOML reader sees the
// document: it reads inline tables and arrays, and walks and drops its tree, recursively.
// The deepest document still fits a thread with 256 KiB of stack in a build with
// sanitizers, whose frames are the largest: there inline tables nested 36 deep fill it
// (tables opened by headers take over 400).
inline constexpr std::size_t kMaxTomlNesting = 24;

// The configuration map from the root tables "shape", "scalar" and "vector", merged in
// that order. Stops the call as `read_config_file` does, and with "unexpected value in
// vector section" for an array holding anything but numbers.
ConfigMap config_from_toml(const toml::table& root);
ConfigMap load_config(ConfigFile& file);

// Copies with the configuration substituted; the inputs are only read.
vel::Dim sub_dim(const vel::Dim& dim, const ConfigMap& config);
vel::TensorType sub_type(const vel::TensorType& type, const ConfigMap& config);
vel::Op sub_op(const vel::Op& op, const ConfigMap& config);
vel::Module sub_module(const vel::Module& module, const ConfigMap& config);

}  // namespace velorn
