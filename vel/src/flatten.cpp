#include "vel/flatten.hpp"

#include <algorithm>
#include <array>
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
#include "vel/interrupt.hpp"
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

using TextSet = std::unordered_set<std::string, TextHash, std::equal_to<>>;

// The lengths of a fixed set of names, one bit each: a name of any other length is told
// apart from all of them without its text being put together or hashed.
struct LengthSet {
  std::vector<std::uint64_t> bits;

  void add(std::size_t n) {
    if (n / 64 >= bits.size()) bits.resize(n / 64 + 1);
    bits[n / 64] |= std::uint64_t{1} << (n % 64);
  }
  bool has(std::size_t n) const {
    return n / 64 < bits.size() && (bits[n / 64] >> (n % 64) & 1) != 0;
  }
};

// A name's mark, one of 64, from its length and its first and last characters. The sets
// of names of a level keep the marks of their names, so that most names that pass are
// told apart from all of them without being put together or hashed.
unsigned name_mark(std::size_t length, char first, char last) {
  return static_cast<unsigned>(length * 0x9E3779B1u + static_cast<unsigned char>(first) * 31u +
                               static_cast<unsigned char>(last)) %
         64;
}
unsigned name_mark(std::string_view name) {
  return name.empty() ? name_mark(0, 0, 0) : name_mark(name.size(), name.front(), name.back());
}

struct Marks {
  std::uint64_t bits = 0;

  void add(unsigned mark) { bits |= std::uint64_t{1} << mark; }
  bool has(unsigned mark) const { return (bits >> mark & 1) != 0; }
};

// The same for a set that names join and leave: a count per mark.
struct CountedMarks {
  Marks marks;
  std::vector<std::uint32_t> counts{};  // taken when the first name joins

  void add(unsigned mark) {
    if (counts.empty()) counts.resize(64);
    if (counts[mark]++ == 0) marks.add(mark);
  }
  void remove(unsigned mark) {
    if (--counts[mark] == 0) marks.bits &= ~(std::uint64_t{1} << mark);
  }
  bool has(unsigned mark) const { return marks.has(mark); }
};

struct GlobalNames {
  TextSet names;
  LengthSet lengths;

  void insert(std::string_view name) {
    names.emplace(name);
    lengths.add(name.size());
  }
  bool contains(std::string_view name) const {
    return lengths.has(name.size()) && names.contains(name);
  }
};

const Text* name_of(const Atom& atom) {
  const auto* name = std::get_if<Atom::Name>(&atom.value);
  return name ? &name->text : nullptr;
}

template <class Alt>
const Alt* kind_as(const Op& op) {
  return std::get_if<Alt>(&op.kind.value);
}

// Where each name stands among a function's parameters and returns, built once per
// function: a call binds its parameters by looking their positions up when a name is
// read, so that binding costs nothing for the parameters its body never reads.
struct Positions {
  using Map = std::unordered_map<std::string_view, SmallList<std::size_t, 1>>;
  Map params;                             // every parameter, positions ascending
  Map returns;                            // the returns that are not parameters
  std::vector<std::size_t> dict_lengths;  // of dict parameters' names, longest first
  Marks marks;                            // of the names of `params` and `returns`
};

Positions positions(const Function& fn) {
  Positions out;
  out.params.reserve(fn.params.size());
  out.returns.reserve(fn.returns.size());
  for (std::size_t i = 0; i < fn.params.size(); ++i) {
    const Param& p = fn.params[i];
    out.params[p.name].push_back(i);
    out.marks.add(name_mark(p.name));
    if (p.ty.dtype == kDictDtype) out.dict_lengths.push_back(p.name.size());
  }
  for (std::size_t j = 0; j < fn.returns.size(); ++j) {
    const Text& r = fn.returns[j].name;
    if (out.params.contains(r)) continue;
    out.returns[r].push_back(j);
    out.marks.add(name_mark(r));
  }
  std::sort(out.dict_lengths.begin(), out.dict_lengths.end(), std::greater<>());
  out.dict_lengths.erase(std::unique(out.dict_lengths.begin(), out.dict_lengths.end()),
                         out.dict_lengths.end());
  return out;
}

// What the allocator takes for a block of `n` bytes: a header, and 16-byte steps.
std::uint64_t block_bytes(std::size_t n) {
  return n == 0 ? 0 : std::max<std::uint64_t>(32, (std::uint64_t{n} + 8 + 15) / 16 * 16);
}

// The memory that a record takes beyond its own size. A text shared by several records is
// counted for each of them, which is what the bound may take at most.
std::uint64_t heap_bytes(const Text& text) { return block_bytes(text.heap_bytes()); }
template <class T>
std::uint64_t heap_bytes(const std::vector<T>& list) {
  return block_bytes(list.capacity() * sizeof(T));
}
template <class T, std::size_t N>
std::uint64_t heap_bytes(const SmallList<T, N>& list) {
  return list.on_heap() ? block_bytes(list.capacity() * sizeof(T)) : 0;
}
template <class Texts>
std::uint64_t text_list_bytes(const Texts& texts) {
  std::uint64_t bytes = heap_bytes(texts);
  for (const Text& text : texts) bytes += heap_bytes(text);
  return bytes;
}
std::uint64_t heap_bytes(const TensorType& type) {
  std::uint64_t bytes = heap_bytes(type.dtype) + heap_bytes(type.shape);
  for (const Dim& dim : type.shape)
    if (const auto* named = std::get_if<Dim::Named>(&dim.value)) bytes += heap_bytes(named->name);
  return bytes;
}
// What an operation takes in memory, its records and their blocks: the measure of the
// bound on bytes, which is thereby a bound on the memory that flattening holds.
std::uint64_t op_bytes(const Op& op) {
  std::uint64_t bytes = sizeof(Op) + text_list_bytes(op.outputs) + heap_bytes(op.args) +
                        heap_bytes(op.output_types) + text_list_bytes(op.comments);
  for (const Atom& arg : op.args)
    if (const Text* name = name_of(arg)) bytes += heap_bytes(*name);
  for (const auto& type : op.output_types)
    if (type) bytes += heap_bytes(*type);
  // The kind's members by their texts, which is about what their blocks take.
  bytes += kind_bytes(op.kind);
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
          if (is_config_name(*name) || dims.contains(*name)) out.insert(*name);
  }
  return out;
}

