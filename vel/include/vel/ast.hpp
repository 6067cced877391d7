// The syntax tree of a vel module: plain records owning all their fields. A copy of a
// record is a deep copy (floats bit for bit), and nothing is checked on construction.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "vel/ordered_map.hpp"
#include "vel/text.hpp"

namespace vel {

struct Dim {
  struct Concrete {
    std::int64_t size;
    bool operator==(const Concrete&) const = default;
  };
  struct Named {
    std::string name;
    bool operator==(const Named&) const = default;
  };
  std::variant<Concrete, Named> value;

  bool operator==(const Dim&) const = default;
};

struct TensorType {
  std::string dtype;
  std::vector<Dim> shape;

  bool operator==(const TensorType&) const = default;
};

// The dtype that marks a dict parameter: a bundle of weights reached by dotted names.
inline constexpr std::string_view kDictDtype = "*";

struct Param {
  std::string name;
  TensorType ty;

  bool operator==(const Param&) const = default;
};

struct Atom {
  struct Int {
    std::int64_t value;
    bool operator==(const Int&) const = default;
  };
  struct Float {
    double value;
    bool operator==(const Float&) const = default;
  };
  struct Name {
    std::string text;
    bool operator==(const Name&) const = default;
  };
  std::variant<Int, Float, Name> value;

  bool operator==(const Atom&) const = default;
};

struct LiteralValue {
  struct Int {
    std::int64_t value;
    bool operator==(const Int&) const = default;
  };
  struct Float {
    double value;
    bool operator==(const Float&) const = default;
  };
  struct List {
    std::vector<LiteralValue> items;
    bool operator==(const List&) const = default;
  };
  std::variant<Int, Float, List> value;

  bool operator==(const LiteralValue&) const = default;
};

struct LoopCount {
  struct Concrete {
    std::uint64_t count;
    bool operator==(const Concrete&) const = default;
  };
  struct Named {
    std::string name;
    bool operator==(const Named&) const = default;
  };
  std::variant<Concrete, Named> value;

  bool operator==(const LoopCount&) const = default;
};

using Axes = OrderedMap<std::int64_t>;

struct OpKind {
  struct View {
    std::string pattern;
    Axes axes;
    bool operator==(const View&) const = default;
  };
  struct Map {
    std::string function;
    bool operator==(const Map&) const = default;
  };
  struct Fold {
    std::string pattern;
    std::string reduction;
    bool operator==(const Fold&) const = default;
  };
  struct Tile {
    std::string pattern;
    Axes axes;
    bool operator==(const Tile&) const = default;
  };
  struct Read {
    std::string pattern;
    bool operator==(const Read&) const = default;
  };
  struct Write {
    std::string pattern;
    std::string reduction;
    bool operator==(const Write&) const = default;
  };
  struct Contract {
    std::string pattern;
    bool operator==(const Contract&) const = default;
  };
  struct Literal {
    LiteralValue value;
    bool operator==(const Literal&) const = default;
  };
  struct Iota {
    bool operator==(const Iota&) const = default;
  };
  struct Random {
    double lower;
    double upper;
    bool operator==(const Random&) const = default;
  };
  struct Call {
    std::string target;
    bool operator==(const Call&) const = default;
  };
  struct Loop {
    std::string target;
    LoopCount count;
    bool operator==(const Loop&) const = default;
  };
  struct Cache {
    std::string var;
    std::string init;
    std::optional<std::string> extend;
    bool operator==(const Cache&) const = default;
  };

  // The alternatives stand in the kinds' declared order; `kind_word` follows it.
  std::variant<View, Map, Fold, Tile, Read, Write, Contract, Literal, Iota, Random, Call, Loop,
               Cache>
      value;

  bool operator==(const OpKind&) const = default;
};

inline constexpr std::string_view kKindWords[] = {
    "view", "map", "fold", "tile", "read", "write", "contract",
    "literal", "iota", "random", "call", "loop", "cache",
};

std::string_view kind_word(const OpKind& kind);

struct Op {
  OpKind kind;
  std::vector<std::string> outputs;
  std::vector<std::optional<TensorType>> output_types;
  std::vector<Atom> args;
  std::vector<std::string> comments;

  bool operator==(const Op&) const = default;
};

struct Function {
  std::string name;
  std::vector<std::string> comments;
  std::vector<Param> params;
  std::vector<Param> returns;
  std::vector<Op> ops;

  bool operator==(const Function&) const = default;
};

struct Module {
  std::vector<std::string> header_comments;
  OrderedMap<Function> functions;

  bool operator==(const Module&) const = default;
};

// Diagnostic text forms, as messages show values: a text in double quotes with the escapes
// of a debug rendering, `Dim` as Concrete(4) or Named("n"), `TensorType` as
// TensorType { dtype: "f32", shape: [Concrete(4)] }.
std::string debug_dim(const Dim& dim);
std::string debug_shape(const std::vector<Dim>& shape);
// `word` names the record: the checker shows its own type record as Ty.
std::string debug_type(const TensorType& type, std::string_view word = "TensorType");

}  // namespace vel
