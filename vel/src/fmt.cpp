#include "vel/fmt.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <string_view>
#include <variant>

#include "vel/interrupt.hpp"
#include "vel/output_bound.hpp"
#include "vel/text.hpp"

namespace vel {

// Everything renders by appending to one growing text: a module of many megabytes is
// built without a string per line or per value.
namespace {

constexpr std::string_view kIndent = "  ";
constexpr std::string_view kFormatting = "Formatting";
constexpr std::string_view kText = "text";

// The text being written, with room ahead of the last byte: each piece is copied without the
// string's own bookkeeping. The room is made in steps, so that little past the text is ever
// touched; `finish` cuts the string to what was written.
class Sink {
 public:
  Sink(std::string& text, std::size_t reserve) : text_(text) {
    text_.clear();
    text_.reserve(reserve);
    at_ = end_ = text_.data();
  }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  Sink& operator+=(char c) {
    if (at_ == end_) more(1);
    *at_++ = c;
    return *this;
  }
  Sink& operator+=(std::string_view piece) {
    append(piece.data(), piece.size());
    return *this;
  }
  void append(const char* bytes, std::size_t n) {
    if (static_cast<std::size_t>(end_ - at_) < n) more(n);
    copy(at_, bytes, n);
    at_ += n;
  }
  void append(std::size_t n, char c) {
    if (static_cast<std::size_t>(end_ - at_) < n) more(n);
    std::memset(at_, c, n);
    at_ += n;
  }
  std::size_t size() const { return static_cast<std::size_t>(at_ - text_.data()); }
  // Drops what was written from `n` on.
  void resize(std::size_t n) { at_ = text_.data() + n; }
  void finish() {
    // Room reserved ahead may hold a text past the bound without asking for more.
    check_output_size(size(), kFormatting, kText);
    text_.resize(size());
  }

 private:
  static constexpr std::size_t kStep = 256 * 1024;

  // Most pieces are a few bytes long: they are copied with two moves of a fixed width that
  // overlap, instead of a call.
  static void copy(char* to, const char* from, std::size_t n) {
    if (n >= 16) {
      std::memcpy(to, from, n);
    } else if (n >= 8) {
      std::memcpy(to, from, 8);
      std::memcpy(to + n - 8, from + n - 8, 8);
    } else if (n >= 4) {
      std::memcpy(to, from, 4);
      std::memcpy(to + n - 4, from + n - 4, 4);
    } else if (n > 0) {
      to[0] = from[0];
      to[n - 1] = from[n - 1];
      to[n / 2] = from[n / 2];
    }
  }

  [[gnu::noinline]] void more(std::size_t n) {
    const std::size_t used = size();
    check_output_size(used + n, kFormatting, kText);
    // Each step is some kilobytes of text written since the last one.
    poll_interrupt_bytes(std::min(used, kStep));
    // A step at a time, within the string's own block while it has room: a short text
    // needs no block at all, and reserved room is touched only as it is written.
    std::size_t next = text_.size() + std::min(text_.size() + 64, kStep);
    if (text_.capacity() > text_.size()) next = std::min(next, text_.capacity());
    text_.resize(std::max(next, used + n));
    at_ = text_.data() + used;
    end_ = text_.data() + text_.size();
  }

