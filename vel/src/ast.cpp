#include "vel/ast.hpp"

#include <charconv>

#include "vel/json.hpp"
#include "vel/unicode.hpp"

namespace vel {

std::string bounds_message(std::size_t len, std::size_t index) {
  return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
         std::to_string(index);
}

std::string_view kind_word(const OpKind& kind) { return kKindWords[kind.value.index()]; }

// ---------------------------------------------------------------------------------------
// Diagnostic text forms

namespace {

void append_code_point_escape(std::string& out, char32_t c) {
  char buf[16];
  auto end = std::to_chars(buf, buf + sizeof buf, static_cast<std::uint32_t>(c), 16).ptr;
  out += "\\u{";
  out.append(buf, end);
  out += '}';
}

bool needs_no_escape(unsigned char b) { return b >= 0x20 && b < 0x7F && b != '"' && b != '\\'; }

}  // namespace

void append_debug_str(std::string& out, std::string_view text) {
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t run = i;
    while (run < text.size() && needs_no_escape(static_cast<unsigned char>(text[run]))) ++run;
    out.append(text, i, run - i);
    if (run == text.size()) break;
    i = run;
    std::size_t start = i;
    char32_t c = unicode::decode_utf8(text, i);
    switch (c) {
      case U'\0': out += "\\0"; break;
      case U'\t': out += "\\t"; break;
      case U'\r': out += "\\r"; break;
      case U'\n': out += "\\n"; break;
      case U'\\': out += "\\\\"; break;
      case U'"': out += "\\\""; break;
      default:
        if (unicode::is_grapheme_extend(c) || !unicode::is_printable(c))
          append_code_point_escape(out, c);
        else
          out.append(text, start, i - start);
    }
  }
  out += '"';
}

std::string debug_str(std::string_view text) {
  std::string out;
  append_debug_str(out, text);
  return out;
}

std::string debug_dim(const Dim& dim) {
  if (const auto* concrete = std::get_if<Dim::Concrete>(&dim.value))
    return "Concrete(" + std::to_string(concrete->size) + ")";
  std::string out = "Named(";
  append_debug_str(out, std::get<Dim::Named>(dim.value).name);
  out += ')';
  return out;
}

std::string debug_shape(const std::vector<Dim>& shape) {
  std::string out = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) out += ", ";
    out += debug_dim(shape[i]);
  }
  out += ']';
  return out;
}

std::string debug_type(const TensorType& type, std::string_view word) {
  std::string out(word);
  out += " { dtype: ";
  append_debug_str(out, type.dtype);
  out += ", shape: ";
  out += debug_shape(type.shape);
  out += " }";
  return out;
}

// ---------------------------------------------------------------------------------------
// JSON interchange form

void serialize(std::string& out, const Dim& dim) {
  if (const auto* concrete = std::get_if<Dim::Concrete>(&dim.value))
    json::write_int(out, concrete->size);
  else
    json::write_string(out, std::get<Dim::Named>(dim.value).name);
}

void serialize(std::string& out, const TensorType& type) {
  out += "{\"dtype\":";
  json::write_string(out, type.dtype);
  out += ",\"shape\":[";
  for (std::size_t i = 0; i < type.shape.size(); ++i) {
    if (i) out += ',';
    serialize(out, type.shape[i]);
  }
  out += "]}";
}

// Placeholders until the JSON reader and the record writers land.
std::string module_to_json(const Module&) { stop("JSON interchange form not built yet"); }
Module module_from_json(std::string_view) { stop("JSON interchange form not built yet"); }

}  // namespace vel
