#include "vel/ast_json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>

#include "vel/json.hpp"
#include "vel/stop.hpp"

namespace vel {

namespace {

using namespace std::string_view_literals;

using json::write_strings;

template <class T>
void write_records(std::string& out, const std::vector<T>& items) {
  out += '[';
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ',';
    serialize(out, items[i]);
  }
  out += ']';
}

void write_member(std::string& out, std::string_view name_and_colon, std::string_view text) {
  out.append(name_and_colon);
  json::write_string(out, text);
}

void write_axes(std::string& out, const Axes& axes) {
  if (axes.empty()) return;
  out.append(",\"axes\":{"sv);
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

// The kind's own members, after `kind`.
struct KindMembers {
  std::string& out;
  void operator()(const OpKind::View& k) const {
    write_member(out, ",\"pattern\":"sv, k.pattern);
    write_axes(out, k.axes);
  }
  void operator()(const OpKind::Map& k) const { write_member(out, ",\"function\":"sv, k.function); }
  void operator()(const OpKind::Fold& k) const {
    write_member(out, ",\"pattern\":"sv, k.pattern);
    write_member(out, ",\"reduction\":"sv, k.reduction);
  }
  void operator()(const OpKind::Tile& k) const {
    write_member(out, ",\"pattern\":"sv, k.pattern);
    write_axes(out, k.axes);
  }
  void operator()(const OpKind::Read& k) const { write_member(out, ",\"pattern\":"sv, k.pattern); }
  void operator()(const OpKind::Write& k) const {
    write_member(out, ",\"pattern\":"sv, k.pattern);
    write_member(out, ",\"reduction\":"sv, k.reduction);
  }
  void operator()(const OpKind::Contract& k) const {
    write_member(out, ",\"pattern\":"sv, k.pattern);
  }
  void operator()(const OpKind::Literal& k) const {
    out.append(",\"value\":"sv);
    serialize(out, k.value);
  }
  void operator()(const OpKind::Iota&) const {}
  void operator()(const OpKind::Random& k) const {
    out.append(",\"lower\":"sv);
    write_bound(out, k.lower);
    out.append(",\"upper\":"sv);
    write_bound(out, k.upper);
  }
  void operator()(const OpKind::Call& k) const { write_member(out, ",\"target\":"sv, k.target); }
  void operator()(const OpKind::Loop& k) const {
    write_member(out, ",\"target\":"sv, k.target);
    out.append(",\"count\":"sv);
    if (const auto* concrete = std::get_if<LoopCount::Concrete>(&k.count.value))
      append_uint(out, concrete->count);
    else
      json::write_string(out, std::get<LoopCount::Named>(k.count.value).name);
  }
  void operator()(const OpKind::Cache& k) const {
    write_member(out, ",\"var\":"sv, k.var);
    write_member(out, ",\"init\":"sv, k.init);
    if (k.extend) write_member(out, ",\"extend\":"sv, *k.extend);
  }
};

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

void serialize(std::string& out, const Op& op) {
  out.append("{\"kind\":\""sv);
  out.append(kind_word(op.kind));
  out += '"';
  std::visit(KindMembers{out}, op.kind.value);
  out.append(",\"outputs\":"sv);
  write_strings(out, op.outputs);
  out.append(",\"output_types\":["sv);
  for (std::size_t i = 0; i < op.output_types.size(); ++i) {
    if (i) out += ',';
    if (op.output_types[i])
      serialize(out, *op.output_types[i]);
    else
      out.append("null"sv);
  }
  out.append("],\"args\":"sv);
  write_records(out, op.args);
  if (!op.comments.empty()) {
    out.append(",\"comments\":"sv);
    write_strings(out, op.comments);
  }
  out += '}';
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
  void texts(const std::vector<std::string>& list) {
    bytes += kMember;
    for (const std::string& t : list) text(t);
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
  void kind(const OpKind& kind) {
    std::visit(
        [this](const auto& k) {
          if constexpr (requires { k.pattern; }) member(k.pattern);
          if constexpr (requires { k.function; }) member(k.function);
          if constexpr (requires { k.reduction; }) member(k.reduction);
          if constexpr (requires { k.target; }) member(k.target);
          if constexpr (requires { k.var; }) {
            member(k.var);
            member(k.init);
            if (k.extend) member(*k.extend);
          }
          if constexpr (requires { k.axes; }) {
            bytes += kMember;
            for (const auto& [axis, size] : k.axes) {
              text(axis);
              number();
            }
          }
          if constexpr (requires { k.value; }) bytes += kMember;
          if constexpr (requires { k.lower; }) bytes += 2 * (kMember + kNumber);
          if constexpr (requires { k.count; }) {
            if (const auto* named = std::get_if<LoopCount::Named>(&k.count.value))
              member(named->name);
            else
              bytes += kMember + kNumber;
          }
        },
        kind.value);
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

// Reads a list member into a vector of exactly its length. The elements are gathered in a
// buffer kept per element type, which is sound because no list of these types holds a list
// of its own type; it spares the allocations of a vector growing one element at a time.
template <class T>
thread_local std::vector<T> list_buffer;

template <class T, class F>
std::vector<T> read_vector(json::Reader& in, F&& element) {
  std::vector<T>& buffer = list_buffer<T>;
  buffer.clear();
  in.read_list([&] { buffer.push_back(element()); });
  std::vector<T> items(std::make_move_iterator(buffer.begin()),
                       std::make_move_iterator(buffer.end()));
  buffer.clear();
  return items;
}

std::vector<std::string> read_strings(json::Reader& in) {
  return read_vector<std::string>(in, [&] { return in.read_string(); });
}

bool fits_i64(const json::Number& n) {
  return n.cls == json::NumberClass::Negative ||
         (n.cls == json::NumberClass::Unsigned && n.u <= static_cast<std::uint64_t>(INT64_MAX));
}

std::int64_t as_i64(const json::Number& n) {
  return n.cls == json::NumberClass::Negative ? n.i : static_cast<std::int64_t>(n.u);
}

double as_f64(const json::Number& n) {
  switch (n.cls) {
    case json::NumberClass::Unsigned: return static_cast<double>(n.u);
    case json::NumberClass::Negative: return static_cast<double>(n.i);
    case json::NumberClass::Float: break;
  }
  return n.f;
}

bool starts_number(int c) { return c == '-' || (c >= '0' && c <= '9'); }

// The loop count as the record holds it: only its class matters, and a string's text.
struct RawCount {
  enum class Kind : std::uint8_t { Absent, Unsigned, OtherNumber, String, Other };
  Kind kind = Kind::Absent;
  std::uint64_t count = 0;
  std::string text;
};

RawCount read_count(json::Reader& in) {
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
      count.text = std::move(value.text);
      break;
    default: count.kind = RawCount::Kind::Other;
  }
  return count;
}

// The flat operation record: the members of every kind at once.
struct OpRaw {
  std::string kind;
  std::string pattern;
  std::string function;
  std::string reduction;
  Axes axes;
  std::optional<LiteralValue> value;
  std::optional<double> lower;
  std::optional<double> upper;
  std::string target;
  RawCount count;
  std::string var;
  std::string init;
  std::optional<std::string> extend;
  std::vector<std::string> outputs;
  std::vector<std::optional<TensorType>> output_types;
  std::vector<Atom> args;
  std::vector<std::string> comments;
};

constexpr std::string_view kOpMembers[] = {
    "kind",  "pattern", "function", "reduction", "axes",    "value",        "lower", "upper",
    "target", "count",  "var",      "init",      "extend",  "outputs",      "output_types",
    "args",  "comments",
};
constexpr json::RecordShape kOpShape{"struct OpRaw", "struct OpRaw with 17 elements", kOpMembers,
                                     1u << 0 | 1u << 13 | 1u << 14 | 1u << 15};

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

OpRaw read_op_raw(json::Reader& in) {
  OpRaw raw;
  in.read_record(kOpShape, [&](int member) {
    switch (member) {
      case 0: raw.kind = in.read_string(); break;
      case 1: raw.pattern = in.read_string(); break;
      case 2: raw.function = in.read_string(); break;
      case 3: raw.reduction = in.read_string(); break;
      case 4:
        raw.axes = Axes();
        in.read_map([&](std::string name) { raw.axes.store(std::move(name), in.read_i64()); });
        break;
      case 5:
        if (in.read_null())
          raw.value.reset();
        else
          raw.value = read_literal(in);
        break;
      case 6: raw.lower = in.read_null() ? std::nullopt : std::optional(in.read_f64()); break;
      case 7: raw.upper = in.read_null() ? std::nullopt : std::optional(in.read_f64()); break;
      case 8: raw.target = in.read_string(); break;
      case 9: raw.count = read_count(in); break;
      case 10: raw.var = in.read_string(); break;
      case 11: raw.init = in.read_string(); break;
      case 12:
        if (in.read_null())
          raw.extend.reset();
        else
          raw.extend = in.read_string();
        break;
      case 13: raw.outputs = read_strings(in); break;
      case 14:
        raw.output_types = read_vector<std::optional<TensorType>>(in, [&] {
          return in.read_null() ? std::nullopt : std::optional(read_tensor_type(in));
        });
        break;
      case 15: raw.args = read_vector<Atom>(in, [&] { return read_atom(in); }); break;
      case 16: raw.comments = read_strings(in); break;
    }
  });
  return raw;
}

LoopCount loop_count(RawCount& count) {
  switch (count.kind) {
    case RawCount::Kind::Unsigned: return LoopCount{LoopCount::Concrete{count.count}};
    case RawCount::Kind::OtherNumber: stop(std::string(kUnwrapNone));
    case RawCount::Kind::String: return LoopCount{LoopCount::Named{std::move(count.text)}};
    default: return LoopCount{LoopCount::Named{}};
  }
}

// The position of a kind word in `kKindWords`, or its size when the text is none.
std::size_t kind_index(std::string_view text) {
  auto is = [&](std::size_t i) { return text == kKindWords[i] ? i : std::size(kKindWords); };
  if (text.size() < 3) return std::size(kKindWords);
  switch (text[0]) {
    case 'v': return is(0);
    case 'm': return is(1);
    case 'f': return is(2);
    case 't': return is(3);
    case 'r': return text.size() == 4 ? is(4) : is(9);
    case 'w': return is(5);
    case 'c': return text.size() == 8 ? is(6) : text.size() == 4 ? is(10) : is(12);
    case 'l': return text.size() == 7 ? is(7) : is(11);
    case 'i': return is(8);
  }
  return std::size(kKindWords);
}

OpKind op_kind(OpRaw& raw) {
  switch (kind_index(raw.kind)) {
    case 0: return {OpKind::View{std::move(raw.pattern), std::move(raw.axes)}};
    case 1: return {OpKind::Map{std::move(raw.function)}};
    case 2: return {OpKind::Fold{std::move(raw.pattern), std::move(raw.reduction)}};
    case 3: return {OpKind::Tile{std::move(raw.pattern), std::move(raw.axes)}};
    case 4: return {OpKind::Read{std::move(raw.pattern)}};
    case 5: return {OpKind::Write{std::move(raw.pattern), std::move(raw.reduction)}};
    case 6: return {OpKind::Contract{std::move(raw.pattern)}};
    case 7:
      return {OpKind::Literal{raw.value ? std::move(*raw.value)
                                        : LiteralValue{LiteralValue::Int{0}}}};
    case 8: return {OpKind::Iota{}};
    case 9:
      if (!raw.lower) stop("random requires 'lower' field");
      if (!raw.upper) stop("random requires 'upper' field");
      return {OpKind::Random{*raw.lower, *raw.upper}};
    case 10: return {OpKind::Call{std::move(raw.target)}};
    case 11: {
      LoopCount count = loop_count(raw.count);
      return {OpKind::Loop{std::move(raw.target), std::move(count)}};
    }
    case 12:
      return {OpKind::Cache{std::move(raw.var), std::move(raw.init), std::move(raw.extend)}};
  }
  json::Reader::custom("unknown op kind: " + raw.kind);
}

}  // namespace

Dim read_dim(json::Reader& in) {
  int c = in.peek_token();
  if (c == '"') return Dim{Dim::Named{std::string(in.read_str())}};
  if (starts_number(c)) {
    json::Number n = in.read_number();
    if (fits_i64(n)) return Dim{Dim::Concrete{as_i64(n)}};
  } else {
    in.read_any();
  }
  json::Reader::custom("data did not match any variant of untagged enum Dim");
}

Atom read_atom(json::Reader& in) {
  int c = in.peek_token();
  if (c == '"') return Atom{Atom::Name{std::string(in.read_str())}};
  if (starts_number(c)) {
    json::Number n = in.read_number();
    if (fits_i64(n)) return Atom{Atom::Int{as_i64(n)}};
    return Atom{Atom::Float{as_f64(n)}};
  }
  in.read_any();
  json::Reader::custom("data did not match any variant of untagged enum Atom");
}

LiteralValue read_literal(json::Reader& in) {
  int c = in.peek_token();
  if (c < 0) in.fail_peek(json::kEofValue);
  std::string found;
  switch (c) {
    case '"': {
      std::string_view text = in.read_str();
      if (text == "inf") return {LiteralValue::Float{std::numeric_limits<double>::infinity()}};
      if (text == "-inf") return {LiteralValue::Float{-std::numeric_limits<double>::infinity()}};
      if (text == "nan") return {LiteralValue::Float{std::numeric_limits<double>::quiet_NaN()}};
      in.custom_here("unexpected string: " + std::string(text));
    }
    case '[': {
      LiteralValue::List list;
      in.read_array([&] { list.items.push_back(read_literal(in)); });
      return {std::move(list)};
    }
    case '{':
      in.open();
      if (in.peek_token() == '}') in.close();
      in.fail_here("invalid type: map, expected " + std::string(kLiteralExpecting));
    case 't':
    case 'f':
    case 'n':
      found = in.read_any().kind == json::AnyValue::Kind::Null
                  ? "null"
                  : (c == 't' ? "boolean `true`" : "boolean `false`");
      in.fail_here("invalid type: " + found + ", expected " + std::string(kLiteralExpecting));
    default:
      if (!starts_number(c)) in.fail_peek("expected value");
  }
  json::Number n = in.read_number();
  switch (n.cls) {
    case json::NumberClass::Unsigned:
      // The same 64 bits: values from 2^63 on wrap to negative integers.
      return {LiteralValue::Int{static_cast<std::int64_t>(n.u)}};
    case json::NumberClass::Negative: return {LiteralValue::Int{n.i}};
    case json::NumberClass::Float: break;
  }
  return {LiteralValue::Float{n.f}};
}

TensorType read_tensor_type(json::Reader& in) {
  TensorType type;
  in.read_record(kTypeShape, [&](int member) {
    if (member == 0) {
      type.dtype = in.read_string();
    } else {
      type.shape = read_vector<Dim>(in, [&] { return read_dim(in); });
    }
  });
  return type;
}

Op read_op(json::Reader& in) {
  OpRaw raw = read_op_raw(in);
  OpKind kind = op_kind(raw);
  return Op{std::move(kind), std::move(raw.outputs), std::move(raw.output_types),
            std::move(raw.args), std::move(raw.comments)};
}

Param read_param(json::Reader& in) {
  Param param;
  in.read_record(kParamShape, [&](int member) {
    if (member == 0)
      param.name = in.read_string();
    else
      param.ty = read_tensor_type(in);
  });
  return param;
}

Function read_function(json::Reader& in) {
  Function function;
  auto read_params = [&](std::vector<Param>& params) {
    params = read_vector<Param>(in, [&] { return read_param(in); });
  };
  in.read_record(kFunctionShape, [&](int member) {
    switch (member) {
      case 0: function.name = in.read_string(); break;
      case 1: function.comments = read_strings(in); break;
      case 2: read_params(function.params); break;
      case 3: read_params(function.returns); break;
      case 4: function.ops = read_vector<Op>(in, [&] { return read_op(in); }); break;
    }
  });
  return function;
}

Module read_module(json::Reader& in) {
  Module module;
  in.read_record(kModuleShape, [&](int member) {
    if (member == 0) {
      module.header_comments = read_strings(in);
    } else {
      in.read_map([&](std::string key) {
        Function function = read_function(in);
        module.functions.store(std::move(key), std::move(function));
      });
    }
  });
  return module;
}

namespace {

// Gives the list buffers' memory back once a document is read, so that nothing of a call
// outlives it.
struct ListBuffersRelease {
  ~ListBuffersRelease() {
    std::vector<std::string>().swap(list_buffer<std::string>);
    std::vector<std::optional<TensorType>>().swap(list_buffer<std::optional<TensorType>>);
    std::vector<Atom>().swap(list_buffer<Atom>);
    std::vector<Dim>().swap(list_buffer<Dim>);
    std::vector<Param>().swap(list_buffer<Param>);
    std::vector<Op>().swap(list_buffer<Op>);
  }
};

}  // namespace

Module module_from_json(std::string_view text) {
  ListBuffersRelease release;
  return json::read_document(text, [](json::Reader& in) { return read_module(in); });
}

}  // namespace vel
