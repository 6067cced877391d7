#include <gtest/gtest.h>

#include "test_parse_support.hpp"

using namespace vel;
using namespace vel::testing_parse;

namespace {

struct TokenCase {
  std::string source;
  std::vector<std::string> tokens;
};

class Tokenize : public ::testing::TestWithParam<TokenCase> {};

TEST_P(Tokenize, SplitsSource) {
  EXPECT_EQ(token_texts(GetParam().source), GetParam().tokens) << "source: " << GetParam().source;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Tokenize,
    ::testing::Values(
        // comments: the carriage return stays, the line feed does not
        TokenCase{"// c\r\nx", {"// c\r", "x"}},
        TokenCase{"x // rest of line", {"x", "// rest of line"}}, TokenCase{"//", {"//"}},
        TokenCase{"/ //", {"/", "//"}},
        TokenCase{"a// \xc3\xa9 \"q\n/b", {"a", "// \xc3\xa9 \"q", "/", "b"}},
        // quoted tokens keep quotes and escapes; unterminated ones run to the end
        TokenCase{"\"a\\\"b\" c", {"\"a\\\"b\"", "c"}}, TokenCase{"x \"abc", {"x", "\"abc"}},
        TokenCase{"x \"abc\\", {"x", "\"abc\\"}}, TokenCase{"\"\"", {"\"\""}},
        TokenCase{"\"", {"\""}}, TokenCase{"\"a\nb // c\"d", {"\"a\nb // c\"", "d"}},
        TokenCase{"\"\\\xc3\xa9\"", {"\"\\\xc3\xa9\""}},
        // points: ellipsis, skipped points, points inside words
        TokenCase{"... .. .", {"..."}}, TokenCase{"a...b", {"a...b"}}, TokenCase{".5", {"5"}},
        TokenCase{"....", {"..."}},
        // numbers
        TokenCase{"1e5 1. -7 1e 2.5e-3", {"1e5", "1.", "-7", "1e", "2.5e-3"}},
        TokenCase{"1e+5 1E+ 1.e5", {"1e+5", "1E+", "1.e5"}}, TokenCase{"1.5.3", {"1.5", "3"}},
        TokenCase{"1x", {"1", "x"}}, TokenCase{"- 7", {"-", "7"}}, TokenCase{"-x", {"-", "x"}},
        TokenCase{"-inf", {"-", "inf"}}, TokenCase{"n-1", {"n", "-1"}},
        TokenCase{"1-2", {"1", "-2"}}, TokenCase{"007", {"007"}},
        // words
        TokenCase{"a.*b", {"a.*", "b"}}, TokenCase{"a*", {"a", "*"}},
        TokenCase{"weights.layers.* _x.y", {"weights.layers.*", "_x.y"}},
        TokenCase{"a.**", {"a.*", "*"}}, TokenCase{"x1_y.z2", {"x1_y.z2"}},
        // arrows, punctuation and separators
        TokenCase{"a->b", {"a", "->", "b"}}, TokenCase{"f(x)", {"f", "(", "x", ")"}},
        TokenCase{"()*+,-/:=[]{}",
                  {"(", ")", "*", "+", ",", "-", "/", ":", "=", "[", "]", "{", "}"}},
        TokenCase{"-", {"-"}}, TokenCase{"->>", {"->"}},
        // skipped bytes separate tokens
        TokenCase{"a;b", {"a", "b"}}, TokenCase{"a<b>c", {"a", "b", "c"}},
        TokenCase{"a\xc3\xa9"
                  "b",
                  {"a", "b"}},
        TokenCase{"\x01"
                  "a\x7f"
                  "b\v"
                  "c",
                  {"a", "b", "c"}},
        TokenCase{"!#$%&';<>?\\^|~@`", {}}, TokenCase{" \t\r\n\f", {}}, TokenCase{"", {}}));

TEST(Tokenize, EveryTokenIsARunOfTheSource) {
  std::string source = "f(x: f32[n]) -> () { y = map[exp](x) } // end";
  for (parser::Token t : parser::tokenize(source)) {
    EXPECT_GT(t.length, 0u);
    EXPECT_LE(std::size_t{t.offset} + t.length, source.size());
  }
}

TEST(Stream, PeekSkipsCommentsAndKeepsThemPending) {
  const std::string s_src = "// a\n// b\nx y";
  parser::Parser p = parser_of(s_src);
  parser::Stream& s = p.cursor;
  EXPECT_EQ(peek_text(s), "x");
  EXPECT_EQ(s.pos, 2u);
  EXPECT_EQ(peek_text(s), "x");
  EXPECT_EQ(s.next(), "x");
  EXPECT_EQ(s.take_comments(), (std::vector<Text>{"// a", "// b"}));
  EXPECT_TRUE(s.pending_comments.empty());
  EXPECT_EQ(peek_text(s), "y");
  s.next();
  EXPECT_EQ(s.peek(), parser::TokenKind::End);
  EXPECT_EQ(peek_text(s), "<end>");
}

TEST(Stream, ExpectConsumesAndShowsBothTexts) {
  const std::string s_src = "x ( \"q\\\"";
  parser::Parser p = parser_of(s_src);
  parser::Stream& s = p.cursor;
  EXPECT_EQ(stop_message([&] { s.expect(parser::TokenKind::LParen); }),
            R"~(Expected "(", got "x")~");
  EXPECT_EQ(s.pos, 1u);
  s.expect(parser::TokenKind::LParen);
  EXPECT_EQ(stop_message([&] { s.expect(parser::TokenKind::Arrow); }),
            R"~(Expected "->", got "\"q\\\"")~");
}

TEST(Stream, EndOfTokensGivesTheBoundsMessageWithTheTokenCount) {
  // seven tokens, two of them comments
  const std::string s_src = "a // one\n b c // two\n d e";
  parser::Parser p = parser_of(s_src);
  parser::Stream& s = p.cursor;
  ASSERT_EQ(parser::tokenize(s_src).size(), 7u);
  for (int i = 0; i < 5; ++i) s.next();
  EXPECT_EQ(stop_message([&] { s.next(); }),
            "index out of bounds: the len is 7 but the index is 7");
  EXPECT_EQ(stop_message([&] { s.expect(parser::TokenKind::RBrace); }),
            "index out of bounds: the len is 7 but the index is 7");
  EXPECT_EQ(s.pending_comments.size(), 2u);
}

}  // namespace

namespace {

TEST(Tokenize, EachTokenHasItsKind) {
  using K = parser::TokenKind;
  const std::string source = "// c\n\"q\" w_1.x -7 2.5e3 -> ... ( ) * + , - / : = [ ] { }";
  std::vector<K> kinds;
  for (parser::Token t : parser::tokenize(source)) {
    kinds.push_back(t.kind);
    std::string_view fixed = parser::fixed_text(t.kind);
    if (!fixed.empty()) { EXPECT_EQ(source.substr(t.offset, t.length), fixed); }
  }
  EXPECT_EQ(kinds, (std::vector<K>{K::Comment, K::Quoted,   K::Word,     K::Number, K::Number,
                                   K::Arrow,   K::Ellipsis, K::LParen,   K::RParen, K::Star,
                                   K::Plus,    K::Comma,    K::Minus,    K::Slash,  K::Colon,
                                   K::Equals,  K::LBracket, K::RBracket, K::LBrace, K::RBrace}));
}

}  // namespace
