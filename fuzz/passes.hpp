// The properties of the passes after reading: the axis resolver, the flattener, the
// configuration values and their substitution, and the weight mapping. Each runs the work
// of one or more of the module's roads on its input and gives the description of what
// went wrong, or nothing; a stop or a refused input keeps the property.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vel::fuzz {

// Module JSON through the work of `infer_axes_json` and of `flatten_json`: the resolver
// changes nothing but empty axes maps, and a second resolution changes nothing more; the
// flat form, from an entry and cache keys that the input picks, holds one function under
// the entry's name and no call or loop.
std::optional<std::string> passes_fault(std::string_view json);

// A `config_json` text, optionally a NUL byte and module JSON, through the work of
// `resolve_json`; without a module a fixed one that uses configuration names stands in.
// An empty configuration substitutes nothing.
std::optional<std::string> config_json_fault(std::string_view input);

// A TOML configuration file through the work of its values and its weight mapping:
// the configuration values substituted into a module that uses every name they define,
// and the weight mapping applied to references of every text of the table "weights",
// each of which takes the text stored last under its dotted path; then the whole road of
// `load_flat` with it.
std::optional<std::string> config_toml_fault(std::string_view toml);

}  // namespace vel::fuzz
