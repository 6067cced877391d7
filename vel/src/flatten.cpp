#include "vel/flatten.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "vel/ast.hpp"
#include "vel/stop.hpp"
#include "vel/text.hpp"

namespace vel {

namespace {

constexpr std::string_view kStarSuffix = ".*";
constexpr std::string_view kNewSuffix = "_new";
constexpr std::string_view kLoopPrefix = "loop";

// A fuzz build lowers both bounds below, so that one input stays within the fuzzer's
// limits of time and memory.
#ifndef VEL_MAX_FLAT_OPS
#define VEL_MAX_FLAT_OPS 10'000'000
#endif
#ifndef VEL_MAX_FLAT_BYTES
#define VEL_MAX_FLAT_BYTES (std::uint64_t{1} << 32)
#endif

// Far above any real model, and low enough that the flat module and its JSON text still
// fit in memory; a loop count of 10^12 stops here before anything is allocated.
constexpr std::uint64_t kMaxFlatOps = VEL_MAX_FLAT_OPS;
// The same for the memory that all the operations built take: names that grow by a prefix
// per level of calls, or a large literal in a loop, fill it with few operations.
constexpr std::uint64_t kMaxFlatBytes = VEL_MAX_FLAT_BYTES;

constexpr std::string_view kBytesOfOps = " bytes of operations";
constexpr std::string_view kNoThreadedArg = "Loop must have a threaded arg matching output name";
constexpr std::string_view kCacheNeedsType = "cache slot must have a declared type";

[[noreturn]] void stop_loop_count(std::string_view name) {
  std::string message = "Loop count '";
  message += name;
  message += "' not resolved before flattening";
  stop(std::move(message));
}

[[noreturn]] void stop_recursion(std::string_view function) {
  std::string message = "Function '";
  message += function;
  message += "' calls itself and cannot be flattened";
  stop(std::move(message));
}

[[noreturn]] void stop_too_large(std::uint64_t bound = kMaxFlatOps,
                                 std::string_view what = " operations") {
  std::string message = "Flattening would produce more than ";
  append_uint(message, bound);
  message += what;
  stop(std::move(message));
}

// A call with more arguments than its callee has parameters, and one with none for a
// callee that has some: the binding has no last argument to stand for the parameters.
void check_arity(std::string_view target, std::size_t args, std::size_t params) {
  if (args == 0 && params > 0) {
    std::string message = "Call to '";
    message += target;
    message += "' passes no arguments for its ";
    append_uint(message, params);
    message += params == 1 ? " parameter" : " parameters";
    stop(std::move(message));
  }
  if (args > params) {
    std::string message = "range end index ";
    append_uint(message, args);
    message += " out of range for slice of length ";
    append_uint(message, params);
    stop(std::move(message));
  }
}

// ---------------------------------------------------------------------------------------
// Names

struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const {
    return std::hash<std::string_view>{}(text);
  }
};
using TextSet = std::unordered_set<std::string, TextHash, std::equal_to<>>;
using TextMap = std::unordered_map<std::string, std::string, TextHash, std::equal_to<>>;

// Most names are longer than every name of the set, and are told apart without hashing.
struct GlobalNames {
  TextSet names;
  std::size_t longest = 0;

