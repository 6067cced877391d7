#include "vel/resolve.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "vel/ascii.hpp"
#include "vel/interrupt.hpp"
#include "vel/stop.hpp"
#include "vel/text.hpp"
#include "vel/unicode.hpp"

namespace vel {

namespace {

constexpr std::string_view kEllipsis = "...";
constexpr std::string_view kOpen = "(";
constexpr std::string_view kClose = ")";
constexpr std::string_view kArrow = "->";

// The end of the run of characters from `i` on that `keep` accepts.
template <class Keep>
std::size_t run_end(std::string_view text, std::size_t i, Keep keep) {
  while (i < text.size()) {
    poll_interrupt();  // one axis name may run for megabytes
    std::size_t next = i;
    if (!keep(unicode::decode_utf8(text, next))) break;
    i = next;
  }
  return i;
}

// The end of the token that begins at `i`, or `i` itself when none does. At every place at
// most one kind of token can begin, so the first kind that fits is the only one.
std::size_t token_end(std::string_view text, std::size_t i) {
  char c = text[i];
  if (text.substr(i, kEllipsis.size()) == kEllipsis) return i + kEllipsis.size();
  if (c == kOpen[0] || c == kClose[0]) return i + 1;
  if (ascii::is_letter(c) || c == '_') return run_end(text, i + 1, unicode::is_word_char);
  if (static_cast<unsigned char>(c) < 0x80 && !ascii::is_digit(c)) return i;  // begins none
  std::size_t after = i;
  if (!unicode::is_decimal_number(unicode::decode_utf8(text, after))) return i;
  return run_end(text, after, unicode::is_decimal_number);
}

bool begins_with_digit(std::string_view name) { return !name.empty() && ascii::is_digit(name[0]); }

// Each element of a side stands for one dimension; with "..." the last element meets the
// last dimension. `visit` sees the elements whose place lies within the shape.
template <class Visit>
void for_each_placed(const PatternSide& side, const Shape& shape, Visit visit) {
  auto rank = static_cast<std::ptrdiff_t>(shape.size());
  auto count = static_cast<std::ptrdiff_t>(side.elems.size());
  std::ptrdiff_t place = side.has_ellipsis ? rank - count : 0;
  for (const PatternElem& elem : side.elems) {
    poll_interrupt();
    if (place >= 0 && place < rank) visit(elem, shape[static_cast<std::size_t>(place)]);
    ++place;
  }
}

using Sizes = std::unordered_map<std::string_view, std::int64_t, TextHash>;
// Value names and their types, which live in the function being resolved: its parameters,
// then the outputs of its operations up to the one asking, a later definition hiding an
// earlier one. Gathered only once an operation asks, since most functions have no view or
// tile whose axes are left to find.
class KnownTypes {
 public:
  KnownTypes(const std::vector<Param>& params, const std::vector<Op>& ops)
      : params_(params), ops_(ops) {}

  // The type of `name` as the operation at `at` sees it, its own outputs included.
  const TensorType* find(std::string_view name, std::size_t at) {
    if (!started_) {
      for (const Param& param : params_) types_.insert_or_assign(param.name, &param.ty);
      started_ = true;
    }
    for (; gathered_ <= at; ++gathered_) add_outputs(ops_[gathered_]);
    auto found = types_.find(name);
    return found == types_.end() ? nullptr : found->second;
  }

 private:
  void add_outputs(const Op& op) {
    std::size_t typed = std::min(op.outputs.size(), op.output_types.size());
    for (std::size_t i = 0; i < typed; ++i)
      if (op.output_types[i]) types_.insert_or_assign(op.outputs[i], &*op.output_types[i]);
  }

