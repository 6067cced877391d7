#include "functions.hpp"

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

constexpr std::uint64_t kDefaultWidth = 100;
constexpr std::string_view kDefaultEntry = "main";

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

// Every function has this shape: bind, convert every argument in declaration order, and
// only then work. The work may stop the call; `guarded` turns that into a Python error.

PyObject* load_flat_json(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Slots slots;
  if (!bind(kLoadFlatJson, args, nargsf, kwnames, slots)) return nullptr;
  std::string_view vel_path, config_path, entry = kDefaultEntry;
  std::vector<std::string> cache_keys;
  if (!text_arg(slots[0], "vel_path", vel_path) ||
      !text_arg(slots[1], "config_path", config_path) || !text_arg_or(slots[2], "entry", entry) ||
      !keys_arg(slots[3], cache_keys))
    return nullptr;
  vel::CacheKeys keys = key_set(std::move(cache_keys));
  // The flat module is released before its text is copied into a str.
  return new_text(json_of(load_flat(vel_path, config_path, entry, keys)));
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
  vel::ConfigMap config = vel::config_from_json(config_json);
  return new_text(json_of(vel::resolve(vel::sub_module(std::move(module), config))));
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
  vel::CacheKeys keys = key_set(std::move(cache_keys));
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
  // The module and the findings are released before the str is made.
  std::string text = json_of(vel::check(vel::module_from_json(module_json)));
  return new_text(text);
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
  std::string text = json_of(vel::check(vel::parse_file(path)));
  return new_text(text);
}

PyObject* fmt_file(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Slots slots;
  if (!bind(kFmtFile, args, nargsf, kwnames, slots)) return nullptr;
  std::string_view path;
  std::uint64_t width = kDefaultWidth;
  if (!text_arg(slots[0], "path", path) || !width_arg(slots[1], width)) return nullptr;
  return new_text(vel::format_vel(vel::parse_file(path), width));
}

// The formatter would take the stringized name for a directive.
// clang-format off
#define VEL_FUNCTION(name, signature)                                                      \
  PyMethodDef {                                                                            \
    #name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<name>)),     \
        METH_FASTCALL | METH_KEYWORDS, signature "\n--\n\n"                                \
  }
// clang-format on

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

}  // namespace

std::span<PyMethodDef> function_table() { return functions; }

}  // namespace velorn::py