  void insert(const std::string& name) {
    names.insert(name);
    longest = std::max(longest, name.size());
  }
  bool contains(std::string_view name) const {
    return name.size() <= longest && names.contains(name);
  }
};
using Bindings = TextMap;
using Renames = TextMap;
// A dict parameter's name and the argument text bound to it, scanned longest name first:
// when both w and w.a match w.a.b, the more specific w.a decides.
using DictBindings = std::vector<std::pair<std::string, std::string>>;

const std::string* name_of(const Atom& atom) {
  const auto* name = std::get_if<Atom::Name>(&atom.value);
  return name ? &name->text : nullptr;
}

template <class Alt>
const Alt* kind_as(const Op& op) {
  return std::get_if<Alt>(&op.kind.value);
}

std::uint64_t literal_bytes(const LiteralValue& value) {
  std::uint64_t bytes = sizeof(LiteralValue);
  if (const auto* list = std::get_if<LiteralValue::List>(&value.value))
    for (const LiteralValue& item : list->items) bytes += literal_bytes(item);
  return bytes;
}

// About what an operation takes in memory: its records and its texts.
std::uint64_t op_bytes(const Op& op) {
  std::uint64_t bytes = sizeof(Op);
  auto text = [&](const std::string& t) { bytes += t.size(); };
  for (const std::string& name : op.outputs) bytes += sizeof(name) + name.size();
  for (const Atom& arg : op.args) {
    bytes += sizeof(Atom);
    if (const std::string* name = name_of(arg)) text(*name);
  }
  for (const auto& type : op.output_types) {
    bytes += sizeof(type);
    if (!type) continue;
    text(type->dtype);
    for (const Dim& dim : type->shape) {
      bytes += sizeof(Dim);
      if (const auto* named = std::get_if<Dim::Named>(&dim.value)) text(named->name);
    }
  }
  for (const std::string& comment : op.comments) bytes += sizeof(comment) + comment.size();
  std::visit(
      [&](const auto& kind) {
        using Kind = std::decay_t<decltype(kind)>;
        if constexpr (requires { kind.pattern; }) text(kind.pattern);
        if constexpr (requires { kind.axes; })
          for (const auto& [axis, size] : kind.axes) bytes += sizeof(Axes::Entry) + axis.size();
        if constexpr (requires { kind.function; }) text(kind.function);
        if constexpr (requires { kind.reduction; }) text(kind.reduction);
        if constexpr (requires { kind.target; }) text(kind.target);
        if constexpr (std::is_same_v<Kind, OpKind::Literal>) bytes += literal_bytes(kind.value);
        if constexpr (std::is_same_v<Kind, OpKind::Cache>) {
          text(kind.var);
          text(kind.init);
          if (kind.extend) text(*kind.extend);
        }
      },
      op.kind.value);
  return bytes;
}

void collect_dims(const TensorType& type, std::unordered_set<std::string_view>& dims) {
  for (const Dim& dim : type.shape)
    if (const auto* named = std::get_if<Dim::Named>(&dim.value)) dims.insert(named->name);
}

// Operation arguments that are configuration names, or symbolic dimensions of the types of
// their own function; they are never rewritten, in whichever function they appear.
GlobalNames global_names(const Module& module) {
  GlobalNames out;
  std::unordered_set<std::string_view> dims;
  for (const auto& [key, fn] : module.functions) {
    dims.clear();
    for (const Param& p : fn.params) collect_dims(p.ty, dims);
    for (const Param& r : fn.returns) collect_dims(r.ty, dims);
    for (const Op& op : fn.ops)
      for (const auto& type : op.output_types)
        if (type) collect_dims(*type, dims);
    for (const Op& op : fn.ops)
      for (const Atom& arg : op.args)
        if (const std::string* name = name_of(arg))
          if (is_config_name(*name) || dims.contains(*name)) out.insert(*name);
  }
  return out;
}

struct CallBindings {
  Bindings bindings;
  DictBindings dict_bindings;
};

void bind_dict(DictBindings& dicts, const std::string& param, const std::string& arg) {
  for (auto& [name, text] : dicts)
    if (name == param) {
      text = arg;
      return;
    }
  auto at = std::find_if(dicts.begin(), dicts.end(),
                         [&](const auto& entry) { return entry.first.size() < param.size(); });
  dicts.emplace(at, param, arg);
}

bool is_param_name(const Function& fn, std::string_view name) {
  return std::any_of(fn.params.begin(), fn.params.end(),
                     [&](const Param& p) { return p.name == name; });
}

// The parameters of `callee` bound to the call's arguments, its returns to the call's
// outputs. With fewer arguments than parameters, the last argument stands for itself and
// every later parameter, each as the argument, a point and the parameter's name.
CallBindings bind_call(const Function& callee, const Op& call) {
  CallBindings out;
  const std::size_t u = call.args.size(), t = callee.params.size();
  check_arity(kind_as<OpKind::Call>(call)->target, u, t);
  const std::size_t v = u < t ? u - 1 : u;
  for (std::size_t i = 0; i < v; ++i) {
    const std::string* arg = name_of(call.args[i]);
    if (!arg) continue;
    const Param& p = callee.params[i];
    if (p.ty.dtype == kDictDtype)
      bind_dict(out.dict_bindings, p.name, *arg);
    else
      out.bindings.insert_or_assign(p.name, *arg);
  }
  if (u >= 1 && u < t)
    if (const std::string* last = name_of(call.args[u - 1]))
      for (std::size_t i = u - 1; i < t; ++i) {
        const std::string& p = callee.params[i].name;
        std::string text;
        text.reserve(last->size() + 1 + p.size());
        text += *last;
        text += '.';
        text += p;
        out.bindings.insert_or_assign(p, std::move(text));
      }
  const std::size_t bound = std::min(callee.returns.size(), call.outputs.size());
  for (std::size_t i = 0; i < bound; ++i) {
    const std::string& r = callee.returns[i].name;
    if (!is_param_name(callee, r)) out.bindings.insert_or_assign(r, call.outputs[i]);
  }
  return out;
}

// A name on its way out through several inlined calls, one level at a time. It is kept as
// pieces, so that a prefix costs the same however long the name has grown: through a
// chain of thousands of calls a local name gains a prefix at every level.
class NameRope {
 public:
  void reset(std::string_view text) {
    pieces_.assign(1, text);
    size_ = text.size();
  }
  void prepend(std::string_view text) {
    pieces_.push_back(text);
    size_ += text.size();
  }
  std::size_t size() const { return size_; }

