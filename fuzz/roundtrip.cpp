#include "roundtrip.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "vel/ast.hpp"
#include "vel/ast_json.hpp"
#include "vel/check.hpp"
#include "vel/fmt.hpp"
#include "vel/json.hpp"
#include "vel/parse.hpp"
#include "vel/stop.hpp"
#include "vel/unicode.hpp"

namespace vel::fuzz {

namespace {

// ---------------------------------------------------------------------------------------
// Comparing modules float by float.

template <class Literal, class F>
void literal_floats(Literal& value, F& visit) {
  if (auto* real = std::get_if<LiteralValue::Float>(&value.value)) {
    visit(real->value);
  } else if (auto* list = std::get_if<LiteralValue::List>(&value.value)) {
    for (auto& item : list->items) literal_floats(item, visit);
  }
}

// Every float of the module, in a fixed order; `M` is Module or const Module.
template <class M, class F>
void for_each_float(M& module, F visit) {
  for (auto& [key, fn] : module.functions) {
    for (auto& op : fn.ops) {
      for (auto& arg : op.args)
        if (auto* real = std::get_if<Atom::Float>(&arg.value)) visit(real->value);
      if (auto* literal = std::get_if<OpKind::Literal>(&op.kind.value))
        literal_floats(literal->value, visit);
      if (auto* random = std::get_if<OpKind::Random>(&op.kind.value)) {
        visit(random->lower);
        visit(random->upper);
      }
    }
  }
}

std::vector<std::uint64_t> float_bits(const Module& module) {
  std::vector<std::uint64_t> bits;
  for_each_float(module,
                 [&](double value) { bits.push_back(std::bit_cast<std::uint64_t>(value)); });
  return bits;
}

Module without_nans(Module module) {
  for_each_float(module, [](double& value) {
    if (std::isnan(value)) value = 0;
  });
  return module;
}

// ---------------------------------------------------------------------------------------
// What canonical text carries. The formatter prints names, types and patterns verbatim,
// so a text that is not one token of the right kind reads back as something else; these
// predicates model the tokenizer on their own, as a second opinion on it.

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_word_byte(char c) { return is_letter(c) || (c >= '0' && c <= '9') || c == '_' || c == '.'; }

// One word token: a letter or "_", then letters, digits, "_" and ".", with an optional "*"
// right after a final ".".
bool is_word(std::string_view text) {
  if (text.empty() || !(is_letter(text[0]) || text[0] == '_')) return false;
  std::size_t i = 1;
  while (i < text.size() && is_word_byte(text[i])) ++i;
  if (i < text.size() && text[i] == '*' && text[i - 1] == '.') ++i;
  return i == text.size();
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Digits, with an optional "-", beyond the signed 64-bit range: one number token that no
// integer holds.
bool is_out_of_range_integer(std::string_view text) {
  std::string_view digits = text.starts_with('-') ? text.substr(1) : text;
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), is_digit)) return false;
  std::int64_t value = 0;
  auto [end, fault] = std::from_chars(text.data(), text.data() + text.size(), value);
  return fault == std::errc::result_out_of_range;
}

// A text that prints as one token which a bracket or paren list reads as the same name: a
// word other than "inf" and other than one that begins with "_" and holds what makes it a
// float; an integer beyond the signed range; or a punctuation token that separates nothing
// in a list.
bool is_name_word(std::string_view text) {
  if (is_word(text))
    return text != "inf" &&
           !(text[0] == '_' && text.find_first_of(".eE") != std::string_view::npos);
  constexpr std::string_view kLoosePunctuation[] = {"+", "*", ":", "{", "}", "=", "-", "->"};
  return is_out_of_range_integer(text) ||
         std::find(std::begin(kLoosePunctuation), std::end(kLoosePunctuation), text) !=
             std::end(kLoosePunctuation);
}

bool is_name_word_or_empty(std::string_view text) { return text.empty() || is_name_word(text); }

// "->" or a blank makes a bracket item a pattern.
bool is_pattern(std::string_view text) {
  return text.find(' ') != std::string_view::npos || text.find("->") != std::string_view::npos;
}

// Negative infinity prints as "-inf", which reads as the name "-" and positive infinity;
// not-a-number prints as the name "NaN.0".
bool float_reads_back(double value) { return !std::isnan(value) && value != -INFINITY; }