  std::string& text_;
  char* at_;
  char* end_;
};

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

void append_float(Sink& out, double value) {
  if (std::isnan(value)) {
    out += "NaN.0";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  // Written positionally: the shortest fixed form of std::to_chars would print the exact
  // binary expansion of large values instead of zeros.
  ShortestDecimal d = shortest_decimal(value, Tie::Larger);
  if (d.negative) out += '-';
  const char* digits = d.digits;
  int n = d.count;
  int exp = d.exponent;
  if (exp < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exp - 1), '0');
    out.append(digits, n);
  } else if (exp + 1 >= n) {
    out.append(digits, n);
    out.append(static_cast<std::size_t>(exp + 1 - n), '0');
    out += ".0";
  } else {
    out.append(digits, exp + 1);
    out += '.';
    out.append(digits + exp + 1, n - exp - 1);
  }
}

// Literal nesting is bounded by the parser and the JSON reader, so recursion is safe.
void append_literal(Sink& out, const LiteralValue& value) {
  std::visit(Overloaded{
                 [&](const LiteralValue::Int& v) { append_int(out, v.value); },
                 [&](const LiteralValue::Float& v) { append_float(out, v.value); },
                 [&](const LiteralValue::List& v) {
                   out += '[';
                   for (std::size_t i = 0; i < v.items.size(); ++i) {
                     if (i > 0) out += ", ";
                     append_literal(out, v.items[i]);
                   }
                   out += ']';
                 },
             },
             value.value);
}

// Where the type renderers write: the text itself, or the count of its bytes, so that a
// type's width is measured by the code that writes it.
struct Width {
  std::size_t bytes = 0;
  Width& operator+=(char) {
    ++bytes;
    return *this;
  }
  Width& operator+=(std::string_view text) {
    bytes += text.size();
    return *this;
  }
};

template <class Out>
void append_dim(Out& out, const Dim& dim) {
  if (const auto* concrete = std::get_if<Dim::Concrete>(&dim.value))
    append_int(out, concrete->size);
  else
    out += std::string_view(std::get<Dim::Named>(dim.value).name);
}

// A dict type shows as "*" alone, whatever shape it holds.
template <class Out>
void append_type(Out& out, const TensorType& type) {
  if (type.dtype == kDictDtype) {
    out += kDictDtype;
    return;
  }
  out += std::string_view(type.dtype);
  out += '[';
  for (std::size_t i = 0; i < type.shape.size(); ++i) {
    if (i > 0) out += ", ";
    append_dim(out, type.shape[i]);
  }
  out += ']';
}

std::size_t type_width(const TensorType& type) {
  Width width;
  append_type(width, type);
  return width.bytes;
}

void append_atom(Sink& out, const Atom& atom) {
  std::visit(Overloaded{
                 [&](const Atom::Int& v) { append_int(out, v.value); },
                 [&](const Atom::Float& v) { append_float(out, v.value); },
                 [&](const Atom::Name& v) { out += v.text; },
             },
             atom.value);
}

void append_param(Sink& out, const Param& param) {
  out += param.name;
  out += ": ";
  append_type(out, param.ty);
}

void append_args(Sink& out, const Args& args) {
  out += '(';
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i > 0) out += ", ";
    append_atom(out, args[i]);
  }
  out += ')';
}

void append_quoted(Sink& out, std::string_view pattern) {
  out += '"';
  out += pattern;
  out += '"';
}

// The axes stand as keyword items after the pattern: "a b -> b a", a=4, b=8.
void append_pattern_axes(Sink& out, std::string_view pattern, const Axes& axes) {
  append_quoted(out, pattern);
  for (const auto& [axis, size] : axes) {
    out += ", ";
    out += axis;
    out += '=';
    append_int(out, size);
  }
}

void append_count(Sink& out, const LoopCount& count) {
  if (const auto* concrete = std::get_if<LoopCount::Concrete>(&count.value))
    append_uint(out, concrete->count);
  else
    out += std::get<LoopCount::Named>(count.value).name;
}

void append_bracketed(Sink& out, std::initializer_list<std::string_view> items) {
  out += '[';
  bool first = true;
  for (std::string_view item : items) {
    if (!first) out += ", ";
    first = false;
    out += item;
  }
  out += ']';
}

// What follows each kind's word: the bracket list the kind needs, then the argument list,
// which a literal and a random do not print. One overload per kind and none for the rest, so
// that a kind added to `OpKind` does not build until it is given its template here.
struct RightHand {
  Sink& out;
  const Args& args;

