// The axis resolver: fills the axes of view and tile operations from declared types.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "vel/ast.hpp"

namespace vel {

// A copy of `module` with the axes of its view and tile operations filled in.
Module resolve(const Module& module);
// The same, made in the place of a module that is no longer needed.
Module resolve(Module&& module);

// The tokens of one pattern side, left to right, each pointing into `side`: "...", "(",
// ")", identifiers (an ASCII letter or "_", then every word character of any script that
// follows) and numbers (decimal digits of any script). Whatever begins no token is skipped.
std::vector<std::string_view> pattern_tokens(std::string_view side);

// One element of a pattern side: an axis name, or the tokens between a "(" and the next
// ")", taken as they stand.
struct PatternElem {
  struct Name {
    std::string text;
    bool operator==(const Name&) const = default;
  };
  struct Group {
    std::vector<std::string> members;
    bool operator==(const Group&) const = default;
  };
  std::variant<Name, Group> value;

  bool operator==(const PatternElem&) const = default;
};

struct PatternSide {
  bool has_ellipsis = false;  // a "..." outside every group
  std::vector<PatternElem> elems;

  bool operator==(const PatternSide&) const = default;
};

// The elements of one side of a pattern; a "(" that no ")" closes stops the call.
PatternSide parse_pattern_side(std::string_view side);

}  // namespace vel
