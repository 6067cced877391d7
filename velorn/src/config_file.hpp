// The configuration file of a call: its values (the tables "shape", "scalar" and "vector")
// and, in weights.hpp, its weight mapping, read from TOML; the report of a TOML error.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "vel/config.hpp"

namespace velorn {

// The text of the configuration file, read whole once: its values and its weight mapping
// both come from it (load_flat.hpp), so a file replaced meanwhile cannot mix two versions.
// Stops the call with "failed to read {}: {}", the path shown as given.
std::string read_config_text(std::string_view config_path);
// The configuration map of a text: stops the call with "failed to parse {}: {}" or with
// "unexpected value in vector section" for an array holding anything but numbers;
// `config_path` only names the file in a message.
vel::ConfigMap config_from_toml_text(std::string_view config_path, std::string_view text);

// Where a TOML error stands: line and column from 1, the column and the extent counted
// in characters. A line of 0 is no place.
struct TomlErrorPlace {
  std::size_t line = 0;
  std::size_t column = 0;
  std::size_t extent = 1;
};

// Where the TOML reader's error stands in `text`, from the reader's point (line and column
// from 1, the column in characters; a line of 0 is no place) and its description: the
// start and extent of the token in error where the description is one that the report
// knows, otherwise the point itself.
TomlErrorPlace toml_error_place(std::string_view text, std::size_t line, std::size_t column,
                                std::string_view description);

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

}  // namespace velorn
