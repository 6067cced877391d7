// Planning a flattening: before anything is built, every function that the entry reaches
// is visited once, depth first in the order in which building meets it, and the stops that
// building would meet are raised in that order. A function that reaches itself is refused,
// and the size of each function's expansion is known, so the bounds stop a flattening
// before it takes memory. Each function's plan also holds what its own text tells about its
// names: which write each name it reads refers to, and where its parameters and returns are.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "vel/ast.hpp"
#include "vel/hash.hpp"
#include "vel/text.hpp"

namespace vel::flat {

// Sets and maps of texts that the module holds, under the keyed hash: names made to collide
// cost no more than any others.
using TextSet = std::unordered_set<std::string_view, TextHash, std::equal_to<>>;
template <class V>
using TextMap = std::unordered_map<std::string_view, V, TextHash, std::equal_to<>>;

// --- bounds ---

// Stops the flattening when a flat function would pass the bound on operations, or on the
// bytes its operations take (in memory, or in JSON text as written, whichever is more).
[[noreturn]] void stop_too_many_ops();
[[noreturn]] void stop_too_many_bytes();
std::uint64_t max_flat_ops();
std::uint64_t max_flat_bytes();

// An operation of the module as its copies in the flat function are written: its JSON
// text with its names left out, and where each goes, made once however often it is copied.
struct OpText {
  const Op* op = nullptr;
  std::string text;
  std::vector<std::uint32_t> names;  // where the outputs' names go in `text`, then the arguments'
  // The bytes of each copy besides its names: its record, the blocks of its lists, types,
  // comments and kind, or its JSON text, whichever is more.
  std::uint64_t bytes = 0;
};
OpText op_text(const Op& op);
// What one name adds to that: its JSON text, or its block in memory, whichever is more.
std::uint64_t name_bytes(std::uint64_t json_size);
// The bytes of a parameter or a return that a cache slot adds, besides its name.
std::uint64_t param_bytes(const TensorType& type);

// --- names ---

// The operation arguments that are configuration names, or symbolic dimensions of the
// types of their own function: where nothing binds them they keep their text, in whichever
// function they appear.
class KeptNames {
 public:
  explicit KeptNames(const Module& module);
  bool contains(std::string_view name) const { return names_.contains(name); }
  // Whether the name may stand for a configuration value or a dimension anywhere: a
  // configuration name, or a symbolic dimension of any function.
  bool may_mean_itself(std::string_view name) const {
    return contains(name) || is_config_name(name) || dims_.contains(name);
  }

 private:
  TextSet names_;  // views of the module's texts, which outlives the flattening
  TextSet dims_;
};

// Where each name stands among a function's parameters and returns.
struct Positions {
  using Map = TextMap<SmallList<std::uint32_t, 1>>;
  Map params;                             // every parameter, positions ascending
  Map returns;                            // the returns that are not parameters
  std::vector<std::size_t> dict_lengths;  // of dict parameters' names, longest first
};

// What a name that an operation reads means as far as its own function tells: the write of
// the function it reads, or, when none comes before, what the call that inlines the
// function binds it to.
struct NameRef {
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};
  std::uint32_t slot = kNone;   // the write it reads
  std::uint32_t param = kNone;  // otherwise the only parameter of that name
  std::uint32_t dict = kNone;   // or the dict parameter of which it is a field (longest name)
  bool kept = false;            // and otherwise whether it keeps its text
  bool plain = true;            // false: any of these needs the general lookup by text
  bool field = false;           // the name is a field of the dict parameter, not the parameter
  Text rest;                    // the field's part after the parameter's name and point
};

// One write of a function: an output of one of its operations that gets a value.
struct Slot {
  std::uint32_t op;
  std::uint32_t ret = NameRef::kNone;  // the first return of the output's name
  bool last = false;                   // no later operation writes that return
  NameRef before;                      // what the name meant before the write
};

// What a function's text tells about its names.
struct BodyNames {
  Positions where;
  std::vector<Slot> slots;
  std::vector<std::uint32_t> first_slot;  // by operation, one past the last at the end
  std::vector<std::uint32_t> first_arg;   // by operation, into `args`
  std::vector<NameRef> args;              // every argument of every operation, in order
  std::vector<NameRef> returns;           // what each return reads at the end of the body
  std::vector<OpText> texts;              // by operation; none for a call or a loop
  // Every write by its name, in order; for names put together while building (a field of
  // a dict argument, a loop's starred argument), which may meet any of them.
  TextMap<std::vector<std::uint32_t>> writes;
  bool dotted = false;  // a parameter or a write has a point in its name
  TextSet dims;         // the symbolic dimensions of its types

  std::uint32_t slot_count(std::size_t op) const { return first_slot[op + 1] - first_slot[op]; }
  const NameRef& arg(std::size_t op, std::size_t k) const { return args[first_arg[op] + k]; }
};

// Whether a name that nothing binds in the function keeps its text there: a kept name, or
// one that stands for a configuration value or a dimension of the function's own types
// (which only a return can name without being a kept name).
inline bool keeps_text(const KeptNames& kept, const BodyNames& fn, std::string_view name) {
  return kept.contains(name) || is_config_name(name) || fn.dims.contains(name);
}

// --- plans ---

// One operation of a planned function, as building meets it.
struct Step {
  const Op* source;
  const Function* callee = nullptr;  // what a call, or a loop that runs at least once, inlines
  std::uint64_t count = 0;           // a loop's iterations
  std::uint32_t threaded = 0;        // a loop's threaded argument

  const Op& op() const { return *source; }
};

struct Plan {
  const Function* fn = nullptr;
  bool done = false;  // false while its operations are still being planned
  std::vector<Step> steps;
  std::uint64_t size = 0;   // operations in the expansion
  std::uint64_t words = 0;  // and their outputs and arguments, to size the lists that hold them
  std::uint64_t bytes = 0;  // and the bytes they take, by `OpText::bytes` and their names
  BodyNames names;
};

// The plans of one flattening, each function's made once however often it is reached.
class Planner {
 public:
  Planner(const Module& module, const KeptNames& kept) : module_(module), kept_(kept) {}

  // Plans `fn` and everything its expansion reaches, stopping on the first failure that
  // building would meet.
  const Plan& plan(const Function* fn);
  const Plan& at(const Function* fn) const { return plans_.at(fn); }
  const Module& module() const { return module_; }
  const KeptNames& kept() const { return kept_; }

 private:
  const Module& module_;
  const KeptNames& kept_;
  std::unordered_map<const Function*, Plan> plans_;
};

std::string_view target_of(const Op& op);
// A call with more arguments than its callee has parameters, or none for a callee that
// has some, stops the flattening.
void check_arity(std::string_view target, std::size_t args, std::size_t params);
// The first argument of a loop that is a name equal to its first output.
std::optional<std::uint32_t> threaded_arg(const Op& loop);

}  // namespace vel::flat
