#include "flatten_plan.hpp"

#include <algorithm>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <variant>

#include "vel/ast_json.hpp"
#include "vel/interrupt.hpp"
#include "vel/json.hpp"
#include "vel/stop.hpp"

namespace vel::flat {

namespace {

// A fuzz build lowers both bounds, so that one input stays within the fuzzer's limits of
// time and memory.
#ifndef VEL_MAX_FLAT_OPS
#define VEL_MAX_FLAT_OPS 10'000'000
#endif
#ifndef VEL_MAX_FLAT_BYTES
#define VEL_MAX_FLAT_BYTES (std::uint64_t{1} << 32)
#endif

// Far above any real model, and low enough that the flat function and its JSON text still
// fit in memory; a loop count of 10^12 stops here before anything is allocated.
constexpr std::uint64_t kMaxFlatOps = VEL_MAX_FLAT_OPS;
// The same for the bytes of the operations: names that grow by a prefix per level of
// calls, or a large literal in a loop, fill it with few operations.
constexpr std::uint64_t kMaxFlatBytes = VEL_MAX_FLAT_BYTES;

constexpr std::string_view kNoThreadedArg = "Loop must have a threaded arg matching output name";

[[noreturn]] void stop_too_large(std::uint64_t bound, std::string_view what) {
  std::string message = "Flattening would produce more than ";
  append_uint(message, bound);
  message += what;
  stop(std::move(message));
}

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

const Text* name_of(const Atom& atom) {
  const auto* name = std::get_if<Atom::Name>(&atom.value);
  return name ? &name->text : nullptr;
}

template <class Alt>
const Alt* kind_as(const Op& op) {
  return std::get_if<Alt>(&op.kind.value);
}

// What the allocator takes for a block of `n` bytes: a header, and 16-byte steps.
std::uint64_t block_bytes(std::size_t n) {
  return n == 0 ? 0 : std::max<std::uint64_t>(32, (std::uint64_t{n} + 8 + 15) / 16 * 16);
}

std::uint64_t heap_bytes(const Text& text) { return block_bytes(text.heap_bytes()); }
template <class T>
std::uint64_t heap_bytes(const std::vector<T>& list) {
  return block_bytes(list.capacity() * sizeof(T));
}
template <class T, std::size_t N>
std::uint64_t heap_bytes(const SmallList<T, N>& list) {
  return list.on_heap() ? block_bytes(list.capacity() * sizeof(T)) : 0;
}
std::uint64_t heap_bytes(const TensorType& type) {
  std::uint64_t bytes = heap_bytes(type.dtype) + heap_bytes(type.shape);
  for (const Dim& dim : type.shape)
    if (const auto* named = std::get_if<Dim::Named>(&dim.value)) bytes += heap_bytes(named->name);
  return bytes;
}

// What an operation's record takes in memory besides its names.
std::uint64_t record_bytes(const Op& op) {
  std::uint64_t bytes = sizeof(Op) + heap_bytes(op.outputs) + heap_bytes(op.args) +
                        heap_bytes(op.output_types) + heap_bytes(op.comments);
  for (const Text& comment : op.comments) bytes += heap_bytes(comment);
  for (const auto& type : op.output_types)
    if (type) bytes += heap_bytes(*type);
  // The kind's members by their texts, which is about what their blocks take.
  return bytes + kind_bytes(op.kind);
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a)
    return std::numeric_limits<std::uint64_t>::max();
  return a * b;
}

void collect_dims(const TensorType& type, TextSet& dims) {
  for (const Dim& dim : type.shape)
    if (const auto* named = std::get_if<Dim::Named>(&dim.value)) dims.insert(named->name);
}

// --- the names of one function ---

Positions positions(const Function& fn) {
  Positions out;
  out.params.reserve(fn.params.size());
  out.returns.reserve(fn.returns.size());
  for (std::uint32_t i = 0; i < fn.params.size(); ++i) {
    const Param& p = fn.params[i];
    out.params[p.name.view()].push_back(i);
    if (p.ty.dtype == kDictDtype) out.dict_lengths.push_back(p.name.size());
  }
  for (std::uint32_t j = 0; j < fn.returns.size(); ++j) {
    const Text& r = fn.returns[j].name;
    if (!out.params.contains(r.view())) out.returns[r.view()].push_back(j);
  }
  std::sort(out.dict_lengths.begin(), out.dict_lengths.end(), std::greater<>());
  out.dict_lengths.erase(std::unique(out.dict_lengths.begin(), out.dict_lengths.end()),
                         out.dict_lengths.end());
  return out;
}

// How many of an operation's outputs get a value: all of a primitive operation's and of a
// cache operation's (which, expanded, gives only its first one), a call's up to its
// callee's returns, a loop's first when it runs.
std::uint32_t written_outputs(const Step& step) {
  const Op& op = step.op();
  const auto n = static_cast<std::uint32_t>(op.outputs.size());
  if (kind_as<OpKind::Call>(op))
    return std::min(n, static_cast<std::uint32_t>(step.callee->returns.size()));
  if (kind_as<OpKind::Loop>(op)) return step.count > 0 ? std::min<std::uint32_t>(n, 1) : 0;
  return n;
}

// Each return name's first return, and the operation that writes it last, as the calls that
// bind it see it: a loop writes its first output when it runs, a cache operation its first
// output, a call all of its outputs.
struct ReturnWrites {
  std::uint32_t first;
  std::uint32_t last_op = NameRef::kNone;
};
TextMap<ReturnWrites> return_writes(const Function& fn) {
  TextMap<ReturnWrites> out;
  out.reserve(fn.returns.size());
  for (std::uint32_t j = 0; j < fn.returns.size(); ++j)
    out.try_emplace(fn.returns[j].name.view(), ReturnWrites{j});
  for (std::uint32_t k = 0; k < fn.ops.size(); ++k) {
    const Op& op = fn.ops[k];
    const auto* loop = kind_as<OpKind::Loop>(op);
    std::size_t written = op.outputs.size();
    if (loop || kind_as<OpKind::Cache>(op)) written = std::min<std::size_t>(written, 1);
    if (loop && loop->count == LoopCount{LoopCount::Concrete{0}}) written = 0;
    for (std::size_t m = 0; m < written; ++m)
      if (auto at = out.find(op.outputs[m].view()); at != out.end()) at->second.last_op = k;
  }
  return out;
}

class BodyNamer {
 public:
  BodyNamer(const Plan& plan, const KeptNames& kept) : fn_(*plan.fn), plan_(plan), kept_(kept) {}

