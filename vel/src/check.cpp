#include "vel/check.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "check_internal.hpp"
#include "vel/ast_json.hpp"
#include "vel/interrupt.hpp"
#include "vel/json.hpp"
#include "vel/output_bound.hpp"
#include "vel/stop.hpp"
#include "vel/text.hpp"

namespace vel {

namespace {

constexpr std::string_view kDash = " \xe2\x80\x94 ";  // U+2014 with a blank each side
constexpr std::string_view kWildcard = "...";
constexpr std::string_view kIndexDtypes[] = {"i32", "i64", "int", "int32", "int64"};

// A type whose texts and dims live in the function being checked (or in the callee), which
// outlives the check; the checker never needs to own a copy.
struct TyRef {
  std::string_view dtype;
  std::span<const Dim> shape;
};

TyRef ref(const Ty& ty) { return {ty.dtype, ty.shape}; }
TyRef ref(const TensorType& ty) { return {ty.dtype, ty.shape}; }

std::string debug_ref(TyRef ty) {
  return debug_type(TensorType{Text(ty.dtype), {ty.shape.begin(), ty.shape.end()}}, "Ty");
}

bool is_wildcard(const Dim& dim) {
  const auto* named = std::get_if<Dim::Named>(&dim.value);
  return named && named->name == kWildcard;
}
std::string_view head(std::string_view name) { return name.substr(0, name.find('.')); }

std::string dim_detail(std::size_t i, const Dim& a, const Dim& b) {
  return "dim " + std::to_string(i) + ": " + debug_dim(a) + " vs " + debug_dim(b);
}

std::string dtype_detail(std::string_view a, std::string_view b) {
  std::string out = "dtype: ";
  out += a;
  out += " vs ";
  out += b;
  return out;
}

std::optional<std::string> match_refs(TyRef a, TyRef b) {
  if (a.dtype != b.dtype) return dtype_detail(a.dtype, b.dtype);
  std::span<const Dim> sa = a.shape, sb = b.shape;
  bool wild_a = !sa.empty() && is_wildcard(sa.front());
  bool wild_b = !sb.empty() && is_wildcard(sb.front());
  if (wild_a) sa = sa.subspan(1);
  if (wild_b) sb = sb.subspan(1);
  if (wild_a || wild_b) {
    // Aligned at their ends; the long side's extra leading dims stand for the wildcard.
    bool b_short = sb.size() < sa.size();
    std::span<const Dim> shorter = b_short ? sb : sa, longer = b_short ? sa : sb;
    std::size_t offset = longer.size() - shorter.size();
    for (std::size_t i = 0; i < shorter.size(); ++i)
      if (!dims_match(shorter[i], longer[i + offset]))
        return dim_detail(i, shorter[i], longer[i + offset]);
    return std::nullopt;
  }
  if (sa.size() != sb.size())
    return "rank: " + std::to_string(sa.size()) + " vs " + std::to_string(sb.size());
  for (std::size_t i = 0; i < sa.size(); ++i)
    if (!dims_match(sa[i], sb[i])) return dim_detail(i, sa[i], sb[i]);
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------
// Work done once per type

constexpr std::string_view kChecking = "Checking";
constexpr std::string_view kFindings = "findings";

// A type by the place of its texts and dims, which live in the checked module for the whole
// check: the same place is the same type, and a value read many times is one place.
struct Place {
  const void* dtype;
  std::size_t dtype_size;
  const void* shape;
  std::size_t rank;

  bool operator==(const Place&) const = default;
};

Place place_of(const TyRef& ty) {
  return {ty.dtype.data(), ty.dtype.size(), ty.shape.data(), ty.shape.size()};
}

bool same_place(const TyRef& a, const TyRef& b) { return place_of(a) == place_of(b); }

struct PlacePair {
  Place a, b;
  bool operator==(const PlacePair&) const = default;
};

// Places are addresses and sizes, never input text; the keyed hash spreads them all the same.
template <class Key>
struct PlaceHash {
  std::size_t operator()(const Key& key) const {
    return hash_text(std::string_view(reinterpret_cast<const char*>(&key), sizeof key));
  }
};

// What an operation, or a call, asks of a type that it met before: compared with the same
// other type, its elements counted, its shape shown in a message. Each is worked out once,
// so an operation of many inputs of one wide type, or many operations reading one, costs
// the width once and not once per input.
struct Known {
  std::unordered_map<PlacePair, std::optional<std::string>, PlaceHash<PlacePair>> agreements;
  std::unordered_map<PlacePair, std::optional<std::string>, PlaceHash<PlacePair>> batched;
  std::unordered_map<PlacePair, bool, PlaceHash<PlacePair>> equal_shapes;
  std::unordered_map<Place, std::optional<std::int64_t>, PlaceHash<Place>> products;
  std::unordered_map<Place, std::string, PlaceHash<Place>> shown_shapes;
  std::unordered_map<PlacePair, bool, PlaceHash<PlacePair>> equal_weights;
};

// ---------------------------------------------------------------------------------------
// Per-function state

struct Scope {
  std::string_view key;
  const OrderedMap<Function>& functions;
  CheckResult& result;
  std::unordered_set<std::string_view, TextHash> dict_params;
  std::unordered_map<std::string_view, TyRef, TextHash> env;
  // The dimension names of every type of the function, gathered at the first name that is
  // found nowhere else: most functions never need them.
  std::unordered_set<std::string_view, TextHash> dim_symbols;
  bool dims_gathered;
  // Per operation: the type of each argument, when it has one.
  std::vector<std::optional<TyRef>> inputs;
  std::string_view first_output;
  Known& known;
  const Function& function;
};

// Every finding goes through here: the result's JSON is kept within the bound on output as
// it grows, and a long run of findings stays interruptible.
void report(Scope& scope, std::string message) {
  poll_interrupt_bytes(message.size());
  // Its quotes and the comma before the next one; escapes are counted when it is written.
  scope.result.error_bytes += message.size() + 3;
  check_output_size(scope.result.error_bytes, kChecking, kFindings);
  scope.result.errors.push_back(std::move(message));
}

// Below this width (dims and dtype bytes together) the work costs less than looking it up.
constexpr std::size_t kKnownFrom = 32;

std::size_t width(const TyRef& ty) { return ty.dtype.size() + ty.shape.size(); }

// What `work` gives for `key`, worked out once when the types are wide.
template <class Map, class Work>
auto known(Map& map, const typename Map::key_type& key, std::size_t width, Work work) {
  if (width < kKnownFrom) return work();
  auto [at, inserted] = map.try_emplace(key);
  if (inserted) at->second = work();
  return at->second;
}

std::optional<std::string> match_known(Scope& scope, TyRef a, TyRef b) {
  if (same_place(a, b)) return std::nullopt;
  return known(scope.known.agreements, {place_of(a), place_of(b)}, width(a) + width(b),
               [&] { return match_refs(a, b); });
}

bool shapes_equal(Scope& scope, const TyRef& a, const TyRef& b) {
  if (a.shape.size() != b.shape.size()) return false;
  if (a.shape.data() == b.shape.data()) return true;
  return known(scope.known.equal_shapes, {place_of(a), place_of(b)}, width(a) + width(b),
               [&] { return std::ranges::equal(a.shape, b.shape); });
}

std::string shown_shape(Scope& scope, const TyRef& ty) {
  return known(scope.known.shown_shapes, place_of(ty), width(ty),
               [&] { return debug_shape(ty.shape); });
}

std::string op_context(const Scope& scope) {
  std::string out(scope.key);
  out += '/';
  out += scope.first_output;
  return out;
}

void add_config_dims(Scope& scope, std::span<const Dim> shape) {
  for (const Dim& dim : shape)
    if (const auto* named = std::get_if<Dim::Named>(&dim.value);
        named && is_config_name(named->name))
      scope.result.constraints.params.emplace(named->name);
}

void add_dim_symbols(Scope& scope, std::span<const Dim> shape) {
  for (const Dim& dim : shape)
    if (const auto* named = std::get_if<Dim::Named>(&dim.value);
        named && !is_config_name(named->name))
      scope.dim_symbols.insert(named->name);
}

void gather_dim_symbols(Scope& scope) {
  const Function& function = scope.function;
  for (const Param& param : function.params)
    if (param.ty.dtype != kDictDtype) add_dim_symbols(scope, param.ty.shape);
  for (const Param& ret : function.returns) add_dim_symbols(scope, ret.ty.shape);
  for (const Op& op : function.ops) {
    poll_interrupt();
    for (const auto& type : op.output_types)
      if (type) add_dim_symbols(scope, type->shape);
  }
  scope.dims_gathered = true;
}

bool is_dim_symbol(Scope& scope, std::string_view name) {
  if (!scope.dims_gathered) gather_dim_symbols(scope);
  return scope.dim_symbols.contains(name);
}

bool is_dict_access(const Scope& scope, std::string_view name) {
  return scope.dict_params.contains(head(name));
}

std::optional<TyRef> param_ty(const Param& param) {
  if (param.ty.dtype == kDictDtype) return std::nullopt;
  return ref(param.ty);
}

std::optional<TyRef> lookup_input(Scope& scope, const Atom& arg) {
  const auto* name = std::get_if<Atom::Name>(&arg.value);
  if (!name) return std::nullopt;
  const Text& text = name->text;
  if (auto found = scope.env.find(text); found != scope.env.end()) return found->second;
  if (is_config_name(text)) {
    scope.result.constraints.params.insert(text.str());
    return std::nullopt;
  }
  if (is_dict_access(scope, text) || is_dim_symbol(scope, text)) return std::nullopt;
  report(scope, op_context(scope) + ": input '" + text + "' not in scope");
  return std::nullopt;
}

void set_up(Scope& scope, const Function& function) {
  scope.env.reserve(function.params.size() + function.ops.size());
  for (const Param& param : function.params)
    if (param.ty.dtype == kDictDtype) scope.dict_params.insert(param.name);
  for (const Param& param : function.params) {
    if (param.ty.dtype == kDictDtype) continue;
    scope.env.insert_or_assign(param.name, ref(param.ty));
    add_config_dims(scope, param.ty.shape);
  }
  for (const Param& ret : function.returns) add_config_dims(scope, ret.ty.shape);
}

// ---------------------------------------------------------------------------------------
// Kind rules: each gives the expected type of the first output, or none.

const TyRef* input(const Scope& scope, std::size_t k) {
  if (k >= scope.inputs.size() || !scope.inputs[k]) return nullptr;
  return &*scope.inputs[k];
}

const TyRef* first_typed(const Scope& scope, std::size_t from = 0) {
  for (std::size_t k = from; k < scope.inputs.size(); ++k)
    if (scope.inputs[k]) return &*scope.inputs[k];
  return nullptr;
}

std::optional<TyRef> input0_dtype(const Scope& scope, const TensorType& declared) {
  const TyRef* in = input(scope, 0);
  if (!in) return std::nullopt;
  return TyRef{in->dtype, declared.shape};
}

// Products wrap around like 64-bit two's-complement arithmetic; the unsigned type keeps the
// wrapping defined.
std::optional<std::int64_t> concrete_product(std::span<const Dim> shape) {
  std::uint64_t product = 1;
  for (const Dim& dim : shape) {
    const auto* concrete = std::get_if<Dim::Concrete>(&dim.value);
    if (!concrete) return std::nullopt;
    product *= static_cast<std::uint64_t>(concrete->size);
  }
  return static_cast<std::int64_t>(product);
}

std::optional<TyRef> rule(Scope& scope, const Op&, const OpKind::View&,
                          const TensorType& declared) {
  const TyRef* in = input(scope, 0);
  if (!in) return std::nullopt;
  auto from = known(scope.known.products, place_of(*in), width(*in),
                    [&] { return concrete_product(in->shape); });
  auto to = concrete_product(declared.shape);
  if (from && to && *from != *to)
    report(scope, op_context(scope) + ": view reshapes " + std::to_string(*from) + " elements to " +
                      std::to_string(*to));
  return TyRef{in->dtype, declared.shape};
}

std::string_view map_dtype(const Scope& scope, std::string_view function, const TyRef& first,
                           const TensorType& declared) {
  if (function == "f32" || function == "bf16") return function;
  if (function == "where") {
    const TyRef* chosen = first_typed(scope, 1);
    return chosen ? chosen->dtype : std::string_view(declared.dtype);
  }
  static constexpr std::string_view kComparisons[] = {"ge", "gt", "le", "lt", "eq", "ne"};
  if (std::ranges::find(kComparisons, function) != std::end(kComparisons)) return declared.dtype;
  return first.dtype;
}

std::optional<TyRef> rule(Scope& scope, const Op&, const OpKind::Map& map,
                          const TensorType& declared) {
  const TyRef* first = first_typed(scope);
  if (!first) return std::nullopt;
  std::size_t position = 0;  // among the typed inputs
  for (const auto& in : scope.inputs) {
    poll_interrupt();
    if (!in) continue;
    if (&*in != first && !shapes_equal(scope, *in, *first)) {
      report(scope, op_context(scope) + ": map[" + map.function +
                        "] requires all inputs to share the same shape; input 0 has shape " +
                        shown_shape(scope, *first) + " but input " + std::to_string(position) +
                        " has shape " + shown_shape(scope, *in) +
                        ". Use an explicit `tile` to broadcast first.");
    }
    ++position;
  }
  return TyRef{map_dtype(scope, map.function, *first, declared), first->shape};
}

std::optional<TyRef> rule(Scope& scope, const Op&, const OpKind::Fold&,
                          const TensorType& declared) {
  return input0_dtype(scope, declared);
}
std::optional<TyRef> rule(Scope& scope, const Op&, const OpKind::Tile&,
                          const TensorType& declared) {
  return input0_dtype(scope, declared);
}
std::optional<TyRef> rule(Scope& scope, const Op&, const OpKind::Write&,
                          const TensorType& declared) {
  return input0_dtype(scope, declared);
}

std::optional<TyRef> rule(Scope& scope, const Op&, const OpKind::Read&,
                          const TensorType& declared) {
  if (const TyRef* index = input(scope, 1);
      index && std::ranges::find(kIndexDtypes, index->dtype) == std::end(kIndexDtypes)) {
    std::string message = op_context(scope) + ": read index dtype ";
    message += index->dtype;
    message += ", expected integer";
    report(scope, std::move(message));
  }
  return input0_dtype(scope, declared);
}

std::optional<TyRef> rule(Scope& scope, const Op&, const OpKind::Contract&,
                          const TensorType& declared) {
  const TyRef* first = first_typed(scope);
  if (!first) return std::nullopt;
  return TyRef{first->dtype, declared.shape};
}

// These kinds expect the declared type itself, which always agrees with itself.
std::optional<TyRef> rule(Scope&, const Op&, const OpKind::Literal&, const TensorType&) {
  return std::nullopt;
}
std::optional<TyRef> rule(Scope&, const Op&, const OpKind::Iota&, const TensorType&) {
  return std::nullopt;
}
std::optional<TyRef> rule(Scope&, const Op&, const OpKind::Random&, const TensorType&) {
  return std::nullopt;
}

// Batched mode: the argument carries extra leading dims; only concrete places of the
// parameter's trailing dims are compared.
std::optional<std::string> batched_detail(TyRef arg, TyRef param) {
  if (arg.dtype != param.dtype) return dtype_detail(arg.dtype, param.dtype);
  if (arg.shape.size() < param.shape.size())
    return "rank: " + std::to_string(arg.shape.size()) + " < " + std::to_string(param.shape.size());
  std::size_t offset = arg.shape.size() - param.shape.size();
  for (std::size_t j = 0; j < param.shape.size(); ++j) {
    const auto* want = std::get_if<Dim::Concrete>(&param.shape[j].value);
    const auto* have = std::get_if<Dim::Concrete>(&arg.shape[offset + j].value);
    if (want && have && want->size != have->size)
      return "dim " + std::to_string(j) + ": " + std::to_string(have->size) + " vs " +
             std::to_string(want->size);
  }
  return std::nullopt;
}

// The fixed part of a weight entry's JSON: quotes, colon and the type's members.
constexpr std::size_t kWeightEntryBytes = 30;

std::optional<std::string> batched_known(Scope& scope, TyRef arg, TyRef param) {
  return known(scope.known.batched, {place_of(arg), place_of(param)}, width(arg) + width(param),
               [&] { return batched_detail(arg, param); });
}

void record_weights(Scope& scope, const Op& op, const Function& callee) {
  for (std::size_t i = 0; i < callee.params.size() && i < op.args.size(); ++i) {
    poll_interrupt();
    const Param& param = callee.params[i];
    if (param.ty.dtype == kDictDtype) continue;
    const auto* name = std::get_if<Atom::Name>(&op.args[i].value);
    if (!name || !is_dict_access(scope, name->text)) continue;
    auto& inner = scope.result.constraints.weights[std::string(scope.key)];
    auto [stored, inserted] = inner.try_emplace(name->text.str(), param.ty);
    if (inserted) {
      // The entry's JSON: its name, the type's dtype and at least two bytes a dim.
      scope.result.error_bytes +=
          name->text.size() + param.ty.dtype.size() + 2 * param.ty.shape.size() + kWeightEntryBytes;
      check_output_size(scope.result.error_bytes, kChecking, kFindings);
      continue;
    }
    const TyRef kept = ref(stored->second), wanted = ref(param.ty);
    if (known(scope.known.equal_weights, {place_of(kept), place_of(wanted)},
              width(kept) + width(wanted), [&] { return stored->second == param.ty; }))
      continue;
    report(scope, op_context(scope) + ": weight '" + name->text +
                      "' used with conflicting types: " + debug_type(stored->second) + " vs " +
                      debug_type(param.ty));
  }
}

void check_args(Scope& scope, const Op& op, std::string_view target) {
  const Function* callee = scope.functions.find(target);
  if (!callee) return;
  std::size_t n = std::min(op.args.size(), callee->params.size());
  bool batched = false;
  for (std::size_t i = 0; i < n; ++i) {
    poll_interrupt();
    auto param = param_ty(callee->params[i]);
    if (scope.inputs[i] && param && scope.inputs[i]->shape.size() > param->shape.size())
      batched = true;
  }
  for (std::size_t i = 0; i < n; ++i) {
    poll_interrupt();
    auto param = param_ty(callee->params[i]);
    if (!scope.inputs[i] || !param) continue;
    auto detail = batched ? batched_known(scope, *scope.inputs[i], *param)
                          : match_known(scope, *scope.inputs[i], *param);
    if (!detail) continue;
    std::string message =
        op_context(scope) + ": arg " + std::to_string(i) + " '" + callee->params[i].name + "'";
    message += kDash;
    message += *detail;
    report(scope, std::move(message));
  }
  record_weights(scope, op, *callee);
}

// The outputs are not compared with the callee's returns: the declared type is expected.
std::optional<TyRef> rule(Scope& scope, const Op& op, const OpKind::Call& call, const TensorType&) {
  check_args(scope, op, call.target);
  return std::nullopt;
}
std::optional<TyRef> rule(Scope& scope, const Op& op, const OpKind::Loop& loop, const TensorType&) {
  if (const auto* count = std::get_if<LoopCount::Named>(&loop.count.value);
      count && is_config_name(count->name))
    scope.result.constraints.params.insert(count->name.str());
  check_args(scope, op, loop.target);
  return std::nullopt;
}
std::optional<TyRef> rule(Scope& scope, const Op& op, const OpKind::Cache& cache,
                          const TensorType&) {
  check_args(scope, op, cache.init);
  return std::nullopt;
}

std::optional<TyRef> kind_rule(Scope& scope, const Op& op, const TensorType& declared) {
  return std::visit([&](const auto& kind) { return rule(scope, op, kind, declared); },
                    op.kind.value);
}

void check_op(Scope& scope, const Op& op) {
  if (op.outputs.empty() || op.output_types.empty()) stop(first_of_empty_message());
  scope.first_output = op.outputs.front();
  scope.inputs.clear();
  for (const Atom& arg : op.args) {
    poll_interrupt();
    scope.inputs.push_back(lookup_input(scope, arg));
  }

  if (const auto& declared = op.output_types.front()) {
    if (auto expected = kind_rule(scope, op, *declared)) {
      if (auto detail = match_refs(*expected, ref(*declared))) {
        std::string message = op_context(scope) + ": declared " + debug_ref(ref(*declared)) +
                              ", expected " + debug_ref(*expected);
        message += kDash;
        message += *detail;
        report(scope, std::move(message));
      }
    }
  }

  std::size_t typed = std::min(op.outputs.size(), op.output_types.size());
  for (std::size_t i = 0; i < typed; ++i) {
    const auto& type = op.output_types[i];
    if (!type) continue;
    scope.env.insert_or_assign(op.outputs[i], ref(*type));
    add_config_dims(scope, type->shape);
  }
}

void check_returns(Scope& scope, const Function& function) {
  for (const Param& ret : function.returns) {
    if (ret.ty.dtype == kDictDtype) continue;
    std::string prefix(scope.key);
    prefix += ": return '" + ret.name + "' ";
    auto found = scope.env.find(ret.name);
    if (found == scope.env.end()) {
      report(scope, prefix + "not found in env");
    } else if (auto detail = match_refs(found->second, ref(ret.ty))) {
      report(scope, prefix + *detail);
    }
  }
}

using json::write_strings;

}  // namespace

std::string debug_ty(const Ty& ty) { return debug_ref(ref(ty)); }

bool dims_match(const Dim& a, const Dim& b) {
  const auto* ca = std::get_if<Dim::Concrete>(&a.value);
  const auto* cb = std::get_if<Dim::Concrete>(&b.value);
  if (ca && cb) return ca->size == cb->size;
  if (ca || cb) return true;
  const Text& s = std::get<Dim::Named>(a.value).name;
  const Text& t = std::get<Dim::Named>(b.value).name;
  if (s == kWildcard || t == kWildcard) return true;
  // Only two dotted names (configuration names, say) can disagree.
  if (s.find('.') == std::string::npos || t.find('.') == std::string::npos) return true;
  return s == t;
}

std::optional<std::string> types_match(const Ty& a, const Ty& b) {
  return match_refs(ref(a), ref(b));
}

namespace {

void check_function(std::string_view key, const Function& function,
                    const OrderedMap<Function>& functions, CheckResult& result) {
  Known known;
  Scope scope{key, functions, result, {}, {}, {}, false, {}, {}, known, function};
  set_up(scope, function);
  for (const Op& op : function.ops) {
    poll_interrupt();
    check_op(scope, op);
  }
  check_returns(scope, function);
}

}  // namespace

CheckResult check(const Module& module) {
  CheckResult result;
  for (const auto& [key, function] : module.functions) {
    poll_interrupt();
    check_function(key, function, module.functions, result);
  }
  return result;
}

void serialize(std::string& out, const Constraints& constraints) {
  out += "{\"params\":";
  write_strings(out, constraints.params);
  out += ",\"weights\":{";
  bool first_fn = true;
  for (const auto& [function, args] : constraints.weights) {
    if (!first_fn) out += ',';
    first_fn = false;
    json::write_string(out, function);
    out += ":{";
    bool first_arg = true;
    for (const auto& [arg, type] : args) {
      poll_interrupt();
      if (!first_arg) out += ',';
      first_arg = false;
      json::write_string(out, arg);
      out += ':';
      serialize(out, type);
      check_output_size(out.size(), kChecking, kFindings);
    }
    out += '}';
  }
  out += "}}";
}

void serialize(std::string& out, const CheckResult& result) {
  out += "{\"errors\":[";
  bool first = true;
  for (const std::string& error : result.errors) {
    poll_interrupt_bytes(error.size());
    if (!first) out += ',';
    first = false;
    json::write_string(out, error);
    check_output_size(out.size(), kChecking, kFindings);
  }
  out += ']';
  out += ",\"constraints\":";
  serialize(out, result.constraints);
  out += '}';
  check_output_size(out.size(), kChecking, kFindings);
}

std::string check_result_to_json(const CheckResult& result) {
  std::string out;
  serialize(out, result);
  return out;
}

}  // namespace vel
