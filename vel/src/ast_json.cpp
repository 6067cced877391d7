#include "vel/ast_json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <limits>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "json_record.hpp"
#include "op_record.hpp"
#include "vel/json.hpp"
#include "vel/stop.hpp"

namespace vel {

namespace {

using namespace std::string_view_literals;

using json::write_strings;

template <class List>
void write_records(std::string& out, const List& items) {
  out += '[';
  for (std::size_t i = 0; i < items.size(); ++i) {
    poll_interrupt();
    if (i) out += ',';
    serialize(out, items[i]);
  }
  out += ']';
}

void write_member(std::string& out, std::string_view name_and_colon, std::string_view text) {
  out.append(name_and_colon);
  json::write_string(out, text);
}

// Members that stand in the JSON form only when they hold something.
bool written(const Axes& axes) { return !axes.empty(); }
bool written(const std::optional<Text>& text) { return text.has_value(); }
template <class T>
bool written(const T&) {
  return true;
}

void write_value(std::string& out, const Text& text) { json::write_string(out, text); }
void write_value(std::string& out, const std::optional<Text>& text) {
  json::write_string(out, *text);
}

void write_value(std::string& out, const Axes& axes) {
  out += '{';
  bool first = true;
  for (const auto& [name, size] : axes) {
    if (!first) out += ',';
    first = false;
    json::write_string(out, name);
    out += ':';
    append_int(out, size);
  }
  out += '}';
}

// A bound that is an infinity or NaN has no JSON number, and is written as null.
void write_bound(std::string& out, double value) {
  if (std::isfinite(value))
    json::write_float(out, value);
  else
    out.append("null"sv);
}

void write_literal_float(std::string& out, double value) {
  if (std::isfinite(value))
    json::write_float(out, value);
  else if (std::isnan(value))
    out.append("\"nan\""sv);
  else
    out.append(value > 0 ? "\"inf\""sv : "\"-inf\""sv);
}

// A bound that is an infinity or NaN has no JSON number: see `write_bound`.
void write_value(std::string& out, double bound) { write_bound(out, bound); }

void write_value(std::string& out, const LoopCount& count) {
  if (const auto* concrete = std::get_if<LoopCount::Concrete>(&count.value))
    append_uint(out, concrete->count);
  else
    json::write_string(out, std::get<LoopCount::Named>(count.value).name);
}

void write_value(std::string& out, const LiteralValue& value) { serialize(out, value); }

// `,"name":` for a member named `name`, made once.
template <std::size_t N>
struct MemberKey {
  char text[N + 4] = {};
  constexpr explicit MemberKey(std::string_view name) {
    text[0] = ',';
    text[1] = '"';
    for (std::size_t i = 0; i < N; ++i) text[2 + i] = name[i];
    text[N + 2] = '"';
    text[N + 3] = ':';
  }
  constexpr std::string_view view() const { return {text, N + 4}; }
};

template <class Kind, std::size_t M>
void write_kind_member(std::string& out, const Kind& kind) {
  static constexpr auto member = std::get<M>(Kind::shape());
  static constexpr MemberKey<member.name.size()> key{member.name};
  const auto& value = kind.*member.field;
  if (!written(value)) return;
  out.append(key.view());
  write_value(out, value);
}

// The kind's own members, after `kind`.
void write_kind_members(std::string& out, const OpKind& kind) {
  std::visit(
      [&out]<class Kind>(const Kind& k) {
        [&]<std::size_t... M>(std::index_sequence<M...>) {
          (write_kind_member<Kind, M>(out, k), ...);
        }
        (std::make_index_sequence<op_record::kShapeSize<Kind>>{});
      },
      kind.value);
}

}  // namespace

void serialize(std::string& out, const Dim& dim) {
  if (const auto* concrete = std::get_if<Dim::Concrete>(&dim.value))
    append_int(out, concrete->size);
  else
    json::write_string(out, std::get<Dim::Named>(dim.value).name);
}

void serialize(std::string& out, const TensorType& type) {
  out.append("{\"dtype\":"sv);
  json::write_string(out, type.dtype);
  out.append(",\"shape\":["sv);
  for (std::size_t i = 0; i < type.shape.size(); ++i) {
    if (i) out += ',';
    serialize(out, type.shape[i]);
  }
  out.append("]}"sv);
}

void serialize(std::string& out, const Atom& atom) {
  switch (atom.value.index()) {
    case 0: append_int(out, std::get<Atom::Int>(atom.value).value); break;
    case 1: write_bound(out, std::get<Atom::Float>(atom.value).value); break;
    default: json::write_string(out, std::get<Atom::Name>(atom.value).text);
  }
}

// Lists may nest to any depth, so the writer keeps its own stack instead of recursing.
void serialize(std::string& out, const LiteralValue& value) {
  std::vector<std::pair<const std::vector<LiteralValue>*, std::size_t>> open;
  const LiteralValue* next = &value;
  for (;;) {
    poll_interrupt();
    if (next) {
      if (const auto* i = std::get_if<LiteralValue::Int>(&next->value)) {
        append_int(out, i->value);
      } else if (const auto* f = std::get_if<LiteralValue::Float>(&next->value)) {
        write_literal_float(out, f->value);
      } else {
        out += '[';
        open.emplace_back(&std::get<LiteralValue::List>(next->value).items, 0);
      }
      next = nullptr;
    }
    if (open.empty()) return;
    auto& [items, index] = open.back();
    if (index == items->size()) {
      out += ']';
      open.pop_back();
      continue;
    }
    if (index) out += ',';
    next = &(*items)[index++];
  }
}

void serialize_kind(std::string& out, const OpKind& kind) {
  out.append("{\"kind\":\""sv);
  out.append(kind_word(kind));
  out += '"';
  write_kind_members(out, kind);
}

void serialize(std::string& out, const Op& op) {
  serialize_kind(out, op.kind);
  out.append(",\"outputs\":"sv);
  write_strings(out, op.outputs);
  out.append(",\"output_types\":"sv);
  serialize(out, op.output_types);
  out.append(",\"args\":"sv);
  write_records(out, op.args);
  if (!op.comments.empty()) {
    out.append(",\"comments\":"sv);
    write_strings(out, op.comments);
  }
  out += '}';
}

void serialize(std::string& out, const OutputTypes& types) {
  out += '[';
  for (std::size_t i = 0; i < types.size(); ++i) {
    if (i) out += ',';
    if (types[i])
      serialize(out, *types[i]);
    else
      out.append("null"sv);
  }
  out += ']';
}

void serialize(std::string& out, const Param& param) {
  write_member(out, "{\"name\":"sv, param.name);
  out.append(",\"ty\":"sv);
  serialize(out, param.ty);
  out += '}';
}

void serialize(std::string& out, const Function& function) {
  write_member(out, "{\"name\":"sv, function.name);
  if (!function.comments.empty()) {
    out.append(",\"comments\":"sv);
    write_strings(out, function.comments);
  }
  out.append(",\"params\":"sv);
  write_records(out, function.params);
  out.append(",\"returns\":"sv);
  write_records(out, function.returns);
  out.append(",\"ops\":"sv);
  write_records(out, function.ops);
  out += '}';
}

void serialize(std::string& out, const Module& module) {
  out += '{';
  if (!module.header_comments.empty()) {
    out.append("\"header_comments\":"sv);
    write_strings(out, module.header_comments);
    out += ',';
  }
  out.append("\"functions\":{"sv);
  bool first = true;
  for (const auto& [key, function] : module.functions) {
    poll_interrupt();
    if (!first) out += ',';
    first = false;
    json::write_string(out, key);
    out += ':';
    serialize(out, function);
  }
  out.append("}}"sv);
}

namespace {

// The length of the JSON form of records, counted from the records: every text as it stands
// with its quotes, the names and brackets of the members around it, and every number at a
// width that sizes and shortest floats seldom pass. Texts that need escapes make the form
// longer than this.
struct JsonLength {
  static constexpr std::size_t kMember = 14;  // a member's name, quotes, colon and comma
  static constexpr std::size_t kNumber = 12;
  std::size_t bytes = 0;

