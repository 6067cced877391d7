// The storage that records are made of: shared texts, the table that stores each text once,
// and the lists that keep a few elements inside themselves.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "vel/ast.hpp"
#include "vel/ast_json.hpp"
#include "vel/block_pool.hpp"
#include "vel/parse.hpp"
#include "vel/shared_text.hpp"
#include "vel/small_list.hpp"

using namespace vel;

namespace {

// Texts on both sides of the length that fits inside the handle.
TEST(SharedText, HoldsItsBytesInsideOrInABlock) {
  for (std::string bytes :
       {std::string(), std::string("x"), std::string("abcdefg"), std::string("abcdefgh"),
        std::string(10'000, 'q'), std::string("a\0b", 3)}) {
    Text text(bytes);
    EXPECT_EQ(text.view(), bytes);
    EXPECT_EQ(text.size(), bytes.size());
    EXPECT_EQ(text.empty(), bytes.empty());
    EXPECT_EQ(text.heap_bytes() > 0, bytes.size() > 7) << bytes.size();
    Text copy = text;
    EXPECT_TRUE(copy.same_as(text));
    EXPECT_EQ(copy, text);
    Text moved = std::move(copy);
    EXPECT_EQ(moved, text);
    EXPECT_TRUE(copy.empty());  // NOLINT: a moved-from text is empty
  }
}

TEST(SharedText, ComparesByContents) {
  EXPECT_EQ(Text("weights.layer"), Text(std::string("weights.") + "layer"));
  EXPECT_FALSE(Text("weights.layer").same_as(Text("weights.layer")));
  EXPECT_NE(Text("abcdefgh"), Text("abcdefgi"));
  EXPECT_NE(Text("abc"), Text("abcd"));
  EXPECT_EQ(Text("f32"), "f32");
  EXPECT_EQ(Text("f32"), std::string_view("f32"));
  EXPECT_LT(Text("a"), Text("ab"));
  EXPECT_LT(Text("abcdefgh"), Text("b"));
}

// A copy outlives the text it was made from, and the last one frees the block (which the
// sanitizer build checks).
TEST(SharedText, CopiesOutliveTheirSource) {
  Text kept;
  {
    Text source(std::string(100, 'z'));
    kept = source;
  }
  EXPECT_EQ(kept.view(), std::string(100, 'z'));
  const Text& same = kept;
  kept = same;
  EXPECT_EQ(kept.size(), 100u);
}

TEST(TextTable, StoresEachLongerTextOnce) {
  Text first, again, other, short_one;
  {
    TextTable table;
    first = table.intern("layers.0.attention");
    again = table.intern(std::string("layers.0.") + "attention");
    other = table.intern("layers.1.attention");
    short_one = table.intern("x");
    for (int i = 0; i < 1000; ++i) table.intern("name" + std::to_string(i));  // grows
    EXPECT_TRUE(table.intern("layers.0.attention").same_as(first));
  }
  EXPECT_TRUE(again.same_as(first));
  EXPECT_FALSE(other.same_as(first));
  EXPECT_EQ(first, "layers.0.attention");
  EXPECT_EQ(short_one, "x");
}

// A module read from source or from JSON names each longer text with one block.
TEST(TextTable, AModuleSharesItsRepeatedTexts) {
  const std::string source =
      "f(x: f32[batch_size]) -> (y: f32[batch_size]) {\n"
      "  y: f32[batch_size] = map[add](x, weights.bias)\n"
      "  z: f32[batch_size] = map[add](y, weights.bias)\n}\n";
  for (const Module& m : {parse(source), module_from_json(module_to_json(parse(source)))}) {
    const Function& f = m.functions.at("f");
    const Text& dim = std::get<Dim::Named>(f.params[0].ty.shape[0].value).name;
    EXPECT_TRUE(std::get<Dim::Named>(f.ops[1].output_types[0]->shape[0].value).name.same_as(dim));
    EXPECT_TRUE(std::get<Atom::Name>(f.ops[0].args[1].value)
                    .text.same_as(std::get<Atom::Name>(f.ops[1].args[1].value).text));
  }
}

using Names = SmallList<Text, 2>;

Names names(int count) {
  Names out;
  for (int i = 0; i < count; ++i) out.push_back(Text("name number " + std::to_string(i)));
  return out;
}

TEST(SmallList, KeepsItsElementsInsideAndPastIt) {
  for (int count : {0, 1, 2, 3, 17}) {
    Names list = names(count);
    ASSERT_EQ(list.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(list.on_heap(), count > 2);
    for (int i = 0; i < count; ++i) EXPECT_EQ(list[i], "name number " + std::to_string(i));
    Names copy = list;
    EXPECT_EQ(copy, list);
    copy.push_back(Text("more"));
    EXPECT_NE(copy, list);
    Names moved = std::move(copy);
    EXPECT_EQ(moved.size(), list.size() + 1);
    EXPECT_TRUE(copy.empty());  // NOLINT: a moved-from list is empty
    moved = list;
    EXPECT_EQ(moved, list);
  }
}

TEST(SmallList, EditsLikeAVector) {
  Names list = names(2);
  list.insert(list.begin(), Text("front"));
  EXPECT_EQ(list, (Names{"front", "name number 0", "name number 1"}));
  list.erase(list.begin() + 1);
  EXPECT_EQ(list, (Names{"front", "name number 1"}));
  // An element of the list itself, appended as the list leaves its inside room.
  list.push_back(list[0]);
  EXPECT_EQ(list, (Names{"front", "name number 1", "front"}));
  list.resize(1);
  EXPECT_EQ(list, (Names{"front"}));
  list.clear();
  EXPECT_TRUE(list.empty());
}

// Blocks taken while others are given back, of every pooled size and past it: none overlaps
// another, each keeps what was written into it, and a thread may give back what another
// took.
TEST(BlockPool, BlocksKeepTheirBytesApart) {
  struct Taken {
    unsigned char* block;
    std::size_t bytes;
    unsigned char fill;
  };
  std::vector<Taken> taken;
  auto check = [](const Taken& t) {
    for (std::size_t i = 0; i < t.bytes; ++i)
      if (t.block[i] != t.fill) return false;
    return true;
  };
  for (int round = 0; round < 3; ++round) {
    for (std::size_t n = 0; n < 20'000; ++n) {
      const std::size_t bytes = 1 + (n * 37) % (blocks::kLargestPooled + 200);
      auto* block = static_cast<unsigned char*>(blocks::take(bytes));
      ASSERT_EQ(reinterpret_cast<std::uintptr_t>(block) % blocks::kAlignment, 0u);
      const auto fill = static_cast<unsigned char>(n);
      std::memset(block, fill, bytes);
      taken.push_back({block, bytes, fill});
      if (n % 3 == 0) {  // an older block goes back
        Taken old = taken[taken.size() / 2];
        ASSERT_TRUE(check(old));
        blocks::give(old.block, old.bytes);
        taken.erase(taken.begin() + static_cast<std::ptrdiff_t>(taken.size() / 2));
      }
    }
    for (const Taken& t : taken) ASSERT_TRUE(check(t));
    std::thread other([&] {
      for (const Taken& t : taken) blocks::give(t.block, t.bytes);
    });
    other.join();
    taken.clear();
  }
}

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer build sees a block given back, and the bytes past a block, as memory that
// may not be touched.
TEST(BlockPoolDeathTest, ABlockGivenBackCannotBeRead) {
  EXPECT_DEATH(
      {
        auto* block = static_cast<volatile char*>(blocks::take(40));
        blocks::give(const_cast<char*>(block), 40);
        (void)block[3];
      },
      "use-after-poison");
  EXPECT_DEATH(
      {
        auto* block = static_cast<volatile char*>(blocks::take(32));
        block[32] = 1;  // one past its end, where the next block would begin
      },
      "use-after-poison");
}
#endif

}  // namespace
