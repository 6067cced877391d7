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

// A name that refers to the configuration value named by the rest of it ("param." alone
// included); the checker, the flattener and the substitution test for it.
inline constexpr std::string_view kConfigPrefix = "param.";
inline bool is_config_name(std::string_view name) { return name.starts_with(kConfigPrefix); }

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
    static constexpr std::string_view kWord = "view";
    std::string pattern;
    Axes axes;
    bool operator==(const View&) const = default;
  };
  struct Map {
    static constexpr std::string_view kWord = "map";
    std::string function;
    bool operator==(const Map&) const = default;
  };
  struct Fold {
    static constexpr std::string_view kWord = "fold";
    std::string pattern;
    std::string reduction;
    bool operator==(const Fold&) const = default;
  };
  struct Tile {
    static constexpr std::string_view kWord = "tile";
    std::string pattern;
    Axes axes;
    bool operator==(const Tile&) const = default;
  };
  struct Read {
    static constexpr std::string_view kWord = "read";
    std::string pattern;
    bool operator==(const Read&) const = default;
  };
  struct Write {
    static constexpr std::string_view kWord = "write";
    std::string pattern;
    std::string reduction;
    bool operator==(const Write&) const = default;
  };
  struct Contract {
    static constexpr std::string_view kWord = "contract";
    std::string pattern;
    bool operator==(const Contract&) const = default;
  };
  struct Literal {
    static constexpr std::string_view kWord = "literal";
    LiteralValue value;
    bool operator==(const Literal&) const = default;
  };
  struct Iota {
    static constexpr std::string_view kWord = "iota";
    bool operator==(const Iota&) const = default;
  };
  struct Random {
    static constexpr std::string_view kWord = "random";
    double lower;
    double upper;
    bool operator==(const Random&) const = default;
  };
  struct Call {
    static constexpr std::string_view kWord = "call";
    std::string target;
    bool operator==(const Call&) const = default;
  };
  struct Loop {
    static constexpr std::string_view kWord = "loop";
    std::string target;
    LoopCount count;
    bool operator==(const Loop&) const = default;
  };
  struct Cache {
    static constexpr std::string_view kWord = "cache";
    std::string var;
    std::string init;
    std::optional<std::string> extend;
    bool operator==(const Cache&) const = default;
  };

  // The alternatives stand in the kinds' declared order, each with its word.
  using Variant = std::variant<View, Map, Fold, Tile, Read, Write, Contract, Literal, Iota, Random,
                               Call, Loop, Cache>;
  Variant value;

  bool operator==(const OpKind&) const = default;
};

namespace detail {
template <class Variant>
struct KindWords;
template <class... Kinds>
struct KindWords<std::variant<Kinds...>> {
  static constexpr std::string_view words[] = {Kinds::kWord...};
};
}  // namespace detail

// The word of each kind, by the position of its alternative, as source text and the JSON
// member `kind` write it. It is made from the alternatives, so a kind cannot lack a word.
inline constexpr const auto& kKindWords = detail::KindWords<OpKind::Variant>::words;
inline constexpr std::size_t kKindCount = std::variant_size_v<OpKind::Variant>;

inline std::string_view kind_word(const OpKind& kind) { return kKindWords[kind.value.index()]; }
// The position of the kind whose word is `word`, byte for byte; `kKindCount` for none.
std::size_t kind_index(std::string_view word);

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