// A dimension "," or "]" falls under the comma rule of the dimension list.
bool carries_type(const TensorType& type) {
  if (type.dtype == kDictDtype) return true;
  for (const Dim& dim : type.shape) {
    if (const auto* named = std::get_if<Dim::Named>(&dim.value))
      if (named->name == "," || named->name == "]") return false;
  }
  return true;
}

bool carries_kind(const OpKind& kind) {
  return std::visit(
      [](const auto& k) {
        using K = std::decay_t<decltype(k)>;
        if constexpr (std::is_same_v<K, OpKind::Map>) {
          return is_name_word_or_empty(k.function);
        } else if constexpr (std::is_same_v<K, OpKind::Fold> || std::is_same_v<K, OpKind::Write>) {
          // A quoted text that is no pattern reads as the first name, the reduction.
          return is_pattern(k.pattern) && is_name_word(k.reduction);
        } else if constexpr (std::is_same_v<K, OpKind::Random>) {
          return float_reads_back(k.lower) && float_reads_back(k.upper);
        } else if constexpr (std::is_same_v<K, OpKind::Call>) {
          return is_name_word_or_empty(k.target);
        } else if constexpr (std::is_same_v<K, OpKind::Loop>) {
          if (const auto* named = std::get_if<LoopCount::Named>(&k.count.value))
            return is_name_word(k.target) && is_name_word(named->name);
          // A concrete count above the signed range prints as digits that read as a name.
          return is_name_word_or_empty(k.target) &&
                 std::get<LoopCount::Concrete>(k.count.value).count <= INT64_MAX;
        } else if constexpr (std::is_same_v<K, OpKind::Cache>) {
          return is_name_word(k.var) && is_name_word(k.init) &&
                 (!k.extend || is_name_word(*k.extend));
        } else {
          return true;
        }
      },
      kind.value);
}

bool prints_args(const OpKind& kind) {
  return !std::holds_alternative<OpKind::Literal>(kind.value) &&
         !std::holds_alternative<OpKind::Random>(kind.value);
}

bool carries_op(const Op& op) {
  for (std::size_t i = 0; i < op.outputs.size(); ++i) {
    if (!is_word(op.outputs[i])) return false;
    if (i < op.output_types.size() && op.output_types[i] && !carries_type(*op.output_types[i]))
      return false;
  }
  if (prints_args(op.kind)) {
    for (const Atom& arg : op.args) {
      if (const auto* name = std::get_if<Atom::Name>(&arg.value); name && !is_name_word(name->text))
        return false;
      if (const auto* real = std::get_if<Atom::Float>(&arg.value);
          real && !float_reads_back(real->value))
        return false;
    }
  }
  return carries_kind(op.kind);
}

bool carries_params(const std::vector<Param>& params) {
  for (const Param& param : params)
    if (!is_word(param.name) || !carries_type(param.ty)) return false;
  return true;
}

bool carries_function(const Function& fn) {
  if (!is_word(fn.name) || !carries_params(fn.params) || !carries_params(fn.returns)) return false;
  for (const Op& op : fn.ops)
    if (!op.outputs.empty() && !carries_op(op)) return false;
  return true;
}

// A dict type reads back with an empty shape.
void clear_dict_shape(TensorType& type) {
  if (type.dtype == kDictDtype) type.shape.clear();
}

void append(std::vector<Text>& to, const std::vector<Text>& lines) {
  to.insert(to.end(), lines.begin(), lines.end());
}

// The operation as its printed line reads back: one type entry per output, dict shapes
// empty, no arguments where none print.
Op as_printed(Op op) {
  op.output_types.resize(op.outputs.size());
  for (auto& type : op.output_types)
    if (type) clear_dict_shape(*type);
  if (!prints_args(op.kind)) op.args.clear();
  return op;
}