  void operator()(const OpKind::View& k) const { pattern_axes(k.pattern, k.axes); }
  void operator()(const OpKind::Map& k) const { names({k.function}); }
  void operator()(const OpKind::Fold& k) const { pattern_and(k.pattern, k.reduction); }
  void operator()(const OpKind::Tile& k) const { pattern_axes(k.pattern, k.axes); }
  void operator()(const OpKind::Read& k) const { pattern_only(k.pattern); }
  void operator()(const OpKind::Write& k) const { pattern_and(k.pattern, k.reduction); }
  void operator()(const OpKind::Contract& k) const { pattern_only(k.pattern); }
  void operator()(const OpKind::Literal& k) const {
    out += '(';
    append_literal(out, k.value);
    out += ')';
  }
  void operator()(const OpKind::Iota&) const { append_args(out, args); }
  void operator()(const OpKind::Random& k) const {
    out += '[';
    append_float(out, k.lower);
    out += ", ";
    append_float(out, k.upper);
    out += ']';
  }
  void operator()(const OpKind::Call& k) const { names({k.target}); }
  void operator()(const OpKind::Loop& k) const {
    out += '[';
    out += k.target;
    out += ", ";
    append_count(out, k.count);
    out += ']';
    append_args(out, args);
  }
  void operator()(const OpKind::Cache& k) const {
    if (k.extend)
      names({k.var, k.init, *k.extend});
    else
      names({k.var, k.init});
  }

 private:
  void names(std::initializer_list<std::string_view> items) const {
    append_bracketed(out, items);
    append_args(out, args);
  }
  void pattern_only(std::string_view pattern) const {
    out += '[';
    append_quoted(out, pattern);
    out += ']';
    append_args(out, args);
  }
  void pattern_and(std::string_view pattern, std::string_view name) const {
    out += '[';
    append_quoted(out, pattern);
    out += ", ";
    out += name;
    out += ']';
    append_args(out, args);
  }
  void pattern_axes(std::string_view pattern, const Axes& axes) const {
    out += '[';
    append_pattern_axes(out, pattern, axes);
    out += ']';
    append_args(out, args);
  }
};

void append_right_hand(Sink& out, const Op& op) {
  out += kind_word(op.kind);
  std::visit(RightHand{out, op.args}, op.kind.value);
}

// The declared type of output i, when it has one; types beyond the outputs never print.
const TensorType* output_type(const Op& op, std::size_t i) {
  if (i >= op.output_types.size() || !op.output_types[i]) return nullptr;
  return &*op.output_types[i];
}

struct Columns {
  std::size_t name = 0;
  std::size_t type = 0;
};

Columns function_columns(const Function& fn) {
  Columns columns;
  for (const Op& op : fn.ops) {
    for (std::size_t i = 0; i < op.outputs.size(); ++i) {
      columns.name = std::max(columns.name, op.outputs[i].size());
      if (const TensorType* type = output_type(op, i))
        columns.type = std::max(columns.type, type_width(*type));
    }
  }
  return columns;
}

void append_returns(Sink& out, const Function& fn) {
  out += '(';
  for (std::size_t i = 0; i < fn.returns.size(); ++i) {
    if (i > 0) out += ", ";
    append_param(out, fn.returns[i]);
  }
  out += ')';
}

// One line when it fits in `width` bytes; otherwise one parameter per line, names padded
// so that their colons align. The returns are never split.
void append_header(Sink& out, const Function& fn, std::uint64_t width) {
  const std::size_t start = out.size();
  out += fn.name;
  out += '(';
  for (std::size_t i = 0; i < fn.params.size(); ++i) {
    if (i > 0) out += ", ";
    append_param(out, fn.params[i]);
  }
  out += ") -> ";
  append_returns(out, fn);
  out += " {";
  if (static_cast<std::uint64_t>(out.size() - start) <= width) {
    out += '\n';
    return;
  }

  out.resize(start);
  out += fn.name;
  out += "(\n";
  std::size_t name_width = 0;
  for (const Param& param : fn.params) name_width = std::max(name_width, param.name.size());
  for (std::size_t i = 0; i < fn.params.size(); ++i) {
    const Param& param = fn.params[i];
    out += kIndent;
    out += param.name;
    out.append(name_width - param.name.size(), ' ');
    out += ": ";
    append_type(out, param.ty);
    if (i + 1 < fn.params.size()) out += ',';
    out += '\n';
  }
  out += ") -> ";
  append_returns(out, fn);
  out += " {\n";
}

