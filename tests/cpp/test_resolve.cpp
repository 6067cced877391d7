#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "vel/ast_json.hpp"
#include "vel/config.hpp"
#include "vel/parse.hpp"
#include "vel/resolve.hpp"
#include "vel/stop.hpp"

using namespace vel;

namespace {

std::string function_of(const std::string& params, const std::string& body) {
  return "f(" + params + ") -> () {\n" + body + "\n}\n";
}

std::string resolved(const std::string& source) { return module_to_json(resolve(parse(source))); }

// A module that is no longer needed is substituted and resolved in its own place: the same
// module as the copies give, for every fixture and example.
TEST(Resolve, InPlaceGivesWhatCopiesGive) {
  const ConfigMap config = config_from_json(
      R"({"batch": 2, "ctx": 16, "d": 4, "d_group": 4, "d_hidden": 32, "d_model": 8,
          "dim": 8, "layers": 3, "n_groups": 2, "n_layers": 2, "seq": 16, "vocab": 12.5})");
  int seen = 0;
  for (const char* dir : {VEL_TEST_DATA "/corpus", VEL_EXAMPLES}) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.path().extension() != ".vel") continue;
      Module module;
      try {
        module = parse_file(entry.path().string());
      } catch (const Stop&) {
        continue;  // a fixture of parse errors
      }
      const Module copied = resolve(sub_module(module, config));
      Module owned = module;
      EXPECT_EQ(resolve(sub_module(std::move(owned), config)), copied) << entry.path();
      EXPECT_EQ(module_to_json(resolve(Module(module))), module_to_json(resolve(module)))
          << entry.path();
      ++seen;
    }
  }
  EXPECT_GE(seen, 5);
}

std::string stop_message(const std::string& source) {
  try {
    resolve(parse(source));
  } catch (const Stop& s) { return s.message; }
  return "<no stop>";
}

using AxisSizes = std::vector<std::pair<std::string, std::int64_t>>;

// One function resolved: the axes of its last view or tile become `want`, and nothing
// else changes; with `want` empty, nothing changes at all.
struct AxesCase {
  std::string params;
  std::string body;
  AxisSizes want;
};

Axes* last_axes(Function& function) {
  Axes* axes = nullptr;
  for (Op& op : function.ops) {
    if (auto* view = std::get_if<OpKind::View>(&op.kind.value)) axes = &view->axes;
    if (auto* tile = std::get_if<OpKind::Tile>(&op.kind.value)) axes = &tile->axes;
  }
  return axes;
}

class ResolveAxes : public ::testing::TestWithParam<AxesCase> {};

TEST_P(ResolveAxes, FillsTheAxesOfTheRightSide) {
  const AxesCase& c = GetParam();
  Module want = parse(function_of(c.params, c.body));
  if (!c.want.empty()) *last_axes(*want.functions.find("f")) = Axes::from_pairs(c.want);
  EXPECT_EQ(resolved(function_of(c.params, c.body)), module_to_json(want)) << c.body;
}

INSTANTIATE_TEST_SUITE_P(
    WorkedCases, ResolveAxes,
    ::testing::Values(
        AxesCase{"x: f32[2, 8, 64]",
                 R"~(y: f32[2, 8, 4, 16] = view["b s (h d) -> b s h d"](x))~",
                 {{"h", 4}, {"d", 16}}},
        AxesCase{"x: f32[16]", R"~(y: f32[64] = tile["d -> (r d)"](x))~", {{"r", 4}}},
        AxesCase{
            "x: f32[2, 8, 4, 16]", R"~(y: f32[2, 8, 64] = view["b s h d -> b s (h d)"](x))~", {}},
        AxesCase{"x: f32[2, 3, 12]",
                 R"~(y: f32[2, 3, 3, 4] = view["... d -> ... h e"](x))~",
                 {{"h", 3}, {"e", 4}}},
        AxesCase{"x: f32[16]", R"~(y: f32[50] = tile["d -> (r d)"](x))~", {{"r", 3}}},
        AxesCase{"x: f32[16]", R"~(y: f32[64] = tile["d -> (r s d)"](x))~", {}},
        AxesCase{"x: f32[n, 16]", R"~(y: f32[64] = view["a b -> (a b)"](x))~", {{"a", 4}}},
        AxesCase{"x: f32[16]", R"~(y: f32[32] = tile["d -> (2 d)"](x))~", {{"2", 2}}},
        AxesCase{"x: f32[6]", R"~(y: f32[n, 5] = view["a -> b c"](x))~", {{"c", 5}}},
        AxesCase{
            "x: f32[24]", R"~(y: f32[2, 3, 4] = view["x -> a b a"](x))~", {{"a", 4}, {"b", 3}}},
        AxesCase{"x: f32[4, 5]", R"~(y: f32[5] = view["... a b c -> ... c"](x))~", {}},
        AxesCase{"", R"~(y: f32[2, 3] = view["x y -> y x"](nowhere))~", {}},
        AxesCase{"", R"~(y: f32[4, 16] = view["(h d) -> h d"])~", {{"h", 4}, {"d", 16}}}));