  void text(std::string_view t) { bytes += t.size() + 3; }
  void member(std::string_view t) { bytes += kMember + t.size() + 2; }
  template <class List>
  void texts(const List& list) {
    bytes += kMember;
    for (const Text& t : list) text(t);
  }
  void number() { bytes += kNumber; }

  void type(const TensorType& type) {
    bytes += 2 * kMember;
    text(type.dtype);
    for (const Dim& dim : type.shape) {
      if (const auto* named = std::get_if<Dim::Named>(&dim.value))
        text(named->name);
      else
        number();
    }
  }
  void literal(const LiteralValue& value) {
    std::vector<const LiteralValue*> open{&value};
    while (!open.empty()) {
      const LiteralValue* next = open.back();
      open.pop_back();
      if (const auto* list = std::get_if<LiteralValue::List>(&next->value)) {
        bytes += 2;
        for (const LiteralValue& item : list->items) open.push_back(&item);
      } else {
        number();
      }
    }
  }
  // Every member of the kind at a number's width beside its texts; a literal's value is
  // left to `literal`.
  void kind(const OpKind& kind) {
    std::visit(
        [this](const auto& k) {
          bytes += std::tuple_size_v<decltype(k.shape())> * (kMember + kNumber);
        },
        kind.value);
    if (!std::holds_alternative<OpKind::Literal>(kind.value)) bytes += kind_bytes(kind);
  }
  // An operation without its literal value, which `literal` measures.
  void op(const Op& op) {
    bytes += kMember + 8;
    kind(op.kind);
    texts(op.outputs);
    bytes += kMember;
    for (const auto& declared : op.output_types) {
      if (declared)
        type(*declared);
      else
        bytes += 5;  // null and its comma
    }
    bytes += kMember;
    for (const Atom& arg : op.args) {
      if (const auto* name = std::get_if<Atom::Name>(&arg.value))
        text(name->text);
      else
        number();
    }
    if (!op.comments.empty()) texts(op.comments);
  }
  void params(const std::vector<Param>& list) {
    bytes += kMember;
    for (const Param& param : list) {
      member(param.name);
      bytes += kMember;
      type(param.ty);
    }
  }
  // A function without its operations.
  void function(std::string_view key, const Function& fn) {
    text(key);
    member(fn.name);
    if (!fn.comments.empty()) texts(fn.comments);
    params(fn.params);
    params(fn.returns);
    bytes += kMember;
  }
};

// About this many functions and operations, spread over the module, are counted, and the
// others are taken to be like them; walking every record would cost nearly as much as
// writing it. Literal values and comment lines at the head are all counted, since one of
// them can outweigh the rest. The guess errs on the long side: room that is never written
// is never touched either, while a text that outgrows its room is copied.
constexpr std::size_t kSample = 2048;

std::size_t json_length(const Module& module) {
  std::size_t ops = 0;
  for (const auto& [key, function] : module.functions) ops += function.ops.size();
  const std::size_t functions = module.functions.size();
  const std::size_t function_step = std::max<std::size_t>(1, functions / kSample);
  const std::size_t op_step = std::max<std::size_t>(1, ops / kSample);
  JsonLength sampled_functions, sampled_ops, whole;
  whole.bytes = 2 * JsonLength::kMember;
  if (!module.header_comments.empty()) whole.texts(module.header_comments);
  std::size_t function_count = 0, op_count = 0, f = 0, next_op = 0, o = 0;
  for (const auto& [key, function] : module.functions) {
    if (f++ % function_step == 0) {
      sampled_functions.function(key, function);
      ++function_count;
    }
    for (const Op& op : function.ops) {
      if (const auto* literal = std::get_if<OpKind::Literal>(&op.kind.value))
        whole.literal(literal->value);
      if (o++ == next_op) {
        sampled_ops.op(op);
        ++op_count;
        next_op += op_step;
      }
    }
  }
  std::size_t bytes = whole.bytes;
  if (function_count) bytes += sampled_functions.bytes / function_count * functions;
  if (op_count) bytes += sampled_ops.bytes / op_count * ops;
  return bytes + bytes / 8;
}

}  // namespace

std::string module_to_json(const Module& module) {
  // Sized once, so that a text of many megabytes is never copied while it grows.
  std::string out;
  out.reserve(json_length(module));
  serialize(out, module);
  return out;
}

// --- reading ---

namespace {

constexpr std::string_view kLiteralExpecting = R"(integer, float, "inf"/"-inf", or array)";

// The scratch vectors of one reading, in which a list's elements gather before the list is
// allocated at its final length; this spares the copies of a vector that grows one element at
// a time. A list takes its element type's scratch while it reads and gives it back after, so
// a list held in a list of its own type gathers in a fresh vector.
class Lists {
 public:
  // A list member: `element` reads each element, into a new slot given as `element(T& slot)`,
  // or as the value it returns, from which the element is made in place.
  template <class List, class F>
  List read(json::Reader& in, F&& element) {
    return gather<List>([&](auto&& each) { in.read_list(each); }, element);
  }
  // The same, at the list's opening bracket.
  template <class List, class F>
  List read_array(json::Reader& in, F&& element) {
    return gather<List>([&](auto&& each) { in.read_array(each); }, element);
  }

