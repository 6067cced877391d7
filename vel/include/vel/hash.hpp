// The hash of every table keyed by input text: SipHash-1-3 under a key drawn once per process
// from the system's randomness. Texts made to share one hash under a fixed or public seed
// then spread like any others, and no output may depend on the key: tables are looked up,
// never iterated into a result.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vel {

struct HashKey {
  std::uint64_t k0, k1;
};

// Sixteen bytes from the system's randomness.
HashKey random_hash_key();

// The key of this process, drawn on first use.
inline const HashKey& process_hash_key() {
  static const HashKey key = random_hash_key();
  return key;
}

namespace hash_detail {

// SipHash with `C` rounds per word and `D` to finish; the tables take C = 1, D = 3.
template <int C, int D>
struct SipState {
  std::uint64_t v0, v1, v2, v3;

  explicit SipState(const HashKey& key)
      : v0(key.k0 ^ 0x736f6d6570736575ull),
        v1(key.k1 ^ 0x646f72616e646f6dull),
        v2(key.k0 ^ 0x6c7967656e657261ull),
        v3(key.k1 ^ 0x7465646279746573ull) {}

  [[gnu::always_inline]] void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }
  [[gnu::always_inline]] void word(std::uint64_t m) {
    v3 ^= m;
    for (int i = 0; i < C; ++i) round();
    v0 ^= m;
  }
  // The last word holds the length's low byte on top of the bytes past the whole words.
  [[gnu::always_inline]] std::uint64_t finish(std::uint64_t tail, std::uint64_t length) {
    word(tail | (length << 56));
    v2 ^= 0xff;
    for (int i = 0; i < D; ++i) round();
    return v0 ^ v1 ^ v2 ^ v3;
  }
};

[[gnu::always_inline]] inline std::uint64_t load_word(const char* p) {
  static_assert(std::endian::native == std::endian::little, "words are read little-endian");
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// The `n` < 8 bytes at `p` as the low bytes of a word, the first one lowest. Overlapping
// loads cover every `n` with at most two reads.
[[gnu::always_inline]] inline std::uint64_t load_tail(const char* p, std::size_t n) {
  if (n >= 4) {
    std::uint32_t low, high;
    std::memcpy(&low, p, 4);
    std::memcpy(&high, p + n - 4, 4);
    return low | (static_cast<std::uint64_t>(high) << ((n - 4) * 8));
  }
  if (n == 0) return 0;
  auto byte = [p](std::size_t i) {
    return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i]));
  };
  return byte(0) | byte(n / 2) << (n / 2 * 8) | byte(n - 1) << ((n - 1) * 8);
}

template <int C, int D>
std::uint64_t sip_hash(const HashKey& key, std::string_view text) {
  SipState<C, D> state(key);
  const char* p = text.data();
  const std::size_t whole = text.size() & ~std::size_t{7};
  for (std::size_t i = 0; i < whole; i += 8) state.word(load_word(p + i));
  return state.finish(load_tail(p + whole, text.size() - whole), text.size());
}

}  // namespace hash_detail

// The hash of a text under `key`.
inline std::uint64_t hash_text(std::string_view text, const HashKey& key) {
  return hash_detail::sip_hash<1, 3>(key, text);
}
inline std::uint64_t hash_text(std::string_view text) {
  return hash_text(text, process_hash_key());
}

// The hash of a text given in pieces, equal to `hash_text` of the pieces joined. A copy
// goes on from the pieces added so far, so texts that share a prefix hash it once.
class TextHasher {
 public:
  explicit TextHasher(const HashKey& key = process_hash_key()) : state_(key) {}

  TextHasher& add(std::string_view piece) {
    const char* p = piece.data();
    std::size_t n = piece.size();
    std::size_t pending = length_ % 8;
    length_ += n;
    if (pending != 0) {  // the word that earlier pieces began is filled first
      std::size_t take = n < 8 - pending ? n : 8 - pending;
      tail_ |= hash_detail::load_tail(p, take) << (pending * 8);
      if (pending + take < 8) return *this;
      state_.word(tail_);
      p += take;
      n -= take;
    }
    for (; n >= 8; p += 8, n -= 8) state_.word(hash_detail::load_word(p));
    tail_ = hash_detail::load_tail(p, n);
    return *this;
  }
  TextHasher& add(char c) { return add(std::string_view(&c, 1)); }

  std::uint64_t finish() const {
    hash_detail::SipState<1, 3> state = state_;
    return state.finish(tail_, length_);
  }

 private:
  hash_detail::SipState<1, 3> state_;
  std::uint64_t tail_ = 0;    // the bytes past the last whole word, the first one lowest
  std::uint64_t length_ = 0;  // of all pieces
};

// The hasher of tables keyed by text, looked up by views as well as by owned texts (with
// std::equal_to<> as their equality).
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const { return hash_text(text); }
};

}  // namespace vel