  BodyNames names() {
    out_.where = positions(fn_);
    for (const Param& p : fn_.params) collect_dims(p.ty, out_.dims);
    for (const Param& r : fn_.returns) collect_dims(r.ty, out_.dims);
    for (const Op& op : fn_.ops)
      for (const auto& type : op.output_types)
        if (type) collect_dims(*type, out_.dims);
    for (const Param& p : fn_.params) out_.dotted |= p.name.find('.') != std::string_view::npos;
    returns_ = return_writes(fn_);
    out_.first_slot.reserve(fn_.ops.size() + 1);
    out_.first_arg.reserve(fn_.ops.size() + 1);
    for (std::uint32_t k = 0; k < fn_.ops.size(); ++k) {
      poll_interrupt();
      const Op& op = fn_.ops[k];
      out_.first_arg.push_back(static_cast<std::uint32_t>(out_.args.size()));
      for (const Atom& arg : op.args) {
        const Text* name = name_of(arg);
        out_.args.push_back(name ? read(*name) : NameRef{});
      }
      out_.first_slot.push_back(static_cast<std::uint32_t>(out_.slots.size()));
      const std::uint32_t written = written_outputs(plan_.steps[k]);
      for (std::uint32_t m = 0; m < written; ++m) write(op.outputs[m], k);
    }
    out_.first_arg.push_back(static_cast<std::uint32_t>(out_.args.size()));
    out_.first_slot.push_back(static_cast<std::uint32_t>(out_.slots.size()));
    for (const Param& r : fn_.returns) out_.returns.push_back(read(r.name));
    return std::move(out_);
  }

 private:
  NameRef read(const Text& name) {
    if (auto at = out_.writes.find(name.view()); at != out_.writes.end())
      return written(at->second);
    return outer(name);
  }

  // The latest of a name's writes.
  static NameRef written(const std::vector<std::uint32_t>& writes) {
    NameRef ref;
    ref.slot = writes.back();
    return ref;
  }

  // A name no write of the function comes before: what binds it in the call.
  NameRef outer(const Text& name) {
    NameRef ref;
    ref.kept = keeps_text(kept_, out_, name.view());
    const std::string_view text = name.view();
    if (auto at = out_.where.params.find(text); at != out_.where.params.end()) {
      ref.param = at->second.back();
      ref.plain = at->second.size() == 1;
    } else if (out_.where.returns.contains(text)) {
      ref.plain = false;  // a return read before it is written: the lookup by text
    }
    for (const std::size_t length : out_.where.dict_lengths) {
      if (length > text.size() || (length < text.size() && text[length] != '.')) continue;
      auto at = out_.where.params.find(text.substr(0, length));
      if (at == out_.where.params.end()) continue;
      // Of the parameters of that name, the last dict parameter; any other, or another dict
      // parameter that also matches, leaves the choice to the lookup by text.
      for (auto pos = at->second.rbegin(); pos != at->second.rend(); ++pos) {
        if (fn_.params[*pos].ty.dtype != kDictDtype) continue;
        if (ref.dict == NameRef::kNone) {
          ref.dict = *pos;
          ref.field = length < text.size();
          if (ref.field) ref.rest = Text(text.substr(length + 1));
        } else {
          ref.plain = false;
        }
      }
    }
    return ref;
  }

