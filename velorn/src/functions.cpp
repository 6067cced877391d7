#include "functions.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "failure.hpp"
#include "load_flat.hpp"
#include "vel/ast.hpp"
#include "vel/ast_json.hpp"
#include "vel/check.hpp"
#include "vel/config.hpp"
#include "vel/flatten.hpp"
#include "vel/fmt.hpp"
#include "vel/interrupt.hpp"
#include "vel/parse.hpp"
#include "vel/resolve.hpp"

namespace velorn::py {

namespace {

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

// The same for a check result, whose findings may be as long as their text.
std::string json_of(vel::CheckResult&& result) {
  vel::CheckResult owned = std::move(result);
  return vel::check_result_to_json(owned);
}

// The set of a call's cache keys, which may come by the million: built between polls, from
// the texts of the converted list, which it takes over.
vel::CacheKeys key_set(std::vector<std::string>&& keys) {
  vel::CacheKeys set;
  set.reserve(keys.size());
  for (std::string& key : keys) {
    vel::poll_interrupt_bytes(key.size());
    set.insert(std::move(key));
  }
  return set;
}

// Each function's parameters, in declaration order: its signature text, its documentation
// text and the binding of its arguments all come from here.
constexpr std::uint64_t kDefaultWidth = 100;
constexpr Param kLoadFlatParams[] = {text("vel_path"), text("config_path"),
                                     text_or("entry", "main"), cache_keys_or_empty("cache_keys")};
constexpr Param kSourceParams[] = {text("source")};
constexpr Param kResolveParams[] = {text("module_json"), text("config_json")};
constexpr Param kFlattenParams[] = {text("module_json"), text("entry"),
                                    cache_keys_or_empty("cache_keys")};
constexpr Param kModuleJsonParams[] = {text("module_json")};
constexpr Param kFmtSourceParams[] = {text("source"), keyword_width_or("width", kDefaultWidth)};
constexpr Param kFmtJsonParams[] = {text("module_json"), keyword_width_or("width", kDefaultWidth)};
constexpr Param kPathParams[] = {text("path")};
constexpr Param kFmtFileParams[] = {text("path"), keyword_width_or("width", kDefaultWidth)};

constexpr Signature kLoadFlatJson{"load_flat_json", kLoadFlatParams};
constexpr Signature kParseToJson{"parse_to_json", kSourceParams};
constexpr Signature kResolveJson{"resolve_json", kResolveParams};
constexpr Signature kFlattenJson{"flatten_json", kFlattenParams};
constexpr Signature kInferAxesJson{"infer_axes_json", kModuleJsonParams};
constexpr Signature kCheckJson{"check_json", kModuleJsonParams};
constexpr Signature kFmtSource{"fmt_source", kFmtSourceParams};
constexpr Signature kFmtJson{"fmt_json", kFmtJsonParams};
constexpr Signature kCheckFile{"check_file", kPathParams};
constexpr Signature kFmtFile{"fmt_file", kFmtFileParams};

// Every function has this shape: take its arguments (bound, and every one converted in
// declaration order), and only then work. The work may stop the call; `guarded` turns that
// into a Python error.

PyObject* load_flat_json(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Converted in;
  if (!take_arguments(kLoadFlatJson, args, nargsf, kwnames, in)) return nullptr;
  std::string_view vel_path = in.text[0], config_path = in.text[1], entry = in.text[2];
  vel::CacheKeys keys = key_set(std::move(in.cache_keys));
  // The modules are released before the text is copied into a str.
  return new_text(velorn::load_flat_json(vel_path, config_path, entry, keys));
}

PyObject* parse_to_json(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Converted in;
  if (!take_arguments(kParseToJson, args, nargsf, kwnames, in)) return nullptr;
  return new_text(json_of(vel::parse(in.text[0])));
}

PyObject* resolve_json(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Converted in;
  if (!take_arguments(kResolveJson, args, nargsf, kwnames, in)) return nullptr;
  vel::Module module = vel::module_from_json(in.text[0]);
  vel::ConfigMap config = vel::config_from_json(in.text[1]);
  return new_text(json_of(vel::resolve(vel::sub_module(std::move(module), config))));
}

PyObject* flatten_json(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Converted in;
  if (!take_arguments(kFlattenJson, args, nargsf, kwnames, in)) return nullptr;
  std::string_view module_json = in.text[0], entry = in.text[1];
  // The module and its flat function are released before the text is copied into a str.
  std::string text = [&] {
    vel::Module module = vel::module_from_json(module_json);
    vel::CacheKeys keys = key_set(std::move(in.cache_keys));
    return vel::flatten_to_json(module, entry, keys);
  }();
  return new_text(text);
}

PyObject* infer_axes_json(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Converted in;
  if (!take_arguments(kInferAxesJson, args, nargsf, kwnames, in)) return nullptr;
  return new_text(json_of(vel::resolve(vel::module_from_json(in.text[0]))));
}

PyObject* check_json(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Converted in;
  if (!take_arguments(kCheckJson, args, nargsf, kwnames, in)) return nullptr;
  // The module and the findings are released before the str is made.
  std::string text = json_of(vel::check(vel::module_from_json(in.text[0])));
  return new_text(text);
}

PyObject* fmt_source(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Converted in;
  if (!take_arguments(kFmtSource, args, nargsf, kwnames, in)) return nullptr;
  std::string_view source = in.text[0];
  // Canonical text is seldom much longer than its source; room that stays unused costs
  // nothing, and the text is then never copied while it grows. An empty source gives one
  // line feed, which needs no room of its own. The module is released before the str is
  // made, as in `json_of`.
  std::size_t room = source.empty() ? 0 : source.size() + source.size() / 2 + 64;
  std::string text = vel::format_vel(vel::parse(source), in.width[1], room);
  return new_text(text);
}

PyObject* fmt_json(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Converted in;
  if (!take_arguments(kFmtJson, args, nargsf, kwnames, in)) return nullptr;
  return new_text(vel::format_vel(vel::module_from_json(in.text[0]), in.width[1]));
}

PyObject* check_file(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Converted in;
  if (!take_arguments(kCheckFile, args, nargsf, kwnames, in)) return nullptr;
  std::string text = json_of(vel::check(vel::parse_file(in.text[0])));
  return new_text(text);
}

PyObject* fmt_file(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Converted in;
  if (!take_arguments(kFmtFile, args, nargsf, kwnames, in)) return nullptr;
  return new_text(vel::format_vel(vel::parse_file(in.text[0]), in.width[1]));
}

// A function of the module's calling convention, with every failure turned into its
// Python error.
using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

struct Function {
  const Signature& signature;
  FastCall call;
};

// Registration order.
const Function kFunctions[] = {
    {kLoadFlatJson, guarded<load_flat_json>},   {kParseToJson, guarded<parse_to_json>},
    {kResolveJson, guarded<resolve_json>},      {kFlattenJson, guarded<flatten_json>},
    {kInferAxesJson, guarded<infer_axes_json>}, {kCheckJson, guarded<check_json>},
    {kFmtSource, guarded<fmt_source>},          {kFmtJson, guarded<fmt_json>},
    {kCheckFile, guarded<check_file>},          {kFmtFile, guarded<fmt_file>},
};
constexpr std::size_t kFunctionCount = std::size(kFunctions);

}  // namespace

std::span<PyMethodDef> function_table() {
  // Made at the first initialisation and kept: the function objects point into both.
  static std::array<std::string, kFunctionCount> documentation;
  static std::array<PyMethodDef, kFunctionCount> definitions = [] {
    std::array<PyMethodDef, kFunctionCount> made{};
    for (std::size_t i = 0; i < kFunctionCount; ++i) {
      const Function& function = kFunctions[i];
      documentation[i] = documentation_text(function.signature);
      made[i] =
          PyMethodDef{function.signature.name,
                      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function.call)),
                      METH_FASTCALL | METH_KEYWORDS, documentation[i].c_str()};
    }
    return made;
  }();
  return definitions;
}

}  // namespace velorn::py