INSTANTIATE_TEST_SUITE_P(
    MoreCases, ResolveAxes,
    ::testing::Values(
        // a second arrow stays in the right side, where it begins no token
        AxesCase{"x: f32[6]", R"~(y: f32[2, 3] = view["a -> b -> c"](x))~", {{"b", 2}, {"c", 3}}},
        // sides longer than the rank: the elements past it, or before it, are passed over
        AxesCase{"x: f32[6]", R"~(y: f32[2, 3] = view["a -> b c d"](x))~", {{"b", 2}, {"c", 3}}},
        AxesCase{
            "x: f32[6]", R"~(y: f32[2, 3] = view["a -> ... b c d"](x))~", {{"c", 2}, {"d", 3}}},
        AxesCase{"x: f32[2, 3]", R"~(y: f32[6, 1] = view["a b -> (a b) (c d) e"](x))~", {}},
        // a group at a Named dimension gives nothing, a name beside it still does
        AxesCase{"x: f32[16]", R"~(y: f32[n, 3] = tile["d -> (r d) k"](x))~", {{"k", 3}}},
        // a product of zero or below gives nothing
        AxesCase{"x: f32[2, 0]", R"~(y: f32[8] = tile["a d -> (r d)"](x))~", {}},
        AxesCase{"x: f32[-4]", R"~(y: f32[8] = tile["d -> (r d)"](x))~", {}},
        AxesCase{
            "x: f32[4294967296, 4294967296]", R"~(y: f32[8] = tile["a b -> (a b r)"](x))~", {}},
        AxesCase{
            "x: f32[4611686018427387904, 2]", R"~(y: f32[8] = tile["a b -> (a b r)"](x))~", {}},
        // the product wraps around: 3 * 6148914691236517206 leaves 2
        AxesCase{"x: f32[3, 6148914691236517206]",
                 R"~(y: f32[10] = tile["a b -> (a b r)"](x))~",
                 {{"r", 5}}},
        // two negative sizes make a positive product; the division truncates toward zero
        AxesCase{"x: f32[-2, -3]", R"~(y: f32[-13] = tile["a b -> (a b r)"](x))~", {{"r", -2}}},
        // a repeated unknown counts twice
        AxesCase{"x: f32[n]", R"~(y: f32[12] = tile["a -> (a a)"](x))~", {}},
        // "..." inside a group is an unknown under its own text
        AxesCase{"x: f32[4]", R"~(y: f32[12] = view["a -> (... a)"](x))~", {{"...", 3}}},
        // a name that is bound twice on the left keeps its later size
        AxesCase{"x: f32[2, 5]", R"~(y: f32[20] = tile["a a -> (r a)"](x))~", {{"r", 4}}},
        // names beginning with an ASCII digit bind nothing and, standing alone, receive
        // nothing; digits of other scripts are names like any other
        AxesCase{"x: f32[4, 3]", R"~(y: f32[12] = tile["2 a -> (2 a)"](x))~", {{"2", 4}}},
        AxesCase{"x: f32[6]", "y: f32[2, 3] = view[\"x -> 7 \u0667\"](x)", {{"\u0667", 3}}},
        // an unpaired ")" is a name
        AxesCase{"x: f32[6]", R"~(y: f32[2, 3] = view["x -> ) b"](x))~", {{")", 2}, {"b", 3}}}));

INSTANTIATE_TEST_SUITE_P(
    FirstInput, ResolveAxes,
    ::testing::Values(
        // an operation's own outputs are known before its first input is looked up
        AxesCase{"", R"~(y: f32[64] = tile["d -> (r d)"](y))~", {{"r", 1}}},
        // a later declared type replaces an earlier one of the same name
        AxesCase{
            "x: f32[16]", "x: f32[8] = iota()\ny: f32[64] = tile[\"d -> (r d)\"](x)", {{"r", 8}}},
        // an output without a type leaves the known type as it was
        AxesCase{"x: f32[16]", "x = iota()\ny: f32[64] = tile[\"d -> (r d)\"](x)", {{"r", 4}}},
        // types go to outputs by position, as far as both lists reach
        AxesCase{
            "", "(p, q): (f32[16]) = iota()\ny: f32[64] = tile[\"d -> (r d)\"](p)", {{"r", 4}}},
        AxesCase{"", "(p, q): (f32[16]) = iota()\ny: f32[64] = tile[\"d -> (r d)\"](q)", {}},
        AxesCase{"",
                 "(p): (f32[16], f32[2]) = iota()\ny: f32[64] = tile[\"d -> (r d)\"](p)",
                 {{"r", 4}}},
        // a first input that is a number, a dict parameter, or not the first argument
        AxesCase{"", R"~(y: f32[64] = tile["d -> (r d)"](16))~", {}},
        AxesCase{"w: *", R"~(y: f32[64] = tile["d -> (r d)"](w))~", {}},
        AxesCase{"x: f32[16]", R"~(y: f32[64] = tile["d -> (r d)"](w.x, x))~", {}}));

