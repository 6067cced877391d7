#include "vel/hash.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

namespace {

using vel::hash_text;
using vel::HashKey;
using vel::TextHasher;

constexpr HashKey kZeroKey{0, 0};

// SipHash-1-3 of the reference implementation under the zero key.
TEST(Hash, AgreesWithTheReferenceUnderTheZeroKey) {
  std::string bytes;
  for (int i = 0; i < 64; ++i) bytes += static_cast<char>(i);
  const struct {
    std::string_view text;
    std::uint64_t hash;
  } cases[] = {
      {"a", 0x407448d2b89b1813},
      {"abc", 0xc03bc3a0042630f2},
      {"abcdefg", 0x6db12aae9070f506},
      {"abcdefgh", 0x3f7b849c0b8e35ea},
      {"abcdefghijklmnopq", 0x61c47e6da27eaccc},
      {bytes, 0x75e05fd5bbc870c6},
  };
  for (const auto& c : cases) EXPECT_EQ(hash_text(c.text, kZeroKey), c.hash) << c.text;
}

TEST(Hash, TextsInPiecesHashAsTheWholeText) {
  std::string text;
  for (int i = 0; i < 40; ++i) text += static_cast<char>('A' + i * 7 % 50);
  const HashKey key{0x0123456789abcdef, 0xfedcba9876543210};
  for (std::size_t size = 0; size <= text.size(); ++size) {
    std::string_view whole = std::string_view(text).substr(0, size);
    for (std::size_t cut = 0; cut <= size; ++cut) {
      for (std::size_t second = cut; second <= size; second += 3) {
        TextHasher hasher(key);
        hasher.add(whole.substr(0, cut)).add(whole.substr(cut, second - cut));
        TextHasher copy = hasher;  // goes on from the same prefix
        copy.add(whole.substr(second));
        EXPECT_EQ(copy.finish(), hash_text(whole, key)) << size << " " << cut << " " << second;
      }
    }
  }
}

TEST(Hash, TheKeyChangesEveryHash) {
  const HashKey other{1, 0};
  for (std::string_view text : {"", "x", "weights.layers.0.q", "param.d_model"})
    EXPECT_NE(hash_text(text, kZeroKey), hash_text(text, other)) << text;
}

TEST(Hash, TablesFindOwnedTextsByViews) {
  std::unordered_set<std::string, vel::TextHash, std::equal_to<>> set{"kv.0", "kv.1"};
  EXPECT_TRUE(set.contains(std::string_view("kv.1")));
  EXPECT_FALSE(set.contains(std::string_view("kv.2")));
}

}  // namespace
