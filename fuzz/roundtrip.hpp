// The round-trip properties that the fuzz targets search for counterexamples to, and that
// the C++ tests replay on the committed seeds. Each gives the description of what went
// wrong, or nothing when the input keeps the property; an input that the first reading
// refuses keeps it trivially.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "vel/ast.hpp"

namespace vel::fuzz {

// Equal records, floats compared bit for bit: a changed sign of zero counts, and a NaN
// equals the same NaN.
bool same_module(const Module& a, const Module& b);

// Parses the source, formats the module, parses the text again: the second module is the
// first one, apart from what canonical text cannot carry (see roundtrip.cpp).
std::optional<std::string> source_round_trip_fault(std::string_view source);

// Reads a module from JSON, writes it, reads it back: the same module and the same text
// again; then checks it.
std::optional<std::string> json_round_trip_fault(std::string_view json);

}  // namespace vel::fuzz
