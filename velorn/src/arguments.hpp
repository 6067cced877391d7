// A call's arguments: bound to the parameters of a function's signature as Python binds
// them, with the binding's TypeError texts, and converted to C++ values.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velorn::py {

struct KeywordParam {
  const char* name;
  bool required;
};

struct Signature {
  const char* name;
  std::span<const char* const> positional;
  std::size_t required;
  std::span<const KeywordParam> keyword_only;

  std::size_t size() const { return positional.size() + keyword_only.size(); }
  constexpr bool requires_keyword() const {
    for (const KeywordParam& param : keyword_only)
      if (param.required) return true;
    return false;
  }
};

constexpr std::size_t kMaxParams = 4;
// The bound arguments, borrowed from the call: positional parameters first, then the
// keyword-only ones; nullptr for an omitted one.
using Slots = std::array<PyObject*, kMaxParams>;

// Fills `slots` from a fast call's arguments, or raises the call's TypeError.
bool bind_any(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
              Slots& slots);

// The same, with the usual call (positional arguments only, every required one given)
// bound in place.
[[gnu::always_inline]] inline bool bind(const Signature& sig, PyObject* const* args,
                                        Py_ssize_t nargsf, PyObject* kwnames, Slots& slots) {
  const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  if (kwnames != nullptr || given < sig.required || given > sig.positional.size() ||
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

// Most arguments are ASCII text, taken without a call.
[[gnu::always_inline]] inline bool text_arg(PyObject* value, const char* param,
                                            std::string_view& out) {
  return ascii_text(value, out) || extract_text(value, out) || reword_failure(param);
}

// An omitted argument keeps the default already in `out`.
bool text_arg_or(PyObject* value, const char* param, std::string_view& out);
bool width_arg(PyObject* value, std::uint64_t& out);
bool keys_arg(PyObject* value, std::vector<std::string>& out);

}  // namespace velorn::py
