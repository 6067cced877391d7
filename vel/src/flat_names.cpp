#include "flat_names.hpp"

#include <algorithm>
#include <utility>

#include "vel/json.hpp"

namespace vel::flat {

Names::Names() { nodes_.push_back(Node{Text(), kNoName, 0}); }

NameId Names::add(NameId parent, Text piece) {
  const std::uint64_t size = json::string_body_size(piece.view());
  const std::uint64_t json_size = parent == kNoName ? size : nodes_[parent].json_size + 1 + size;
  nodes_.push_back(
      Node{std::move(piece), parent, static_cast<std::uint32_t>(std::min(json_size, kMostSize))});
  return static_cast<NameId>(nodes_.size() - 1);
}

void Names::collect(NameId name) const {
  chain_.clear();
  for (NameId n = name; n != kNoName; n = nodes_[n].parent) chain_.push_back(&nodes_[n].piece);
  std::reverse(chain_.begin(), chain_.end());
}

std::string_view Names::view(NameId name, std::string& scratch) const {
  if (nodes_[name].parent == kNoName) return nodes_[name].piece.view();
  collect(name);
  scratch.clear();
  for (std::size_t i = 0; i < chain_.size(); ++i) {
    if (i) scratch += '.';
    scratch += chain_[i]->view();
  }
  return scratch;
}

Text Names::text(NameId name) const {
  if (nodes_[name].parent == kNoName) return nodes_[name].piece;
  std::string scratch;
  return Text(view(name, scratch));
}

void Names::write_json(std::string& out, NameId name) const {
  out += '"';
  if (nodes_[name].parent == kNoName) {
    json::write_string_body(out, nodes_[name].piece.view());
  } else {
    collect(name);
    for (std::size_t i = 0; i < chain_.size(); ++i) {
      if (i) out += '.';
      json::write_string_body(out, chain_[i]->view());
    }
  }
  out += '"';
}

}  // namespace vel::flat
