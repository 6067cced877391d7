// The texts of the syntax tree: immutable, eight bytes each, shared by their copies.
//
// A text of at most seven bytes lives inside the handle itself, so the short names that make
// most of a module (x, h12, f32, n) cost no allocation and compare as one word. A longer text
// is one block holding a count of its handles and its bytes; copying the handle counts one
// more, and the last handle to go frees the block. A module built by the parser or the JSON
// reader stores each longer text once (see TextTable), however many records name it.
//
// The count is not atomic: a module and the records taken from it belong to one thread at a
// time, as every call of the extension module holds the interpreter's lock throughout.
#pragma once

#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vel/block_pool.hpp"
#include "vel/hash.hpp"
#include "vel/interrupt.hpp"

namespace vel {

class Text {
 public:
  Text() noexcept = default;
  Text(std::string_view text) { assign(text); }
  Text(const std::string& text) { assign(text); }
  Text(const char* text) { assign(text); }
  Text(const Text& other) noexcept : bits_(other.bits_) { retain(); }
  Text(Text&& other) noexcept : bits_(std::exchange(other.bits_, kEmpty)) {}
  Text& operator=(const Text& other) noexcept {
    Text copy(other);
    swap(copy);
    return *this;
  }
  Text& operator=(Text&& other) noexcept {
    Text taken(std::move(other));
    swap(taken);
    return *this;
  }
  ~Text() { release(); }

  // A text of `size` bytes that `fill(char* bytes)` writes, made in its place.
  template <class Fill>
  static Text make(std::size_t size, Fill&& fill) {
    Text text;
    fill(text.allocate(size));
    return text;
  }

  void swap(Text& other) noexcept { std::swap(bits_, other.bits_); }

  std::string_view view() const noexcept {
    if (is_inline()) return {inline_bytes(), static_cast<std::size_t>((bits_ & 0xff) >> 1)};
    Block* b = block();
    return {b->bytes(), b->size};
  }
  operator std::string_view() const noexcept { return view(); }
  std::string str() const { return std::string(view()); }
  explicit operator std::string() const { return str(); }

  const char* data() const noexcept { return view().data(); }
  std::size_t size() const noexcept { return view().size(); }
  std::size_t length() const noexcept { return size(); }
  bool empty() const noexcept { return bits_ == kEmpty || size() == 0; }
  const char* begin() const noexcept { return data(); }
  const char* end() const noexcept { return data() + size(); }
  char operator[](std::size_t i) const noexcept { return data()[i]; }
  char front() const noexcept { return data()[0]; }
  char back() const noexcept { return data()[size() - 1]; }

  bool starts_with(std::string_view prefix) const noexcept { return view().starts_with(prefix); }
  bool starts_with(char c) const noexcept { return view().starts_with(c); }
  bool ends_with(std::string_view suffix) const noexcept { return view().ends_with(suffix); }
  bool ends_with(char c) const noexcept { return view().ends_with(c); }
  std::size_t find(std::string_view part, std::size_t from = 0) const noexcept {
    return view().find(part, from);
  }
  std::size_t find(char c, std::size_t from = 0) const noexcept { return view().find(c, from); }
  std::size_t rfind(char c, std::size_t from = std::string_view::npos) const noexcept {
    return view().rfind(c, from);
  }
  std::size_t rfind(std::string_view part,
                    std::size_t from = std::string_view::npos) const noexcept {
    return view().rfind(part, from);
  }
  // A copy, as a std::string's would be: a view of part of a text is `view().substr`.
  std::string substr(std::size_t from, std::size_t count = std::string_view::npos) const {
    return std::string(view().substr(from, count));
  }

  // The same block, or the same bytes inside both handles: equal without reading further.
  bool same_as(const Text& other) const noexcept { return bits_ == other.bits_; }

  // The bytes a text holds outside its handle: its block, or nothing.
  std::size_t heap_bytes() const noexcept { return is_inline() ? 0 : sizeof(Block) + size(); }

