// What a JSON reading gives, as one comparable text.
#pragma once

#include <string>
#include <string_view>

#include "vel/json.hpp"
#include "vel/stop.hpp"

namespace vel::test {

inline std::string error(std::string_view message, std::size_t line, std::size_t column) {
  return "error: " + std::string(message) + " at " + std::to_string(line) + ":" +
         std::to_string(column);
}

// "error: {message} at {line}:{column}" for a failed reading, "unplaced: ..." for an error
// that escaped its reader without a position, "stop: ..." for a stop, else what `read`
// returned.
template <class F>
std::string outcome(F&& read) {
  try {
    return read();
  } catch (const json::JsonError& e) {
    return error(e.message, e.line, e.column);
  } catch (const json::Unplaced& e) { return "unplaced: " + e.message; } catch (const Stop& s) {
    return "stop: " + s.message;
  }
}

}  // namespace vel::test