// A text made of a few pieces, front first, each viewing storage that outlives the step
// being taken: what a binding stands for, put together only where it is written out.
struct Joined {
  std::array<std::string_view, 4> pieces{};
  std::size_t count = 0;

  Joined& operator+=(std::string_view piece) {
    pieces[count++] = piece;
    return *this;
  }
  std::size_t size() const {
    std::size_t n = 0;
    for (std::size_t k = 0; k < count; ++k) n += pieces[k].size();
    return n;
  }
  bool operator==(std::string_view text) const {
    if (size() != text.size()) return false;
    for (std::size_t k = 0; k < count; ++k) {
      if (!text.starts_with(pieces[k])) return false;
      text.remove_prefix(pieces[k].size());
    }
    return true;
  }
};

// A name on its way out through several inlined calls, one level at a time. Its front is
// kept reversed, so that a prefix costs its own length however long the name has grown:
// through a chain of thousands of calls a local name gains a prefix at every level. The
// rest is a view of a text that outlives the step being taken.
class NameRope {
 public:
  void reset(std::string_view text) {
    head_.clear();
    tail_ = text;
  }
  void reset(const Joined& text) {
    if (text.count == 0) return reset(std::string_view());
    reset(text.pieces[text.count - 1]);
    for (std::size_t k = text.count - 1; k-- > 0;) prepend(text.pieces[k]);
  }
  void prepend(std::string_view text) { head_.append(text.rbegin(), text.rend()); }
  std::size_t size() const { return head_.size() + tail_.size(); }
  // The first and the last character, or 0 for an empty text.
  char front() const { return !head_.empty() ? head_.back() : tail_.empty() ? 0 : tail_.front(); }
  char back() const { return !tail_.empty() ? tail_.back() : head_.empty() ? 0 : head_.front(); }
  char at(std::size_t i) const {
    return i < head_.size() ? head_[head_.size() - 1 - i] : tail_[i - head_.size()];
  }
  void drop_front(std::size_t n) {
    if (n <= head_.size()) {
      head_.resize(head_.size() - n);
    } else {
      tail_.remove_prefix(n - head_.size());
      head_.clear();
    }
  }
  // The first `n` characters; `scratch` holds them when the front is not a view.
  std::string_view prefix(std::size_t n, std::string& scratch) const {
    if (head_.empty()) return tail_.substr(0, n);
    scratch.assign(head_.rbegin(), head_.rbegin() + std::min(n, head_.size()));
    if (n > head_.size()) scratch += tail_.substr(0, n - head_.size());
    return scratch;
  }
  // The whole text; `scratch` holds it when the front is not a view.
  std::string_view view(std::string& scratch) const {
    if (head_.empty()) return tail_;
    scratch.assign(head_.rbegin(), head_.rend());
    scratch += tail_;
    return scratch;
  }
  std::string text() const {
    std::string out;
    out.reserve(size());
    out.assign(head_.rbegin(), head_.rend());
    out += tail_;
    return out;
  }
  // The whole text as a record holds it; `source` itself when it is what the rope holds.
  Text record_text(const Text& source) const {
    if (head_.empty() && tail_.data() == source.data() && tail_.size() == source.size())
      return source;
    return Text::make(size(), [&](char* bytes) {
      bytes = std::copy(head_.rbegin(), head_.rend(), bytes);
      std::copy(tail_.begin(), tail_.end(), bytes);
    });
  }

 private:
  std::string head_;       // the front, reversed
  std::string_view tail_;  // the rest
};

// "{}_{}": a name renewed, or a loop's output, with its number.
std::string numbered(std::string_view stem, std::uint64_t number) {
  std::string out;
  out.reserve(stem.size() + 21);
  out += stem;
  out += '_';
  append_uint(out, number);
  return out;
}

// "loop{}": the prefix of an iteration, counted from 0.
std::string loop_prefix(std::uint64_t i) {
  std::string out(kLoopPrefix);
  append_uint(out, i);
  return out;
}

// A name ending in ".*" is made an iteration's own by its number in place of the "*":
// weights.layers.* becomes weights.layers.3. The stem keeps the point.
std::optional<std::string_view> star_stem(std::string_view name) {
  if (!name.ends_with(kStarSuffix)) return std::nullopt;
  return name.substr(0, name.size() - 1);
}