  const std::vector<Param>& params_;
  const std::vector<Op>& ops_;
  bool started_ = false;
  std::size_t gathered_ = 0;  // the operations whose outputs are in `types_`
  std::unordered_map<std::string_view, const TensorType*, TextHash> types_;
};

const std::int64_t* concrete_size(const Dim& dim) {
  const auto* concrete = std::get_if<Dim::Concrete>(&dim.value);
  return concrete ? &concrete->size : nullptr;
}

// The sizes that the first input's shape gives to the single names of the left side; a
// name seen twice keeps its later size.
Sizes bind_sizes(const PatternSide& left, const TensorType& input) {
  Sizes sizes;
  for_each_placed(left, input.shape, [&](const PatternElem& elem, const Dim& dim) {
    const auto* name = std::get_if<PatternElem::Name>(&elem.value);
    const std::int64_t* size = concrete_size(dim);
    if (name && size && !begins_with_digit(name->text)) sizes.insert_or_assign(name->text, *size);
  });
  return sizes;
}

// A group's one member of unknown size takes the dimension divided by the product of the
// others; with no unknown, several, or a product that is not positive, nothing is written.
void size_group(const PatternElem::Group& group, std::int64_t dim, const Sizes& sizes, Axes& axes) {
  std::uint64_t product = 1;  // wraps around on overflow
  const std::string* unknown = nullptr;
  std::size_t unknowns = 0;
  for (const std::string& member : group.members) {
    poll_interrupt();
    if (auto found = sizes.find(member); found != sizes.end()) {
      product *= static_cast<std::uint64_t>(found->second);
    } else {
      unknown = &member;
      ++unknowns;
    }
  }
  auto divisor = static_cast<std::int64_t>(product);
  if (unknowns == 1 && divisor > 0) axes.store(*unknown, dim / divisor);
}

Axes resolve_axes(std::string_view pattern, const TensorType* input, const TensorType& declared) {
  std::size_t arrow = pattern.find(kArrow);
  PatternSide left = parse_pattern_side(pattern.substr(0, arrow));
  PatternSide right = parse_pattern_side(pattern.substr(arrow + kArrow.size()));
  std::unordered_set<std::string_view, TextHash> left_names;
  for (const PatternElem& elem : left.elems) {
    poll_interrupt();
    if (const auto* name = std::get_if<PatternElem::Name>(&elem.value))
      left_names.insert(name->text);
  }
  Sizes sizes = input ? bind_sizes(left, *input) : Sizes{};

  Axes axes;
  for_each_placed(right, declared.shape, [&](const PatternElem& elem, const Dim& dim) {
    const std::int64_t* size = concrete_size(dim);
    if (!size) return;
    if (const auto* group = std::get_if<PatternElem::Group>(&elem.value)) {
      size_group(*group, *size, sizes, axes);
      return;
    }
    const std::string& name = std::get<PatternElem::Name>(elem.value).text;
    if (!begins_with_digit(name) && !left_names.contains(name)) axes.store(name, *size);
  });
  return axes;
}

// The type of the operation's first input, when it is a name whose type is known.
const TensorType* first_input_type(const Op& op, std::size_t at, KnownTypes& known) {
  if (op.args.empty()) return nullptr;
  const auto* name = std::get_if<Atom::Name>(&op.args[0].value);
  return name ? known.find(name->text, at) : nullptr;
}

// The pattern and axes of a view or tile; nothing for the other kinds.
std::pair<const Text*, Axes*> pattern_and_axes(OpKind& kind) {
  if (auto* view = std::get_if<OpKind::View>(&kind.value)) return {&view->pattern, &view->axes};
  if (auto* tile = std::get_if<OpKind::Tile>(&kind.value)) return {&tile->pattern, &tile->axes};
  return {nullptr, nullptr};
}

// The operation at `at` of its function, whose own outputs are known before its input is
// looked up, so an input may name one.
void resolve_op(Op& op, std::size_t at, KnownTypes& known) {
  if (op.output_types.empty()) stop(first_of_empty_message());
  if (!op.output_types[0]) return;
  auto [pattern, axes] = pattern_and_axes(op.kind);
  if (!axes || !axes->empty() || pattern->find(kArrow) == std::string::npos) return;
  Axes found = resolve_axes(*pattern, first_input_type(op, at, known), *op.output_types[0]);
  if (!found.empty()) *axes = std::move(found);
}

// Built one operation at a time, so that a large function is never copied whole between
// two polls; the room is reserved first, so the types that `known` points at stay put.
Function resolved_function(const Function& function) {
  Function out{function.name, function.comments, function.params, function.returns, {}};
  out.ops.reserve(function.ops.size());
  KnownTypes known(out.params, out.ops);
  for (const Op& op : function.ops) {
    poll_interrupt();
    Op& made = out.ops.emplace_back(op);
    resolve_op(made, out.ops.size() - 1, known);
  }
  return out;
}

// The same in the function's own place, whose operations stay put.
void resolve_in_place(Function& function) {
  KnownTypes known(function.params, function.ops);
  for (std::size_t at = 0; at < function.ops.size(); ++at) {
    poll_interrupt();
    resolve_op(function.ops[at], at, known);
  }
}

}  // namespace

std::vector<std::string_view> pattern_tokens(std::string_view side) {
  std::vector<std::string_view> tokens;
  std::size_t i = 0;
  while (i < side.size()) {
    poll_interrupt();
    std::size_t end = token_end(side, i);
    if (end == i) {
      unicode::decode_utf8(side, i);  // skips the character
      continue;
    }
    tokens.push_back(side.substr(i, end - i));
    i = end;
  }
  return tokens;
}

PatternSide parse_pattern_side(std::string_view side) {
  std::vector<std::string_view> tokens = pattern_tokens(side);
  PatternSide out;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    poll_interrupt();
    if (tokens[i] == kEllipsis) {
      out.has_ellipsis = true;
    } else if (tokens[i] != kOpen) {
      out.elems.push_back({PatternElem::Name{std::string(tokens[i])}});
    } else {
      PatternElem::Group group;
      for (++i;; ++i) {
        poll_interrupt();
        if (i == tokens.size()) stop(bounds_message(tokens.size(), tokens.size()));
        if (tokens[i] == kClose) break;
        group.members.emplace_back(tokens[i]);
      }
      out.elems.push_back({std::move(group)});
    }
  }
  return out;
}

Module resolve(Module&& module) {
  Module out = std::move(module);
  for (auto& [key, fn] : out.functions) resolve_in_place(fn);
  return out;
}

Module resolve(const Module& module) {
  Module out{module.header_comments, {}};
  out.functions.reserve(module.functions.size());
  for (const auto& [key, fn] : module.functions) out.functions.store(key, resolved_function(fn));
  return out;
}

}  // namespace vel
