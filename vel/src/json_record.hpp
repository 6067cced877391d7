// The record layer of JSON reading: a record read from an object or from an array of its
// members by position, the schema's messages (missing, duplicate and surplus members), and
// the untagged values' steps that records take beside the structural reader's.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "json_internal.hpp"
#include "vel/json.hpp"

namespace vel::json {

// A record's members and how messages name it.
struct RecordShape {
  std::string_view expecting;                 // "struct Param"
  std::string_view array_expecting;           // "struct Param with 2 elements"
  std::span<const std::string_view> members;  // in field order
  std::uint32_t required;                     // bit i set: member i has no default
};

std::string missing_field(std::string_view name);
std::string duplicate_field(std::string_view name);
std::string invalid_length(std::size_t position, std::string_view expected);

// At '"': the string's decoded text; the view lasts until the next string is read.
[[gnu::always_inline]] inline std::string_view read_str(Reader& in) { return Inside::str(in); }
// A text member, expecting "a string"; the view lasts as `read_str`'s.
[[gnu::always_inline]] inline std::string_view read_text(Reader& in) { return Inside::text(in); }
// At '-' or a digit: as `Reader::read_number`, quicker for small plain integers.
[[gnu::always_inline]] inline Number read_number(Reader& in) { return Inside::number(in); }

// "invalid type: {found}, expected {expected}" for the value that stands next, placed as
// `Reader::read_any` leaves it for a scalar and before the bracket of an array or object.
[[noreturn]] inline void invalid_type(Reader& in, std::string_view expected) {
  Inside::invalid_type(in, expected);
}
// At '{' where no map is wanted: "invalid type: map, expected {expected}", placed once the
// map's first member is looked for (after its closing brace when it has none).
[[noreturn]] void invalid_map(Reader& in, std::string_view expected);
// `Reader::custom` for a message that quotes the document's text, placed at the current
// offset when the message carries no position.
[[noreturn]] void custom_here(const Reader& in, std::string message);

// A record from an object or an array: `member(position)` reads each member present;
// absent members keep whatever default the caller gave them.
template <class F>
void read_record(Reader& in, const RecordShape& shape, F&& member) {
  int c = in.peek_token();
  if (c < 0) in.fail_peek(kEofValue);
  if (c == '{') {
    Inside::open(in);
    try {
      std::uint32_t seen = 0;
      std::size_t next = 0;  // the member after the one read last
      Inside::object_members(in, [&] {
        int index = -1;
        // Members that a record leaves out do not change the order of the rest, so the
        // names from the next one on are tried as they stand in the text first.
        for (std::size_t i = next; i < shape.members.size(); ++i)
          if (Inside::take_name(in, shape.members[i])) {
            index = static_cast<int>(i);
            break;
          }
        if (index < 0) {
          std::string_view key = Inside::str(in);
          for (std::size_t i = 0; i < shape.members.size(); ++i)
            if (shape.members[i] == key) {
              index = static_cast<int>(i);
              break;
            }
        }
        if (index >= 0) next = static_cast<std::size_t>(index) + 1;
        if (index < 0) {
          Inside::colon(in);
          in.skip_value();
          return;
        }
        // Reported at the name, before its value is looked at.
        if (seen >> index & 1) throw Unplaced{duplicate_field(shape.members[index])};
        seen |= 1u << index;
        Inside::colon(in);
        member(index);
      });
      if (std::uint32_t missing = shape.required & ~seen)
        throw Unplaced{missing_field(shape.members[std::countr_zero(missing)])};
    } catch (Unplaced& e) {
      Inside::settle_object(in);
      in.fail_here(e.message);
    }
    Inside::close(in);
    return;
  }
  if (c != '[') invalid_type(in, shape.expecting);
  Inside::open(in);
  try {
    bool first = true;
    for (std::size_t i = 0; i < shape.members.size(); ++i) {
      c = in.peek_token();
      if (c < 0) in.fail_peek(kEofList);
      if (c == ']') {  // the array has ended: this position and all later ones are absent
        if (shape.required >> i & 1) throw Unplaced{invalid_length(i, shape.array_expecting)};
        continue;
      }
      if (!first) {
        if (c != ',') in.fail_peek(kExpectedListEnd);
        Inside::step(in);
        c = in.peek_token();
        if (c < 0) in.fail_peek(kEofValue);
        if (c == ']') in.fail_peek(kTrailingComma);
      }
      first = false;
      member(static_cast<int>(i));
    }
  } catch (Unplaced& e) {
    Inside::settle_list(in);
    in.fail_here(e.message);
  }
  c = in.peek_token();
  if (c == ']') {
    Inside::close(in);
    return;
  }
  if (c < 0) in.fail_peek(kEofList);
  if (c == ',') {
    Inside::step(in);
    in.fail_peek(in.peek_token() == ']' ? kTrailingComma : kTrailingCharacters);
  }
  in.fail_peek(kTrailingCharacters);
}

}  // namespace vel::json