  void write(const Text& name, std::uint32_t op) {
    Slot slot{op, NameRef::kNone, false, {}};
    if (auto ret = returns_.find(name.view()); ret != returns_.end()) {
      slot.ret = ret->second.first;
      slot.last = ret->second.last_op == op;
    }
    auto [writes, first] = out_.writes.try_emplace(name.view());
    slot.before = first ? outer(name) : written(writes->second);
    writes->second.push_back(static_cast<std::uint32_t>(out_.slots.size()));
    out_.slots.push_back(std::move(slot));
    out_.dotted |= name.find('.') != std::string_view::npos;
  }

  const Function& fn_;
  const Plan& plan_;
  const KeptNames& kept_;
  BodyNames out_;
  TextMap<ReturnWrites> returns_;
};

// --- planning ---

// Adds `ops` operations of `bytes` to an expansion, refusing to pass either bound.
void grow(Plan& plan, std::uint64_t ops, std::uint64_t bytes, std::uint64_t words) {
  if (ops > kMaxFlatOps - plan.size) stop_too_many_ops();
  if (bytes > kMaxFlatBytes - plan.bytes) stop_too_many_bytes();
  plan.size += ops;
  plan.bytes += bytes;
  plan.words += words;  // below the bound on bytes, which counts a name at least as 2
}

// The bytes of an operation as the module writes it, names included.
std::uint64_t source_op_bytes(const Op& op, const OpText& text) {
  std::uint64_t bytes = text.bytes;
  for (const Text& name : op.outputs) bytes += name_bytes(json::string_body_size(name));
  for (const Atom& arg : op.args)
    if (const Text* name = name_of(arg)) bytes += name_bytes(json::string_body_size(*name));
  return bytes;
}

struct Frame {
  Plan* plan;
  std::size_t next = 0;
  std::optional<Step> pending{};  // an operation waiting for its callee's plan
};

// The texts of a function's operations that are copied, not inlined.
std::vector<OpText> op_texts(const Function& fn) {
  std::vector<OpText> out(fn.ops.size());
  for (std::size_t k = 0; k < fn.ops.size(); ++k) {
    poll_interrupt();
    const Op& op = fn.ops[k];
    if (!kind_as<OpKind::Call>(op) && !kind_as<OpKind::Loop>(op)) out[k] = op_text(op);
  }
  return out;
}

}  // namespace

void stop_too_many_ops() { stop_too_large(kMaxFlatOps, " operations"); }
void stop_too_many_bytes() { stop_too_large(kMaxFlatBytes, " bytes of operations"); }
std::uint64_t max_flat_ops() { return kMaxFlatOps; }
std::uint64_t max_flat_bytes() { return kMaxFlatBytes; }

OpText op_text(const Op& op) {
  using namespace std::string_view_literals;
  OpText out;
  out.op = &op;
  std::string& text = out.text;
  serialize_kind(text, op.kind);
  text.append(",\"outputs\":["sv);
  for (std::size_t m = 0; m < op.outputs.size(); ++m) {
    if (m) text += ',';
    out.names.push_back(static_cast<std::uint32_t>(text.size()));
  }
  text.append("],\"output_types\":"sv);
  serialize(text, op.output_types);
  text.append(",\"args\":["sv);
  for (std::size_t a = 0; a < op.args.size(); ++a) {
    if (a) text += ',';
    if (name_of(op.args[a]))
      out.names.push_back(static_cast<std::uint32_t>(text.size()));
    else
      serialize(text, op.args[a]);
  }
  text += ']';
  if (!op.comments.empty()) {
    text.append(",\"comments\":"sv);
    json::write_strings(text, op.comments);
  }
  text += '}';
  // A name is at least its two quotes.
  out.bytes = std::max(record_bytes(op), text.size() + 2 * out.names.size());
  return out;
}

std::uint64_t param_bytes(const TensorType& type) {
  std::string text;
  serialize(text, type);
  return std::max<std::uint64_t>(sizeof(Param) + heap_bytes(type), text.size());
}

std::uint64_t name_bytes(std::uint64_t json_size) {
  // A text of up to seven bytes lives in its record; the escapes make the JSON text longer
  // than the bytes, so that a longer one's block is about its length.
  return std::max<std::uint64_t>(json_size, json_size > 7 ? block_bytes(json_size) : 0);
}