  bool starts_with(std::string_view text) const {
    for (auto piece = pieces_.rbegin(); !text.empty(); ++piece) {
      if (piece == pieces_.rend()) return false;
      const std::size_t n = std::min(piece->size(), text.size());
      if (piece->substr(0, n) != text.substr(0, n)) return false;
      text.remove_prefix(n);
    }
    return true;
  }
  char at(std::size_t i) const {
    for (auto piece = pieces_.rbegin();; ++piece) {
      if (i < piece->size()) return (*piece)[i];
      i -= piece->size();
    }
  }
  void drop_front(std::size_t n) {
    size_ -= n;
    while (n >= pieces_.back().size()) {
      n -= pieces_.back().size();
      pieces_.pop_back();
    }
    pieces_.back().remove_prefix(n);
  }
  // The whole text; `scratch` holds it when it is in more than one piece.
  std::string_view view(std::string& scratch) const {
    if (pieces_.size() == 1) return pieces_[0];
    scratch.clear();
    for (auto piece = pieces_.rbegin(); piece != pieces_.rend(); ++piece) scratch += *piece;
    return scratch;
  }
  std::string text() const {
    std::string out;
    out.reserve(size_);
    for (auto piece = pieces_.rbegin(); piece != pieces_.rend(); ++piece) out += *piece;
    return out;
  }