// The module that reading the canonical text of `module` gives, or nothing when it holds
// something that the text cannot carry. An operation without outputs prints only its
// comment lines, which the next line printed takes; before a function's first printed
// line they are the function's own, and after its last the next function's (in a body
// that prints no line, the function's own).
std::optional<Module> as_read_back(const Module& module) {
  Module out;
  out.header_comments = module.header_comments;
  std::vector<Text> pending;
  for (const auto& [key, fn] : module.functions) {
    if (!carries_function(fn)) return std::nullopt;
    Function copy{fn.name, std::move(pending), fn.params, fn.returns, {}};
    pending.clear();
    append(copy.comments, fn.comments);
    for (auto& param : copy.params) clear_dict_shape(param.ty);
    for (auto& ret : copy.returns) clear_dict_shape(ret.ty);
    for (const Op& op : fn.ops) {
      append(pending, op.comments);
      if (op.outputs.empty()) continue;
      Op line = as_printed(op);
      if (copy.ops.empty()) {
        append(copy.comments, pending);
        line.comments.clear();
      } else {
        line.comments = std::move(pending);
      }
      pending.clear();
      copy.ops.push_back(std::move(line));
    }
    // A body that prints no line holds nothing but its function's comment lines.
    if (copy.ops.empty()) {
      append(copy.comments, pending);
      pending.clear();
    }
    std::string name = copy.name.str();
    out.functions.store(std::move(name), std::move(copy));
  }
  return out;
}

// The outcome of reading, as a module or the reason it failed.
struct Outcome {
  std::optional<Module> module;
  std::string failure;
};

template <class Read>
Outcome attempt(Read read) {
  try {
    return {read(), {}};
  } catch (const Stop& stop) {
    return {std::nullopt, "stop: " + stop.message};
  } catch (const json::JsonError& error) { return {std::nullopt, json::unwrap_message(error)}; }
}

// The formatter decides on the header layout by the width; the input picks one.
std::uint64_t width_for(std::string_view input) { return (input.size() * 7) % 120; }

bool writes_every_float(const Module& module) {
  bool finite = true;
  for (const auto& [key, fn] : module.functions) {
    for (const Op& op : fn.ops) {
      for (const Atom& arg : op.args)
        if (const auto* real = std::get_if<Atom::Float>(&arg.value))
          finite = finite && std::isfinite(real->value);
      if (const auto* random = std::get_if<OpKind::Random>(&op.kind.value))
        finite = finite && std::isfinite(random->lower) && std::isfinite(random->upper);
    }
  }
  return finite;
}

}  // namespace

bool same_module(const Module& a, const Module& b) {
  return float_bits(a) == float_bits(b) && without_nans(a) == without_nans(b);
}

std::optional<std::string> source_round_trip_fault(std::string_view source) {
  if (!unicode::is_valid_utf8(source)) return std::nullopt;
  Outcome first = attempt([&] { return parse(source); });
  if (!first.module) return std::nullopt;
  const std::uint64_t width = width_for(source);
  const std::string text = format_vel(*first.module, width);
  Outcome second = attempt([&] { return parse(text); });
  std::optional<Module> expected = as_read_back(*first.module);
  if (!expected) return std::nullopt;
  if (!second.module) return "canonical text does not parse (" + second.failure + "):\n" + text;
  if (!same_module(*second.module, *expected))
    return "canonical text reads back as another module:\n" + text + "which formats as:\n" +
           format_vel(*second.module, width);
  return std::nullopt;
}

std::optional<std::string> json_round_trip_fault(std::string_view input) {
  if (!unicode::is_valid_utf8(input)) return std::nullopt;
  Outcome first = attempt([&] { return module_from_json(input); });
  if (!first.module) return std::nullopt;
  const Module& module = *first.module;
  const std::string json = module_to_json(module);
  // An infinite or NaN argument or bound is written as null, which reads back as no float.
  if (writes_every_float(module)) {
    Outcome second = attempt([&] { return module_from_json(json); });
    if (!second.module) return "written JSON does not read back (" + second.failure + "):\n" + json;
    if (!same_module(*second.module, module))
      return "written JSON reads back as another module:\n" + json + "\nwhich writes as:\n" +
             module_to_json(*second.module);
    if (module_to_json(*second.module) != json) return "JSON written twice differs:\n" + json;
  }
  try {
    check_result_to_json(check(module));
  } catch (const Stop&) {
    // an operation without outputs or output types
  }
  format_vel(module, width_for(input));
  return std::nullopt;
}

}  // namespace vel::fuzz