KeptNames::KeptNames(const Module& module) {
  TextSet dims;
  for (const auto& [key, fn] : module.functions) {
    poll_interrupt();
    dims.clear();
    for (const Param& p : fn.params) collect_dims(p.ty, dims);
    for (const Param& r : fn.returns) collect_dims(r.ty, dims);
    for (const Op& op : fn.ops)
      for (const auto& type : op.output_types)
        if (type) collect_dims(*type, dims);
    for (const Op& op : fn.ops)
      for (const Atom& arg : op.args)
        if (const Text* name = name_of(arg))
          if (is_config_name(*name) || dims.contains(*name)) names_.insert(name->view());
    dims_.insert(dims.begin(), dims.end());
  }
}

std::string_view target_of(const Op& op) {
  if (const auto* call = kind_as<OpKind::Call>(op)) return call->target;
  return kind_as<OpKind::Loop>(op)->target;
}

std::optional<std::uint32_t> threaded_arg(const Op& loop) {
  for (std::uint32_t i = 0; i < loop.args.size(); ++i)
    if (const Text* name = name_of(loop.args[i]); name && *name == loop.outputs[0]) return i;
  return std::nullopt;
}

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

// The checks of an operation that come before its callee is planned; the callee, if any,
// is left in the step.
static Step begin_step(const Module& module, const Op& op) {
  Step step{&op};
  if (const auto* call = kind_as<OpKind::Call>(op)) {
    if (op.outputs.empty()) stop(first_of_empty_message());
    step.callee = &module.functions.at(call->target);
  } else if (const auto* loop = kind_as<OpKind::Loop>(op)) {
    if (const auto* named = std::get_if<LoopCount::Named>(&loop->count.value))
      stop_loop_count(named->name);
    if (op.outputs.empty()) stop(first_of_empty_message());
    std::optional<std::uint32_t> threaded = threaded_arg(op);
    if (!threaded) stop(std::string(kNoThreadedArg));
    step.threaded = *threaded;
    step.count = std::get<LoopCount::Concrete>(loop->count.value).count;
    // A loop looks its target up when its first iteration is inlined.
    if (step.count > 0) step.callee = &module.functions.at(loop->target);
  }
  return step;
}

const Plan& Planner::plan(const Function* root) {
  if (auto at = plans_.find(root); at != plans_.end()) return at->second;
  // Without recursion of its own: a chain of thousands of functions costs one frame each.
  std::vector<Frame> stack;
  Plan& first = plans_[root];
  first.fn = root;
  first.names.texts = op_texts(*root);
  stack.push_back({&first});
  while (!stack.empty()) {
    poll_interrupt();
    Frame& top = stack.back();
    Plan& plan = *top.plan;
    if (!top.pending) {
      if (top.next == plan.fn->ops.size()) {
        std::vector<OpText> texts = std::move(plan.names.texts);
        plan.names = BodyNamer(plan, kept_).names();
        plan.names.texts = std::move(texts);
        plan.done = true;
        stack.pop_back();
        continue;
      }
      top.pending = begin_step(module_, plan.fn->ops[top.next]);
    }
    if (const Function* callee = top.pending->callee) {
      auto [at, fresh] = plans_.try_emplace(callee);
      if (fresh) {
        at->second.fn = callee;
        at->second.names.texts = op_texts(*callee);
        stack.push_back({&at->second});  // `top` is not used past this point
        continue;
      }
      if (!at->second.done) stop_recursion(target_of(top.pending->op()));
    }
    // The checks that come after the callee is planned, then the step joins its plan.
    Step step = *top.pending;
    top.pending.reset();
    const Op& op = step.op();
    const bool loop = kind_as<OpKind::Loop>(op) != nullptr;
    if (step.callee) {
      const Plan& callee = plans_.at(step.callee);
      const std::uint64_t copies = loop ? step.count : 1;
      check_arity(target_of(op), op.args.size(), step.callee->params.size());
      grow(plan, saturating_mul(copies, callee.size), saturating_mul(copies, callee.bytes),
           saturating_mul(copies, callee.words));
    } else if (kind_as<OpKind::Cache>(op)) {
      // In the entry's expansion its slot's body takes its place, which building counts;
      // copied in a slot's body, building counts its bytes. Its one operation keeps a loop
      // of slot bodies that make nothing within the bound on operations.
      grow(plan, 1, 0, 0);
    } else if (!loop) {
      grow(plan, 1, source_op_bytes(op, plan.names.texts[top.next]),
           op.outputs.size() + op.args.size());
    }
    plan.steps.push_back(step);
    ++top.next;
  }
  return first;
}

}  // namespace vel::flat
