#include <limits>

#include <gtest/gtest.h>

#include "test_parse_support.hpp"

using namespace vel;
using namespace vel::testing_parse;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

// The longer names these tests use for two builders.
Op make_op(OpKind kind, Outputs outputs, Types types, std::vector<A> args = {},
           std::vector<Text> comments = {}) {
  return op(std::move(kind), std::move(outputs), std::move(types), std::move(args),
            std::move(comments));
}

// One untyped output y.
Op y_op(OpKind kind, std::vector<A> args = {}) {
  return make_op(std::move(kind), {"y"}, {std::nullopt}, std::move(args));
}

Function function(std::string name, std::vector<Param> params = {}, std::vector<Param> returns = {},
                  std::vector<Op> ops = {}, std::vector<Text> comments = {}) {
  return fn(std::move(name), std::move(params), std::move(returns), std::move(ops),
            std::move(comments));
}

struct OpCase {
  std::string line;
  Op op;
};

class ParseOp : public ::testing::TestWithParam<OpCase> {};

TEST_P(ParseOp, ReadsLine) { EXPECT_EQ(op_of(GetParam().line), GetParam().op) << GetParam().line; }

INSTANTIATE_TEST_SUITE_P(
    Outputs, ParseOp,
    ::testing::Values(
        OpCase{"y: f32[4], z = call[f](a, 2, 2.5)",
               make_op(OpKind{OpKind::Call{"f"}}, {"y", "z"},
                       {type("f32", {concrete(4)}), std::nullopt},
                       {name_atom("a"), int_atom(2), float_atom(2.5)})},
        OpCase{"a, b: * = iota",
               make_op(OpKind{OpKind::Iota{}}, {"a", "b"}, {std::nullopt, type("*")})},
        // a non-last output without a type, as the formatter writes it
        OpCase{"a,\n b: f32[4] = iota()", make_op(OpKind{OpKind::Iota{}}, {"a", "b"},
                                                  {std::nullopt, type("f32", {concrete(4)})})},
        OpCase{"(q, k): (f32[4]) = iota",
               make_op(OpKind{OpKind::Iota{}}, {"q", "k"}, {type("f32", {concrete(4)})})},
        OpCase{"(q): (f32[], i32[n]) = iota",
               make_op(OpKind{OpKind::Iota{}}, {"q"}, {type("f32"), type("i32", {named("n")})})},
        OpCase{"(,q): (,f32[]) = iota", make_op(OpKind{OpKind::Iota{}}, {"q"}, {type("f32")})},
        OpCase{"(): () = iota(x)", make_op(OpKind{OpKind::Iota{}}, {}, {}, {name_atom("x")})},
        OpCase{"\"q\" = iota", make_op(OpKind{OpKind::Iota{}}, {"\"q\""}, {std::nullopt})}));

