#include "vel/ast.hpp"

#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>

#include "vel/text.hpp"

namespace vel {

std::string_view kind_word(const OpKind& kind) { return kKindWords[kind.value.index()]; }

// ---------------------------------------------------------------------------------------
// Diagnostic text forms

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

}  // namespace vel
