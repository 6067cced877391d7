#include <bit>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "builders.hpp"
#include "vel/ast.hpp"
#include "vel/fmt.hpp"
#include "vel/json.hpp"

using namespace vel;
using namespace vel::test;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kWide = 100;

// The short names these tests use for two builders.
TensorType ty(std::string dtype, std::vector<D> shape = {}) {
  return type(std::move(dtype), std::move(shape));
}
Atom name(std::string s) { return name_atom(std::move(s)); }

std::string format_fn(Function f, std::uint64_t width = kWide) {
  return format_vel(module_of({std::move(f)}), width);
}

// ---------------------------------------------------------------------------------------
// format_float

struct FloatCase {
  double value;
  std::string text;
};

class FormatFloat : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FormatFloat, IsShortestPositionalText) {
  EXPECT_EQ(format_float(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FormatFloat,
    ::testing::Values(FloatCase{1.0, "1.0"}, FloatCase{0.1, "0.1"}, FloatCase{-2.0, "-2.0"},
                      FloatCase{0.0, "0.0"}, FloatCase{-0.0, "-0.0"}, FloatCase{2.5, "2.5"},
                      FloatCase{-0.375, "-0.375"}, FloatCase{123456.789, "123456.789"},
                      FloatCase{1e15, "1000000000000000.0"}, FloatCase{1e16, "10000000000000000.0"},
                      FloatCase{1e21, "1" + std::string(21, '0') + ".0"},
                      FloatCase{1e-7, "0.0000001"}, FloatCase{1.5e-7, "0.00000015"},
                      FloatCase{1e300, "1" + std::string(300, '0') + ".0"},
                      FloatCase{DBL_MAX, "17976931348623157" + std::string(292, '0') + ".0"},
                      FloatCase{-DBL_MAX, "-17976931348623157" + std::string(292, '0') + ".0"},
                      FloatCase{5e-324, "0." + std::string(323, '0') + "5"}, FloatCase{kInf, "inf"},
                      FloatCase{-kInf, "-inf"}, FloatCase{std::nan(""), "NaN.0"},
                      FloatCase{-std::nan(""), "NaN.0"}));

TEST(FormatFloat, DblMaxHas309Digits) {
  std::string text = format_float(DBL_MAX);
  EXPECT_EQ(text.size(), 309u + 2u);
  EXPECT_EQ(text.substr(309), ".0");
}

// ---------------------------------------------------------------------------------------
// The small renderers

TEST(Renderers, Literals) {
  EXPECT_EQ(fmt_literal(lit_int(-5)), "-5");
  EXPECT_EQ(fmt_literal(lit_int(std::numeric_limits<std::int64_t>::min())), "-9223372036854775808");
  EXPECT_EQ(fmt_literal(lit_float(3.0)), "3.0");
  EXPECT_EQ(fmt_literal(lit_float(-kInf)), "-inf");
  EXPECT_EQ(fmt_literal(lit_list({})), "[]");
  EXPECT_EQ(fmt_literal(
                lit_list({lit_int(1), lit_list({lit_float(2.5), lit_float(kInf)}), lit_list({})})),
            "[1, [2.5, inf], []]");
  EXPECT_EQ(fmt_literal(lit_list({lit_list({lit_list({lit_int(0)})})})), "[[[0]]]");
}

TEST(Renderers, TypesAndDims) {
  EXPECT_EQ(fmt_type(ty("f32", {concrete(4), named("n")})), "f32[4, n]");
  EXPECT_EQ(fmt_type(ty("i32")), "i32[]");
  EXPECT_EQ(fmt_type(ty("*", {concrete(3)})), "*");
  EXPECT_EQ(fmt_type(ty("**")), "**[]");
  EXPECT_EQ(fmt_type(ty("f32", {concrete(-1), named("..."), named("param.d")})),
            "f32[-1, ..., param.d]");
  EXPECT_EQ(fmt_type(ty("")), "[]");
  EXPECT_EQ(fmt_dim(concrete(std::numeric_limits<std::int64_t>::min())), "-9223372036854775808");
  EXPECT_EQ(fmt_dim(named("a b\"")), "a b\"");
}

TEST(Renderers, AtomsAndParams) {
  EXPECT_EQ(fmt_atom(name("a \"b\"\n")), "a \"b\"\n");
  EXPECT_EQ(fmt_atom(float_atom(3.0)), "3.0");
  EXPECT_EQ(fmt_atom(int_atom(3)), "3");
  EXPECT_EQ(fmt_atom(float_atom(std::nan(""))), "NaN.0");
  EXPECT_EQ(fmt_param(Param{"x", ty("f32", {named("n")})}), "x: f32[n]");
  EXPECT_EQ(fmt_param(Param{"w", ty("*", {concrete(2)})}), "w: *");
}

// ---------------------------------------------------------------------------------------
// Right-hand text of every kind

struct KindCase {
  std::string label;
  OpKind kind;
  std::vector<A> args;
  std::string right_hand;
};

class RightHand : public ::testing::TestWithParam<KindCase> {};

TEST_P(RightHand, FollowsTheKindTemplate) {
  const KindCase& c = GetParam();
  Function f = fn("f", {}, {}, {op(c.kind, {"y"}, {}, c.args)});
  EXPECT_EQ(format_fn(f), "f() -> () {\n  y = " + c.right_hand + "\n}\n");
}

Axes axes(std::vector<Axes::Pair> pairs) { return Axes::from_pairs(std::move(pairs)); }

INSTANTIATE_TEST_SUITE_P(
    Kinds, RightHand,
    ::testing::Values(
        KindCase{"view",
                 OpKind{OpKind::View{"a b -> b a", axes({{"a", 4}, {"b", 8}})}},
                 {name("x")},
                 R"(view["a b -> b a", a=4, b=8](x))"},
        KindCase{"view_empty", OpKind{OpKind::View{"", {}}}, {}, R"(view[""]())"},
        KindCase{"map", OpKind{OpKind::Map{"exp"}}, {name("x")}, "map[exp](x)"},
        KindCase{"map_unnamed", OpKind{OpKind::Map{""}}, {name("x")}, "map[](x)"},
        KindCase{"fold",
                 OpKind{OpKind::Fold{"i j -> i", "sum"}},
                 {name("x")},
                 R"(fold["i j -> i", sum](x))"},
        KindCase{"tile",
                 OpKind{OpKind::Tile{"a -> (a b)", axes({{"b", -2}})}},
                 {name("x"), int_atom(3)},
                 R"~(tile["a -> (a b)", b=-2](x, 3))~"},
        KindCase{"read",
                 OpKind{OpKind::Read{"i -> i"}},
                 {name("x"), name("idx")},
                 R"(read["i -> i"](x, idx))"},
        KindCase{"write",
                 OpKind{OpKind::Write{"i -> i", "max"}},
                 {name("x"), name("i"), name("v")},
                 R"(write["i -> i", max](x, i, v))"},
        KindCase{"contract",
                 OpKind{OpKind::Contract{"ij,jk->ik"}},
                 {name("a"), name("b")},
                 R"(contract["ij,jk->ik"](a, b))"},
        KindCase{"literal",
                 OpKind{OpKind::Literal{lit_list({lit_int(1), lit_float(2.5)})}},
                 {name("ignored")},
                 "literal([1, 2.5])"},
        KindCase{"literal_scalar", OpKind{OpKind::Literal{lit_float(-kInf)}}, {}, "literal(-inf)"},
        KindCase{"iota", iota(), {name("x")}, "iota(x)"},
        KindCase{"iota_no_args", iota(), {}, "iota()"},
        KindCase{"random", OpKind{OpKind::Random{0.0, 1.0}}, {name("x")}, "random[0.0, 1.0]"},
        KindCase{
            "random_odd", OpKind{OpKind::Random{-kInf, std::nan("")}}, {}, "random[-inf, NaN.0]"},
        KindCase{"call",
                 OpKind{OpKind::Call{"g"}},
                 {name("a"), int_atom(-2), float_atom(2.5), name("weights.w")},
                 "call[g](a, -2, 2.5, weights.w)"},
        KindCase{"loop",
                 OpKind{OpKind::Loop{"body", LoopCount{LoopCount::Concrete{12}}}},
                 {name("x")},
                 "loop[body, 12](x)"},
        KindCase{"loop_max",
                 OpKind{OpKind::Loop{"body", LoopCount{LoopCount::Concrete{UINT64_MAX}}}},
                 {},
                 "loop[body, 18446744073709551615]()"},
        KindCase{"loop_named",
                 OpKind{OpKind::Loop{"body", LoopCount{LoopCount::Named{"param.layers"}}}},
                 {name("x")},
                 "loop[body, param.layers](x)"},
        KindCase{"cache",
                 OpKind{OpKind::Cache{"kv", "init_kv", std::nullopt}},
                 {name("x")},
                 "cache[kv, init_kv](x)"},
        KindCase{"cache_extend",
                 OpKind{OpKind::Cache{"kv", "init_kv", "extend_kv"}},
                 {name("x")},
                 "cache[kv, init_kv, extend_kv](x)"}),
    [](const auto& test) { return test.param.label; });

// ---------------------------------------------------------------------------------------
// Layout of a module

TEST(Layout, EmptyModulesAndBareFunctions) {
  EXPECT_EQ(format_vel(Module{}, kWide), "\n");
  EXPECT_EQ(format_vel(module_of({}, {"// h"}), kWide), "// h\n\n");
  EXPECT_EQ(format_fn(fn("f")), "f() -> () {\n}\n");
}

TEST(Layout, HeaderCommentsFunctionsAndTheirOrder) {
  Module m = module_of({fn("g", {}, {}, {}, {"// about g"}), fn("f")}, {"// one", "// two"});
  EXPECT_EQ(format_vel(m, kWide),
            "// one\n// two\n\n"
            "g() -> () {\n  // about g\n}\n"
            "\n"
            "f() -> () {\n}\n");
}

TEST(Layout, HeaderUsesTheFunctionsOwnName) {
  Module m;
  m.functions.store("key", fn("shown"));
  EXPECT_EQ(format_vel(m, kWide), "shown() -> () {\n}\n");
}

// ---------------------------------------------------------------------------------------
// Function headers and the width

Function main_fn(std::string second = "w") {
  return fn("main", {Param{"x", ty("f32", {named("n")})}, Param{std::move(second), dict()}},
            {Param{"y", ty("f32", {named("n")})}});
}

struct HeaderCase {
  std::string label;
  Function f;
  std::uint64_t width;
  std::string header;  // the text up to the closing "}"
};

class Header : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(Header, SplitsOnlyWhenLongerThanWidth) {
  const HeaderCase& c = GetParam();
  EXPECT_EQ(format_fn(c.f, c.width), c.header + "}\n");
}

INSTANTIATE_TEST_SUITE_P(
    Widths, Header,
    ::testing::Values(
        HeaderCase{"fits", main_fn(), 100, "main(x: f32[n], w: *) -> (y: f32[n]) {\n"},
        HeaderCase{"exact", main_fn(), 38, "main(x: f32[n], w: *) -> (y: f32[n]) {\n"},
        HeaderCase{"one_byte_longer", main_fn(), 37,
                   "main(\n  x: f32[n],\n  w: *\n) -> (y: f32[n]) {\n"},
        HeaderCase{"narrow", main_fn(), 10, "main(\n  x: f32[n],\n  w: *\n) -> (y: f32[n]) {\n"},
        HeaderCase{"name_blanks", main_fn("scale"), 10,
                   "main(\n  x    : f32[n],\n  scale: *\n) -> (y: f32[n]) {\n"},
        HeaderCase{"widest", main_fn(), UINT64_MAX, "main(x: f32[n], w: *) -> (y: f32[n]) {\n"},
        HeaderCase{"zero_no_params", fn("f"), 0, "f(\n) -> () {\n"},
        HeaderCase{"zero_returns_not_split",
                   fn("f", {}, {Param{"a", ty("i32")}, Param{"b", dict()}}), 0,
                   "f(\n) -> (a: i32[], b: *) {\n"},
        // lengths are bytes: "é" counts two, so "x" gets one name blank
        HeaderCase{"utf8_name_blanks",
                   fn("g", {Param{"\xc3\xa9", ty("f32")}, Param{"x", ty("f32", {concrete(2)})}}), 5,
                   "g(\n  \xc3\xa9: f32[],\n  x : f32[2]\n) -> () {\n"}),
    [](const auto& test) { return test.param.label; });

TEST(Header, OneLineHeaderIs38Bytes) {
  std::string text = format_fn(main_fn());
  EXPECT_EQ(text.find('\n'), 38u);
}

// ---------------------------------------------------------------------------------------
// Output columns

TEST(Columns, NamesTypesAndEqualsAlign) {
  Function f = fn("f", {}, {},
                  {op(iota(), {"a"}, {ty("f32", {concrete(4)})}, {name("x")}),
                   op(iota(), {"bb"}, {std::nullopt}, {name("x")}),
                   op(iota(), {"c"}, {ty("i32")}, {name("x")})});
  EXPECT_EQ(format_fn(f),
            "f() -> () {\n"
            "  a : f32[4] = iota(x)\n"
            "  bb         = iota(x)\n"
            "  c : i32[]  = iota(x)\n"
            "}\n");
}

TEST(Columns, NoTypeColumnWhenNothingIsTyped) {
  Function f =
      fn("f", {}, {}, {op(iota(), {"a"}, {}, {name("x")}), op(iota(), {"long"}, {}, {name("x")})});
  EXPECT_EQ(format_fn(f), "f() -> () {\n  a    = iota(x)\n  long = iota(x)\n}\n");
}

TEST(Columns, SeveralOutputsOneLineEach) {
  TensorType t = ty("f32", {concrete(4)});
  Function f = fn("f", {}, {},
                  {op(OpKind{OpKind::Call{"split"}}, {"q", "k"}, {t, t}, {name("x")}),
                   op(iota(), {"longer"}, {ty("f32", {concrete(4), concrete(8)})})});
  EXPECT_EQ(format_fn(f),
            "f() -> () {\n"
            "  q     : f32[4],\n"
            "  k     : f32[4]    = call[split](x)\n"
            "  longer: f32[4, 8] = iota()\n"
            "}\n");
}

// The type column is the width of the printed text: a dict type counts as "*" whatever
// shape it holds, a negative size with its sign.
TEST(Columns, TypeColumnMeasuresPrintedText) {
  Function f = fn("f", {}, {},
                  {op(iota(), {"a"}, {ty("f32", {concrete(-12), named("n")})}),
                   op(iota(), {"b"}, {ty("*", {concrete(3)})}), op(iota(), {"c"})});
  EXPECT_EQ(format_fn(f),
            "f() -> () {\n"
            "  a: f32[-12, n] = iota()\n"
            "  b: *" +
                std::string(10, ' ') +
                " = iota()\n"
                "  c" +
                std::string(13, ' ') +
                " = iota()\n"
                "}\n");
}

// An untyped output before the last prints as its name and a comma, which reads back; the
// dict type prints as "*".
TEST(Columns, UntypedOutputBeforeTheLast) {
  Function f =
      fn("f", {}, {},
         {op(OpKind{OpKind::Call{"g"}}, {"a", "bb", "c"}, {std::nullopt, dict()}, {name("x")})});
  EXPECT_EQ(format_fn(f),
            "f() -> () {\n"
            "  a,\n"
            "  bb: *,\n"
            "  c     = call[g](x)\n"
            "}\n");
}

TEST(Columns, OutputTypesShorterOrLongerThanOutputs) {
  TensorType t = ty("f32", {concrete(4)});
  Function shorter = fn("f", {}, {}, {op(OpKind{OpKind::Call{"g"}}, {"a", "b"}, {t})});
  EXPECT_EQ(format_fn(shorter), "f() -> () {\n  a: f32[4],\n  b         = call[g]()\n}\n");
  // the extra type is not printed and does not widen the type column
  Function longer =
      fn("f", {}, {}, {op(iota(), {"a"}, {ty("i8"), ty("f32", {concrete(4), concrete(4)})})});
  EXPECT_EQ(format_fn(longer), "f() -> () {\n  a: i8[] = iota()\n}\n");
}

TEST(Columns, OperationWithoutOutputsPrintsOnlyItsComments) {
  Function f =
      fn("f", {}, {},
         {op(iota(), {}, {ty("f32")}, {}, {"// gone"}), op(iota(), {"a"}, {}, {}, {"// kept"})});
  EXPECT_EQ(format_fn(f), "f() -> () {\n  // gone\n\n  // kept\n  a = iota()\n}\n");
}

TEST(Columns, ByteLengthsOfNonAsciiNames) {
  Function f =
      fn("f", {}, {}, {op(iota(), {"\xc3\xa9"}, {ty("f32")}), op(iota(), {"abc"}, {ty("f32")})});
  EXPECT_EQ(format_fn(f), "f() -> () {\n  \xc3\xa9 : f32[] = iota()\n  abc: f32[] = iota()\n}\n");
}

// ---------------------------------------------------------------------------------------
// Comment lines

TEST(Comments, EmptyLineBeforeCommentsOfLaterOperations) {
  Function f = fn("f", {}, {},
                  {op(iota(), {"a"}, {}, {}, {"// first"}), op(iota(), {"b"}),
                   op(iota(), {"c"}, {}, {}, {"// third", "// more"})},
                  {"// fn"});
  EXPECT_EQ(format_fn(f),
            "f() -> () {\n"
            "  // fn\n"
            "  // first\n"
            "  a = iota()\n"
            "  b = iota()\n"
            "\n"
            "  // third\n"
            "  // more\n"
            "  c = iota()\n"
            "}\n");
}

TEST(Comments, FollowASplitHeader) {
  Function f = fn("f", {Param{"x", ty("f32")}}, {}, {op(iota(), {"a"})}, {"// c"});
  EXPECT_EQ(format_fn(f, 0), "f(\n  x: f32[]\n) -> () {\n  // c\n  a = iota()\n}\n");
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Ties between two shortest digit strings

namespace {

// Each value is written with its exact decimal expansion, which ends in a 5 right after its
// shortest digits, so both neighbours with that many digits are equally near and read back.
struct TieCase {
  double value;
  std::string source;  // the neighbour of larger magnitude
  std::string json;    // the neighbour whose last digit is even
};

const TieCase kTies[] = {
    {-118860293375883.625, "-118860293375883.63", "-118860293375883.62"},
    {185979.734130859375, "185979.73413085938", "185979.73413085938"},
    {-205096.951416015625, "-205096.95141601563", "-205096.95141601562"},
    {853706.22705078125, "853706.2270507813", "853706.2270507812"},
    {-1513083.92041015625, "-1513083.9204101563", "-1513083.9204101562"},
    {22207978.7861328125, "22207978.786132813", "22207978.786132812"},
    {-226026074.197265625, "-226026074.19726563", "-226026074.19726562"},
    {875878471.58203125, "875878471.5820313", "875878471.5820312"},
    {13965784102.9140625, "13965784102.914063", "13965784102.914062"},
    {-645498061581.53125, "-645498061581.5313", "-645498061581.5312"},
    {15360817331965.3125, "15360817331965.313", "15360817331965.312"},
    {102721974217827.125, "102721974217827.13", "102721974217827.12"},
    {-1148774680609520.75, "-1148774680609520.8", "-1148774680609520.8"},
    {1567502133474507.25, "1567502133474507.3", "1567502133474507.2"},
};

double read_back(const std::string& text) {
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

}  // namespace

TEST(FloatTies, SourceTakesTheLargerAndJsonTheEvenNeighbour) {
  for (const TieCase& c : kTies) {
    EXPECT_EQ(format_float(c.value), c.source);
    EXPECT_EQ(json::float_text(c.value), c.json);
    EXPECT_EQ(read_back(c.source), c.value) << c.source;
    EXPECT_EQ(read_back(c.json), c.value) << c.json;
  }
}

TEST(FloatTies, SourceTextsOfRandomDoublesReadBackToTheSameBits) {
  std::mt19937_64 rng(20250611);
  // Between 2^47 and 2^51 many of these are ties.
  std::uniform_real_distribution<double> wide(-1e16, 1e16);
  for (int i = 0; i < 100000; ++i) {
    double d = i % 2 ? wide(rng) : std::bit_cast<double>(rng());
    if (!std::isfinite(d)) continue;
    std::string text = format_float(d);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(read_back(text)), std::bit_cast<std::uint64_t>(d))
        << text;
  }
}
