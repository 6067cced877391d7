// The flat function as flattening builds it, before its values have their names: every
// operation refers to the operation of the module it copies, and its arguments to the
// values that earlier operations wrote, to texts the flat function keeps as they are, or to
// numbers. Which text names each value is decided once the whole function is known.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "flat_names.hpp"
#include "flatten_plan.hpp"
#include "page_allocator.hpp"
#include "vel/ast.hpp"

namespace vel::flat {

using ValueId = std::uint32_t;

// What an argument, a binding or a return stands for: a value that an operation writes, a
// text that the flat function keeps (a parameter, a dimension, a configuration name, a
// weight reference, a name nothing defines), or an argument of the module taken as it is (a
// number, or a name that keeps its text). Eight bytes: an atom is one of the module's, and
// its address tells it apart from the tagged indexes of the other two.
class Ref {
 public:
  enum class Kind : std::uint8_t { None, Value, Name, Atom };

  Ref() = default;
  static Ref value(ValueId id) { return Ref(std::uint64_t{id} << 2 | kValueTag); }
  static Ref name(NameId id) { return Ref(std::uint64_t{id} << 2 | kNameTag); }
  static Ref atom(const vel::Atom& atom) { return Ref(reinterpret_cast<std::uint64_t>(&atom)); }

  Kind kind() const {
    if (bits_ == 0) return Kind::None;
    switch (bits_ & 3) {
      case kValueTag: return Kind::Value;
      case kNameTag: return Kind::Name;
      default: return Kind::Atom;
    }
  }
  explicit operator bool() const { return bits_ != 0; }
  bool is_value() const { return (bits_ & 3) == kValueTag; }
  ValueId value_id() const { return static_cast<ValueId>(bits_ >> 2); }
  NameId name_id() const { return static_cast<NameId>(bits_ >> 2); }
  const vel::Atom& atom() const { return *reinterpret_cast<const vel::Atom*>(bits_); }

  bool operator==(const Ref&) const = default;

 private:
  static constexpr std::uint64_t kValueTag = 1, kNameTag = 2;
  static_assert(alignof(vel::Atom) >= 4, "an atom's address leaves its two low bits free");
  explicit Ref(std::uint64_t bits) : bits_(bits) {}
  std::uint64_t bits_ = 0;
};

// The position after the last operation, where the flat function's returns are read.
inline constexpr std::uint32_t kEnd = std::numeric_limits<std::uint32_t>::max();

// A value that an operation of the flat function writes.
struct Value {
  // The names that the rules of inlining give it, the first preferred: where the value is
  // a call's returned value, the output it stands for in the calls around, then the name
  // it has one call further in; otherwise its local name, and `second` is kNoName.
  NameId first = kNoName;
  NameId second = kNoName;
  std::uint32_t def = 0;   // the operation that writes it
  std::uint32_t last = 0;  // the last one that reads it (def when none), kEnd when returned
  NameId name = kNoName;   // the name it is given
  bool pinned = false;     // `name` is the interface's: a declared return or a cache slot
};

struct FlatOp {
  const OpText* text;  // the operation of the module it copies, and its text without names
  std::uint32_t args;  // its first argument in `FlatProgram::args`
  ValueId outputs;     // its first output; each output is a value of its own

  const Op& source() const { return *text->op; }
};

// A parameter or a return of the flat function: the record as it will stand, and for a
// return, what it reads.
struct FlatParam {
  Param param;
  Ref ref{};
};

struct FlatProgram {
  Names names;
  PagedList<FlatOp> ops;
  PagedList<Ref> args;
  PagedList<Value> values;
  // A cache operation copied into an iteration of a loop, with its var made the
  // iteration's own: the operation's index and the var.
  std::vector<std::pair<std::uint32_t, Text>> vars;
  // The names that stand for the incoming values of cache slots fed from outside, in the
  // order made: texts that are not weight references, whatever their names.
  std::vector<NameId> incoming;
  // The weight references renamed, in the order made: texts that mean a weight whatever
  // their names.
  std::vector<NameId> renamed;
  // The entry's parameters, then the cache slots' (fed from outside).
  std::vector<FlatParam> params;
  // The entry's declared returns, then the cache slots'.
  std::vector<FlatParam> returns;
  std::size_t declared_returns = 0;
  // The bytes its operations take, in memory or as JSON text, whichever is more; and the
  // length of their JSON text, with every value under the first of its names.
  std::uint64_t bytes = 0;
  std::uint64_t json_bytes = 0;

  std::size_t args_of(std::size_t op) const { return ops[op].source().args.size(); }
  std::size_t outputs_of(std::size_t op) const { return ops[op].source().outputs.size(); }
};

}  // namespace vel::flat