 private:
  std::vector<std::string_view> pieces_;  // the text's last piece first
  std::size_t size_ = 0;
};

// What one inlined call rewrites: its bindings and its local prefix ("{prefix}.").
struct CallFrame {
  CallBindings bound;
  std::string local_prefix;
  std::size_t longest_key = 0;             // no longer name is a key of the bindings
  std::optional<std::uint64_t> iteration;  // the loop iteration that this call is
};

CallFrame call_frame(const Function& callee, const Op& call, std::string_view prefix,
                     std::optional<std::uint64_t> iteration) {
  CallFrame frame{bind_call(callee, call), {}, 0, iteration};
  frame.local_prefix.reserve(prefix.size() + 1);
  frame.local_prefix += prefix;
  frame.local_prefix += '.';
  for (const auto& [key, text] : frame.bound.bindings)
    frame.longest_key = std::max(frame.longest_key, key.size());
  return frame;
}

// One level of rewriting, the first rule that applies deciding: a name in `global_names`
// stays itself (at every outer level too, so the caller stops: returns false), a bound
// name becomes its text, a dict parameter or a dotted name under one becomes the argument
// text with the rest, and any other name takes the local prefix.
bool resolve_name(NameRope& name, const CallFrame& frame, const GlobalNames& global_names,
                  std::string& scratch) {
  if (name.size() <= std::max(global_names.longest, frame.longest_key)) {
    const std::string_view text = name.view(scratch);
    if (global_names.contains(text)) return false;
    if (auto found = frame.bound.bindings.find(text); found != frame.bound.bindings.end()) {
      name.reset(found->second);
      return true;
    }
  }
  for (const auto& [param, arg] : frame.bound.dict_bindings) {
    if (name.size() < param.size() || !name.starts_with(param)) continue;
    if (name.size() == param.size()) {
      name.reset(arg);
      return true;
    }
    if (name.at(param.size()) == '.') {
      name.drop_front(param.size());
      name.prepend(arg);
      return true;
    }
  }
  name.prepend(frame.local_prefix);
  return true;
}

// "{}.{}" and "{}_{}" with a decimal number.
std::string numbered(std::string_view stem, char joint, std::uint64_t number) {
  std::string out;
  out.reserve(stem.size() + 21);
  out += stem;
  out += joint;
  append_uint(out, number);
  return out;
}

// "loop{}": the prefix of an iteration, counted from 0.
std::string loop_prefix(std::uint64_t i) {
  std::string out(kLoopPrefix);
  append_uint(out, i);
  return out;
}

// A name ending in ".*" made the iteration's own: weights.layers.* becomes weights.layers.3.
std::optional<std::string> star_for_iteration(const std::string& name, std::uint64_t i) {
  if (name.size() < kStarSuffix.size() || !name.ends_with(kStarSuffix)) return std::nullopt;
  return numbered(std::string_view(name).substr(0, name.size() - kStarSuffix.size()), '.', i);
}

void substitute_cache_var_star(Op& op, std::uint64_t i) {
  auto* cache = std::get_if<OpKind::Cache>(&op.kind.value);
  if (!cache) return;
  if (auto var = star_for_iteration(cache->var, i)) cache->var = std::move(*var);
}

// ---------------------------------------------------------------------------------------
// Expansion, in two walks. Planning visits each function once, depth first in the order
// in which expansion meets its operations, and stops on the first failure that expansion
// would meet; it also refuses recursion and sizes every expansion before anything is
// built. Building then makes each function's expansion once, callees first, and copies it
// under renaming into every place that inlines it.

std::string_view target_of(const Op& op) {
  if (const auto* call = kind_as<OpKind::Call>(op)) return call->target;
  return kind_as<OpKind::Loop>(op)->target;
}

// One operation of a planned function, as expansion sees it.
struct Step {
  const Op* source;
  std::optional<Op> renamed{};       // the operation with its function's renames, if they change it
  const Function* callee = nullptr;  // what a call, or a loop that runs at least once, inlines
  std::uint64_t count = 0;           // a loop's iterations
  std::size_t threaded = 0;          // a loop's threaded argument

  const Op& op() const { return renamed ? *renamed : *source; }
};

struct Plan {
  bool done = false;       // false while its operations are still being planned
  std::vector<Step> steps;
  std::uint64_t size = 0;   // operations in the expansion
  std::uint64_t bytes = 0;  // and about the memory they take, by `op_bytes`
  std::uint64_t uses = 0;  // places that copy the expansion, a loop's iterations each
  std::uint64_t left = 0;  // of those, the copies still to be made while the entry is built
};

struct Flattener {
  const Module& module;
  GlobalNames globals;
  std::unordered_map<const Function*, Plan> plans;
  std::unordered_map<const Function*, std::vector<Op>> expansions;
  // While the entry is built, an expansion is dropped after its last copy; what the cache
  // slots build is kept.
  bool evict = true;
  std::uint64_t bytes = 0;  // of the operations built, by `op_bytes`
};

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a)
    return std::numeric_limits<std::uint64_t>::max();
  return a * b;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  return b > kMax - a ? kMax : a + b;
}

