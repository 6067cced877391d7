// Arbitrary valid UTF-8 either parses or stops with one of the parser's own messages.
#include <random>

#include <gtest/gtest.h>

#include "test_parse_support.hpp"

using namespace vel;
using namespace vel::testing_parse;

namespace {

const std::vector<std::string> kFragments = {
    "f",
    "g",
    "x",
    "y",
    "w.a",
    "l.*",
    "f32",
    "i8",
    "(",
    ")",
    "->",
    "{",
    "}",
    "[",
    "]",
    ":",
    ",",
    "=",
    "*",
    "+",
    "/",
    "-",
    ".",
    "..",
    "...",
    "4",
    "-3",
    "007",
    "1.5",
    "1e",
    "1e5",
    "-0.0",
    "inf",
    "nan",
    "_e",
    "9223372036854775808",
    "-9223372036854775809",
    "\"",
    "\"a b\"",
    "\"i j -> i\"",
    "\"\\\"",
    "\"3\"",
    "// c\n",
    "// d\r\n",
    "literal",
    "map",
    "view",
    "fold",
    "tile",
    "read",
    "write",
    "contract",
    "iota",
    "random",
    "call",
    "loop",
    "cache",
    "a=",
    "k = ",
    "param.n",
    " ",
    "\n",
    "\t",
    ";",
    "\xc3\xa9",
    "\xe2\x80\x8b",
    "\xf0\x9f\x98\x80",
    "\x01",
};

const std::string kProgram =
    "// model\n"
    "block(x: f32[n, d], w: *) -> (y: f32[n, d]) {\n"
    "  h: f32[n, d] = contract[\"nd,de->ne\"](x, w.proj)\n"
    "  (a, b): (f32[n], f32[d]) = call[split](h)\n"
    "  v = view[\"a b -> b a\", a=4](x, b=8)\n"
    "  s = fold[\"i j -> i\", sum](h)\n"
    "  r = random[0.0, 1.0]\n"
    "  c = literal([[1, 2.5], [-inf], []])\n"
    "  k = cache[kv.*, init, ext](h)\n"
    "  y: f32[n, d] = loop[body, param.layers](x, weights.layers.*)\n"
    "}\n";

bool allowed(const std::string& message, const std::string& source) {
  static const std::vector<std::string> fixed = {
      "fold requires a reduction: fold[pattern, reduction]",
      "write requires a reduction: write[pattern, reduction]",
      "random requires two bounds: random[lo, hi]",
      "loop requires explicit count: loop[fn, count]",
      "cache requires var name: cache[var, init] or cache[var, init, extend]",
      "cache requires init function: cache[var, init] or cache[var, init, extend]",
      "byte range starts at 1 but ends at 0",
      "literal list nested deeper than 122 levels",
      kFloatFault,
      int_fault("InvalidDigit"),
      int_fault("PosOverflow"),
      int_fault("NegOverflow"),
  };
  for (const std::string& m : fixed)
    if (message == m) return true;
  std::size_t n = parser::tokenize(source).size();
  if (message == bounds_message(n, n)) return true;
  for (std::string prefix : {"Expected \"", "Expected 'inf' after '-', got \"",
                             "Expected literal value, got name \"", "Unknown op: \""})
    if (message.starts_with(prefix) && message.ends_with("\"")) return true;
  return false;
}

void check(const std::string& source) {
  std::string message = parse_message(source);
  if (message == "<no stop>") return;
  EXPECT_TRUE(allowed(message, source)) << "message: " << message << "\nsource: " << source;
}

TEST(ParseRobust, FragmentSoup) {
  std::mt19937 rng(20240611);
  for (int i = 0; i < 3000; ++i) {
    std::string source;
    std::size_t length = rng() % 40;
    for (std::size_t k = 0; k < length; ++k) source += kFragments[rng() % kFragments.size()];
    check(source);
  }
}

TEST(ParseRobust, MutatedProgram) {
  ASSERT_EQ(parse_message(kProgram), "<no stop>");
  std::mt19937 rng(7);
  for (int i = 0; i < 3000; ++i) {
    std::string source = kProgram;
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      std::size_t at = rng() % (source.size() + 1);
      // never inside a character
      while (at < source.size() && (static_cast<unsigned char>(source[at]) & 0xC0) == 0x80) ++at;
      if (rng() % 2) {
        source.insert(at, kFragments[rng() % kFragments.size()]);
      } else {
        // delete a run of ASCII bytes only, so the text stays valid UTF-8
        std::size_t end = at;
        std::size_t want = 1 + rng() % 6;
        while (end < source.size() && end - at < want &&
               static_cast<unsigned char>(source[end]) < 0x80)
          ++end;
        source.erase(at, end - at);
      }
    }
    check(source);
  }
}

}  // namespace
