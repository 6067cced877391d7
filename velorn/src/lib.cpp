// The extension module `_velorn`: its definition, the ten functions with their argument
// binding, and the translation of a stop into `PanicException`. Everything here runs with
// the interpreter lock held; no C++ exception ever leaves a function called by Python.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vel/ast.hpp"
#include "vel/ast_json.hpp"
#include "vel/check.hpp"
#include "vel/flatten.hpp"
#include "vel/fmt.hpp"
#include "vel/interrupt.hpp"
#include "vel/json.hpp"
#include "vel/parse.hpp"
#include "vel/resolve.hpp"
#include "vel/stop.hpp"

#include "config.hpp"
#include "weights.hpp"

namespace {

// ---------------------------------------------------------------------------------------
// Owners

// Owns one reference; the pointer is released when the owner goes out of scope.
class Ref {
 public:
  explicit Ref(PyObject* object = nullptr) : object_(object) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  PyObject* release() {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }

 private:
  PyObject* object_;
};

// ---------------------------------------------------------------------------------------
// Fixed texts

constexpr const char* kSubinterpreterMessage =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://github.com/PyO3/pyo3/issues/576";
constexpr const char* kNoTypeName = "<failed to extract type name>";
constexpr const char* kStrToVec = "Can't extract `str` to `Vec`";
// What a stop that carries no text of its own reports.
constexpr std::string_view kNoPanicText = "panic from Rust code";
constexpr const char* kPanicName = "pyo3_runtime.PanicException";
constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when a call of the vel toolchain stops with a message.\n"
    "\n"
    "Like SystemExit, it derives from BaseException, so a handler for Exception\n"
    "does not catch it and it normally reaches the top of the program.\n";
constexpr std::string_view kBacktraceNote =
    "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n";
constexpr std::uint64_t kDefaultWidth = 100;
constexpr std::string_view kDefaultEntry = "main";

// ---------------------------------------------------------------------------------------
// Per-process state, written once under the interpreter lock

constexpr std::int64_t kNoInterpreter = -1;
std::atomic<std::int64_t> first_interpreter{kNoInterpreter};
PyObject* module_object = nullptr;
PyObject* panic_type = nullptr;
PyObject* interned_name = nullptr;
PyObject* interned_all = nullptr;

// ---------------------------------------------------------------------------------------
// Failure report and PanicException

std::string thread_name() { return gettid() == getpid() ? "main" : "<unnamed>"; }

void write_report(const vel::Stop& stop) {
  std::string report = "\nthread '" + thread_name() + "' (" + std::to_string(gettid()) +
                       ") panicked at " + stop.where.file_name() + ":" +
                       std::to_string(stop.where.line()) + ":" +
                       std::to_string(stop.where.column()) + ":\n" + stop.message + "\n";
  report += kBacktraceNote;
  std::fwrite(report.data(), 1, report.size(), stderr);
  std::fflush(stderr);
}

PyObject* get_panic_type() {
  if (panic_type == nullptr)
    panic_type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
  return panic_type;
}

// Reports the stop, then raises it with its message as the single argument.
void raise_panic(const vel::Stop& stop) {
  write_report(stop);
  PyObject* type = get_panic_type();
  if (type == nullptr) return;
  // A message is UTF-8 text; a stray byte from a foreign exception must not lose it.
  Ref message(PyUnicode_DecodeUTF8(stop.message.data(),
                                   static_cast<Py_ssize_t>(stop.message.size()), "replace"));
  if (!message) return;
  PyErr_SetObject(type, message.get());
}

vel::Stop stop_here(std::string message,
                    vel::SourceLocation where = vel::SourceLocation::current()) {
  return vel::Stop{std::move(message), where};
}

// The Python error of a call that stopped; always gives nullptr.
PyObject* fail_with(const vel::Stop& stop) noexcept {
  try {
    raise_panic(stop);
  } catch (...) {
    // Building the report itself ran out of memory.
    PyErr_NoMemory();
  }
  return nullptr;
}

PyObject* fail_with(const vel::json::JsonError& error) noexcept {
  try {
    return fail_with(stop_here(vel::json::unwrap_message(error)));
  } catch (...) {
    PyErr_NoMemory();
  }
  return nullptr;
}

// Turns the exception in flight into the Python error of the call; always gives nullptr.
PyObject* fail_current() noexcept {
  try {
    try {
      throw;
    } catch (const vel::Interrupted&) {
      // A signal handler raised; its exception is the call's.
    } catch (const vel::Stop& stop) {
      return fail_with(stop);
    } catch (const vel::json::JsonError& error) {
      return fail_with(error);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& error) {
      raise_panic(stop_here(error.what()));
    } catch (...) {
      raise_panic(stop_here(std::string(kNoPanicText)));
    }
  } catch (...) {
    // Building the report itself ran out of memory.
    PyErr_NoMemory();
  }
  return nullptr;
}

// The interruption check of every call: the handlers of signals that arrived meanwhile run
// now, and one that raises (KeyboardInterrupt) ends the call with its exception. A handler
// that does not raise lets the work go on.
bool python_signal_raised() { return PyErr_CheckSignals() != 0; }

PyObject* new_text(std::string_view text) {
  // A text of one ASCII character, such as the line feed of an empty module, is one of the
  // interpreter's own strings, reached without decoding.
  if (text.size() == 1 && static_cast<unsigned char>(text[0]) < 0x80)
    return PyUnicode_FromOrdinal(text[0]);
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// The JSON text of a module, which is released before the text is returned: the module
// never stands in memory beside the str made from its text.
std::string json_of(vel::Module&& module) {
  vel::Module owned = std::move(module);
  return vel::module_to_json(owned);
}

// ---------------------------------------------------------------------------------------
// Parameter descriptions and binding

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

bool raise_too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.required == sig.positional.size())
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given",
                 sig.name, sig.positional.size(), given, verb);
  else
    PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd %s given",
                 sig.name, sig.required, sig.positional.size(), given, verb);
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
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required %s %s: %s", sig.name, names.size(),
               kind, names.size() == 1 ? "argument" : "arguments", list.c_str());
  return false;
}