// Adds `ops` operations of `bytes` to an expansion, refusing to pass either bound. The
// bytes are those of the operations as written, before any prefix.
void grow(Plan& plan, std::uint64_t ops, std::uint64_t bytes) {
  if (ops > kMaxFlatOps - plan.size) stop_too_large();
  if (bytes > kMaxFlatBytes - plan.bytes) stop_too_large(kMaxFlatBytes, kBytesOfOps);
  plan.size += ops;
  plan.bytes += bytes;
}

std::optional<Op> renamed(const Op& op, const Renames& renames) {
  std::optional<Op> copy;
  if (renames.empty()) return copy;
  for (std::size_t i = 0; i < op.args.size(); ++i) {
    const std::string* name = name_of(op.args[i]);
    if (!name) continue;
    auto found = renames.find(*name);
    if (found == renames.end()) continue;
    if (!copy) copy = op;
    std::get<Atom::Name>(copy->args[i].value).text = found->second;
  }
  return copy;
}

std::optional<std::size_t> threaded_arg(const Op& loop) {
  for (std::size_t i = 0; i < loop.args.size(); ++i)
    if (const std::string* name = name_of(loop.args[i]); name && *name == loop.outputs[0])
      return i;
  return std::nullopt;
}

struct PlanFrame {
  const Function* fn;
  Plan* plan;
  std::size_t next = 0;
  Renames renames{};
  std::optional<Step> pending{};  // an operation waiting for its callee's plan
};

// The checks of an operation that come before its callee is expanded; the callee, if any,
// is left in the step.
Step begin_step(const Flattener& f, PlanFrame& frame) {
  const Op& source = frame.fn->ops[frame.next];
  Step step{&source, renamed(source, frame.renames)};
  const Op& op = step.op();
  if (const auto* call = kind_as<OpKind::Call>(op)) {
    if (op.outputs.empty()) stop(bounds_message(0, 0));
    step.callee = &f.module.functions.at(call->target);
  } else if (const auto* loop = kind_as<OpKind::Loop>(op)) {
    if (const auto* named = std::get_if<LoopCount::Named>(&loop->count.value))
      stop_loop_count(named->name);
    if (op.outputs.empty()) stop(bounds_message(0, 0));
    std::optional<std::size_t> threaded = threaded_arg(op);
    if (!threaded) stop(std::string(kNoThreadedArg));
    step.threaded = *threaded;
    step.count = std::get<LoopCount::Concrete>(loop->count.value).count;
    // A loop looks its target up when its first iteration is inlined.
    if (step.count > 0) step.callee = &f.module.functions.at(loop->target);
  }
  return step;
}

// The checks that come after the callee's expansion, then the step joins its plan.
void finish_step(Flattener& f, PlanFrame& frame, Step step) {
  Plan& plan = *frame.plan;
  const Op& op = step.op();
  const bool loop = kind_as<OpKind::Loop>(op) != nullptr;
  if (step.callee) {
    Plan& callee = f.plans.at(step.callee);
    const std::uint64_t copies = loop ? step.count : 1;
    check_arity(target_of(op), op.args.size(), step.callee->params.size());
    grow(plan, saturating_mul(copies, callee.size), saturating_mul(copies, callee.bytes));
    callee.uses = saturating_add(callee.uses, copies);
    callee.left = saturating_add(callee.left, copies);
  } else if (!loop) {
    grow(plan, 1, op_bytes(op));
  }
  if (loop) {
    const std::string& x = op.outputs[0];
    frame.renames.insert_or_assign(x, step.count ? numbered(x, '_', step.count) : x);
  }
  plan.steps.push_back(std::move(step));
  ++frame.next;
}