INSTANTIATE_TEST_SUITE_P(
    Kinds, ParseOp,
    ::testing::Values(
        OpCase{"y = map[exp](x)", y_op(OpKind{OpKind::Map{"exp"}}, {name_atom("x")})},
        OpCase{"y = map(x)", y_op(OpKind{OpKind::Map{""}}, {name_atom("x")})},
        OpCase{"y = iota", y_op(OpKind{OpKind::Iota{}})},
        OpCase{"y = literal(3)", y_op(OpKind{OpKind::Literal{lit_int(3)}})},
        OpCase{"y = literal([1, 2.5])",
               y_op(OpKind{OpKind::Literal{lit_list({lit_int(1), lit_float(2.5)})}})},
        OpCase{"y = literal(-inf)", y_op(OpKind{OpKind::Literal{lit_float(-kInf)}})},
        OpCase{"y = fold[\"i j -> i\", sum](x)",
               y_op(OpKind{OpKind::Fold{"i j -> i", "sum"}}, {name_atom("x")})},
        // unquoted, only "->" is a pattern
        OpCase{"y = fold[i -> j, sum](x)", y_op(OpKind{OpKind::Fold{"->", "i"}}, {name_atom("x")})},
        OpCase{"y = write[\"i->j\", add](a, b)",
               y_op(OpKind{OpKind::Write{"i->j", "add"}}, {name_atom("a"), name_atom("b")})},
        OpCase{"y = read[\"ij\"](t, i)",
               y_op(OpKind{OpKind::Read{""}}, {name_atom("t"), name_atom("i")})},
        OpCase{"y = read[\"a b\", \"c d\"](t)",
               y_op(OpKind{OpKind::Read{"c d"}}, {name_atom("t")})},
        OpCase{"y = contract[\"ij,jk->ik\"](a, b)",
               y_op(OpKind{OpKind::Contract{"ij,jk->ik"}}, {name_atom("a"), name_atom("b")})},
        OpCase{"y = random[0.0, 1.0, 2.0, 3]", y_op(OpKind{OpKind::Random{0.0, 1.0}})},
        OpCase{"y = random[-1e999, 1.5](x)",
               y_op(OpKind{OpKind::Random{-kInf, 1.5}}, {name_atom("x")})},
        OpCase{"y = call(x)", y_op(OpKind{OpKind::Call{""}}, {name_atom("x")})},
        OpCase{"y = loop[body, 4](x)",
               y_op(OpKind{OpKind::Loop{"body", count(4)}}, {name_atom("x")})},
        OpCase{"y = loop[body, n]", y_op(OpKind{OpKind::Loop{"body", count("n")}})},
        OpCase{"y = loop[body, n, 3]", y_op(OpKind{OpKind::Loop{"body", count("n")}})},
        OpCase{"y = loop[body, 3, n]", y_op(OpKind{OpKind::Loop{"body", count("n")}})},
        OpCase{"y = loop[body, param.layers]",
               y_op(OpKind{OpKind::Loop{"body", count("param.layers")}})},
        OpCase{"y = loop[4]", y_op(OpKind{OpKind::Loop{"", count(4)}})},
        OpCase{"y = loop[b, 0, -1]", y_op(OpKind{OpKind::Loop{"b", count(0)}})},
        OpCase{"y = cache[k, init]", y_op(OpKind{OpKind::Cache{"k", "init", std::nullopt}})},
        OpCase{"y = cache[k, init, ext, more]", y_op(OpKind{OpKind::Cache{"k", "init", "ext"}})}));

INSTANTIATE_TEST_SUITE_P(
    Axes, ParseOp,
    ::testing::Values(
        OpCase{
            "y = view[\"a b -> b a\"](x, a=2, b=3.9)",
            y_op(OpKind{OpKind::View{"a b -> b a", axes({{"a", 2}, {"b", 3}})}}, {name_atom("x")})},
        OpCase{"y = tile[\"a -> a b\"](x, a=-2.7, b=inf, c=n, d=-1e999)",
               y_op(OpKind{OpKind::Tile{"a -> a b",
                                        axes({{"a", -2},
                                              {"b", kMax},
                                              {"d", std::numeric_limits<std::int64_t>::min()}})}},
                    {name_atom("x")})},
        OpCase{"y = view[\"\"](x, a=1, a=2)",
               y_op(OpKind{OpKind::View{"", axes({{"a", 2}})}}, {name_atom("x")})},
        // the formatter's form: sizes in the bracket list; paren sizes are stored over them
        OpCase{
            "y = view[\"a b -> b a\", a=4, b=8](x)",
            y_op(OpKind{OpKind::View{"a b -> b a", axes({{"a", 4}, {"b", 8}})}}, {name_atom("x")})},
        OpCase{
            "y = tile[\"p\", b=1, a=2.5, c=z](x, a=7, c=3, b=q)",
            y_op(OpKind{OpKind::Tile{"", axes({{"b", 1}, {"a", 7}, {"c", 3}})}}, {name_atom("x")})},
        // other kinds read keyword items and drop them
        OpCase{"y = map[f, k=1](x, a=2)", y_op(OpKind{OpKind::Map{"f"}}, {name_atom("x")})}));