std::optional<std::string> star_for_iteration(std::string_view name, std::uint64_t i) {
  auto stem = star_stem(name);
  if (!stem) return std::nullopt;
  std::string out(*stem);
  append_uint(out, i);
  return out;
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
// built. Building then walks the entry once, each call and each loop iteration in place.

std::string_view target_of(const Op& op) {
  if (const auto* call = kind_as<OpKind::Call>(op)) return call->target;
  return kind_as<OpKind::Loop>(op)->target;
}

std::optional<std::size_t> threaded_arg(const Op& loop) {
  for (std::size_t i = 0; i < loop.args.size(); ++i)
    if (const Text* name = name_of(loop.args[i]); name && *name == loop.outputs[0]) return i;
  return std::nullopt;
}

// One operation of a planned function, as expansion sees it.
struct Step {
  const Op* source;
  const Function* callee = nullptr;  // what a call, or a loop that runs at least once, inlines
  std::uint64_t count = 0;           // a loop's iterations
  std::size_t threaded = 0;          // a loop's threaded argument

  const Op& op() const { return *source; }
};

// Where a function writes each of its returns last and reads each of its parameters
// last. A read counts twice the operation's index, and one more for a call or a loop,
// whose inlined body may still read after it has written the call's output; a loop's
// threaded argument is read by its first iteration only, before anything is written.
struct Liveness {
  std::unordered_map<std::string_view, std::size_t> last_writer;
  std::unordered_map<std::string_view, std::size_t> last_read;
};

Liveness liveness(const Function& fn) {
  Liveness out;
  std::unordered_set<std::string_view> params, returns;
  params.reserve(fn.params.size());
  returns.reserve(fn.returns.size());
  out.last_writer.reserve(fn.returns.size());
  out.last_read.reserve(fn.params.size());
  for (const Param& p : fn.params) params.insert(p.name);
  for (const Param& r : fn.returns) returns.insert(r.name);
  for (std::size_t i = 0; i < fn.ops.size(); ++i) {
    poll_interrupt();
    const Op& op = fn.ops[i];
    const auto* loop = kind_as<OpKind::Loop>(op);
    const bool inlines = loop || kind_as<OpKind::Call>(op);
    // A loop writes its first output only, unless it never runs; a cache operation makes
    // only its first output stand for a value.
    std::size_t written = op.outputs.size();
    if (loop || kind_as<OpKind::Cache>(op)) written = std::min<std::size_t>(written, 1);
    if (loop && loop->count == LoopCount{LoopCount::Concrete{0}}) written = 0;
    for (std::size_t k = 0; k < written; ++k)
      if (returns.contains(op.outputs[k])) out.last_writer[op.outputs[k]] = i;
    const std::optional<std::size_t> threaded = loop ? threaded_arg(op) : std::nullopt;
    for (std::size_t k = 0; k < op.args.size(); ++k) {
      const Text* name = name_of(op.args[k]);
      if (name && k != threaded && params.contains(*name))
        out.last_read[*name] = 2 * i + (inlines ? 1 : 0);
    }
  }
  return out;
}

struct Plan {
  bool done = false;  // false while its operations are still being planned
  std::vector<Step> steps;
  std::uint64_t size = 0;   // operations in the expansion
  std::uint64_t bytes = 0;  // and about the memory they take, by `op_bytes`
  Liveness live{};
  Positions where{};
};

struct Flattener {
  const Module& module;
  GlobalNames globals;
  std::unordered_map<const Function*, Plan> plans;
  // The memory taken by what has been built: the operations, the list that holds them,
  // the parameters and returns that cache slots add.
  std::uint64_t bytes = 0;

  void take(std::uint64_t more) {
    if (more > kMaxFlatBytes - bytes) stop_too_large(kMaxFlatBytes, kBytesOfOps);
    bytes += more;
  }
};

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a)
    return std::numeric_limits<std::uint64_t>::max();
  return a * b;
}

// Adds `ops` operations of `bytes` to an expansion, refusing to pass either bound. The
// bytes are those of the operations as written, before any prefix.
void grow(Plan& plan, std::uint64_t ops, std::uint64_t bytes) {
  if (ops > kMaxFlatOps - plan.size) stop_too_large();
  if (bytes > kMaxFlatBytes - plan.bytes) stop_too_large(kMaxFlatBytes, kBytesOfOps);
  plan.size += ops;
  plan.bytes += bytes;
}

struct PlanFrame {
  const Function* fn;
  Plan* plan;
  std::size_t next = 0;
  std::optional<Step> pending{};  // an operation waiting for its callee's plan
};