// Plans `root` and everything its expansion inlines, without recursion of its own: a
// chain of thousands of functions costs one frame each on a list.
void plan_expansion(Flattener& f, const Function* root) {
  if (f.plans.contains(root)) return;  // planned already: nothing is open between walks
  std::vector<PlanFrame> stack;
  stack.push_back({root, &f.plans[root]});
  while (!stack.empty()) {
    PlanFrame& top = stack.back();
    if (!top.pending) {
      if (top.next == top.fn->ops.size()) {
        top.plan->done = true;
        stack.pop_back();
        continue;
      }
      top.pending = begin_step(f, top);
    }
    if (const Function* callee = top.pending->callee) {
      auto [at, fresh] = f.plans.try_emplace(callee);
      if (fresh) {
        stack.push_back({callee, &at->second});  // `top` is not used past this point
        continue;
      }
      if (!at->second.done) stop_recursion(target_of(top.pending->op()));
    }
    Step step = std::move(*top.pending);
    top.pending.reset();
    finish_step(f, top, std::move(step));
  }
}

// ---------------------------------------------------------------------------------------
// Building. An expansion that is copied into more than one place is built once and kept
// until its last copy; one that is copied into a single place is not kept at all: its
// operations are written straight into that place, rewritten through every call between,
// so a long chain of calls copies nothing twice.

// The extra parameters and returns that the cache slots add to the flat function.
struct CacheCtx {
  std::vector<Param> input_params;
  std::vector<Param> output_params;
  const CacheKeys& cache_keys;
  TextSet input_names;
  TextSet output_names;

  void record_input(const std::string& name, const TensorType& type) {
    if (input_names.insert(name).second) input_params.push_back(Param{name, type});
  }
  void record_output(const std::string& name, const TensorType& type) {
    if (output_names.insert(name).second) output_params.push_back(Param{name, type});
  }
};

bool shared(const Plan& plan) { return plan.uses >= 2; }

// The iteration call of a loop: its target, the iteration's output name, the loop's output
// types, and its arguments with the threaded one replaced and ".*" names made the
// iteration's own.
Op iteration_call(const Step& step, std::uint64_t i, const std::string& current,
                  std::string output) {
  const Op& loop = step.op();
  Op call{OpKind{OpKind::Call{std::string(target_of(loop))}}, {std::move(output)},
          loop.output_types, loop.args, {}};
  for (std::size_t k = 0; k < call.args.size(); ++k) {
    auto* name = std::get_if<Atom::Name>(&call.args[k].value);
    if (k == step.threaded)
      name->text = current;
    else if (auto starred = name ? star_for_iteration(name->text, i) : std::nullopt)
      name->text = std::move(*starred);
  }
  return call;
}

void release(Flattener& f, const Function* callee) {
  if (!f.evict) return;
  Plan& plan = f.plans.at(callee);
  if (plan.left == 0 || --plan.left > 0) return;
  f.expansions.erase(callee);
}

const std::vector<Op>& expand(Flattener& f, const Function* fn);
void expand_slot(Flattener& f, CacheCtx& ctx, const Op& op, std::vector<Op>& out);

// The walk that builds one function's expansion (the root) into `out`: the functions being
// walked, and one frame for each call between the innermost and the root. While the entry
// is built, `ctx` runs the cache pass over the operations as they come; the whole
// expansion has been planned by then, so no failure of expansion comes after one of the
// cache pass.
struct Walk {
  struct Level {
    const Plan* plan;
    std::size_t next = 0;
    std::uint64_t iteration = 0;  // of the loop at `next`, while it runs
    std::string current{};        // that loop's threaded name
  };

  Flattener& f;
  std::vector<Op>& out;
  CacheCtx* ctx;
  std::vector<Level> levels{};
  std::vector<CallFrame> frames{};
  NameRope rope{};
  std::string scratch{};

  std::string resolve(const std::string& name) {
    if (frames.empty()) return name;
    rope.reset(name);
    for (std::size_t j = frames.size(); j-- > 0;)
      if (!resolve_name(rope, frames[j], f.globals, scratch)) break;
    return rope.text();
  }

