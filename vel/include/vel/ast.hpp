// The syntax tree of a vel module: plain records owning all their fields. A copy of a
// record is a deep copy (floats bit for bit), and nothing is checked on construction.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <variant>
#include <vector>

#include "vel/ordered_map.hpp"
#include "vel/shared_text.hpp"
#include "vel/small_list.hpp"
#include "vel/text.hpp"

namespace vel {

struct Dim {
  struct Concrete {
    std::int64_t size;
    bool operator==(const Concrete&) const = default;
  };
  struct Named {
    Text name;
    bool operator==(const Named&) const = default;
  };
  std::variant<Concrete, Named> value;

  bool operator==(const Dim&) const = default;
};

// Most shapes have one to three dimensions; two stay inside the record.
using Shape = SmallList<Dim, 2>;

struct TensorType {
  Text dtype;
  Shape shape;

  bool operator==(const TensorType&) const = default;
};

// The dtype that marks a dict parameter: a bundle of weights reached by dotted names.
inline constexpr std::string_view kDictDtype = "*";

// A name that refers to the configuration value named by the rest of it ("param." alone
// included); the checker, the flattener and the substitution test for it.
inline constexpr std::string_view kConfigPrefix = "param.";
inline bool is_config_name(std::string_view name) { return name.starts_with(kConfigPrefix); }

struct Param {
  Text name;
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
    Text text;
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
    Text name;
    bool operator==(const Named&) const = default;
  };
  std::variant<Concrete, Named> value;

  bool operator==(const LoopCount&) const = default;
};

// The sizes of a view's or a tile's axes by name. Most operations have none, so the record
// holds only the place of its entries, which its copies share until one of them changes.
class Axes {
 public:
  using Map = OrderedMap<std::int64_t>;
  using Entry = Map::Entry;
  using Pair = Map::Pair;

  static Axes from_pairs(std::vector<Pair> pairs) { return from_pairs<Text>(std::move(pairs)); }
  template <class Key>
  static Axes from_pairs(std::vector<std::pair<Key, std::int64_t>> pairs) {
    Axes axes;
    for (auto& [key, value] : pairs) axes.store(std::move(key), value);
    return axes;
  }

  std::int64_t& store(Text key, std::int64_t value) {
    if (!map_)
      map_ = std::make_shared<Map>();
    else if (map_.use_count() > 1)
      map_ = std::make_shared<Map>(*map_);
    return map_->store(std::move(key), value);
  }
  const std::int64_t* find(std::string_view key) const { return map_ ? map_->find(key) : nullptr; }

  const std::vector<Entry>& entries() const { return map_ ? map_->entries() : kNone; }
  std::size_t size() const { return entries().size(); }
  bool empty() const { return entries().empty(); }
  auto begin() const { return entries().begin(); }
  auto end() const { return entries().end(); }

  bool operator==(const Axes& other) const { return entries() == other.entries(); }

 private:
  static inline const std::vector<Entry> kNone{};
  std::shared_ptr<Map> map_;
};

// One member of an operation kind: its name in the JSON form, where the kind keeps it, and
// whether a JSON record of the kind without it is refused instead of given the default.
template <class Kind, class T>
struct KindMember {
  using Type = T;
  std::string_view name;
  T Kind::*field;
  bool required = false;
};

template <class Kind, class T>
constexpr KindMember<Kind, T> kind_member(std::string_view name, T Kind::*field,
                                          bool required = false) {
  return {name, field, required};
}