INSTANTIATE_TEST_SUITE_P(
    LeftAlone, ResolveAxes,
    ::testing::Values(AxesCase{"x: f32[4]", R"~(y: f32[4] = view["a b -> a c"](x, c=7))~", {}},
                      AxesCase{"x: f32[4]", R"~(y: f32[4, 2] = tile["a b c"](x))~", {}},
                      AxesCase{"x: f32[4]", R"~(y = view["a -> b"](x))~", {}},
                      AxesCase{
                          "x: f32[4]", R"~((y, z): (f32[4]) = view["a -> b"](x))~", {{"b", 4}}},
                      AxesCase{"x: f32[4]", R"~(y: f32[4] = fold["a -> b", sum](x))~", {}},
                      AxesCase{"x: f32[4]", R"~(y: f32[n] = view["a -> b"](x))~", {}}));

TEST(Resolve, KeepsEverythingButTheAxes) {
  std::string source =
      "// head\n\n// about g\n"
      "g(x: f32[2, 3], w: *) -> (y: f32[6], z: f32[3]) {\n"
      "  // a comment\n"
      "  y: f32[6] = view[\"a b -> (a b)\"](x)\n"
      "  z: f32[3, 2] = view[\"a b -> b c\"](x, 1.5, w.k)\n"
      "  u: f32[2] = random[0.5, 1.0]\n"
      "  v: f32[2] = loop[h, param.n](u)\n"
      "  c: f32[2] = cache[state.kv, h, h](u)\n"
      "}\n"
      "h(u: f32[2]) -> (u: f32[2]) {\n"
      "  t: f32[3, 2] = tile[\"u -> t u\"](u)\n"
      "}\n";
  Module input = parse(source);
  Module before = input;
  Module out = resolve(input);
  EXPECT_EQ(input, before);

  Module want = before;
  std::get<OpKind::View>(want.functions.find("g")->ops[1].kind.value).axes.store("c", 2);
  std::get<OpKind::Tile>(want.functions.find("h")->ops[0].kind.value).axes.store("t", 3);
  EXPECT_EQ(module_to_json(out), module_to_json(want));
}

TEST(Resolve, AxesKeepTheirOrderAtScale) {
  // 100,000 right-side names against a declared type of that rank
  const int n = 100'000;
  std::string names, dims;
  for (int i = 0; i < n; ++i) {
    names += " a" + std::to_string(i);
    dims += (i ? ", " : "") + std::to_string(i + 1);
  }
  Module out = resolve(
      parse(function_of("x: f32[1]", "y: f32[" + dims + "] = view[\"x ->" + names + "\"](x)")));
  const Axes& axes = std::get<OpKind::View>(out.functions.find("f")->ops[0].kind.value).axes;
  ASSERT_EQ(axes.size(), static_cast<std::size_t>(n));
  for (int i : {0, 1, 54'321, n - 1}) {
    const auto& [name, size] = axes.entries()[static_cast<std::size_t>(i)];
    EXPECT_EQ(name, "a" + std::to_string(i));
    EXPECT_EQ(size, i + 1);
  }
}

TEST(Resolve, StopsOnAnOperationWithoutOutputTypes) {
  const std::string kBounds0 = "index out of bounds: the len is 0 but the index is 0";
  // of any kind, wherever it stands
  EXPECT_EQ(stop_message(function_of("x: f32[4]", "() : () = map[exp](x)")), kBounds0);
  EXPECT_EQ(stop_message(function_of("x: f32[4]", "() : () = view[\"a -> b\"](x)")), kBounds0);
  EXPECT_EQ(stop_message("g() -> () {\n}\n" +
                         function_of("x: f32[4]", "y: f32[4] = iota()\n() : () = iota()")),
            kBounds0);
  Op bare{OpKind{OpKind::Iota{}}, {"y"}, {}, {}, {}};
  Module m;
  m.functions.store("f", Function{"f", {}, {}, {}, {bare}});
  try {
    resolve(m);
    ADD_FAILURE() << "no stop";
  } catch (const Stop& s) { EXPECT_EQ(s.message, kBounds0); }
}

TEST(Resolve, StopsOnAnUnclosedGroupLeftSideFirst) {
  auto with = [](const std::string& pattern) {
    return stop_message(function_of("x: f32[4]", "y: f32[4] = view[\"" + pattern + "\"](x)"));
  };
  EXPECT_EQ(with("(a b -> c"), "index out of bounds: the len is 3 but the index is 3");
  EXPECT_EQ(with("a b -> (c"), "index out of bounds: the len is 2 but the index is 2");
  EXPECT_EQ(with("(a -> (b c d"), "index out of bounds: the len is 2 but the index is 2");
  // the pattern is read even when nothing could be sized
  EXPECT_EQ(with("a -> ( b"), "index out of bounds: the len is 2 but the index is 2");
}

}  // namespace