  // The operation rewritten from the innermost function's names into the root's.
  Op resolved(const Op& op) {
    if (frames.empty()) return op;
    Op copy{op.kind, {}, op.output_types, {}, op.comments};
    copy.outputs.reserve(op.outputs.size());
    for (const std::string& name : op.outputs) copy.outputs.push_back(resolve(name));
    copy.args.reserve(op.args.size());
    for (const Atom& arg : op.args) {
      const std::string* name = name_of(arg);
      copy.args.push_back(name ? Atom{Atom::Name{resolve(*name)}} : arg);
    }
    // The innermost loop around it ends the cache var that ends in ".*".
    if (kind_as<OpKind::Cache>(copy))
      for (std::size_t j = frames.size(); j-- > 0;)
        if (frames[j].iteration) {
          substitute_cache_var_star(copy, *frames[j].iteration);
          break;
        }
    return copy;
  }

  void emit(Op op) {
    if (ctx && kind_as<OpKind::Cache>(op)) {
      expand_slot(f, *ctx, op, out);
      return;
    }
    if (out.size() == kMaxFlatOps) stop_too_large();
    f.bytes += op_bytes(op);
    if (f.bytes > kMaxFlatBytes) stop_too_large(kMaxFlatBytes, kBytesOfOps);
    out.push_back(std::move(op));
  }

  // A call, or one iteration of a loop: the callee's kept expansion is copied through a
  // frame of its own, or the callee is walked inside that frame.
  void inline_call(const Function* callee, const Op& call, std::string_view prefix,
                   std::optional<std::uint64_t> iteration) {
    frames.push_back(call_frame(*callee, call, prefix, iteration));
    const Plan& plan = f.plans.at(callee);
    if (!shared(plan)) {
      levels.push_back({&plan});  // its frame goes when its walk ends
      return;
    }
    for (const Op& op : expand(f, callee)) emit(resolved(op));
    frames.pop_back();
    release(f, callee);
  }

  // Takes the next step of the innermost function; false when the walk is over.
  bool step() {
    if (levels.empty()) return false;
    Level& level = levels.back();
    if (level.next == level.plan->steps.size()) {
      levels.pop_back();
      if (!levels.empty()) frames.pop_back();
      return true;
    }
    const Step& step = level.plan->steps[level.next];
    const Op& op = step.op();
    if (kind_as<OpKind::Call>(op)) {
      ++level.next;
      inline_call(step.callee, op, op.outputs[0], std::nullopt);
    } else if (kind_as<OpKind::Loop>(op)) {
      // An empty body leaves nothing to repeat, however many iterations there are.
      if (!step.callee || f.plans.at(step.callee).size == 0) {
        ++level.next;
        return true;
      }
      const std::string& x = op.outputs[0];
      const std::uint64_t i = level.iteration++;
      if (i == 0) level.current = x;
      std::string output = numbered(x, '_', i + 1);
      Op call = iteration_call(step, i, level.current, output);
      level.current = std::move(output);
      if (level.iteration == step.count) {
        ++level.next;
        level.iteration = 0;
      }
      inline_call(step.callee, call, loop_prefix(i), i);
    } else {
      ++level.next;
      emit(resolved(op));
    }
    return true;
  }
};

// The expansion of one function whose kept callees are built.
std::vector<Op> build_one(Flattener& f, const Function* fn, CacheCtx* ctx = nullptr) {
  std::vector<Op> out;
  const Plan& plan = f.plans.at(fn);
  out.reserve(plan.size);
  Walk walk{f, out, ctx};
  walk.levels.push_back({&plan});
  while (walk.step()) {
  }
  return out;
}