int find_name(std::span<const char* const> names, PyObject* keyword) {
  for (std::size_t i = 0; i < names.size(); ++i)
    if (PyUnicode_CompareWithASCIIString(keyword, names[i]) == 0) return static_cast<int>(i);
  return -1;
}

int find_keyword_only(std::span<const KeywordParam> params, PyObject* keyword) {
  for (std::size_t i = 0; i < params.size(); ++i)
    if (PyUnicode_CompareWithASCIIString(keyword, params[i].name) == 0) return static_cast<int>(i);
  return -1;
}

// Fills `slots` from a fast call's arguments, or raises the call's TypeError.
bool bind_any(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
              Slots& slots) {
  slots.fill(nullptr);
  Py_ssize_t given = PyVectorcall_NARGS(nargsf);
  if (static_cast<std::size_t>(given) > sig.positional.size())
    return raise_too_many_positional(sig, given);
  for (Py_ssize_t i = 0; i < given; ++i) slots[i] = args[i];

  Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[given + k];
    if (!PyUnicode_Check(keyword)) return raise_unexpected_keyword(sig, keyword);
    std::size_t slot;
    const char* name;
    if (int i = find_keyword_only(sig.keyword_only, keyword); i >= 0) {
      slot = sig.positional.size() + i;
      name = sig.keyword_only[i].name;
    } else if (int j = find_name(sig.positional, keyword); j >= 0) {
      slot = j;
      name = sig.positional[j];
    } else {
      return raise_unexpected_keyword(sig, keyword);
    }
    if (slots[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name, name);
      return false;
    }
    slots[slot] = value;
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i)
    if (slots[i] == nullptr) missing.push_back(sig.positional[i]);
  if (!missing.empty()) return raise_missing(sig, "positional", missing);
  for (std::size_t i = 0; i < sig.keyword_only.size(); ++i)
    if (sig.keyword_only[i].required && slots[sig.positional.size() + i] == nullptr)
      missing.push_back(sig.keyword_only[i].name);
  if (!missing.empty()) return raise_missing(sig, "keyword", missing);
  return true;
}

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

// ---------------------------------------------------------------------------------------
// Argument conversion

// "'{}' object cannot be converted to '{}'" with the qualified name of the value's type.
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

// A failed conversion of exactly TypeError becomes "argument '{}': {}", keeping its cause;
// any other error is left as raised.
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

