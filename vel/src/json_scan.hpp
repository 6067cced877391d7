// The byte level of JSON reading: white space, strings and their escapes, numbers, and the
// vector code that finds the end of a plain run. Every function works at a position in the
// text and moves it past what it took; a fault throws `JsonError` there.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "number_scan.hpp"
#include "vel/ascii.hpp"
#include "vel/json_base.hpp"

namespace vel::json::scan {

// At byte offset p: line and column name the byte before p.
[[noreturn]] void fail_at(std::string_view text, std::size_t p, std::string_view message);

using ascii::is_digit;
using number_scan::load;

inline bool starts_number(int c) { return c == '-' || is_digit(c); }

// Bytes from i that need no care inside a string: all but '"', '\\' and controls.
[[gnu::always_inline]] inline std::size_t plain_end(const char* p, std::size_t i, std::size_t n) {
#ifdef __SSE2__
  for (; i + 16 <= n; i += 16) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    __m128i quote = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"'));
    __m128i backslash = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'));
    // A byte below 0x20 leaves the unsigned maximum with 0x1F at 0x1F.
    __m128i low = _mm_set1_epi8(0x1F);
    __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(bytes, low), low);
    int hit = _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, backslash), control));
    if (hit) return i + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(hit)));
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    for (; i + 8 <= n; i += 8) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      std::uint64_t q = w ^ (ones * '"'), s = w ^ (ones * '\\');
      std::uint64_t hit =
          (((q - ones) & ~q) | ((s - ones) & ~s) | ((w - ones * 0x20) & ~w)) & highs;
      if (hit) return i + (std::countr_zero(hit) >> 3);
    }
  }
  for (; i < n; ++i) {
    unsigned char b = static_cast<unsigned char>(p[i]);
    if (b == '"' || b == '\\' || b < 0x20) break;
  }
  return i;
}

// The string whose plain run from `start` ends at `end` before an escape, a control or the
// end of the text: decoded into `scratch`.
std::string_view read_str_slow(std::string_view text, std::size_t& pos, std::size_t start,
                               std::size_t end, std::string& scratch);

// At '"': the string's decoded text, a view of the text itself when it has no escape,
// otherwise of `scratch`.
[[gnu::always_inline]] inline std::string_view read_str(std::string_view text, std::size_t& pos,
                                                        std::string& scratch) {
  std::size_t start = pos + 1;
  std::size_t end = plain_end(text.data(), start, text.size());
  if (end < text.size() && text[end] == '"') {
    pos = end + 1;
    return std::string_view(text.data() + start, end - start);
  }
  return read_str_slow(text, pos, start, end, scratch);
}

// At '"': a string checked for its form only; surrogates need not pair.
void skip_str(std::string_view text, std::size_t& pos);

// At '-' or a digit. Reading converts the number; skipping only checks its form, as
// leniently as a skipped value is checked: any exponent, and "invalid number" where
// reading says the text ended.
Number read_number(std::string_view text, std::size_t& pos);
void skip_number(std::string_view text, std::size_t& pos);

// The rest of null, true or false.
void read_ident(std::string_view text, std::size_t& pos, std::string_view rest);

// A plain integer at `pos` (digits without a leading zero, fraction or exponent, at most 18
// of them, which any integer class holds): taken into `value`. Otherwise nothing is taken.
[[gnu::always_inline]] inline bool small_integer(std::string_view text, std::size_t& pos,
                                                 std::uint64_t& value) {
  const char* p = text.data();
  std::size_t i = pos, n = text.size();
  if (i >= n || p[i] < '1' || p[i] > '9') return false;
  std::uint64_t v = 0;
  for (; i < n && is_digit(p[i]); ++i) {
    if (i - pos == 18) return false;
    v = v * 10 + static_cast<unsigned>(p[i] - '0');
  }
  if (i < n && (p[i] == '.' || p[i] == 'e' || p[i] == 'E')) return false;
  pos = i;
  value = v;
  return true;
}

// Member names are short: they are compared in words, which may overlap, without a call.
[[gnu::always_inline]] inline bool same_bytes(const char* a, const char* b, std::size_t n) {
  if (n >= 8) {
    for (std::size_t i = 0; i + 8 < n; i += 8)
      if (load<std::uint64_t>(a + i) != load<std::uint64_t>(b + i)) return false;
    return load<std::uint64_t>(a + n - 8) == load<std::uint64_t>(b + n - 8);
  }
  if (n >= 4)
    return load<std::uint32_t>(a) == load<std::uint32_t>(b) &&
           load<std::uint32_t>(a + n - 4) == load<std::uint32_t>(b + n - 4);
  for (std::size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

// At '"': takes the string `name` and its closing quote when they stand next.
[[gnu::always_inline]] inline bool take_name(std::string_view text, std::size_t& pos,
                                             std::string_view name) {
  std::size_t end = pos + 1 + name.size();
  if (end >= text.size() || text[end] != '"' ||
      !same_bytes(text.data() + pos + 1, name.data(), name.size()))
    return false;
  pos = end + 1;
  return true;
}

}  // namespace vel::json::scan