// Builds the kept expansions that `root` needs and has not got, callees before their
// callers, looking through the callees that are walked in place; `root` itself too unless
// `with_root` is false.
void build_expansions(Flattener& f, const Function* root, bool with_root = true) {
  if (f.expansions.contains(root)) return;
  struct Frame {
    const Function* fn;
    bool build;
    std::size_t next = 0;
  };
  std::vector<Frame> stack{{root, with_root}};
  while (!stack.empty()) {
    Frame& top = stack.back();
    const std::vector<Step>& steps = f.plans.at(top.fn).steps;
    const Function* next = nullptr;
    while (!next && top.next < steps.size()) {
      const Function* callee = steps[top.next++].callee;
      if (callee && !f.expansions.contains(callee)) next = callee;
    }
    if (next) {
      stack.push_back({next, shared(f.plans.at(next))});
      continue;
    }
    const Frame done = top;
    stack.pop_back();
    if (done.build) f.expansions.emplace(done.fn, build_one(f, done.fn));
  }
}

const std::vector<Op>& expand(Flattener& f, const Function* fn) {
  plan_expansion(f, fn);
  build_expansions(f, fn);
  return f.expansions.at(fn);
}

// The body of a slot's init or extend function in place of its cache operation, for a
// call whose target, output and arguments the slot gives. The slot's function is kept
// whatever its uses, since every layer's slot may copy it; nothing the cache pass builds
// is dropped.
void inline_slot(Flattener& f, const Op& cache, const std::string& function,
                 std::string output, std::vector<Atom> args, std::vector<Op>& out) {
  const bool evict = f.evict;
  f.evict = false;
  Op call{OpKind{OpKind::Call{function}}, {output}, cache.output_types, std::move(args), {}};
  const Function& callee = f.module.functions.at(function);
  const std::vector<Op>& body = expand(f, &callee);
  Walk walk{f, out, nullptr};
  walk.frames.push_back(call_frame(callee, call, output, std::nullopt));
  for (const Op& op : body) walk.emit(walk.resolved(op));
  f.evict = evict;
}

// A cache operation of the entry's expansion: its slot is recorded and its init body, or
// for a listed slot its extend body, takes its place.
void expand_slot(Flattener& f, CacheCtx& ctx, const Op& op, std::vector<Op>& out) {
  const auto& cache = *kind_as<OpKind::Cache>(op);
  if (op.output_types.empty() || !op.output_types[0]) stop(std::string(kCacheNeedsType));
  const TensorType& type = *op.output_types[0];
  const std::string& s = cache.var;
  if (!ctx.cache_keys.contains(s)) {
    ctx.record_output(s, type);
    inline_slot(f, op, cache.init, s, op.args, out);
    return;
  }
  ctx.record_input(s, type);
  if (!cache.extend) {
    ctx.record_output(s, type);
    return;
  }
  std::string n = s + std::string(kNewSuffix);
  ctx.record_output(n, type);
  // The slot's incoming value, then the operation's own arguments.
  std::vector<Atom> args = op.args;
  args.insert(args.begin(), Atom{Atom::Name{s}});
  inline_slot(f, op, *cache.extend, std::move(n), std::move(args), out);
}

// `base` followed by each extra entry whose name `base` does not hold already.
std::vector<Param> with_extras(const std::vector<Param>& base, std::vector<Param> extras) {
  std::vector<Param> out = base;
  std::unordered_set<std::string_view> names;
  for (const Param& p : base) names.insert(p.name);
  for (Param& extra : extras)
    if (!names.contains(extra.name)) out.push_back(std::move(extra));
  return out;
}

}  // namespace

Module flatten(const Module& module, std::string_view entry, const CacheKeys& cache_keys) {
  Flattener f{module, global_names(module), {}, {}};
  const Function* entry_fn = &module.functions.at(entry);
  plan_expansion(f, entry_fn);
  build_expansions(f, entry_fn, false);
  CacheCtx ctx{{}, {}, cache_keys, {}, {}};
  std::vector<Op> ops = build_one(f, entry_fn, &ctx);

  Function flat{entry_fn->name, entry_fn->comments,
                with_extras(entry_fn->params, std::move(ctx.input_params)),
                with_extras(entry_fn->returns, std::move(ctx.output_params)), std::move(ops)};
  Module out{module.header_comments, {}};
  out.functions.store(std::string(entry), std::move(flat));
  return out;
}

}  // namespace vel