// ASCII text is its own UTF-8, held in the object: true when `value` is a str of it.
[[gnu::always_inline]] inline bool ascii_text(PyObject* value, std::string_view& out) {
  if (!PyUnicode_Check(value) || !PyUnicode_IS_COMPACT_ASCII(value)) return false;
  out = std::string_view(static_cast<const char*>(PyUnicode_DATA(value)),
                         static_cast<std::size_t>(PyUnicode_GET_LENGTH(value)));
  return true;
}

// The UTF-8 text of a str (or subclass), borrowed from the object.
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

// The length is only a hint for the first allocation; an absurd one must not allocate.
constexpr Py_ssize_t kMaxKeysHint = 1 << 16;

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
    std::string_view text;
    if (!extract_text(item.get(), text)) return false;
    out.emplace_back(text);
  }
  return PyErr_Occurred() == nullptr;
}

// Most arguments are ASCII text, taken without a call.
[[gnu::always_inline]] inline bool text_arg(PyObject* value, const char* param,
                                            std::string_view& out) {
  return ascii_text(value, out) || extract_text(value, out) || reword_failure(param);
}

// An omitted argument keeps the default already in `out`.
bool text_arg_or(PyObject* value, const char* param, std::string_view& out) {
  return value == nullptr || text_arg(value, param, out);
}

bool width_arg(PyObject* value, std::uint64_t& out) {
  return value == nullptr || extract_width(value, out) || reword_failure("width");
}

bool keys_arg(PyObject* value, std::vector<std::string>& out) {
  return value == nullptr || extract_keys(value, out) || reword_failure("cache_keys");
}

// ---------------------------------------------------------------------------------------
// The ten functions

constexpr const char* kPathParams[] = {"path"};
constexpr const char* kSourceParams[] = {"source"};
constexpr const char* kModuleJsonParams[] = {"module_json"};
constexpr const char* kResolveParams[] = {"module_json", "config_json"};
constexpr const char* kFlattenParams[] = {"module_json", "entry", "cache_keys"};
constexpr const char* kLoadFlatParams[] = {"vel_path", "config_path", "entry", "cache_keys"};
constexpr KeywordParam kWidthParam[] = {{"width", false}};

constexpr Signature kLoadFlatJson{"load_flat_json", kLoadFlatParams, 2, {}};
constexpr Signature kParseToJson{"parse_to_json", kSourceParams, 1, {}};
constexpr Signature kResolveJson{"resolve_json", kResolveParams, 2, {}};
constexpr Signature kFlattenJson{"flatten_json", kFlattenParams, 2, {}};
constexpr Signature kInferAxesJson{"infer_axes_json", kModuleJsonParams, 1, {}};
constexpr Signature kCheckJson{"check_json", kModuleJsonParams, 1, {}};
constexpr Signature kFmtSource{"fmt_source", kSourceParams, 1, kWidthParam};
constexpr Signature kFmtJson{"fmt_json", kModuleJsonParams, 1, kWidthParam};
constexpr Signature kCheckFile{"check_file", kPathParams, 1, {}};
constexpr Signature kFmtFile{"fmt_file", kPathParams, 1, kWidthParam};