// The output lines of one operation: every ":" in the name column's place, every " = " past
// the type column, whether the last output is typed or not.
void append_outputs(Sink& out, const Op& op, Columns columns) {
  const std::size_t m = op.outputs.size();
  for (std::size_t i = 0; i < m; ++i) {
    const Text& name = op.outputs[i];
    const TensorType* type = output_type(op, i);
    out += kIndent;
    out += name;
    if (i + 1 < m) {
      // An untyped output that is not the last prints as the name and its comma, which the
      // parser reads back; a ":" with no type after it would not read.
      if (type) {
        out.append(columns.name - name.size(), ' ');
        out += ": ";
        append_type(out, *type);
      }
      out += ",\n";
      continue;
    }
    out.append(columns.name - name.size(), ' ');
    if (type) {
      out += ": ";
      const std::size_t type_start = out.size();
      append_type(out, *type);
      out.append(columns.type - (out.size() - type_start), ' ');
    } else if (columns.type > 0) {
      out.append(columns.type + 2, ' ');
    }
    out += " = ";
    append_right_hand(out, op);
    out += '\n';
  }
}

void append_function(Sink& out, const Function& fn, std::uint64_t width) {
  append_header(out, fn, width);
  for (const Text& comment : fn.comments) {
    out += kIndent;
    out += comment;
    out += '\n';
  }
  const Columns columns = function_columns(fn);
  for (std::size_t k = 0; k < fn.ops.size(); ++k) {
    poll_interrupt();
    const Op& op = fn.ops[k];
    if (!op.comments.empty()) {
      if (k > 0) out += '\n';
      for (const Text& comment : op.comments) {
        out += kIndent;
        out += comment;
        out += '\n';
      }
    }
    append_outputs(out, op, columns);
  }
  out += "}\n";
}

// About the length of a module's text, from the number of its operations alone: lines
// are seldom longer than this, and room that stays unused is never touched.
std::size_t guessed_length(const Module& module) {
  constexpr std::size_t kFunctionBytes = 128, kLineBytes = 64;
  std::size_t bytes = 0;
  for (const auto& [key, fn] : module.functions)
    bytes += kFunctionBytes + kLineBytes * (fn.ops.size() + fn.params.size());
  return bytes;
}

}  // namespace

std::string format_vel(const Module& module, std::uint64_t width, std::size_t size_hint) {
  // Lines are joined by line feeds and the text ends with one more, so no lines at all
  // still give a single line feed.
  if (module.header_comments.empty() && module.functions.empty()) return std::string(1, '\n');
  // Room reserved once and never written is never touched either, while a text that
  // outgrows its room is copied and leaves the old room with the process.
  std::string text;
  Sink out(text, size_hint != 0 ? size_hint : guessed_length(module));
  for (const Text& comment : module.header_comments) {
    out += comment;
    out += '\n';
  }
  if (!module.header_comments.empty()) out += '\n';
  bool first = true;
  for (const auto& [key, fn] : module.functions) {
    poll_interrupt();
    if (!first) out += '\n';
    first = false;
    append_function(out, fn, width);
  }
  out.finish();
  return text;
}

// A text written by one of the renderers alone.
template <class Render>
std::string rendered(Render&& render) {
  std::string text;
  Sink out(text, 0);
  render(out);
  out.finish();
  return text;
}

std::string format_float(double value) {
  return rendered([&](Sink& out) { append_float(out, value); });
}

std::string fmt_literal(const LiteralValue& value) {
  return rendered([&](Sink& out) { append_literal(out, value); });
}

std::string fmt_type(const TensorType& type) {
  return rendered([&](Sink& out) { append_type(out, type); });
}

std::string fmt_dim(const Dim& dim) {
  return rendered([&](Sink& out) { append_dim(out, dim); });
}

std::string fmt_atom(const Atom& atom) {
  return rendered([&](Sink& out) { append_atom(out, atom); });
}

std::string fmt_param(const Param& param) {
  return rendered([&](Sink& out) { append_param(out, param); });
}

}  // namespace vel
