#include "arguments.hpp"

#include "py_ref.hpp"
#include "vel/interrupt.hpp"

namespace velorn::py {

namespace {

constexpr const char* kNoTypeName = "<failed to extract type name>";
constexpr const char* kStrToVec = "Can't extract `str` to `Vec`";
// The length of a sequence of keys is only a hint for the first allocation; an absurd one
// must not allocate.
constexpr Py_ssize_t kMaxKeysHint = 1 << 16;

bool raise_too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.required == sig.positional)
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given", sig.name,
                 sig.positional, given, verb);
  else
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zu to %zu positional arguments but %zd %s given", sig.name,
                 sig.required, sig.positional, given, verb);
  return false;
}

bool raise_unexpected_keyword(const Signature& sig, PyObject* keyword) {
  if (PyUnicode_Check(keyword))
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                 keyword);
  else
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.name,
                 keyword);
  return false;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

bool raise_missing(const Signature& sig, const char* kind, const std::vector<const char*>& names) {
  std::string list = quoted_list(names);
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required %s %s: %s", sig.name, names.size(), kind,
               names.size() == 1 ? "argument" : "arguments", list.c_str());
  return false;
}

// The position of the parameter among `params` that `keyword` names, or -1.
int find_name(std::span<const Param> params, PyObject* keyword) {
  for (std::size_t i = 0; i < params.size(); ++i)
    if (PyUnicode_CompareWithASCIIString(keyword, params[i].name) == 0) return static_cast<int>(i);
  return -1;
}

// How an omitted argument's default shows in the signature.
std::string default_text(const Param& param) {
  switch (param.kind) {
    case ArgKind::Text: return '"' + std::string(param.text_default) + '"';
    case ArgKind::Width: return std::to_string(param.width_default);
    case ArgKind::CacheKeys: return "...";  // an empty list
  }
  return {};
}

}  // namespace

std::string signature_text(const Signature& sig) {
  std::string out = sig.name;
  out += '(';
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (i > 0) out += ", ";
    if (i == sig.positional) out += "*, ";
    const Param& param = sig.params[i];
    out += param.name;
    if (param.optional) out += '=' + default_text(param);
  }
  out += ')';
  return out;
}

std::string documentation_text(const Signature& sig) { return signature_text(sig) + "\n--\n\n"; }

bool bind_any(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
              Slots& slots) {
  slots.fill(nullptr);
  Py_ssize_t given = PyVectorcall_NARGS(nargsf);
  if (static_cast<std::size_t>(given) > sig.positional)
    return raise_too_many_positional(sig, given);
  for (Py_ssize_t i = 0; i < given; ++i) slots[i] = args[i];

  const std::span<const Param> positional = sig.params.first(sig.positional);
  const std::span<const Param> keyword_only = sig.params.subspan(sig.positional);
  Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[given + k];
    if (!PyUnicode_Check(keyword)) return raise_unexpected_keyword(sig, keyword);
    std::size_t slot;
    if (int i = find_name(keyword_only, keyword); i >= 0) {
      slot = sig.positional + static_cast<std::size_t>(i);
    } else if (int j = find_name(positional, keyword); j >= 0) {
      slot = static_cast<std::size_t>(j);
    } else {
      return raise_unexpected_keyword(sig, keyword);
    }
    if (slots[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name,
                   sig.params[slot].name);
      return false;
    }
    slots[slot] = value;
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i)
    if (slots[i] == nullptr) missing.push_back(sig.params[i].name);
  if (!missing.empty()) return raise_missing(sig, "positional", missing);
  for (std::size_t i = sig.positional; i < sig.params.size(); ++i)
    if (!sig.params[i].optional && slots[i] == nullptr) missing.push_back(sig.params[i].name);
  if (!missing.empty()) return raise_missing(sig, "keyword", missing);
  return true;
}

bool raise_cannot_convert(PyObject* value, const char* target) {
  Ref qualname(PyType_GetQualName(Py_TYPE(value)));
  if (qualname && PyUnicode_Check(qualname.get())) {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(),
                 target);
  } else {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", kNoTypeName, target);
  }
  return false;
}

bool reword_failure(const char* param) {
  Ref error(PyErr_GetRaisedException());
  if (!error || Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(error.release());
    return false;
  }
  Ref text(PyObject_Str(error.get()));
  if (!text) return false;
  Ref message(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (!message) return false;
  Ref reworded(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!reworded) return false;
  PyException_SetCause(reworded.get(), PyException_GetCause(error.get()));
  PyErr_SetObject(PyExc_TypeError, reworded.get());
  return false;
}

bool extract_text(PyObject* value, std::string_view& out) {
  if (ascii_text(value, out)) return true;
  if (!PyUnicode_Check(value)) return raise_cannot_convert(value, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool extract_width(PyObject* value, std::uint64_t& out) {
  Ref number(PyLong_Check(value) ? Py_NewRef(value) : PyNumber_Index(value));
  if (!number) return false;
  unsigned long long width = PyLong_AsUnsignedLongLong(number.get());
  if (width == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = width;
  return true;
}

bool extract_keys(PyObject* value, std::vector<std::string>& out) {
  if (PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, kStrToVec);
    return false;
  }
  if (!PySequence_Check(value)) return raise_cannot_convert(value, "Sequence");
  Py_ssize_t hint = PySequence_Size(value);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  out.reserve(static_cast<std::size_t>(hint < kMaxKeysHint ? hint : kMaxKeysHint));
  Ref iterator(PyObject_GetIter(value));
  if (!iterator) return false;
  while (Ref item{PyIter_Next(iterator.get())}) {
    vel::poll_interrupt();  // a list of millions of keys
    std::string_view text;
    if (!extract_text(item.get(), text)) return false;
    out.emplace_back(text);
  }
  return PyErr_Occurred() == nullptr;
}

}  // namespace velorn::py
