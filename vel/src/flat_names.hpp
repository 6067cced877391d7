// The names of a flat function, kept as chains of pieces joined by points: the prefixes of
// the inlined calls around a value and the value's own name, or a weight reference built
// field by field through the dict parameters that passed it on. A name is a node whose text
// is its parent's, a point and its piece; its text is put together only where it is
// compared or written, so a prefix shared by every local of a call is stored once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "page_allocator.hpp"
#include "vel/shared_text.hpp"

namespace vel::flat {

using NameId = std::uint32_t;
inline constexpr NameId kNoName = 0;

class Names {
 public:
  Names();

  // `parent`, a point and `piece`; `piece` alone under kNoName.
  NameId add(NameId parent, Text piece);
  NameId root(Text piece) { return add(kNoName, std::move(piece)); }

  // The length of the text as a JSON string writes it between its quotes.
  std::uint64_t json_size(NameId name) const { return nodes_[name].json_size; }
  static constexpr std::uint64_t kMostSize = 0xffffffff;
  // The text, put together in `scratch` unless it is one piece.
  std::string_view view(NameId name, std::string& scratch) const;
  // The text as a record holds it: the piece itself for a name of one piece.
  Text text(NameId name) const;
  // The text as a JSON string, quotes included.
  void write_json(std::string& out, NameId name) const;

  NameId parent(NameId name) const { return nodes_[name].parent; }
  std::string_view piece(NameId name) const { return nodes_[name].piece.view(); }
  std::size_t size() const { return nodes_.size(); }
  void reserve(std::size_t count) { nodes_.reserve(count); }

 private:
  // Sixteen bytes: a name's text as written is far below 4 GiB, or its flattening stops
  // for it, so its length saturates there.
  struct Node {
    Text piece;
    NameId parent;
    std::uint32_t json_size;
  };

  // The pieces of a name, first to last, in `chain_`.
  void collect(NameId name) const;

  PagedList<Node> nodes_;
  mutable std::vector<const Text*> chain_;
};

}  // namespace vel::flat
