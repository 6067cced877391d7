// A call's arguments: each function's parameters described once, in a table from which its
// signature text, its documentation text and the binding of its arguments all come; the
// arguments bound as Python binds them, with the binding's TypeError texts, and converted
// to C++ values.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velorn::py {

// What a parameter takes, and so how its argument is converted.
enum class ArgKind : std::uint8_t {
  Text,       // a str, as UTF-8 text borrowed for the call
  Width,      // an int (or an object with __index__), as an unsigned 64-bit integer
  CacheKeys,  // a sequence of str that is not a str, as a list of texts
};

struct Param {
  const char* name;
  ArgKind kind;
  bool keyword_only = false;
  bool optional = false;            // an omitted argument takes the default below
  std::string_view text_default{};  // of an optional Text
  std::uint64_t width_default = 0;  // of an optional Width
  // An optional CacheKeys parameter defaults to no keys.
};

// The parameters as the functions' tables write them.
constexpr Param text(const char* name) { return {name, ArgKind::Text}; }
constexpr Param text_or(const char* name, std::string_view fallback) {
  return {name, ArgKind::Text, false, true, fallback};
}
constexpr Param cache_keys_or_empty(const char* name) {
  return {name, ArgKind::CacheKeys, false, true};
}
constexpr Param keyword_width_or(const char* name, std::uint64_t fallback) {
  return {name, ArgKind::Width, true, true, {}, fallback};
}

constexpr std::size_t kMaxParams = 4;

// A function's name and parameters: the positional ones first, the required ones first
// among them, then the keyword-only ones.
struct Signature {
  const char* name;
  std::span<const Param> params;
  std::size_t positional;  // how many parameters a position may fill
  std::size_t required;    // how many of those must be given

  constexpr Signature(const char* function, std::span<const Param> list)
      : name(function), params(list), positional(0), required(0) {
    // A function with more parameters than a call's slots hold does not compile.
    if (params.size() > kMaxParams) throw std::length_error("more parameters than kMaxParams");
    while (positional < params.size() && !params[positional].keyword_only) ++positional;
    while (required < positional && !params[required].optional) ++required;
  }

  constexpr bool requires_keyword() const {
    for (std::size_t i = positional; i < params.size(); ++i)
      if (!params[i].optional) return true;
    return false;
  }
};

// "fmt_source(source, *, width=100)": what the documentation text begins with, and what
// the interpreter shows as the function's signature.
std::string signature_text(const Signature& sig);
// The signature line, a line feed, "--" and two line feeds: the interpreter reads the
// signature off it, and the function has no other documentation.
std::string documentation_text(const Signature& sig);

// The bound arguments, borrowed from the call, by parameter position; nullptr for an
// omitted one.
using Slots = std::array<PyObject*, kMaxParams>;

// The converted arguments, by parameter position: each parameter's value stands in the
// array of its kind (a function has one cache key list at most).
struct Converted {
  std::array<std::string_view, kMaxParams> text{};
  std::array<std::uint64_t, kMaxParams> width{};
  std::vector<std::string> cache_keys;
};

// Fills `slots` from a fast call's arguments, or raises the call's TypeError.
bool bind_any(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
              Slots& slots);

// The same, with the usual call (positional arguments only, every required one given)
// bound in place.
[[gnu::always_inline]] inline bool bind(const Signature& sig, PyObject* const* args,
                                        Py_ssize_t nargsf, PyObject* kwnames, Slots& slots) {
  const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  if (kwnames != nullptr || given < sig.required || given > sig.positional ||
      sig.requires_keyword())
    return bind_any(sig, args, nargsf, kwnames, slots);
  slots.fill(nullptr);
  for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];
  return true;
}

// "'{}' object cannot be converted to '{}'" with the qualified name of the value's type;
// always false.
bool raise_cannot_convert(PyObject* value, const char* target);
// A failed conversion of exactly TypeError becomes "argument '{}': {}", keeping its cause;
// any other error is left as raised. Always false.
bool reword_failure(const char* param);

// ASCII text is its own UTF-8, held in the object: true when `value` is a str of it.
[[gnu::always_inline]] inline bool ascii_text(PyObject* value, std::string_view& out) {
  if (!PyUnicode_Check(value) || !PyUnicode_IS_COMPACT_ASCII(value)) return false;
  out = std::string_view(static_cast<const char*>(PyUnicode_DATA(value)),
                         static_cast<std::size_t>(PyUnicode_GET_LENGTH(value)));
  return true;
}

// The UTF-8 text of a str (or subclass), borrowed from the object.
bool extract_text(PyObject* value, std::string_view& out);
bool extract_width(PyObject* value, std::uint64_t& out);
bool extract_keys(PyObject* value, std::vector<std::string>& out);

// One bound argument, or the default of an omitted one, converted by its parameter.
[[gnu::always_inline]] inline bool convert(const Param& param, PyObject* value, std::size_t i,
                                           Converted& out) {
  switch (param.kind) {
    case ArgKind::Text:
      if (value == nullptr) {
        out.text[i] = param.text_default;
        return true;
      }
      // Most arguments are ASCII text, taken without a call.
      return ascii_text(value, out.text[i]) || extract_text(value, out.text[i]) ||
             reword_failure(param.name);
    case ArgKind::Width:
      out.width[i] = param.width_default;
      return value == nullptr || extract_width(value, out.width[i]) || reword_failure(param.name);
    case ArgKind::CacheKeys:
      return value == nullptr || extract_keys(value, out.cache_keys) || reword_failure(param.name);
  }
  return true;
}

// Binds a call's arguments to `sig` and converts every one in declaration order, before
// any work; false with the call's error raised at the first that fails.
[[gnu::always_inline]] inline bool take_arguments(const Signature& sig, PyObject* const* args,
                                                  Py_ssize_t nargsf, PyObject* kwnames,
                                                  Converted& out) {
  Slots slots;
  if (!bind(sig, args, nargsf, kwnames, slots)) return false;
  for (std::size_t i = 0; i < sig.params.size(); ++i)
    if (!convert(sig.params[i], slots[i], i, out)) return false;
  return true;
}

}  // namespace velorn::py