// Every kind describes its members once, in the order the JSON form writes them, with a
// static constexpr `shape()`; the JSON writer and reader and the size estimate follow it.
struct OpKind {
  struct View {
    static constexpr std::string_view kWord = "view";
    Text pattern;
    Axes axes;
    static constexpr auto shape() {
      return std::tuple{kind_member("pattern", &View::pattern), kind_member("axes", &View::axes)};
    }
    bool operator==(const View&) const = default;
  };
  struct Map {
    static constexpr std::string_view kWord = "map";
    Text function;
    static constexpr auto shape() { return std::tuple{kind_member("function", &Map::function)}; }
    bool operator==(const Map&) const = default;
  };
  struct Fold {
    static constexpr std::string_view kWord = "fold";
    Text pattern;
    Text reduction;
    static constexpr auto shape() {
      return std::tuple{kind_member("pattern", &Fold::pattern),
                        kind_member("reduction", &Fold::reduction)};
    }
    bool operator==(const Fold&) const = default;
  };
  struct Tile {
    static constexpr std::string_view kWord = "tile";
    Text pattern;
    Axes axes;
    static constexpr auto shape() {
      return std::tuple{kind_member("pattern", &Tile::pattern), kind_member("axes", &Tile::axes)};
    }
    bool operator==(const Tile&) const = default;
  };
  struct Read {
    static constexpr std::string_view kWord = "read";
    Text pattern;
    static constexpr auto shape() { return std::tuple{kind_member("pattern", &Read::pattern)}; }
    bool operator==(const Read&) const = default;
  };
  struct Write {
    static constexpr std::string_view kWord = "write";
    Text pattern;
    Text reduction;
    static constexpr auto shape() {
      return std::tuple{kind_member("pattern", &Write::pattern),
                        kind_member("reduction", &Write::reduction)};
    }
    bool operator==(const Write&) const = default;
  };
  struct Contract {
    static constexpr std::string_view kWord = "contract";
    Text pattern;
    static constexpr auto shape() { return std::tuple{kind_member("pattern", &Contract::pattern)}; }
    bool operator==(const Contract&) const = default;
  };
  struct Literal {
    static constexpr std::string_view kWord = "literal";
    LiteralValue value;
    static constexpr auto shape() { return std::tuple{kind_member("value", &Literal::value)}; }
    bool operator==(const Literal&) const = default;
  };
  struct Iota {
    static constexpr std::string_view kWord = "iota";
    static constexpr auto shape() { return std::tuple{}; }
    bool operator==(const Iota&) const = default;
  };
  struct Random {
    static constexpr std::string_view kWord = "random";
    double lower;
    double upper;
    static constexpr auto shape() {
      return std::tuple{kind_member("lower", &Random::lower, true),
                        kind_member("upper", &Random::upper, true)};
    }
    bool operator==(const Random&) const = default;
  };
  struct Call {
    static constexpr std::string_view kWord = "call";
    Text target;
    static constexpr auto shape() { return std::tuple{kind_member("target", &Call::target)}; }
    bool operator==(const Call&) const = default;
  };
  struct Loop {
    static constexpr std::string_view kWord = "loop";
    Text target;
    LoopCount count;
    static constexpr auto shape() {
      return std::tuple{kind_member("target", &Loop::target), kind_member("count", &Loop::count)};
    }
    bool operator==(const Loop&) const = default;
  };
  struct Cache {
    static constexpr std::string_view kWord = "cache";
    Text var;
    Text init;
    std::optional<Text> extend;
    static constexpr auto shape() {
      return std::tuple{kind_member("var", &Cache::var), kind_member("init", &Cache::init),
                        kind_member("extend", &Cache::extend)};
    }
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

namespace detail {
template <class Kind, class Variant>
struct KindPosition;
template <class Kind, class... Kinds>
struct KindPosition<Kind, std::variant<Kinds...>> {
  static constexpr std::size_t value = [] {
    constexpr bool same[] = {std::is_same_v<Kind, Kinds>...};
    for (std::size_t i = 0; i < sizeof...(Kinds); ++i)
      if (same[i]) return i;
    return sizeof...(Kinds);
  }();
};
}  // namespace detail

// The position of a kind's alternative, as `kind_index` gives it for its word.
template <class Kind>
inline constexpr std::size_t kKindPosition = detail::KindPosition<Kind, OpKind::Variant>::value;

// Calls `f(member, value)` for each member of the kind, in the order of its shape.
template <class Kind, class F>
void each_member(Kind& kind, F&& f) {
  std::apply([&](const auto&... member) { (f(member, kind.*member.field), ...); },
             std::remove_const_t<Kind>::shape());
}

// About the memory that a kind's members hold outside its record: their texts, axis
// entries and literal elements.
std::size_t kind_bytes(const OpKind& kind);
// The same for one literal value, the record itself included.
std::size_t literal_bytes(const LiteralValue& value);

// An operation's lists as they nearly always are: one output, one or two arguments.
using Outputs = SmallList<Text, 1>;
using OutputTypes = SmallList<std::optional<TensorType>, 1>;
using Args = SmallList<Atom, 2>;

struct Op {
  OpKind kind;
  Outputs outputs;
  OutputTypes output_types;
  Args args;
  std::vector<Text> comments;

  bool operator==(const Op&) const = default;
};

struct Function {
  Text name;
  std::vector<Text> comments;
  std::vector<Param> params;
  std::vector<Param> returns;
  std::vector<Op> ops;

  bool operator==(const Function&) const = default;
};

struct Module {
  std::vector<Text> header_comments;
  OrderedMap<Function> functions;

  bool operator==(const Module&) const = default;
};

// Diagnostic text forms, as messages show values: a text in double quotes with the escapes
// of a debug rendering, `Dim` as Concrete(4) or Named("n"), `TensorType` as
// TensorType { dtype: "f32", shape: [Concrete(4)] }.
std::string debug_dim(const Dim& dim);
std::string debug_shape(std::span<const Dim> shape);
// `word` names the record: the checker shows its own type record as Ty.
std::string debug_type(const TensorType& type, std::string_view word = "TensorType");

}  // namespace vel