// The checks of an operation that come before its callee is expanded; the callee, if any,
// is left in the step.
Step begin_step(const Flattener& f, PlanFrame& frame) {
  const Op& op = frame.fn->ops[frame.next];
  Step step{&op};
  if (const auto* call = kind_as<OpKind::Call>(op)) {
    if (op.outputs.empty()) stop(first_of_empty_message());
    step.callee = &f.module.functions.at(call->target);
  } else if (const auto* loop = kind_as<OpKind::Loop>(op)) {
    if (const auto* named = std::get_if<LoopCount::Named>(&loop->count.value))
      stop_loop_count(named->name);
    if (op.outputs.empty()) stop(first_of_empty_message());
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
    const Plan& callee = f.plans.at(step.callee);
    const std::uint64_t copies = loop ? step.count : 1;
    check_arity(target_of(op), op.args.size(), step.callee->params.size());
    grow(plan, saturating_mul(copies, callee.size), saturating_mul(copies, callee.bytes));
  } else if (!loop) {
    grow(plan, 1, op_bytes(op));
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
    poll_interrupt();
    PlanFrame& top = stack.back();
    if (!top.pending) {
      if (top.next == top.fn->ops.size()) {
        top.plan->live = liveness(*top.fn);
        top.plan->where = positions(*top.fn);
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
// Building. The entry is walked once, every call and every loop iteration in place, at a
// level of its own. Each name is rewritten outward through the levels when the walk
// meets it, so that it means its latest definition: a level records the names whose
// meaning has left the rule of bindings and prefix, the names its body has written and
// the names that stand for another value.

// What a name of a level stands for in the level around it.
struct Entry {
  std::string text;
  bool final = false;  // a cache slot's name, rewritten no further
};
using Entries = std::unordered_map<std::string, Entry, TextHash, std::equal_to<>>;
using Counts = std::unordered_map<std::string, std::uint64_t, TextHash, std::equal_to<>>;

// What a name of a call is bound to: the argument at `index`, the last argument for the
// parameter at `index` past the arguments given, or the output at `index`.
struct Bound {
  enum Kind { Argument, Past, Output } kind;
  std::size_t index;
};

// The bindings of a call of a function of few parameters and returns, found when the
// call begins.
struct FewBindings {
  static constexpr std::size_t kMost = 4;
  std::array<std::pair<std::string_view, std::optional<Bound>>, kMost> names{};
  std::size_t count = 0;
};

// The function being walked at one level: the root (the entry, whose names are those of
// the flat form, or nothing while a cache slot's body is inlined), or an inlined call.
struct Level {
  // What every name that passes the level asks, together at the front: the marks of the
  // names of `current` and of the plan's parameters and returns, whether it has dict
  // parameters, and the local prefix ("{prefix}.") that most names take.
  bool root = false;
  bool dicts = false;
  Marks bound_marks{};
  std::string local_prefix{};
  CountedMarks keys{};  // its marks first, then the counts behind them
  std::optional<FewBindings> few{};
  const Function* fn = nullptr;
  const Plan* plan = nullptr;
  std::size_t next = 0;
  std::size_t pos = 0;          // the step being taken
  std::uint64_t iteration = 0;  // of the loop at `next`, while it runs
  std::string threaded{};       // the name that loop's next iteration threads
  // An inlined call: the operation whose arguments bind its parameters, its outputs, and
  // the innermost loop iteration that it is. An iteration's arguments are the loop's, the
  // threaded one being `threaded_text` and a name that ends in ".*" the iteration's own
  // (its stem, then `iteration_digits`).
  const Op* call = nullptr;
  std::optional<std::size_t> threaded_arg{};
  std::string threaded_text{};
  std::string iteration_digits{};
  Outputs outputs{};
  std::optional<std::uint64_t> loop_iteration{};
  // The last iteration of a loop whose output is not the loop's name: that name then
  // stands for this iteration's output.
  std::optional<std::string> rebinds{};
  Entries current{};
  Counts held{};  // the texts of `current` that are not final, each with its count
  CountedMarks held_marks{};
  Counts numbers{};  // the last number given to a name's loop outputs and renewed writes
};

// The extra parameters and returns that the cache slots add to the flat function.
struct CacheCtx {
  std::vector<Param> input_params;
  std::vector<Param> output_params;
  const CacheKeys& cache_keys;
  TextSet input_names;
  TextSet output_names;

  void record_input(Flattener& f, const Text& name, const TensorType& type) {
    record(f, input_names, input_params, name, type);
  }
  void record_output(Flattener& f, const Text& name, const TensorType& type) {
    record(f, output_names, output_params, name, type);
  }
  static void record(Flattener& f, TextSet& names, std::vector<Param>& params, const Text& name,
                     const TensorType& type) {
    if (names.contains(name.view())) return;
    // The name twice (the list and the set), its type, their places.
    f.take(2 * (heap_bytes(name) + sizeof(Param)) + heap_bytes(type));
    names.emplace(name);
    params.push_back(Param{name, type});
  }
};

// The level whose names are the flat form's: the entry's, or none while a cache slot's
// body is inlined.
Level root_level(const Function* fn, const Plan* plan) {
  Level level;
  level.root = true;
  level.fn = fn;
  level.plan = plan;
  return level;
}

// The level of a call of `callee` whose parameters `call`'s arguments bind, its returns
// `outputs`.
Level call_level(const Flattener& f, const Function* callee, const Op& call,
                 std::string_view prefix, Outputs outputs) {
  check_arity(target_of(call), call.args.size(), callee->params.size());
  Level level;
  level.fn = callee;
  level.plan = &f.plans.at(callee);
  level.call = &call;
  level.local_prefix.reserve(prefix.size() + 1);
  level.local_prefix += prefix;
  level.local_prefix += '.';
  level.outputs = std::move(outputs);
  const Positions& where = level.plan->where;
  level.bound_marks = where.marks;
  level.dicts = !where.dict_lengths.empty();
  return level;
}

// The level of iteration `i` of a loop, which threads `current` and writes `output`.
Level iteration_level(const Flattener& f, const Step& step, std::uint64_t i, std::string current,
                      std::string output, std::optional<std::string> rebinds) {
  Outputs outputs;
  outputs.emplace_back(output);
  Level level = call_level(f, step.callee, step.op(), loop_prefix(i), std::move(outputs));
  level.threaded_arg = step.threaded;
  level.threaded_text = std::move(current);
  append_uint(level.iteration_digits, i);
  level.loop_iteration = i;
  level.rebinds = std::move(rebinds);
  return level;
}

// The arguments that bind one parameter each: with fewer arguments than parameters, the
// last one stands for itself and for every later parameter.
std::size_t args_given(const Level& level) {
  const std::size_t u = level.call->args.size(), t = level.fn->params.size();
  return u < t ? u - 1 : u;
}

// The call's argument `k`, if it is a name.
std::optional<Joined> arg_name(const Level& level, std::size_t k) {
  Joined out;
  if (level.threaded_arg == k) return out += level.threaded_text;
  const Text* name = name_of(level.call->args[k]);
  if (!name) return std::nullopt;
  if (auto stem = level.threaded_arg ? star_stem(*name) : std::nullopt)
    return (out += *stem) += level.iteration_digits;
  return out += *name;
}

// What binds a parameter or a return of the call: the argument passed for a parameter,
// or for one past the last argument given that argument with a point and its own name;
// the call's output for a return that is not a parameter. A dict parameter among the
// arguments given falls to `dict_match` instead.
std::optional<Bound> look_up_binding(const Level& level, std::string_view name) {
  const Positions& where = level.plan->where;
  if (auto at = where.params.find(name); at != where.params.end()) {
    const std::size_t given = args_given(level);
    for (auto pos = at->second.rbegin(); pos != at->second.rend(); ++pos) {
      if (*pos >= given) {
        if (arg_name(level, given)) return Bound{Bound::Past, *pos};
      } else if (level.fn->params[*pos].ty.dtype != kDictDtype) {
        if (arg_name(level, *pos)) return Bound{Bound::Argument, *pos};
      }
    }
    return std::nullopt;
  }
  if (auto at = where.returns.find(name); at != where.returns.end()) {
    const std::size_t bound = std::min(level.fn->returns.size(), level.outputs.size());
    for (auto pos = at->second.rbegin(); pos != at->second.rend(); ++pos)
      if (*pos < bound) return Bound{Bound::Output, *pos};
  }
  return std::nullopt;
}

// The text that a binding stands for in the caller.
Joined bound_text(const Level& level, Bound bound) {
  switch (bound.kind) {
    case Bound::Argument: return *arg_name(level, bound.index);
    case Bound::Past:
      return (*arg_name(level, level.call->args.size() - 1) += ".") +=
             level.fn->params[bound.index].name;
    case Bound::Output: break;
  }
  return Joined{} += level.outputs[bound.index];
}

// The text that a name of the call is bound to. A call of a function of few parameters and
// returns found its bindings when it began; every other call looks its names up as they
// are read.
std::optional<Joined> binding(const Level& level, std::string_view name) {
  if (!level.few) {
    auto bound = look_up_binding(level, name);
    return bound ? std::optional(bound_text(level, *bound)) : std::nullopt;
  }
  for (std::size_t k = 0; k < level.few->count; ++k)
    if (const auto& [bound_name, bound] = level.few->names[k]; bound_name == name)
      return bound ? std::optional(bound_text(level, *bound)) : std::nullopt;
  return std::nullopt;
}

void bind_few(Level& level) {
  const Positions& where = level.plan->where;
  if (where.params.size() + where.returns.size() > FewBindings::kMost) return;
  FewBindings few;
  for (const auto* names : {&where.params, &where.returns})
    for (const auto& [name, at] : *names)
      few.names[few.count++] = {name, look_up_binding(level, name)};
  level.few = std::move(few);
}

// The dict parameter that `name` falls under, as the parameter itself or a dotted name
// under it, the longest parameter name first; its length and the argument bound to it.
std::optional<std::pair<std::size_t, Joined>> dict_match(const Level& level, const NameRope& name,
                                                         std::string& scratch) {
  const Positions& where = level.plan->where;
  const std::size_t given = args_given(level);
  for (const std::size_t length : where.dict_lengths) {
    if (length > name.size() || (length < name.size() && name.at(length) != '.')) continue;
    auto at = where.params.find(name.prefix(length, scratch));
    if (at == where.params.end()) continue;
    for (auto pos = at->second.rbegin(); pos != at->second.rend(); ++pos)
      if (*pos < given && level.fn->params[*pos].ty.dtype == kDictDtype)
        if (auto arg = arg_name(level, *pos)) return std::pair{length, *arg};
  }
  return std::nullopt;
}

void unhold(Level& level, const Entry& entry) {
  if (entry.final) return;
  auto at = level.held.find(entry.text);
  if (--at->second == 0) {
    level.held_marks.remove(name_mark(entry.text));
    level.held.erase(at);
  }
}

void set_entry(Level& level, std::string_view name, Entry entry) {
  auto [at, fresh] = level.current.try_emplace(std::string(name));
  if (fresh)
    level.keys.add(name_mark(name));
  else
    unhold(level, at->second);
  at->second = std::move(entry);
  if (!at->second.final && level.held[at->second.text]++ == 0)
    level.held_marks.add(name_mark(at->second.text));
}

// Whether a name other than `name` stands for the value under `text`, which a write of
// `name` to `text` would lose.
bool held_by_other(const Level& level, const std::string& text, std::string_view name) {
  if (!level.held_marks.has(name_mark(text))) return false;
  auto at = level.held.find(text);
  if (at == level.held.end()) return false;
  std::uint64_t count = at->second;
  if (auto own = level.current.find(name); own != level.current.end())
    if (!own->second.final && own->second.text == text) --count;
  return count > 0;
}

// The position of `name` among the returns bound to the call's outputs.
std::optional<std::size_t> bound_return(const Level& level, std::string_view name) {
  if (level.root) return std::nullopt;
  const std::size_t bound = std::min(level.fn->returns.size(), level.outputs.size());
  for (std::size_t j = 0; j < bound; ++j)
    if (level.fn->returns[j].name == name) return j;
  return std::nullopt;
}

bool is_return_name(const Function& fn, std::string_view name) {
  return std::any_of(fn.returns.begin(), fn.returns.end(),
                     [&](const Param& r) { return r.name == name; });
}

// The parameters of the call that stand for `text` in the caller: those among the
// arguments given, and one past them named by the rest of `text` after the last argument
// and a point.
std::vector<const Text*> params_bound_to(const Level& level, std::string_view text) {
  std::vector<const Text*> out;
  auto bound_here = [&](const Text& p) {
    auto arg = binding(level, p);
    if (arg && *arg == text) out.push_back(&p);
  };
  const std::size_t given = args_given(level);
  for (std::size_t k = 0; k < given; ++k)
    if (auto arg = arg_name(level, k); arg && *arg == text) bound_here(level.fn->params[k].name);
  if (given < level.fn->params.size()) {
    auto last = arg_name(level, given);
    if (last && text.size() > last->size() && *last == text.substr(0, last->size()) &&
        text[last->size()] == '.') {
      const std::string_view rest = text.substr(last->size() + 1);
      if (auto at = level.plan->where.params.find(rest); at != level.plan->where.params.end())
        if (at->second.back() >= given) bound_here(level.fn->params[at->second.back()].name);
    }
  }
  return out;
}

// Whether the step being taken writes the return `name` last, so that it writes the
// call's output: not while a parameter bound to that output is still to be read, or may
// yet be returned as it came.
std::optional<std::size_t> writes_output(const Level& level, std::string_view name) {
  std::optional<std::size_t> j = bound_return(level, name);
  if (!j) return j;
  const Liveness& live = level.plan->live;
  auto writer = live.last_writer.find(name);
  if (writer == live.last_writer.end() || writer->second != level.pos) return std::nullopt;
  const Text& output = level.outputs[*j];
  for (const Text* p : params_bound_to(level, output)) {
    if (level.current.contains(*p)) continue;  // written since: no longer the argument
    if (*p != name && is_return_name(*level.fn, *p)) return std::nullopt;
    auto read = live.last_read.find(*p);
    if (read != live.last_read.end() && read->second > 2 * level.pos) return std::nullopt;
  }
  return j;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  return b > kMax - a ? kMax : a + b;
}

// The expansion of the entry, built into `out`; or that of a cache slot's body.
struct Walk {
  Flattener& f;
  std::vector<Op>& out;
  CacheCtx* ctx;  // while the entry is built: the cache pass over what it builds
  std::vector<Level> levels{};
  NameRope rope{};
  std::string scratch{};
  std::string key{};  // the name that a write looks up, while it is written
  std::string prefix_scratch{};

  // Which of the names that a level rewrites `name` may be, by its length and its mark:
  // most names are told apart from all of them without being put together.
  struct Lookups {
    bool global, current, bound;
    bool any() const { return global || current || bound; }
  };
  Lookups lookups(const Level& level, const NameRope& name) const {
    const unsigned mark = name_mark(name.size(), name.front(), name.back());
    return {f.globals.lengths.has(name.size()), level.keys.has(mark),
            !level.root && level.bound_marks.has(mark)};
  }

  // One level of a read, the first rule that applies deciding: a name in `global_names`
  // stays itself (at every outer level too: returns false), a name of `current` becomes
  // what it stands for, a bound name its text, a dict parameter or a dotted name under one
  // the argument text with the rest, and any other name takes the local prefix. A root's
  // names are the flat form's.
  bool read_level(const Level& level, NameRope& name) {
    const Lookups may = lookups(level, name);
    if (may.any()) {
      const std::string_view text = name.view(scratch);
      if (may.global && f.globals.contains(text)) return false;
      if (may.current)
        if (auto found = level.current.find(text); found != level.current.end()) {
          name.reset(found->second.text);
          return !level.root && !found->second.final;
        }
      if (level.root) return false;
      if (may.bound)
        if (auto bound = binding(level, text)) {
          name.reset(*bound);
          return true;
        }
    }
    if (level.root) return false;
    if (auto dict = level.dicts ? dict_match(level, name, prefix_scratch) : std::nullopt) {
      if (name.size() == dict->first) {
        name.reset(dict->second);
      } else {
        name.drop_front(dict->first);
        for (std::size_t k = dict->second.count; k-- > 0;) name.prepend(dict->second.pieces[k]);
      }
      return true;
    }
    name.prepend(level.local_prefix);
    return true;
  }

  // One level of a write. A body never writes over its caller's names: a written name
  // takes the local prefix, except that the step writing a bound return last writes the
  // call's output; a name written where another name still stands for the value under
  // that text takes the next number instead. Later reads find the name in `current`.
  bool write_level(Level& level, NameRope& name) {
    const Lookups may = lookups(level, name);
    const bool looked = may.any();
    if (looked) {
      key = name.view(scratch);
      if (may.global && f.globals.contains(key)) return false;
    }
    const bool record = (may.current && level.current.contains(key)) ||
                        (may.bound && (binding(level, key) || bound_return(level, key))) ||
                        (!level.root && level.dicts && dict_match(level, name, prefix_scratch));
    const std::size_t target_size = level.local_prefix.size() + name.size();
    const char target_front = level.local_prefix.empty() ? name.front() : level.local_prefix[0];
    if (record || level.held_marks.has(name_mark(target_size, target_front, name.back()))) {
      if (!looked) key = name.text();
      std::string target;
      if (auto j = looked ? writes_output(level, key) : std::nullopt)
        target = level.outputs[*j];
      else
        target = level.local_prefix + key;
      bool renewed = false;
      while (held_by_other(level, target, key)) {
        const std::uint64_t n = ++level.numbers[key];
        target = level.local_prefix + numbered(key, n);
        renewed = true;
      }
      if (record || renewed) {
        set_entry(level, key, Entry{std::move(target)});
        name.reset(level.current.find(key)->second.text);
        return !level.root;
      }
    }
    // Where the rule of prefixes puts it, with nothing to record.
    if (level.root) return false;
    name.prepend(level.local_prefix);
    return true;
  }

  void walk_out(std::string_view name, bool write) {
    rope.reset(name);
    for (std::size_t j = levels.size(); j-- > 0;)
      if (!(write ? write_level(levels[j], rope) : read_level(levels[j], rope))) break;
  }
  std::string resolve(std::string_view name, bool write) {
    walk_out(name, write);
    return rope.text();
  }
  // The same for a record's name, which an unchanged name shares.
  Text resolve_text(const Text& name, bool write) {
    walk_out(name, write);
    return rope.record_text(name);
  }

  // The operation rewritten from the innermost function's names into the flat form's:
  // its arguments read before its outputs are written.
  Op resolved(const Op& op, bool with_outputs = true) {
    Op copy;
    resolve_into(op, copy, with_outputs);
    return copy;
  }
  // The same, built in `copy`, which holds nothing before.
  void resolve_into(const Op& op, Op& copy, bool with_outputs = true) {
    const Level& root = levels.front();
    if (levels.size() == 1 && root.current.empty()) {
      copy = op;
      return;
    }
    copy.kind = op.kind;
    copy.output_types = op.output_types;
    copy.comments = op.comments;
    copy.args.reserve(op.args.size());
    for (const Atom& arg : op.args) {
      const Text* name = name_of(arg);
      copy.args.push_back(name ? Atom{Atom::Name{resolve_text(*name, false)}} : arg);
    }
    if (with_outputs) {
      copy.outputs.reserve(op.outputs.size());
      for (const Text& name : op.outputs) copy.outputs.push_back(resolve_text(name, true));
    }
    // The innermost loop around it ends the cache var that ends in ".*".
    if (kind_as<OpKind::Cache>(copy))
      for (std::size_t j = levels.size(); j-- > 0;)
        if (levels[j].loop_iteration) {
          substitute_cache_var_star(copy, *levels[j].loop_iteration);
          break;
        }
  }

  // The operation rewritten, built in its place at the end of the flat function.
  void emit(const Op& op) {
    if (out.size() == kMaxFlatOps) stop_too_large();
    if (out.size() == out.capacity())  // the list grows, twice as long
      f.take(std::max<std::uint64_t>(out.capacity(), 1) * sizeof(Op));
    resolve_into(op, out.emplace_back());
    f.take(op_bytes(out.back()) - sizeof(Op));
  }

  // A cache operation of the entry's expansion: its slot's body takes its place, and its
  // first output stands for the slot's value from then on.
  void expand_cache(const Op& op);

  void emit_op(const Op& op) {
    if (ctx && kind_as<OpKind::Cache>(op))
      expand_cache(op);
    else
      emit(op);
  }

  void inline_call(const Function* callee, const Op& call, std::string_view prefix) {
    levels.push_back(call_level(f, callee, call, prefix, call.outputs));
    bind_few(levels.back());
  }

  // One level of a read of `name` at `level`, as an entry there.
  Entry entry_at(const Level& level, NameRope& name) {
    const bool more = read_level(level, name);
    return Entry{name.text(), !more && !level.root};
  }

  // The end of an inlined call: each output whose return the body has not written last
  // stands for the return's value, and a loop's name for its last iteration's output.
  void close_level() {
    Level& inner = levels.back();
    Level& outer = levels[levels.size() - 2];
    std::vector<std::pair<std::string, Entry>> moved;
    const std::size_t bound = std::min(inner.fn->returns.size(), inner.outputs.size());
    for (std::size_t j = 0; j < bound; ++j) {
      const Text& output = inner.outputs[j];
      rope.reset(inner.fn->returns[j].name);
      if (read_level(inner, rope)) {
        if (rope.size() == output.size() && rope.view(scratch) == output) continue;
        if (f.globals.contains(output)) continue;
        moved.emplace_back(output, entry_at(outer, rope));
      } else if (!f.globals.contains(output)) {
        moved.emplace_back(output, Entry{rope.text(), !outer.root});
      }
    }
    std::optional<std::string> rebinds = std::move(inner.rebinds);
    std::string output = inner.outputs.empty() ? std::string() : inner.outputs[0].str();
    for (auto& [name, entry] : moved) set_entry(outer, name, std::move(entry));
    levels.pop_back();
    if (rebinds && !f.globals.contains(*rebinds)) {
      rope.reset(output);
      set_entry(outer, *rebinds, entry_at(outer, rope));
    }
  }

  // Takes the next step of the innermost function; false when the walk is over.
  bool step() {
    poll_interrupt();
    Level& level = levels.back();
    if (!level.plan || level.next == level.plan->steps.size()) {
      if (levels.size() == 1) return false;
      close_level();
      return true;
    }
    const Step& step = level.plan->steps[level.next];
    const Op& op = step.op();
    level.pos = level.next;
    if (kind_as<OpKind::Call>(op)) {
      ++level.next;
      inline_call(step.callee, op, op.outputs[0]);
    } else if (kind_as<OpKind::Loop>(op)) {
      if (!step.callee) {  // no iterations
        ++level.next;
        return true;
      }
      const Text& x = op.outputs[0];
      std::uint64_t i = level.iteration++;
      if (i == 0) {
        level.threaded = x;
        // An empty body writes nothing, and its outputs stand for arguments that are the
        // same in every iteration, or for the threaded one: its last iteration alone, from
        // the loop's own argument, gives what all of them give.
        if (f.plans.at(step.callee).size == 0 && step.count > 1) {
          Counts::mapped_type& number = level.numbers[x.str()];
          number = saturating_add(number, step.count - 1);
          i = step.count - 1;
          level.iteration = step.count;
        }
      }
      const bool last = level.iteration == step.count;
      std::string output =
          last && writes_output(level, x) ? x.str() : numbered(x, ++level.numbers[x.str()]);
      std::optional<std::string> rebinds;
      if (last) {
        ++level.next;
        level.iteration = 0;
        if (output != x) rebinds = x;
      }
      std::string current = std::exchange(level.threaded, output);
      levels.push_back(
          iteration_level(f, step, i, std::move(current), std::move(output), std::move(rebinds)));
      bind_few(levels.back());
    } else {
      ++level.next;
      emit_op(op);
    }
    return true;
  }
};

// The body of a slot's init or extend function in place of its cache operation, for a
// call whose target, output and arguments the slot gives; the text that holds the call's
// output afterwards.
std::string inline_slot(Flattener& f, const Op& cache, const Text& function, const Text& output,
                        Args args, std::vector<Op>& out) {
  const Function* callee = &f.module.functions.at(function);
  plan_expansion(f, callee);
  Op call{OpKind{OpKind::Call{function}}, {output}, cache.output_types, std::move(args), {}};
  Walk walk{f, out, nullptr};
  walk.levels.push_back(root_level(nullptr, nullptr));
  walk.inline_call(callee, call, output);
  while (walk.step()) {}
  return walk.resolve(output, false);
}

// A cache operation of the entry's expansion: its slot is recorded and its init body, or
// for a listed slot its extend body, takes its place. The text that holds the slot's
// value afterwards: the init body's result, or a listed slot's incoming value.
std::string expand_slot(Flattener& f, CacheCtx& ctx, const Op& op, std::vector<Op>& out) {
  const auto& cache = *kind_as<OpKind::Cache>(op);
  if (op.output_types.empty() || !op.output_types[0]) stop(std::string(kCacheNeedsType));
  const TensorType& type = *op.output_types[0];
  const Text& s = cache.var;
  if (!ctx.cache_keys.contains(s.str())) {
    ctx.record_output(f, s, type);
    return inline_slot(f, op, cache.init, s, op.args, out);
  }
  ctx.record_input(f, s, type);
  if (!cache.extend) {
    ctx.record_output(f, s, type);
    return s.str();
  }
  Text n = s + kNewSuffix;
  ctx.record_output(f, n, type);
  // The slot's incoming value, then the operation's own arguments.
  Args args;
  args.reserve(op.args.size() + 1);
  args.push_back(Atom{Atom::Name{s}});
  for (const Atom& arg : op.args) args.push_back(arg);
  inline_slot(f, op, *cache.extend, n, std::move(args), out);
  return s.str();
}

void Walk::expand_cache(const Op& op) {
  Op slot = resolved(op, false);
  std::string holder = expand_slot(f, *ctx, slot, out);
  if (op.outputs.empty() || f.globals.contains(op.outputs[0])) return;
  Level& level = levels.back();
  set_entry(level, op.outputs[0], Entry{std::move(holder), !level.root});
}

// `base` followed by each extra entry whose name `base` does not hold already.
std::vector<Param> with_extras(std::vector<Param> base, std::vector<Param> extras) {
  std::unordered_set<std::string> names;
  for (const Param& p : base) names.insert(p.name.str());
  for (Param& extra : extras)
    if (!names.contains(extra.name.str())) base.push_back(std::move(extra));
  return base;
}

}  // namespace

Module flatten(const Module& module, std::string_view entry, const CacheKeys& cache_keys) {
  Flattener f{module, global_names(module), {}};
  const Function* entry_fn = &module.functions.at(entry);
  plan_expansion(f, entry_fn);
  CacheCtx ctx{{}, {}, cache_keys, {}, {}};
  std::vector<Op> ops;
  ops.reserve(f.plans.at(entry_fn).size);
  f.take(ops.capacity() * sizeof(Op));
  Walk walk{f, ops, &ctx};
  walk.levels.push_back(root_level(entry_fn, &f.plans.at(entry_fn)));
  while (walk.step()) {}
  // The declared returns name their final values.
  std::vector<Param> returns = entry_fn->returns;
  for (Param& r : returns) r.name = walk.resolve_text(r.name, false);

  Function flat{entry_fn->name, entry_fn->comments,
                with_extras(entry_fn->params, std::move(ctx.input_params)),
                with_extras(std::move(returns), std::move(ctx.output_params)), std::move(ops)};
  Module out{module.header_comments, {}};
  out.functions.store(std::string(entry), std::move(flat));
  return out;
}

}  // namespace vel