// Every road has this shape: bind, convert every argument in declaration order, and only
// then work. The work may stop the call; the wrapper turns that into a Python error.
using Road = PyObject* (*)(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

template <Road road>
PyObject* guarded(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  try {
    return road(args, nargsf, kwnames);
  } catch (const vel::Stop& stop) {
    // The usual failures are handled where they are caught: throwing again costs as much
    // as the rest of a small call.
    return fail_with(stop);
  } catch (const vel::json::JsonError& error) {
    return fail_with(error);
  } catch (...) {
    return fail_current();
  }
}

PyObject* load_flat_json(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Slots slots;
  if (!bind(kLoadFlatJson, args, nargsf, kwnames, slots)) return nullptr;
  std::string_view vel_path, config_path, entry = kDefaultEntry;
  std::vector<std::string> cache_keys;
  if (!text_arg(slots[0], "vel_path", vel_path) ||
      !text_arg(slots[1], "config_path", config_path) ||
      !text_arg_or(slots[2], "entry", entry) || !keys_arg(slots[3], cache_keys))
    return nullptr;
  velorn::ConfigFile config_file{config_path, std::nullopt};
  // Each module is released as soon as the next one is built, and the flat one before its
  // text is copied into a str: a large model's memory is taken from the system once.
  vel::Module flat = [&] {
    vel::Module resolved = [&] {
      vel::Module parsed = vel::parse_file(vel_path);
      velorn::ConfigMap config = velorn::load_config(config_file);
      return vel::resolve(velorn::sub_module(parsed, config));
    }();
    vel::CacheKeys keys(cache_keys.begin(), cache_keys.end());
    return vel::flatten(resolved, entry, keys);
  }();
  // A regular file is read again: the weight mapping comes from this second reading.
  velorn::WeightMapping mapping = velorn::load_weight_mapping(config_file);
  velorn::apply_weight_mapping(flat, mapping);
  return new_text(json_of(std::move(flat)));
}

PyObject* parse_to_json(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Slots slots;
  if (!bind(kParseToJson, args, nargsf, kwnames, slots)) return nullptr;
  std::string_view source;
  if (!text_arg(slots[0], "source", source)) return nullptr;
  return new_text(json_of(vel::parse(source)));
}

PyObject* resolve_json(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Slots slots;
  if (!bind(kResolveJson, args, nargsf, kwnames, slots)) return nullptr;
  std::string_view module_json, config_json;
  if (!text_arg(slots[0], "module_json", module_json) ||
      !text_arg(slots[1], "config_json", config_json))
    return nullptr;
  vel::Module module = vel::module_from_json(module_json);
  velorn::ConfigMap config = velorn::config_from_json(config_json);
  return new_text(json_of(vel::resolve(velorn::sub_module(module, config))));
}

PyObject* flatten_json(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Slots slots;
  if (!bind(kFlattenJson, args, nargsf, kwnames, slots)) return nullptr;
  std::string_view module_json, entry;
  std::vector<std::string> cache_keys;
  if (!text_arg(slots[0], "module_json", module_json) || !text_arg(slots[1], "entry", entry) ||
      !keys_arg(slots[2], cache_keys))
    return nullptr;
  vel::Module module = vel::module_from_json(module_json);
  vel::CacheKeys keys(cache_keys.begin(), cache_keys.end());
  return new_text(json_of(vel::flatten(module, entry, keys)));
}

PyObject* infer_axes_json(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Slots slots;
  if (!bind(kInferAxesJson, args, nargsf, kwnames, slots)) return nullptr;
  std::string_view module_json;
  if (!text_arg(slots[0], "module_json", module_json)) return nullptr;
  return new_text(json_of(vel::resolve(vel::module_from_json(module_json))));
}

PyObject* check_json(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Slots slots;
  if (!bind(kCheckJson, args, nargsf, kwnames, slots)) return nullptr;
  std::string_view module_json;
  if (!text_arg(slots[0], "module_json", module_json)) return nullptr;
  return new_text(vel::check_result_to_json(vel::check(vel::module_from_json(module_json))));
}

PyObject* fmt_source(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Slots slots;
  if (!bind(kFmtSource, args, nargsf, kwnames, slots)) return nullptr;
  std::string_view source;
  std::uint64_t width = kDefaultWidth;
  if (!text_arg(slots[0], "source", source) || !width_arg(slots[1], width)) return nullptr;
  // Canonical text is seldom much longer than its source; room that stays unused costs
  // nothing, and the text is then never copied while it grows. An empty source gives one
  // line feed, which needs no room of its own. The module is released before the str is
  // made, as in `json_of`.
  std::size_t room = source.empty() ? 0 : source.size() + source.size() / 2 + 64;
  std::string text = vel::format_vel(vel::parse(source), width, room);
  return new_text(text);
}

PyObject* fmt_json(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Slots slots;
  if (!bind(kFmtJson, args, nargsf, kwnames, slots)) return nullptr;
  std::string_view module_json;
  std::uint64_t width = kDefaultWidth;
  if (!text_arg(slots[0], "module_json", module_json) || !width_arg(slots[1], width))
    return nullptr;
  return new_text(vel::format_vel(vel::module_from_json(module_json), width));
}

PyObject* check_file(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Slots slots;
  if (!bind(kCheckFile, args, nargsf, kwnames, slots)) return nullptr;
  std::string_view path;
  if (!text_arg(slots[0], "path", path)) return nullptr;
  vel::Module module = vel::parse_file(path);
  return new_text(vel::check_result_to_json(vel::check(module)));
}

PyObject* fmt_file(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Slots slots;
  if (!bind(kFmtFile, args, nargsf, kwnames, slots)) return nullptr;
  std::string_view path;
  std::uint64_t width = kDefaultWidth;
  if (!text_arg(slots[0], "path", path) || !width_arg(slots[1], width)) return nullptr;
  return new_text(vel::format_vel(vel::parse_file(path), width));
}

// ---------------------------------------------------------------------------------------
// Module definition and initialisation

#define VEL_FUNCTION(name, signature)                                                        \
  PyMethodDef {                                                                              \
    #name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<name>)),       \
        METH_FASTCALL | METH_KEYWORDS, signature "\n--\n\n"                                  \
  }

// Registration order; the interpreter reads each signature line off its documentation.
PyMethodDef functions[] = {
    VEL_FUNCTION(load_flat_json,
                 "load_flat_json(vel_path, config_path, entry=\"main\", cache_keys=...)"),
    VEL_FUNCTION(parse_to_json, "parse_to_json(source)"),
    VEL_FUNCTION(resolve_json, "resolve_json(module_json, config_json)"),
    VEL_FUNCTION(flatten_json, "flatten_json(module_json, entry, cache_keys=...)"),
    VEL_FUNCTION(infer_axes_json, "infer_axes_json(module_json)"),
    VEL_FUNCTION(check_json, "check_json(module_json)"),
    VEL_FUNCTION(fmt_source, "fmt_source(source, *, width=100)"),
    VEL_FUNCTION(fmt_json, "fmt_json(module_json, *, width=100)"),
    VEL_FUNCTION(check_file, "check_file(path)"),
    VEL_FUNCTION(fmt_file, "fmt_file(path, *, width=100)"),
};

#undef VEL_FUNCTION

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_velorn",  // m_name
    "",         // m_doc
    0,          // m_size
    nullptr,    // m_methods: the functions are added by the module body
    nullptr,    // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
};

