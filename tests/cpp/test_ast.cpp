#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include <gtest/gtest.h>

#include "builders.hpp"
#include "vel/ast.hpp"

using namespace vel;
using namespace vel::test;

namespace {

struct TextCase {
  std::string text;
  std::string shown;
};

class DebugStr : public ::testing::TestWithParam<TextCase> {};

TEST_P(DebugStr, ShowsEscapedText) { EXPECT_EQ(debug_str(GetParam().text), GetParam().shown); }

INSTANTIATE_TEST_SUITE_P(
    Texts, DebugStr,
    ::testing::Values(
        TextCase{"a\"b\\", R"("a\"b\\")"}, TextCase{"x\ty", R"("x\ty")"},
        TextCase{"\r\n", R"("\r\n")"}, TextCase{std::string("a\0b", 3), R"("a\0b")"},
        TextCase{"\x7f", R"("\u{7f}")"}, TextCase{"\xc2\xa0", R"("\u{a0}")"},
        TextCase{"e\xcc\x81", R"("e\u{301}")"}, TextCase{"\xc3\xa9", "\"\xc3\xa9\""},
        TextCase{"\xe2\x80\x8b", R"("\u{200b}")"}, TextCase{"\xe2\x80\xa8", R"("\u{2028}")"},
        TextCase{"\xee\x80\x80", R"("\u{e000}")"}, TextCase{"\xf4\x8f\xbf\xbf", R"("\u{10ffff}")"},
        // U+0378 is unassigned
        TextCase{"\xcd\xb8", R"("\u{378}")"},
        // U+1E5D0, a letter of Ol Onal (Unicode 16), and U+16EA0, Beria Erfe (Unicode 17)
        TextCase{"\xf0\x9e\x97\x90", "\"\xf0\x9e\x97\x90\""},
        TextCase{"\xf0\x96\xba\xa0", "\"\xf0\x96\xba\xa0\""}, TextCase{"\x01", R"("\u{1}")"},
        TextCase{" '", R"(" '")"}, TextCase{"", R"("")"},
        // U+3000 ideographic space is a space separator; U+00AD soft hyphen a format char
        TextCase{"\xe3\x80\x80\xc2\xad", R"("\u{3000}\u{ad}")"}));

TEST(DebugForms, Dims) {
  EXPECT_EQ(debug_dim(concrete(4)), "Concrete(4)");
  EXPECT_EQ(debug_dim(concrete(0)), "Concrete(0)");
  EXPECT_EQ(debug_dim(concrete(-3)), "Concrete(-3)");
  EXPECT_EQ(debug_dim(concrete(std::numeric_limits<std::int64_t>::min())),
            "Concrete(-9223372036854775808)");
  EXPECT_EQ(debug_dim(named("n")), R"(Named("n"))");
  EXPECT_EQ(debug_dim(named("")), R"(Named(""))");
  EXPECT_EQ(debug_dim(named("\"\\'")), R"(Named("\"\\'"))");
  EXPECT_EQ(debug_dim(named("a\nb")), R"(Named("a\nb"))");
  EXPECT_EQ(debug_dim(named("a\xe2\x80\x8b")), R"(Named("a\u{200b}"))");
}

TEST(DebugForms, TensorTypes) {
  EXPECT_EQ(debug_type(TensorType{"f32", {concrete(4), named("n")}}),
            R"(TensorType { dtype: "f32", shape: [Concrete(4), Named("n")] })");
  EXPECT_EQ(debug_type(TensorType{"", {}}), R"(TensorType { dtype: "", shape: [] })");
  EXPECT_EQ(debug_type(TensorType{"i32", {}}, "Ty"), R"(Ty { dtype: "i32", shape: [] })");
}

TEST(OrderedMap, RepeatedKeyKeepsFirstPlaceAndLastValue) {
  OrderedMap<int> map;
  map.store("f", 1);
  map.store("g", 2);
  map.store("f", 3);
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map.entries()[0], (OrderedMap<int>::Entry("f", 3)));
  EXPECT_EQ(map.entries()[1].key(), "g");
  auto built = OrderedMap<int>::from_pairs({{"b", 1}, {"a", 2}, {"b", 3}});
  EXPECT_EQ(built.entries(), (std::vector<OrderedMap<int>::Entry>{{"b", 3}, {"a", 2}}));
}

TEST(OrderedMap, LargeMapsFindEveryKey) {
  OrderedMap<int> map;
  for (int i = 0; i < 1000; ++i) map.store("k" + std::to_string(i), i);
  for (int i = 0; i < 1000; i += 2) map.store("k" + std::to_string(i), -i);
  ASSERT_EQ(map.size(), 1000u);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_NE(map.find("k" + std::to_string(i)), nullptr);
    EXPECT_EQ(*map.find("k" + std::to_string(i)), i % 2 ? i : -i);
    EXPECT_EQ(map.entries()[i].key(), "k" + std::to_string(i));
  }
  EXPECT_EQ(map.find("k1000"), nullptr);
  OrderedMap<int> copy = map;
  EXPECT_EQ(*copy.find("k999"), 999);
}

