// Character classes of Unicode 17.0 and UTF-8 decoding of text that is known to be valid.
#pragma once

#include <cstddef>
#include <string_view>

namespace vel::unicode {

bool is_grapheme_extend(char32_t c);
// False for Cc, Cf, Cs, Co, Cn, Zl, Zp and Zs, except the plain space.
bool is_printable(char32_t c);
bool is_alphabetic(char32_t c);
bool is_mark(char32_t c);                   // Mn, Mc, Me
bool is_decimal_number(char32_t c);         // Nd
bool is_connector_punctuation(char32_t c);  // Pc
bool is_join_control(char32_t c);
// A word character of the Unicode regular-expression guideline: Alphabetic, a mark, Nd, Pc
// or Join_Control.
bool is_word_char(char32_t c);

// Decodes the character that starts at text[i] and moves i past it. The text should be
// valid UTF-8; a sequence cut short by the end of the text never reads past it.
char32_t decode_utf8(std::string_view text, std::size_t& i);

// Exact UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no truncation.
bool is_valid_utf8(std::string_view text);

}  // namespace vel::unicode
