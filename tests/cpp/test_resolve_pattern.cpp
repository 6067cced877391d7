#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "vel/resolve.hpp"
#include "vel/stop.hpp"

using namespace vel;

namespace {

std::vector<std::string> tokens_of(std::string_view side) {
  std::vector<std::string> out;
  for (std::string_view t : pattern_tokens(side)) out.emplace_back(t);
  return out;
}

std::string stop_message(std::string_view side) {
  try {
    parse_pattern_side(side);
  } catch (const Stop& s) { return s.message; }
  return "<no stop>";
}

PatternElem N(std::string text) { return {PatternElem::Name{std::move(text)}}; }
PatternElem G(std::vector<std::string> members) { return {PatternElem::Group{std::move(members)}}; }

struct TokenCase {
  std::string side;
  std::vector<std::string> tokens;
};

class PatternTokens : public ::testing::TestWithParam<TokenCase> {};

TEST_P(PatternTokens, FindsEveryTokenLeftToRight) {
  EXPECT_EQ(tokens_of(GetParam().side), GetParam().tokens) << "side: " << GetParam().side;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PatternTokens,
    ::testing::Values(
        // points: three make a token, fewer are skipped, a fourth starts over
        TokenCase{"...", {"..."}}, TokenCase{"....", {"..."}}, TokenCase{"......", {"...", "..."}},
        TokenCase{".. a . b", {"a", "b"}}, TokenCase{"a...b", {"a", "...", "b"}},
        TokenCase{"a.b", {"a", "b"}},
        // brackets, signs, commas and blanks separate; parentheses are tokens of their own
        TokenCase{"h*w, c", {"h", "w", "c"}}, TokenCase{"(a)(b)", {"(", "a", ")", "(", "b", ")"}},
        TokenCase{"[x]{y}<z>", {"x", "y", "z"}}, TokenCase{"b -> c", {"b", "c"}},
        TokenCase{"\t\r\n x \u00a0 y", {"x", "y"}}, TokenCase{"", {}}, TokenCase{"   ", {}},
        // identifiers begin with an ASCII letter or "_" and take every word character after
        TokenCase{"_ _a a_1 x2", {"_", "_a", "a_1", "x2"}}, TokenCase{"2x", {"2", "x"}},
        TokenCase{"h\u00e9llo", {"h\u00e9llo"}},
        TokenCase{"x\u03b1\u03b2 \u03b1\u03b2", {"x\u03b1\u03b2"}},  // Greek after a Latin start
        TokenCase{"\u00e9a", {"a"}},                                 // a non-ASCII start is skipped
        TokenCase{"k\u0448\u043a\u0430\u043b\u0430", {"k\u0448\u043a\u0430\u043b\u0430"}},
        TokenCase{"a\u4e2d\u6587 \u4e2d", {"a\u4e2d\u6587"}},
        TokenCase{"x\u2168 x\u24b6", {"x\u2168", "x\u24b6"}},  // Nl and Other_Alphabetic
        // marks, connector punctuation and join controls continue a word but never begin one
        TokenCase{"e\u0301", {"e\u0301"}}, TokenCase{"\u0301a", {"a"}},
        TokenCase{"ka\u094d\u0937", {"ka\u094d\u0937"}}, TokenCase{"a\u20dd b", {"a\u20dd", "b"}},
        TokenCase{"a\u200db a\u200cb", {"a\u200db", "a\u200cb"}},
        TokenCase{"a\u203fb \u203f", {"a\u203fb"}},
        // what is not a word character ends a word
        TokenCase{"a\u00b7b", {"a", "b"}}, TokenCase{"x\u00b2", {"x"}},
        TokenCase{"a\u2013b", {"a", "b"}}, TokenCase{"a\U0001F600b", {"a", "b"}},
        // numbers are runs of decimal digits of any script; other numerals are skipped
        TokenCase{"0 12 007", {"0", "12", "007"}},
        TokenCase{"\u0661\u0662\u0663", {"\u0661\u0662\u0663"}},  // Arabic-Indic
        TokenCase{"1\u0662\u096a", {"1\u0662\u096a"}},            // mixed scripts, one run
        TokenCase{"\u0663x", {"\u0663", "x"}}, TokenCase{"x\u0663", {"x\u0663"}},
        TokenCase{"\uff11\uff12", {"\uff11\uff12"}},                  // fullwidth
        TokenCase{"\U0001D7CE\U0001D7CF", {"\U0001D7CE\U0001D7CF"}},  // mathematical digits
        TokenCase{"\U00011DE0\U00011DE9", {"\U00011DE0\U00011DE9"}},  // Tolong Siki, new in 17
        TokenCase{"\u00b2\u00bd\u2167", {}}));                        // No, No, Nl

struct SideCase {
  std::string side;
  bool has_ellipsis;
  std::vector<PatternElem> elems;
};

class PatternSides : public ::testing::TestWithParam<SideCase> {};

TEST_P(PatternSides, ReadsElements) {
  PatternSide got = parse_pattern_side(GetParam().side);
  EXPECT_EQ(got.has_ellipsis, GetParam().has_ellipsis) << "side: " << GetParam().side;
  EXPECT_EQ(got.elems, GetParam().elems) << "side: " << GetParam().side;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PatternSides,
    ::testing::Values(SideCase{"b s (h d)", false, {N("b"), N("s"), G({"h", "d"})}},
                      SideCase{"... d", true, {N("d")}},
                      SideCase{"(... x)", false, {G({"...", "x"})}},
                      SideCase{"a ... b ...", true, {N("a"), N("b")}},
                      SideCase{"a ) b", false, {N("a"), N(")"), N("b")}},
                      SideCase{"( ( a )", false, {G({"(", "a"})}}, SideCase{"()", false, {G({})}},
                      SideCase{"h*w, c", false, {N("h"), N("w"), N("c")}},
                      SideCase{"2x", false, {N("2"), N("x")}}, SideCase{"x2", false, {N("x2")}},
                      SideCase{".. a . b", false, {N("a"), N("b")}}, SideCase{"", false, {}},
                      SideCase{"   ", false, {}},
                      SideCase{"(a)(b c) ) ()", false, {G({"a"}), G({"b", "c"}), N(")"), G({})}}));

TEST(PatternSides, UnclosedGroupStopsWithTheTokenCount) {
  EXPECT_EQ(stop_message("(a b"), "index out of bounds: the len is 3 but the index is 3");
  EXPECT_EQ(stop_message("x ("), "index out of bounds: the len is 2 but the index is 2");
  EXPECT_EQ(stop_message("(a) (b"), "index out of bounds: the len is 5 but the index is 5");
}

// ---------------------------------------------------------------------------------------
// Big sides: every token is found once, and nothing goes back over what was read.

std::string repeat(std::string_view piece, std::size_t n) {
  std::string out;
  out.reserve(piece.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += piece;
  return out;
}

TEST(PatternSidesAtScale, HundredThousandTokens) {
  std::string side;
  for (int i = 0; i < 20'000; ++i) side += "a" + std::to_string(i) + " (h d) ";
  EXPECT_EQ(pattern_tokens(side).size(), 100'000u);
  PatternSide got = parse_pattern_side(side);
  ASSERT_EQ(got.elems.size(), 40'000u);
  EXPECT_EQ(got.elems[0], N("a0"));
  EXPECT_EQ(got.elems[39'998], N("a19999"));
  EXPECT_EQ(got.elems[39'999], G({"h", "d"}));
}

TEST(PatternSidesAtScale, ManyUnpairedParentheses) {
  const std::size_t n = 200'000;
  PatternSide closes = parse_pattern_side(repeat(")", n));
  EXPECT_EQ(closes.elems, std::vector<PatternElem>(n, N(")")));

  EXPECT_EQ(stop_message(repeat("(", n)),
            "index out of bounds: the len is 200000 but the index is 200000");
  EXPECT_EQ(stop_message(repeat(") (", n)),
            "index out of bounds: the len is 400000 but the index is 400000");

  PatternSide opens = parse_pattern_side(repeat("(", n) + ")");
  ASSERT_EQ(opens.elems.size(), 1u);
  EXPECT_EQ(opens.elems[0], G(std::vector<std::string>(n - 1, "(")));
}

TEST(PatternSidesAtScale, LongRuns) {
  const std::size_t n = 100'000;
  std::string word = "a" + repeat("\u00e9\u0301", n);
  EXPECT_EQ(tokens_of(word), std::vector<std::string>{word});
  std::string digits = repeat("\u0661", n);
  EXPECT_EQ(tokens_of(digits + " " + digits), (std::vector<std::string>{digits, digits}));
  EXPECT_EQ(tokens_of(repeat("\u00e9 .. ", n)), std::vector<std::string>{});
}

}  // namespace