bool intern_names() {
  if (interned_name == nullptr && !(interned_name = PyUnicode_InternFromString("__name__")))
    return false;
  if (interned_all == nullptr && !(interned_all = PyUnicode_InternFromString("__all__")))
    return false;
  return true;
}

// The module's `__all__` list, created empty when the module has none.
PyObject* module_all(PyObject* module) {
  Ref all(PyObject_GetAttr(module, interned_all));
  if (all) {
    if (!PyList_Check(all.get())) {
      raise_cannot_convert(all.get(), "PyList");
      return nullptr;
    }
    return all.release();
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
  PyErr_Clear();
  Ref fresh(PyList_New(0));
  if (!fresh || PyObject_SetAttr(module, interned_all, fresh.get()) < 0) return nullptr;
  return fresh.release();
}

bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  Ref function(PyCMethod_New(def, module, module_name, nullptr));
  if (!function) return false;
  Ref name(PyObject_GetAttr(function.get(), interned_name));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) return raise_cannot_convert(name.get(), "PyString");
  Ref all(module_all(module));
  if (!all || PyList_Append(all.get(), name.get()) < 0) return false;
  return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

bool module_body(PyObject* module) {
  if (!intern_names()) return false;
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  for (PyMethodDef& def : functions)
    if (!add_function(module, module_name.get(), &def)) return false;
  return true;
}

// The first interpreter to import the module is the only one that can.
bool claim_interpreter() {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1 && PyErr_Occurred()) return false;
  std::int64_t recorded = kNoInterpreter;
  if (!first_interpreter.compare_exchange_strong(recorded, id) && recorded != id) {
    PyErr_SetString(PyExc_ImportError, kSubinterpreterMessage);
    return false;
  }
  return true;
}

PyObject* init_module() {
  if (!claim_interpreter()) return nullptr;
  if (module_object != nullptr) return Py_NewRef(module_object);
  Ref module(PyModule_Create2(&module_def, 1013));
  if (!module || !module_body(module.get())) return nullptr;
  vel::set_interrupt_check(python_signal_raised);
  module_object = Py_NewRef(module.get());
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__velorn(void) {
  try {
    return init_module();
  } catch (...) {
    PyErr_NoMemory();
    return nullptr;
  }
}