TEST(ParseOp, CommentsOfALineAreThosePendingWhenItBegins) {
  std::vector<Op> ops = ops_of("a = iota // one\n// two\nb = literal([1 // three\n]) c = iota");
  ASSERT_EQ(ops.size(), 3u);
  EXPECT_TRUE(ops[0].comments.empty());
  EXPECT_EQ(ops[1].comments, (std::vector<Text>{"// one", "// two"}));
  EXPECT_EQ(ops[2].comments, (std::vector<Text>{"// three"}));
}

TEST(ParseOp, TwoLinesOnOneTextLine) {
  std::vector<Op> ops = ops_of("a = map[f](x) b = map[g](a)");
  ASSERT_EQ(ops.size(), 2u);
  EXPECT_EQ(ops[0], make_op(OpKind{OpKind::Map{"f"}}, {"a"}, {std::nullopt}, {name_atom("x")}));
  EXPECT_EQ(ops[1], make_op(OpKind{OpKind::Map{"g"}}, {"b"}, {std::nullopt}, {name_atom("a")}));
}

struct FailCase {
  std::string source;
  std::string message;
};

class ParseFailure : public ::testing::TestWithParam<FailCase> {};

TEST_P(ParseFailure, StopsWithMessage) {
  EXPECT_EQ(parse_message(GetParam().source), GetParam().message) << GetParam().source;
}

