#include "json_record.hpp"

#include <utility>

namespace vel::json {

std::string missing_field(std::string_view name) {
  return "missing field `" + std::string(name) + "`";
}

std::string duplicate_field(std::string_view name) {
  return "duplicate field `" + std::string(name) + "`";
}

std::string invalid_length(std::size_t position, std::string_view expected) {
  return "invalid length " + std::to_string(position) + ", expected " + std::string(expected);
}

void invalid_map(Reader& in, std::string_view expected) {
  Inside::open(in);
  if (in.peek_token() == '}') Inside::close(in);
  in.fail_here(invalid_type_message("map", expected));
}

void custom_here(const Reader& in, std::string message) {
  try {
    Reader::custom(std::move(message));
  } catch (Unplaced& e) { in.fail_here(e.message); }
}

}  // namespace vel::json
