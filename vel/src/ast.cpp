#include "vel/ast.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "vel/text.hpp"

namespace vel {

namespace {

// The kinds by the length and first letter of their words, which no two words share; a kind
// whose word would share them, or be too long, fails the assertion below and needs another
// key here.
struct KindTable {
  static constexpr std::size_t kLongest = 15;
  std::uint8_t slot[32][kLongest + 1] = {};  // position + 1; 0 for no kind

  static constexpr std::size_t letter(std::string_view word) {
    return static_cast<unsigned char>(word[0]) & 31u;
  }

  constexpr KindTable() {
    for (std::size_t i = 0; i < kKindCount; ++i) {
      std::string_view word = kKindWords[i];
      if (!word.empty() && word.size() <= kLongest && slot[letter(word)][word.size()] == 0)
        slot[letter(word)][word.size()] = static_cast<std::uint8_t>(i + 1);
    }
  }

  constexpr std::size_t find(std::string_view word) const {
    if (word.empty() || word.size() > kLongest) return kKindCount;
    std::size_t at = slot[letter(word)][word.size()];
    return at != 0 && kKindWords[at - 1] == word ? at - 1 : kKindCount;
  }
};

constexpr KindTable kKinds;

constexpr bool finds_every_kind() {
  for (std::size_t i = 0; i < kKindCount; ++i)
    if (kKinds.find(kKindWords[i]) != i) return false;
  return true;
}
static_assert(finds_every_kind(), "two kind words share their length and first letter");

}  // namespace

std::size_t kind_index(std::string_view word) { return kKinds.find(word); }

// ---------------------------------------------------------------------------------------
// Size estimates

namespace {

std::size_t member_bytes(const Text& text) { return text.size(); }
std::size_t member_bytes(const std::optional<Text>& text) { return text ? text->size() : 0; }
std::size_t member_bytes(const Axes& axes) {
  std::size_t bytes = 0;
  for (const auto& [axis, size] : axes) bytes += sizeof(Axes::Entry) + axis.size();
  return bytes;
}
std::size_t member_bytes(const LiteralValue& value) { return literal_bytes(value); }
std::size_t member_bytes(const LoopCount& count) {
  const auto* named = std::get_if<LoopCount::Named>(&count.value);
  return named ? named->name.size() : 0;
}
std::size_t member_bytes(double) { return 0; }

}  // namespace

std::size_t literal_bytes(const LiteralValue& value) {
  std::size_t bytes = sizeof(LiteralValue);
  if (const auto* list = std::get_if<LiteralValue::List>(&value.value))
    for (const LiteralValue& item : list->items) bytes += literal_bytes(item);
  return bytes;
}

std::size_t kind_bytes(const OpKind& kind) {
  return std::visit(
      [](const auto& k) {
        std::size_t bytes = 0;
        each_member(k, [&](const auto&, const auto& value) { bytes += member_bytes(value); });
        return bytes;
      },
      kind.value);
}

// ---------------------------------------------------------------------------------------
// Diagnostic text forms

std::string debug_dim(const Dim& dim) {
  if (const auto* concrete = std::get_if<Dim::Concrete>(&dim.value))
    return "Concrete(" + std::to_string(concrete->size) + ")";
  std::string out = "Named(";
  append_debug_str(out, std::get<Dim::Named>(dim.value).name);
  out += ')';
  return out;
}

std::string debug_shape(std::span<const Dim> shape) {
  std::string out = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) out += ", ";
    out += debug_dim(shape[i]);
  }
  out += ']';
  return out;
}

std::string debug_type(const TensorType& type, std::string_view word) {
  std::string out(word);
  out += " { dtype: ";
  append_debug_str(out, type.dtype);
  out += ", shape: ";
  out += debug_shape(type.shape);
  out += " }";
  return out;
}

}  // namespace vel