TEST(OrderedMap, ValuesChangedWhileIteratingKeepEveryKeyFound) {
  OrderedMap<int> map;
  for (int i = 0; i < 20; ++i) map.store("k" + std::to_string(i), i);
  for (auto& [key, value] : map) {
    static_assert(std::is_same_v<decltype(key), const Text>, "a stored key stays put");
    value += 100;
  }
  for (auto [key, value] : map) value = -1;  // a copy: the map keeps its values
  int sum = 0;
  for (const auto& [key, value] : map) sum += value;
  EXPECT_EQ(sum, 20 * 100 + 19 * 20 / 2);
  for (int i = 0; i < 20; ++i) {
    const int* found = map.find("k" + std::to_string(i));
    ASSERT_NE(found, nullptr) << i;
    EXPECT_EQ(*found, i + 100);
  }
  map.store("k7", 0);
  EXPECT_EQ(map.size(), 20u);
}

TEST(OrderedMap, ConsumingTheMapHandsOverItsEntriesAndLeavesNothing) {
  OrderedMap<std::string> map;
  for (int i = 0; i < 20; ++i) map.store("k" + std::to_string(i), "v" + std::to_string(i));
  std::vector<std::pair<Text, std::string>> entries = std::move(map).into_entries();
  ASSERT_EQ(entries.size(), 20u);
  EXPECT_EQ(entries[19], (std::pair<Text, std::string>("k19", "v19")));
  EXPECT_TRUE(map.empty());  // NOLINT(bugprone-use-after-move): a consumed map is empty
  EXPECT_EQ(map.find("k3"), nullptr);
  map.store("k3", "again");
  EXPECT_EQ(map.size(), 1u);
  EXPECT_EQ(*map.find("k3"), "again");
}

TEST(OrderedMap, MissingKeyThatMustBePresentStops) {
  OrderedMap<int> map;
  map.store("a", 1);
  try {
    (void)map.at("b");
    FAIL() << "no stop";
  } catch (const Stop& s) { EXPECT_EQ(s.message, "no entry found for key"); }
}

TEST(DeepCopy, KeepsKeysOrderAndFloatBits) {
  Module module;
  Function fn{"b", {"// c"}, {{"w", {"*", {concrete(3)}}}}, {}, {}};
  Op random{OpKind{OpKind::Random{std::nan("7"), -std::numeric_limits<double>::infinity()}},
            {"r", "s"},
            {TensorType{"f32", {}}},
            {},
            {}};
  Axes axes;
  axes.store("b", 2);
  axes.store("a", 1);
  Op view{OpKind{OpKind::View{"a b -> b a", axes}}, {}, {TensorType{"f32", {}}}, {}, {}};
  fn.ops = {random, view};
  module.functions.store("a", fn);

  Module copy = module;
  const Function& f = copy.functions.at("a");
  EXPECT_EQ(f.name, "b");
  const auto& r = std::get<OpKind::Random>(f.ops[0].kind.value);
  const auto& original = std::get<OpKind::Random>(module.functions.at("a").ops[0].kind.value);
  EXPECT_EQ(std::memcmp(&r.lower, &original.lower, sizeof(double)), 0);
  EXPECT_EQ(std::memcmp(&r.upper, &original.upper, sizeof(double)), 0);
  const auto& v = std::get<OpKind::View>(f.ops[1].kind.value);
  EXPECT_EQ(v.axes.entries()[0].key(), "b");
  EXPECT_EQ(v.axes.entries()[1].key(), "a");
  EXPECT_EQ(kind_word(f.ops[1].kind), "view");
}

}  // namespace

TEST(KindWords, EachWordNamesItsOwnKind) {
  const OpKind kinds[] = {
      {OpKind::View{}},  {OpKind::Map{}},    {OpKind::Fold{}},     {OpKind::Tile{}},
      {OpKind::Read{}},  {OpKind::Write{}},  {OpKind::Contract{}}, {OpKind::Literal{}},
      {OpKind::Iota{}},  {OpKind::Random{}}, {OpKind::Call{}},     {OpKind::Loop{}},
      {OpKind::Cache{}},
  };
  const std::string_view words[] = {"view",  "map",      "fold",    "tile", "read",
                                    "write", "contract", "literal", "iota", "random",
                                    "call",  "loop",     "cache"};
  ASSERT_EQ(std::size(kinds), kKindCount);
  for (std::size_t i = 0; i < kKindCount; ++i) {
    EXPECT_EQ(kind_word(kinds[i]), words[i]);
    EXPECT_EQ(kind_index(words[i]), i);
  }
  for (std::string_view near :
       {"", "vie", "views", "View", "cal", "calls", "lop", "rea", "contracts", "\x16iew", "6iew"})
    EXPECT_EQ(kind_index(near), kKindCount) << near;
}
