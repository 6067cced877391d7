// The ASCII character classes that the grammars of the system name byte by byte. A byte of
// a multi-byte UTF-8 sequence, and the end of a text given as -1, is in none of them.
#pragma once

namespace vel::ascii {

constexpr bool is_digit(int c) { return c >= '0' && c <= '9'; }
constexpr bool is_letter(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
// A space or a tab.
constexpr bool is_blank(int c) { return c == ' ' || c == '\t'; }

}  // namespace vel::ascii