  friend bool operator==(const Text& a, const Text& b) noexcept {
    return a.bits_ == b.bits_ || (!a.is_inline() && !b.is_inline() && a.view() == b.view());
  }
  friend bool operator==(const Text& a, std::string_view b) noexcept { return a.view() == b; }
  friend bool operator==(const Text& a, const std::string& b) noexcept { return a.view() == b; }
  friend bool operator==(const Text& a, const char* b) noexcept { return a.view() == b; }
  friend std::strong_ordering operator<=>(const Text& a, const Text& b) noexcept {
    return a.view() <=> b.view();
  }
  friend std::strong_ordering operator<=>(const Text& a, std::string_view b) noexcept {
    return a.view() <=> b;
  }
  friend std::string operator+(const Text& a, std::string_view b) {
    return std::string(a.view()).append(b);
  }
  friend std::string operator+(std::string_view a, const Text& b) {
    return std::string(a).append(b.view());
  }
  friend std::string operator+(const Text& a, const Text& b) {
    return std::string(a.view()).append(b.view());
  }
  friend std::string operator+(const Text& a, const char* b) { return a + std::string_view(b); }
  friend std::string operator+(const char* a, const Text& b) { return std::string_view(a) + b; }
  friend std::string operator+(std::string a, const Text& b) { return a.append(b.view()); }
  friend std::string operator+(const Text& a, const std::string& b) {
    return a + std::string_view(b);
  }

 private:
  friend class TextTable;

  // The bytes follow the block's header.
  struct Block {
    std::size_t refs;
    std::size_t size;
    char* bytes() noexcept { return reinterpret_cast<char*>(this + 1); }
  };

  static_assert(std::endian::native == std::endian::little,
                "the first byte of the handle must be the low byte of the block's address");
  static constexpr std::size_t kInlineMost = 7;
  // Inline: the low byte is the length times two plus one, the next seven the bytes. A block's
  // address is even, so its low bit tells the two apart.
  static constexpr std::uint64_t kEmpty = 1;

  bool is_inline() const noexcept { return (bits_ & 1) != 0; }
  const char* inline_bytes() const noexcept { return reinterpret_cast<const char*>(&bits_) + 1; }
  Block* block() const noexcept { return reinterpret_cast<Block*>(bits_); }

  // Room for `size` bytes, inside the handle or in a new block, for a text that holds none.
  char* allocate(std::size_t size) {
    if (size <= kInlineMost) {
      bits_ = (static_cast<std::uint64_t>(size) << 1) | 1;
      return reinterpret_cast<char*>(&bits_) + 1;
    }
    auto* b = static_cast<Block*>(blocks::take(sizeof(Block) + size));
    b->refs = 1;
    b->size = size;
    bits_ = reinterpret_cast<std::uint64_t>(b);
    return b->bytes();
  }
  void assign(std::string_view text) {
    char* bytes = allocate(text.size());
    if (!text.empty()) std::memcpy(bytes, text.data(), text.size());
  }
  void retain() const noexcept {
    if (!is_inline()) ++block()->refs;
  }
  void release() noexcept {
    if (is_inline()) return;
    Block* b = block();
    if (--b->refs == 0) blocks::give(b, sizeof(Block) + b->size);
  }

  std::uint64_t bits_ = kEmpty;
};

static_assert(sizeof(Text) == 8);

// Stores each longer text once: `intern` gives the handle of a text seen before, or a new one
// that later texts of the same bytes will share. The table holds a handle to each, so what it
// gave stays valid after the table is gone.
class TextTable {
 public:
  Text intern(std::string_view text) {
    if (text.size() <= Text::kInlineMost) return Text(text);
    poll_if_long(text.size());  // hashed, compared and copied whole
    if (count_ * 2 >= slots_.size()) grow();
    std::size_t mask = slots_.size() - 1;
    for (std::size_t s = hash(text) & mask;; s = (s + 1) & mask) {
      Text& slot = slots_[s];
      if (slot.bits_ == Text::kEmpty) {
        slot = Text(text);
        ++count_;
        return slot;
      }
      if (slot.view() == text) return slot;
    }
  }

 private:
  static std::size_t hash(std::string_view text) { return hash_text(text); }

  void grow() {
    std::vector<Text> old = std::move(slots_);
    slots_.assign(old.empty() ? 256 : old.size() * 2, Text());
    std::size_t mask = slots_.size() - 1;
    for (Text& text : old) {
      if (text.bits_ == Text::kEmpty) continue;
      std::size_t s = hash(text.view()) & mask;
      while (slots_[s].bits_ != Text::kEmpty) s = (s + 1) & mask;
      slots_[s] = std::move(text);
    }
  }

  std::vector<Text> slots_;
  std::size_t count_ = 0;
};

}  // namespace vel

template <>
struct std::hash<vel::Text> {
  std::size_t operator()(const vel::Text& text) const noexcept {
    return vel::hash_text(text.view());
  }
};