  template <class List = std::vector<Text>>
  List texts(json::Reader& in) {
    return read<List>(in, [&] { return text(in); });
  }
  // A text member, stored once for the whole reading.
  Text text(json::Reader& in) { return texts_.intern(json::read_text(in)); }
  Text str(json::Reader& in) { return texts_.intern(json::read_str(in)); }
  Text intern(std::string_view text) { return texts_.intern(text); }

 private:
  template <class List, class Items, class F>
  List gather(Items&& items, F&& element) {
    using T = typename List::value_type;
    std::vector<T> gathered = std::move(scratch<T>());
    items([&] {
      if constexpr (std::is_invocable_v<F&, T&>)
        element(gathered.emplace_back());
      else
        gathered.emplace_back(element());
    });
    List list(std::make_move_iterator(gathered.begin()), std::make_move_iterator(gathered.end()));
    gathered.clear();
    scratch<T>() = std::move(gathered);
    return list;
  }

  template <class T>
  std::vector<T>& scratch() {
    return std::get<std::vector<T>>(scratch_);
  }

  TextTable texts_;
  std::tuple<std::vector<Text>, std::vector<Dim>, std::vector<std::optional<TensorType>>,
             std::vector<Atom>, std::vector<LiteralValue>, std::vector<Param>, std::vector<Op>>
      scratch_;
};

bool fits_i64(const json::Number& n) {
  return n.cls == json::NumberClass::Negative ||
         (n.cls == json::NumberClass::Unsigned && n.u <= static_cast<std::uint64_t>(INT64_MAX));
}

std::int64_t as_i64(const json::Number& n) {
  return n.cls == json::NumberClass::Negative ? n.i : static_cast<std::int64_t>(n.u);
}

// The loop count as the record holds it: only its class matters, and a string's text.
struct RawCount {
  enum class Kind : std::uint8_t { Absent, Unsigned, OtherNumber, String, Other };
  Kind kind = Kind::Absent;
  std::uint64_t count = 0;
  Text text;
};

RawCount read_count(json::Reader& in, Lists& lists) {
  RawCount count;
  if (in.read_null()) return count;
  json::AnyValue value = in.read_any();
  switch (value.kind) {
    case json::AnyValue::Kind::Number:
      if (value.number.cls == json::NumberClass::Unsigned) {
        count.kind = RawCount::Kind::Unsigned;
        count.count = value.number.u;
      } else {
        count.kind = RawCount::Kind::OtherNumber;
      }
      break;
    case json::AnyValue::Kind::String:
      count.kind = RawCount::Kind::String;
      count.text = lists.intern(value.text);
      break;
    default: count.kind = RawCount::Kind::Other;
  }
  return count;
}

constexpr json::RecordShape kOpShape{"struct OpRaw", "struct OpRaw with 17 elements",
                                     op_record::kNames, op_record::kRequired};
static_assert(op_record::kMemberCount == 17, "the array form's expected text counts members");

constexpr std::string_view kTypeMembers[] = {"dtype", "shape"};
constexpr json::RecordShape kTypeShape{"struct TensorType", "struct TensorType with 2 elements",
                                       kTypeMembers, 0b11};

constexpr std::string_view kParamMembers[] = {"name", "ty"};
constexpr json::RecordShape kParamShape{"struct Param", "struct Param with 2 elements",
                                        kParamMembers, 0b11};

constexpr std::string_view kFunctionMembers[] = {"name", "comments", "params", "returns", "ops"};
constexpr json::RecordShape kFunctionShape{"struct Function", "struct Function with 5 elements",
                                           kFunctionMembers, 0b11101};

constexpr std::string_view kModuleMembers[] = {"header_comments", "functions"};
constexpr json::RecordShape kModuleShape{"struct Module", "struct Module with 2 elements",
                                         kModuleMembers, 0b10};

// Nesting is bounded by the reader's allowance, so recursion is safe.
LiteralValue read_literal(json::Reader& in, Lists& lists) {
  switch (in.next()) {
    case json::Next::String: {
      std::string_view text = json::read_str(in);
      if (text == "inf") return {LiteralValue::Float{std::numeric_limits<double>::infinity()}};
      if (text == "-inf") return {LiteralValue::Float{-std::numeric_limits<double>::infinity()}};
      if (text == "nan") return {LiteralValue::Float{std::numeric_limits<double>::quiet_NaN()}};
      json::custom_here(in, "unexpected string: " + std::string(text));
    }
    case json::Next::Array:
      return {LiteralValue::List{lists.read_array<std::vector<LiteralValue>>(
          in, [&] { return read_literal(in, lists); })}};
    case json::Next::Object: json::invalid_map(in, kLiteralExpecting);
    case json::Next::Other: json::invalid_type(in, kLiteralExpecting);
    case json::Next::Number: break;
  }
  json::Number n = json::read_number(in);
  switch (n.cls) {
    case json::NumberClass::Unsigned:
      // The same 64 bits: values from 2^63 on wrap to negative integers.
      return {LiteralValue::Int{static_cast<std::int64_t>(n.u)}};
    case json::NumberClass::Negative: return {LiteralValue::Int{n.i}};
    case json::NumberClass::Float: break;
  }
  return {LiteralValue::Float{n.f}};
}

// The untagged values are made in their slot, their text read straight into it.
void fill_dim(json::Reader& in, Lists& lists, Dim& dim) {
  switch (in.next()) {
    case json::Next::String: dim.value.emplace<Dim::Named>(lists.str(in)); return;
    case json::Next::Number:
      if (json::Number n = json::read_number(in); fits_i64(n)) {
        dim.value.emplace<Dim::Concrete>(as_i64(n));
        return;
      }
      break;
    default: in.read_any();
  }
  throw json::Unplaced{"data did not match any variant of untagged enum Dim"};
}

void fill_atom(json::Reader& in, Lists& lists, Atom& atom) {
  switch (in.next()) {
    case json::Next::String: atom.value.emplace<Atom::Name>(lists.str(in)); return;
    case json::Next::Number:
      if (json::Number n = json::read_number(in); fits_i64(n))
        atom.value.emplace<Atom::Int>(as_i64(n));
      else
        atom.value.emplace<Atom::Float>(json::as_f64(n));
      return;
    default: in.read_any();
  }
  throw json::Unplaced{"data did not match any variant of untagged enum Atom"};
}

void fill_tensor_type(json::Reader& in, Lists& lists, TensorType& type) {
  json::read_record(in, kTypeShape, [&](int member) {
    if (member == 0)
      type.dtype = lists.text(in);
    else
      type.shape = lists.read<Shape>(in, [&](Dim& dim) { fill_dim(in, lists, dim); });
  });
}

std::optional<double> read_bound(json::Reader& in) {
  if (in.read_null()) return std::nullopt;
  return in.read_f64();
}

// How the record holds a kind's member while the kind is not yet known: a bound or a
// literal value as it may be absent, a loop count as its JSON class.
template <class T>
struct Held {
  using Type = T;
};
template <>
struct Held<double> {
  using Type = std::optional<double>;
};
template <>
struct Held<LiteralValue> {
  using Type = std::optional<LiteralValue>;
};
template <>
struct Held<LoopCount> {
  using Type = RawCount;
};

template <std::size_t... I>
auto held_slots(std::index_sequence<I...>)
    -> std::tuple<typename Held<op_record::SlotType<I>>::Type...>;
using Slots = decltype(held_slots(std::make_index_sequence<op_record::kKindMembers>{}));

void read_held(json::Reader& in, Lists& lists, Text& text) { text = lists.text(in); }
void read_held(json::Reader& in, Lists& lists, std::optional<Text>& text) {
  if (in.read_null())
    text.reset();
  else
    text = lists.text(in);
}
void read_held(json::Reader& in, Lists&, Axes& axes) {
  axes = Axes();
  in.read_map([&](std::string name) { axes.store(std::move(name), in.read_i64()); });
}
void read_held(json::Reader& in, Lists& lists, std::optional<LiteralValue>& value) {
  if (in.read_null())
    value.reset();
  else
    value = read_literal(in, lists);
}
void read_held(json::Reader& in, Lists&, std::optional<double>& bound) { bound = read_bound(in); }
void read_held(json::Reader& in, Lists& lists, RawCount& count) { count = read_count(in, lists); }

// The members that a kind may not go without are bounds; the others take their default.
bool present(const std::optional<double>& bound) { return bound.has_value(); }
template <class T>
bool present(const T&) {
  return true;
}

void take(Text& member, Text& held) { member = std::move(held); }
void take(std::optional<Text>& member, std::optional<Text>& held) { member = std::move(held); }
void take(Axes& member, Axes& held) { member = std::move(held); }
void take(double& member, std::optional<double>& held) { member = held.value_or(0); }
void take(LiteralValue& member, std::optional<LiteralValue>& held) {
  member = held ? std::move(*held) : LiteralValue{LiteralValue::Int{0}};
}
void take(LoopCount& member, RawCount& count) {
  switch (count.kind) {
    case RawCount::Kind::Unsigned: member = LoopCount{LoopCount::Concrete{count.count}}; break;
    case RawCount::Kind::OtherNumber: stop(std::string(kUnwrapNone));
    case RawCount::Kind::String: member = LoopCount{LoopCount::Named{std::move(count.text)}}; break;
    default: member = LoopCount{LoopCount::Named{}};
  }
}

// The member in position I of the record, read into its slot.
template <std::size_t I>
void read_slot(json::Reader& in, Lists& lists, Slots& slots) {
  read_held(in, lists, std::get<I>(slots));
}
template <std::size_t... I>
void read_slot(json::Reader& in, Lists& lists, Slots& slots, std::size_t at,
               std::index_sequence<I...>) {
  using Reader = void (*)(json::Reader&, Lists&, Slots&);
  static constexpr Reader readers[] = {read_slot<I>...};
  readers[at](in, lists, slots);
}

// Member M of the kind, taken from its slot.
template <class Kind, std::size_t M>
void take_member(Kind& kind, Slots& slots) {
  constexpr auto member = std::get<M>(Kind::shape());
  constexpr std::size_t slot = op_record::slot_of(member.name);
  using Member = typename decltype(member)::Type;
  static_assert(std::is_same_v<Member, op_record::SlotType<slot>>,
                "kinds that share a member name give it one type");
  auto& held = std::get<slot>(slots);
  if (member.required && !present(held))
    stop(std::string(Kind::kWord) + " requires '" + std::string(member.name) + "' field");
  take(kind.*member.field, held);
}

template <class Kind>
void build(OpKind::Variant& kind, Slots& slots) {
  Kind& made = kind.emplace<Kind>();
  [&]<std::size_t... M>(std::index_sequence<M...>) { (take_member<Kind, M>(made, slots), ...); }
  (std::make_index_sequence<op_record::kShapeSize<Kind>>{});
}

template <std::size_t... K>
void build(OpKind::Variant& kind, std::size_t index, Slots& slots, std::index_sequence<K...>) {
  using Builder = void (*)(OpKind::Variant&, Slots&);
  static constexpr Builder builders[] = {build<op_record::KindAt<K>>...};
  builders[index](kind, slots);
}

void fill_op(json::Reader& in, Lists& lists, Op& op) {
  using op_record::Own;
  std::size_t kind = kKindCount;  // the position of the kind read, `kKindCount` for none
  std::string unknown_kind;
  Slots slots;
  json::read_record(in, kOpShape, [&](int member) {
    const auto at = static_cast<std::size_t>(member);
    if (at == 0) {
      std::string_view word = json::read_text(in);
      kind = kind_index(word);
      if (kind == kKindCount) unknown_kind = word;
      return;
    }
    if (at < op_record::kFirstOwn) {
      read_slot(in, lists, slots, at - 1, std::make_index_sequence<op_record::kKindMembers>{});
      return;
    }
    switch (static_cast<Own>(at - op_record::kFirstOwn)) {
      case Own::Outputs: op.outputs = lists.texts<Outputs>(in); break;
      case Own::OutputTypes:
        op.output_types = lists.read<OutputTypes>(in, [&](auto& type) {
          if (!in.read_null()) fill_tensor_type(in, lists, type.emplace());
        });
        break;
      case Own::Args:
        op.args = lists.read<Args>(in, [&](Atom& atom) { fill_atom(in, lists, atom); });
        break;
      case Own::Comments: op.comments = lists.texts(in); break;
    }
  });
  if (kind == kKindCount) json::Reader::custom("unknown op kind: " + unknown_kind);
  build(op.kind.value, kind, slots, std::make_index_sequence<kKindCount>{});
}

void fill_param(json::Reader& in, Lists& lists, Param& param) {
  json::read_record(in, kParamShape, [&](int member) {
    if (member == 0)
      param.name = lists.text(in);
    else
      fill_tensor_type(in, lists, param.ty);
  });
}

std::vector<Param> read_params(json::Reader& in, Lists& lists) {
  return lists.read<std::vector<Param>>(in, [&](Param& param) { fill_param(in, lists, param); });
}

void fill_function(json::Reader& in, Lists& lists, Function& function) {
  json::read_record(in, kFunctionShape, [&](int member) {
    switch (member) {
      case 0: function.name = lists.text(in); break;
      case 1: function.comments = lists.texts(in); break;
      case 2: function.params = read_params(in, lists); break;
      case 3: function.returns = read_params(in, lists); break;
      case 4:
        function.ops = lists.read<std::vector<Op>>(in, [&](Op& op) { fill_op(in, lists, op); });
        break;
    }
  });
}

Module read_module(json::Reader& in, Lists& lists) {
  Module module;
  json::read_record(in, kModuleShape, [&](int member) {
    if (member == 0) {
      module.header_comments = lists.texts(in);
    } else {
      in.read_map([&](std::string key) {
        Function function;
        fill_function(in, lists, function);
        module.functions.store(lists.intern(key), std::move(function));
      });
    }
  });
  return module;
}

// One record read with scratch lists of its own.
template <class T>
T read_alone(json::Reader& in, void (*fill)(json::Reader&, Lists&, T&)) {
  Lists lists;
  T value{};
  fill(in, lists, value);
  return value;
}

}  // namespace

Dim read_dim(json::Reader& in) {
  Lists lists;
  Dim dim;
  fill_dim(in, lists, dim);
  return dim;
}

Atom read_atom(json::Reader& in) {
  Lists lists;
  Atom atom;
  fill_atom(in, lists, atom);
  return atom;
}

LiteralValue read_literal(json::Reader& in) {
  Lists lists;
  return read_literal(in, lists);
}

TensorType read_tensor_type(json::Reader& in) { return read_alone(in, fill_tensor_type); }
Op read_op(json::Reader& in) { return read_alone(in, fill_op); }
Param read_param(json::Reader& in) { return read_alone(in, fill_param); }
Function read_function(json::Reader& in) { return read_alone(in, fill_function); }

Module read_module(json::Reader& in) {
  Lists lists;
  return read_module(in, lists);
}

Module module_from_json(std::string_view text) {
  return json::read_document(text, [](json::Reader& in) { return read_module(in); });
}

}  // namespace vel
