// Runners shared by the flattener's tests: modules are written as vel source, and flat
// modules compared as canonical text, so an expected module need not be aligned by hand.
#pragma once

#include <string>
#include <string_view>

#include "vel/flatten.hpp"
#include "vel/fmt.hpp"
#include "vel/parse.hpp"
#include "vel/stop.hpp"

namespace vel::testing_flatten {

inline std::string canonical(std::string_view source) { return format_vel(parse(source), 100); }

inline std::string flat_text(const Module& module, const CacheKeys& keys = {},
                             std::string_view entry = "main") {
  return format_vel(flatten(module, entry, keys), 100);
}

inline std::string flat_text(std::string_view source, const CacheKeys& keys = {},
                             std::string_view entry = "main") {
  return flat_text(parse(source), keys, entry);
}

// The message the flattening stops with, or "<no stop>".
inline std::string flatten_stop(const Module& module, const CacheKeys& keys = {},
                                std::string_view entry = "main") {
  try {
    flatten(module, entry, keys);
  } catch (const Stop& s) {
    return s.message;
  }
  return "<no stop>";
}

inline std::string flatten_stop(std::string_view source, const CacheKeys& keys = {},
                                std::string_view entry = "main") {
  return flatten_stop(parse(source), keys, entry);
}

}  // namespace vel::testing_flatten
