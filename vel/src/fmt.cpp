#include "vel/fmt.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>
#include <type_traits>
#include <variant>

#include "vel/json.hpp"

namespace vel {

// Everything renders by appending to one growing text: a module of many megabytes is
// built without a string per line or per value.
namespace {

constexpr std::string_view kIndent = "  ";

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

void append_float(std::string& out, double value) {
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
  ShortestDecimal d = shortest_decimal(value);
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
void append_literal(std::string& out, const LiteralValue& value) {
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

void append_dim(std::string& out, const Dim& dim) {
  if (const auto* concrete = std::get_if<Dim::Concrete>(&dim.value))
    append_int(out, concrete->size);
  else
    out += std::get<Dim::Named>(dim.value).name;
}

// A dict type shows as "*" alone, whatever shape it holds.
void append_type(std::string& out, const TensorType& type) {
  if (type.dtype == kDictDtype) {
    out += kDictDtype;
    return;
  }
  out += type.dtype;
  out += '[';
  for (std::size_t i = 0; i < type.shape.size(); ++i) {
    if (i > 0) out += ", ";
    append_dim(out, type.shape[i]);
  }
  out += ']';
}

void append_atom(std::string& out, const Atom& atom) {
  std::visit(Overloaded{
                 [&](const Atom::Int& v) { append_int(out, v.value); },
                 [&](const Atom::Float& v) { append_float(out, v.value); },
                 [&](const Atom::Name& v) { out += v.text; },
             },
             atom.value);
}

void append_param(std::string& out, const Param& param) {
  out += param.name;
  out += ": ";
  append_type(out, param.ty);
}

void append_args(std::string& out, const std::vector<Atom>& args) {
  out += '(';
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i > 0) out += ", ";
    append_atom(out, args[i]);
  }
  out += ')';
}

void append_quoted(std::string& out, std::string_view pattern) {
  out += '"';
  out += pattern;
  out += '"';
}

// The axes stand as keyword items after the pattern: "a b -> b a", a=4, b=8.
void append_pattern_axes(std::string& out, std::string_view pattern, const Axes& axes) {
  append_quoted(out, pattern);
  for (const auto& [axis, size] : axes) {
    out += ", ";
    out += axis;
    out += '=';
    append_int(out, size);
  }
}

void append_count(std::string& out, const LoopCount& count) {
  if (const auto* concrete = std::get_if<LoopCount::Concrete>(&count.value))
    append_uint(out, concrete->count);
  else
    out += std::get<LoopCount::Named>(count.value).name;
}

// The kind word, the bracket list the kind needs, then the argument list; a literal and a
// random print no arguments.
void append_right_hand(std::string& out, const Op& op) {
  out += kind_word(op.kind);
  std::visit(
      [&](const auto& kind) {
        using K = std::decay_t<decltype(kind)>;
        if constexpr (std::is_same_v<K, OpKind::Literal>) {
          out += '(';
          append_literal(out, kind.value);
          out += ')';
          return;
        } else if constexpr (std::is_same_v<K, OpKind::Random>) {
          out += '[';
          append_float(out, kind.lower);
          out += ", ";
          append_float(out, kind.upper);
          out += ']';
          return;
        } else {
          if constexpr (std::is_same_v<K, OpKind::View> || std::is_same_v<K, OpKind::Tile>) {
            out += '[';
            append_pattern_axes(out, kind.pattern, kind.axes);
            out += ']';
          } else if constexpr (std::is_same_v<K, OpKind::Map>) {
            out += '[';
            out += kind.function;
            out += ']';
          } else if constexpr (std::is_same_v<K, OpKind::Fold> ||
                               std::is_same_v<K, OpKind::Write>) {
            out += '[';
            append_quoted(out, kind.pattern);
            out += ", ";
            out += kind.reduction;
            out += ']';
          } else if constexpr (std::is_same_v<K, OpKind::Read> ||
                               std::is_same_v<K, OpKind::Contract>) {
            out += '[';
            append_quoted(out, kind.pattern);
            out += ']';
          } else if constexpr (std::is_same_v<K, OpKind::Call>) {
            out += '[';
            out += kind.target;
            out += ']';
          } else if constexpr (std::is_same_v<K, OpKind::Loop>) {
            out += '[';
            out += kind.target;
            out += ", ";
            append_count(out, kind.count);
            out += ']';
          } else if constexpr (std::is_same_v<K, OpKind::Cache>) {
            out += '[';
            out += kind.var;
            out += ", ";
            out += kind.init;
            if (kind.extend) {
              out += ", ";
              out += *kind.extend;
            }
            out += ']';
          }
          append_args(out, op.args);
        }
      },
      op.kind.value);
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

// The byte length of what `append_type` writes, measured without writing it.
std::size_t type_text_length(const TensorType& type) {
  if (type.dtype == kDictDtype) return kDictDtype.size();
  std::size_t length = type.dtype.size() + 2;
  for (std::size_t i = 0; i < type.shape.size(); ++i) {
    if (i > 0) length += 2;
    if (const auto* concrete = std::get_if<Dim::Concrete>(&type.shape[i].value)) {
      char buf[24];
      length += static_cast<std::size_t>(
          std::to_chars(buf, buf + sizeof buf, concrete->size).ptr - buf);
    } else {
      length += std::get<Dim::Named>(type.shape[i].value).name.size();
    }
  }
  return length;
}

Columns function_columns(const Function& fn) {
  Columns columns;
  for (const Op& op : fn.ops) {
    for (std::size_t i = 0; i < op.outputs.size(); ++i) {
      columns.name = std::max(columns.name, op.outputs[i].size());
      if (const TensorType* type = output_type(op, i))
        columns.type = std::max(columns.type, type_text_length(*type));
    }
  }
  return columns;
}

void append_returns(std::string& out, const Function& fn) {
  out += '(';
  for (std::size_t i = 0; i < fn.returns.size(); ++i) {
    if (i > 0) out += ", ";
    append_param(out, fn.returns[i]);
  }
  out += ')';
}

// One line when it fits in `width` bytes; otherwise one parameter per line, names padded
// so that their colons align. The returns are never split.
void append_header(std::string& out, const Function& fn, std::uint64_t width) {
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
void append_outputs(std::string& out, const Op& op, Columns columns) {
  const std::size_t m = op.outputs.size();
  for (std::size_t i = 0; i < m; ++i) {
    const std::string& name = op.outputs[i];
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

void append_function(std::string& out, const Function& fn, std::uint64_t width) {
  append_header(out, fn, width);
  for (const std::string& comment : fn.comments) {
    out += kIndent;
    out += comment;
    out += '\n';
  }
  const Columns columns = function_columns(fn);
  for (std::size_t k = 0; k < fn.ops.size(); ++k) {
    const Op& op = fn.ops[k];
    if (!op.comments.empty()) {
      if (k > 0) out += '\n';
      for (const std::string& comment : op.comments) {
        out += kIndent;
        out += comment;
        out += '\n';
      }
    }
    append_outputs(out, op, columns);
  }
  out += "}\n";
}

}  // namespace

std::string format_vel(const Module& module, std::uint64_t width) {
  std::string out;
  for (const std::string& comment : module.header_comments) {
    out += comment;
    out += '\n';
  }
  if (!module.header_comments.empty()) out += '\n';
  bool first = true;
  for (const auto& [key, fn] : module.functions) {
    if (!first) out += '\n';
    first = false;
    append_function(out, fn, width);
  }
  // Lines are joined by line feeds and the text ends with one more, so no lines at all
  // still give a single line feed.
  if (out.empty()) out += '\n';
  return out;
}

std::string format_float(double value) {
  std::string out;
  append_float(out, value);
  return out;
}

std::string fmt_literal(const LiteralValue& value) {
  std::string out;
  append_literal(out, value);
  return out;
}

std::string fmt_type(const TensorType& type) {
  std::string out;
  append_type(out, type);
  return out;
}

std::string fmt_dim(const Dim& dim) {
  std::string out;
  append_dim(out, dim);
  return out;
}

std::string fmt_atom(const Atom& atom) {
  std::string out;
  append_atom(out, atom);
  return out;
}

std::string fmt_param(const Param& param) {
  std::string out;
  append_param(out, param);
  return out;
}

}  // namespace vel