std::string body(const std::string& line) { return "f() -> () {\n" + line + "\n}"; }

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseFailure,
    ::testing::Values(
        FailCase{body("y = literal[x](1)"), R"~(Expected "(", got "[")~"},
        FailCase{body("y = literal(1 2)"), R"~(Expected ")", got "2")~"},
        FailCase{body("(a, b) = iota"), R"~(Expected ":", got "=")~"},
        FailCase{body("(a): (*) = iota"), R"~(Expected "[", got ")")~"},
        FailCase{body("(a): f32[] = iota"), R"~(Expected "(", got "f32")~"},
        FailCase{body("= iota"), R"~(Expected "=", got "iota")~"},
        FailCase{body("a, = iota"), R"~(Expected "=", got "iota")~"},
        FailCase{body("y: f32 = iota"), R"~(Expected "[", got "=")~"},
        FailCase{body("y = fold[\"i j -> i\"](x)"),
                 "fold requires a reduction: fold[pattern, reduction]"},
        FailCase{body("y = fold[\"i j -> i\", \"\"](x)"),
                 "fold requires a reduction: fold[pattern, reduction]"},
        FailCase{body("y = write[\"i -> i\", 1](x)"),
                 "write requires a reduction: write[pattern, reduction]"},
        FailCase{body("y = random[0, 1]"), "random requires two bounds: random[lo, hi]"},
        FailCase{body("y = random[0.5]"), "random requires two bounds: random[lo, hi]"},
        FailCase{body("y = loop[body](x)"), "loop requires explicit count: loop[fn, count]"},
        FailCase{body("y = loop[body, 2.5](x)"), "loop requires explicit count: loop[fn, count]"},
        // a negative count is refused rather than wrapped to a huge one
        FailCase{body("y = loop[body, -1](x)"), "loop requires explicit count: loop[fn, count]"},
        FailCase{body("y = cache[](x)"),
                 "cache requires var name: cache[var, init] or cache[var, init, extend]"},
        FailCase{body("y = cache[k](x)"),
                 "cache requires init function: cache[var, init] or cache[var, init, extend]"},
        FailCase{body("y = Map[f](x)"), R"~(Unknown op: "Map")~"},
        FailCase{body("y = \"map\"(x)"), R"~(Unknown op: "\"map\"")~"},
        // list errors come before the kind's own
        FailCase{body("y = bogus[1e](x)"), kFloatFault},
        FailCase{body("y = fold[\"p\"](1.e)"), kFloatFault},
        FailCase{body("y: f32[1.5] = iota"), int_fault("InvalidDigit")},
        FailCase{body("y = literal(- 3)"), "Expected 'inf' after '-', got \"3\""},
        FailCase{body("y = literal(x)"), "Expected literal value, got name \"x\""},
        FailCase{body("y = literal([1,])"), "Expected literal value, got name \"]\""},
        FailCase{"f() -> () { y = map(x, \"", "byte range starts at 1 but ends at 0"},
        FailCase{"f() -> () { y = view(a=\"", "byte range starts at 1 but ends at 0"},
        FailCase{"f() -> () { y = literal([1",
                 "index out of bounds: the len is 13 but the index is 13"},
        FailCase{"f() -> () { y = map[f](x",
                 "index out of bounds: the len is 15 but the index is 15"},
        FailCase{"f() -> () { y = map[f](x) // c",
                 "index out of bounds: the len is 17 but the index is 17"}));

INSTANTIATE_TEST_SUITE_P(
    Headers, ParseFailure,
    ::testing::Values(
        FailCase{"f(x: f32[4]) (y: f32[4]) {}", R"~(Expected "->", got "(")~"},
        FailCase{"f(x: f32) -> () {}", R"~(Expected "[", got ")")~"},
        FailCase{"f(x: f32[4],) -> () {}", R"~(Expected ":", got "->")~"},
        FailCase{"f(x f32[4]) -> () {}", R"~(Expected ":", got "f32")~"},
        FailCase{"f() -> y {}", R"~(Expected "(", got "y")~"},
        FailCase{"f() -> () y", R"~(Expected "{", got "y")~"},
        FailCase{"f[] -> () {}", R"~(Expected "(", got "[")~"},
        FailCase{"f() -> () {", "index out of bounds: the len is 7 but the index is 7"},
        FailCase{"f() -> () { // c\n", "index out of bounds: the len is 8 but the index is 8"},
        FailCase{"f(x:", "index out of bounds: the len is 4 but the index is 4"},
        FailCase{"f() -> () {} g", "index out of bounds: the len is 9 but the index is 9"}));

TEST(Parse, EmptyAndCommentOnlySources) {
  for (std::string source : {"", " \n\t\r\n"}) EXPECT_EQ(parse(source), Module{}) << source;
  Module m = parse("// a\r\n\n  // b");
  EXPECT_EQ(m.header_comments, (std::vector<Text>{"// a\r", "// b"}));
  EXPECT_TRUE(m.functions.empty());
}

TEST(Parse, HeaderItems) {
  Module m = parse(
      "main(w: *, x: f32[n, 4] y: \"q\"[]) -> (r: *) {}\n"
      "1() -> () {}\n"
      "->(,a: i8[],) : f32[]) -> () {}\n"
      "\"s\"() -> (o: f32[2]) {}");
  std::vector<Function> want = {
      function(
          "main",
          {{"w", type("*")}, {"x", type("f32", {named("n"), concrete(4)})}, {"y", type("\"q\"")}},
          {{"r", type("*")}}),
      function("1"),
      function("->", {{"a", type("i8")}, {")", type("f32")}}),
      function("\"s\"", {}, {{"o", type("f32", {concrete(2)})}}),
  };
  ASSERT_EQ(m.functions.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(m.functions.entries()[i].key(), want[i].name);
    EXPECT_EQ(m.functions.entries()[i].value(), want[i]);
  }
}

TEST(Parse, RepeatedNameKeepsFirstPlaceAndLastDefinition) {
  Module m = parse("f() -> () {}\ng() -> () {}\nf(x: i8[]) -> () {}");
  ASSERT_EQ(m.functions.size(), 2u);
  EXPECT_EQ(m.functions.entries()[0].key(), "f");
  EXPECT_EQ(m.functions.entries()[1].key(), "g");
  EXPECT_EQ(m.functions.at("f"), function("f", {{"x", type("i8")}}));
}

TEST(Parse, CommentLinesBetweenDefinitions) {
  Module m = parse("// h\nf() -> () {}\n// t\ng() -> () {}\n// z\n");
  EXPECT_EQ(m.header_comments, std::vector<Text>{"// h"});
  EXPECT_TRUE(m.functions.at("f").comments.empty());
  EXPECT_EQ(m.functions.at("g").comments, std::vector<Text>{"// t"});
}

TEST(Parse, CommentLinesOfDefinitionsAndLines) {
  const std::string f =
      "// A\n"
      "f(x: f32[4], // B\n"
      "  y: f32[4]) -> () { // C\n"
      "  z = iota // D\n"
      "  // E\n"
      "  w = iota\n"
      "  // F\n"
      "}\n";
  Module with_g = parse(f + "g() -> () {}\n");
  EXPECT_EQ(with_g.header_comments, std::vector<Text>{"// A"});
  const Function& fn = with_g.functions.at("f");
  EXPECT_EQ(fn.comments, (std::vector<Text>{"// B", "// C"}));
  ASSERT_EQ(fn.ops.size(), 2u);
  EXPECT_TRUE(fn.ops[0].comments.empty());
  EXPECT_EQ(fn.ops[1].comments, (std::vector<Text>{"// D", "// E"}));
  EXPECT_EQ(with_g.functions.at("g").comments, std::vector<Text>{"// F"});

  Module alone = parse(f);
  EXPECT_EQ(alone.functions.at("f"), fn);
  EXPECT_EQ(alone.functions.size(), 1u);

  // pending lines before a name come first, then the function's own
  Module both = parse("f() -> () { a = iota }\n// P\ng( // Q\n) -> () { // R\n}");
  EXPECT_EQ(both.functions.at("g").comments, (std::vector<Text>{"// P", "// Q", "// R"}));
}

TEST(Parse, CommentInsideHeaderReadsLikeTheHeaderWithout) {
  Module plain = parse("f(x: f32[4]) -> () {}");
  Module commented = parse("f(x: f32[4] // note\n) -> () {}");
  EXPECT_EQ(commented.functions.at("f").params, plain.functions.at("f").params);
  EXPECT_EQ(commented.functions.at("f").comments, std::vector<Text>{"// note"});
}

TEST(Parse, CanonicalTextOfAWholeModule) {
  Module m = parse(
      "// model\n"
      "\n"
      "block(x: f32[n, d], w: *) -> (y: f32[n, d]) {\n"
      "  // the body\n"
      "  h: f32[n, d] = contract[\"nd,de->ne\"](x, w.proj)\n"
      "\n"
      "  // scaled\n"
      "  y: f32[n, d] = map[mul](h, 0.5)\n"
      "}\n"
      "\n"
      "main(x: f32[n, d]) -> (y: f32[n, d]) {\n"
      "  y: f32[n, d] = loop[block, param.layers](x, weights.layers.*)\n"
      "}\n");
  TensorType nd = type("f32", {named("n"), named("d")});
  Module want;
  want.header_comments = {"// model"};
  want.functions.store("block",
                       function("block", {{"x", nd}, {"w", type("*")}}, {{"y", nd}},
                                {make_op(OpKind{OpKind::Contract{"nd,de->ne"}}, {"h"}, {nd},
                                         {name_atom("x"), name_atom("w.proj")}),
                                 make_op(OpKind{OpKind::Map{"mul"}}, {"y"}, {nd},
                                         {name_atom("h"), float_atom(0.5)}, {"// scaled"})},
                                {"// the body"}));
  want.functions.store(
      "main", function("main", {{"x", nd}}, {{"y", nd}},
                       {make_op(OpKind{OpKind::Loop{"block", count("param.layers")}}, {"y"}, {nd},
                                {name_atom("x"), name_atom("weights.layers.*")})}));
  EXPECT_EQ(m, want);
}

}  // namespace
