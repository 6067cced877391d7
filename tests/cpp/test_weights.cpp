// The weight mapping from the "weights" table, slot filling, and the renaming of weight
// references in a flat module.
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "builders.hpp"
#include "config_file.hpp"
#include "test_json_support.hpp"
#include "weights.hpp"

using namespace velorn;

namespace {

WeightMapping mapping_of(std::string_view toml_text) {
  return weight_mapping_from_toml_text("c.toml", toml_text);
}

std::string found(const WeightMapping& mapping, std::string_view key) {
  const std::string* text = mapping.find(key);
  return text ? *text : "(none)";
}

TEST(WeightMapping, KeysAreThePathsOfTextsInTheWeightsTable) {
  WeightMapping mapping = mapping_of(R"(
top = "T"
[weights]
embed = "E"
count = 3
list = ["a"]
flag = true
[weights.layers]
q = "model.layers.{}.q"
[weights.layers.inner]
deep = "D"
)");
  EXPECT_EQ(found(mapping, "weights.embed"), "E");
  EXPECT_EQ(found(mapping, "weights.layers.q"), "model.layers.{}.q");
  EXPECT_EQ(found(mapping, "weights.layers.inner.deep"), "D");
  for (std::string_view absent :
       {"weights.count", "weights.list", "weights.flag", "weights", "weights.layers", "top",
        "weights.top", "weights.layers.", "weights.embedd", "xeights.embed"})
    EXPECT_EQ(found(mapping, absent), "(none)") << absent;
  EXPECT_TRUE(mapping_of("weights = \"w\"\n").empty());
  EXPECT_TRUE(mapping_of("[shape]\nn = 1\n").empty());
}

TEST(WeightMapping, OfTwoPathsSpellingOneKeyTheLaterInByteOrderWins) {
  // The table "a" sorts before the key "a.b": a key that is a prefix of another comes first.
  EXPECT_EQ(found(mapping_of("[weights]\n\"a.b\" = \"quoted\"\n[weights.a]\nb = \"nested\"\n"),
                  "weights.a.b"),
            "quoted");
  EXPECT_EQ(found(mapping_of("[weights.a]\n\"b.c\" = \"x\"\n[weights.\"a.b\"]\nc = \"y\"\n"),
                  "weights.a.b.c"),
            "y");
}

TEST(WeightMapping, ATableNestedDeepWithManyEntries) {
  std::string header = "[weights";
  std::string key = "weights";
  for (std::size_t i = 1; i < kMaxTomlNesting; ++i) {
    header += ".a";
    key += ".a";
  }
  std::string text = header + "]\n";
  for (int i = 0; i < 2'000; ++i)
    text += "k" + std::to_string(i) + " = \"t" + std::to_string(i) + "\"\n";
  WeightMapping mapping = mapping_of(text);
  for (int i = 0; i < 2'000; i += 97)
    EXPECT_EQ(found(mapping, key + ".k" + std::to_string(i)), "t" + std::to_string(i));
  EXPECT_EQ(found(mapping, key + ".k2000"), "(none)");
  EXPECT_EQ(found(mapping, key.substr(0, key.size() - 2) + ".k1"), "(none)");
}

std::string fill(std::string_view text, std::vector<std::string_view> parts) {
  return fill_slots(text, parts);
}

TEST(FillSlots, SlotsAreFilledInOrder) {
  struct Case {
    std::string_view text;
    std::vector<std::string_view> parts;
    std::string_view expected;
  };
  const Case cases[] = {
      {"m.{}.q", {"3"}, "m.3.q"},
      {"m.{}.q", {}, "m.{}.q"},
      {"m.{}.q", {"1", "2"}, "m.1.q"},
      {"{}.{}.q", {"7"}, "7.{}.q"},
      {"plain", {"1", "2"}, "plain"},
      {"a{}b{}c", {"", "00"}, "ab00c"},
      // Each replacement works on the text the previous ones left, so an empty part can
      // join the braces around it into the next slot.
      {"{{}}", {"", "3"}, "3"},
      {"{{{}}}", {"", "", "5"}, "5"},
      {"{{}", {"", "5"}, "{"},
      {"{}}{}", {"", "1"}, "}1"},
      {"{1}{}", {"2"}, "{1}2"},
  };
  for (const Case& c : cases) EXPECT_EQ(fill(c.text, c.parts), c.expected) << c.text;
}

TEST(FillSlots, TenThousandSlots) {
  std::string text, expected;
  std::vector<std::string> numbers;
  for (int i = 0; i < 10'000; ++i) {
    text += "{}.";
    numbers.push_back(std::to_string(i));
    expected += numbers.back() + ".";
  }
  std::vector<std::string_view> parts(numbers.begin(), numbers.end());
  EXPECT_EQ(fill_slots(text, parts), expected);
  parts.pop_back();
  EXPECT_EQ(fill_slots(text, parts), expected.substr(0, expected.size() - 5) + "{}.");
}

using vel::test::name_atom;

vel::Module flat_module(std::vector<vel::Atom> args) {
  using namespace vel::test;
  vel::Op use = op(map("f"), {"weights.out"});
  use.args.assign(args.begin(), args.end());
  return module_of({fn("main", {{"weights.p", type("f32")}}, {}, {std::move(use)})});
}

TEST(ApplyWeightMapping, ReferencesTakeExactOrTemplateEntries) {
  WeightMapping mapping = mapping_of(R"(
[weights]
"a.b" = "t{}x"
l0 = { w = "L{}" }
out = "renamed.out"
"" = "empty"
[weights.layers]
q = "model.layers.{}.q"
"0" = { q = "exact0" }
[weights.blocks]
w = "blk.{}.w"
one = "o.{}"
two = "t.{}.{}"
none = "n"
)");
  struct Case {
    std::string reference, expected;
  };
  const Case cases[] = {
      {"weights.layers.3.q", "model.layers.3.q"},
      {"weights.layers.q", "model.layers.{}.q"},
      {"weights.layers.0.q", "exact0"},
      {"weights.a..b", "tx"},
      {"weights.blocks.00.w", "blk.00.w"},
      {"weights.blocks.1.2.one", "o.1"},
      {"weights.blocks.one.1.2", "o.1"},
      {"weights.blocks.5.two", "t.5.{}"},
      {"weights.blocks.5.6.none", "n"},
      {"weights.l0.7.w", "L7"},
      {"weights.out", "renamed.out"},
      {"weights.", "empty"},  // the exact entry of the empty key
      {"weights", "weights"},
      {"weights.unknown.3", "weights.unknown.3"},
      {"weights.layers.\xd9\xa1.q", "weights.layers.\xd9\xa1.q"},
      {"local.weights.layers.3.q", "local.weights.layers.3.q"},
  };
  std::vector<vel::Atom> args{vel::test::int_atom(3), vel::test::float_atom(1.5)};
  for (const Case& c : cases) args.push_back(name_atom(c.reference));
  vel::Module flat = flat_module(args);
  apply_weight_mapping(flat, mapping);
  const vel::Function& main = flat.functions.at("main");
  const vel::Op& op = main.ops[0];
  ASSERT_EQ(op.args.size(), args.size());
  EXPECT_EQ(op.args[0], args[0]);
  EXPECT_EQ(op.args[1], args[1]);
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(std::get<vel::Atom::Name>(op.args[i + 2].value).text, cases[i].expected)
        << cases[i].reference;
  // Only arguments are renamed: outputs and parameters keep their names.
  EXPECT_EQ(op.outputs, vel::Outputs{"weights.out"});
  EXPECT_EQ(main.params[0].name, "weights.p");
}

TEST(ApplyWeightMapping, ARenamedArgumentIsNotLookedAtAgain) {
  WeightMapping mapping = mapping_of("[weights]\na = \"weights.b\"\nb = \"c\"\n");
  vel::Module flat = flat_module({name_atom("weights.a")});
  apply_weight_mapping(flat, mapping);
  EXPECT_EQ(flat.functions.at("main").ops[0].args[0], name_atom("weights.b"));
}

}  // namespace
