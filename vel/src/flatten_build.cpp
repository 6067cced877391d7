#include "flatten_build.hpp"

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <variant>

#include "flatten_scope.hpp"
#include "vel/interrupt.hpp"
#include "vel/json.hpp"
#include "vel/stop.hpp"

namespace vel::flat {

namespace {

constexpr std::string_view kCacheNeedsType = "cache slot must have a declared type";
constexpr std::string_view kNewSuffix = "_new";
constexpr std::string_view kStarSuffix = ".*";
// The longest JSON text of a number, a float's with its exponent.
constexpr std::uint64_t kNumberSize = 24;

template <class Alt>
const Alt* kind_as(const Op& op) {
  return std::get_if<Alt>(&op.kind.value);
}

// A var ending in ".*" made the iteration's own: its stem, a point and the number.
std::optional<Text> var_of_iteration(const Text& var, const Level* iteration) {
  if (!iteration || !var.ends_with(kStarSuffix)) return std::nullopt;
  std::string out(var.view().substr(0, var.size() - 1));
  out += iteration->args.digits;
  return Text(out);
}

// The extra parameters and returns that the cache slots add to the flat function, each name
// once with its first type, and what each slot holds last.
struct CacheSlots {
  const CacheKeys& keys;
  std::vector<Param> inputs{};
  std::vector<Param> outputs{};
  std::unordered_set<std::string, TextHash, std::equal_to<>> input_names{};
  std::unordered_map<std::string, Ref, TextHash, std::equal_to<>> finals{};

  bool listed(const Text& slot) const { return keys.contains(slot.view()); }

  // The bytes that recording takes, or 0 when the name is recorded already.
  std::uint64_t record_input(const Text& name, const TensorType& type) {
    if (!input_names.emplace(name.view()).second) return 0;
    inputs.push_back(Param{name, type});
    return name_bytes(json::string_body_size(name)) + param_bytes(type);
  }
  std::uint64_t record_output(const Text& name, const TensorType& type) {
    if (!finals.emplace(name.view(), Ref()).second) return 0;
    outputs.push_back(Param{name, type});
    return name_bytes(json::string_body_size(name)) + param_bytes(type);
  }
  void hold(const Text& slot, Ref value) { finals.find(slot.view())->second = value; }
};

class Builder {
 public:
  Builder(Planner& planner, const CacheKeys& keys, FlatProgram& program)
      : planner_(planner), program_(program), scopes_(program, planner.kept()), slots_{keys} {}

  void build(const Function& entry) {
    const Plan& plan = planner_.plan(&entry);
    scopes_.push_entry(plan);
    // As long as the entry's expansion, cache slots' bodies apart; a name for each output and
    // argument, and one more for each operation's prefix or field.
    program_.ops.reserve(plan.size);
    program_.args.reserve(plan.words);
    program_.values.reserve(plan.words);
    program_.names.reserve(plan.words + plan.size);
    while (step()) {}
    finish(entry);
  }

 private:
  // Takes the next step of the top level; false when the entry is built.
  bool step() {
    poll_interrupt();
    Level& level = scopes_.top();
    if (level.next == level.plan->steps.size()) {
      if (scopes_.depth() == 1) return false;
      close();
      return true;
    }
    const std::uint32_t k = level.next;
    const Step& step = level.plan->steps[k];
    const Op& op = step.op();
    if (kind_as<OpKind::Call>(op)) {
      ++level.next;
      inline_call(step, k);
    } else if (kind_as<OpKind::Loop>(op)) {
      iterate(step, k);
    } else if (kind_as<OpKind::Cache>(op) && slot_bodies_ == 0) {
      ++level.next;
      expand_cache(op, k);
    } else {
      ++level.next;
      emit(op, k);
    }
    return true;
  }

  void inline_call(const Step& step, std::uint32_t k) {
    Level& level = scopes_.push(Level::Kind::Call, planner_.at(step.callee), step.op(), k);
    scopes_.bind(level);
  }

  // The next iteration of the loop at `k`; the loop's output is written when its last one
  // ends.
  void iterate(const Step& step, std::uint32_t k) {
    Level& level = scopes_.top();
    if (!step.callee) {  // no iterations
      ++level.next;
      return;
    }
    const Op& op = step.op();
    const Text& x = op.outputs[0];
    std::uint64_t& number = loop_number(level, x);
    if (level.loop.iteration == 0) {
      level.loop.current = scopes_.read_arg(k, step.threaded);
      // A body without operations writes nothing, and what it returns is an argument that
      // is the same in every iteration, or the threaded one: its last iteration alone, from
      // the loop's own argument, gives what all of them give.
      // (A cache operation counts as one.)
      if (planner_.at(step.callee).size == 0 && step.count > 1) {
        number += step.count - 1;
        level.loop.iteration = step.count - 1;
      }
    }
    const std::uint64_t i = level.loop.iteration++;
    const bool last = level.loop.iteration == step.count;
    const bool writes_return = last && scopes_.loop_writes_return(k);
    const std::uint64_t n = ++number;
    const Ref current = level.loop.current;
    Level& it = scopes_.push(Level::Kind::Iteration, planner_.at(step.callee), op, k);
    it.args.special = step.threaded;
    it.args.special_ref = current;
    append_uint(it.args.digits, i);
    it.naming.number = n;
    it.naming.writes_return = writes_return;
    scopes_.bind(it);
  }

  static std::uint64_t& loop_number(Level& level, const Text& x) {
    for (auto& [name, number] : level.loop.numbers)
      if (name == x) return number;
    return level.loop.numbers.emplace_back(x, 0).second;
  }

  // The end of an inlined body: the caller's outputs take its returns' values.
  void close() {
    const std::uint32_t inner = scopes_.top_index();
    Level& body = scopes_.top();
    Level& caller = scopes_.at(body.caller);
    const BodyNames& names = caller.names();
    const std::uint32_t first = names.first_slot[body.at];
    switch (body.kind) {
      case Level::Kind::Call: {
        const std::uint32_t count = names.slot_count(body.at);
        for (std::uint32_t j = 0; j < count; ++j)
          scopes_.at(body.caller).known.vals[first + j] = scopes_.read_return(inner, j);
        break;
      }
      case Level::Kind::Iteration: {
        const Ref value = returned(inner);
        Level& loop = scopes_.at(body.caller);
        loop.loop.current = value;
        const Step& step = loop.plan->steps[body.at];
        if (loop.loop.iteration == step.count) {
          loop.known.vals[first] = value;
          loop.loop.iteration = 0;
          ++loop.next;
        }
        break;
      }
      case Level::Kind::Slot: {
        const Ref value = returned(inner);
        slots_.hold(body.naming.output_text, value);
        // The operation's output holds the slot: its body's result, or the incoming value
        // of a slot fed from outside, also when its extend body runs.
        const Ref held = body.args.shift ? body.args.special_ref : value;
        if (names.slot_count(body.at) > 0) scopes_.at(body.caller).known.vals[first] = held;
        --slot_bodies_;
        break;
      }
      case Level::Kind::Entry: break;
    }
    scopes_.pop();
  }

  // What an iteration or a slot's body gives: its first return, or where its function has
  // none, what its output's name reads.
  Ref returned(std::uint32_t level) {
    const Level& body = scopes_.at(level);
    if (!body.fn().returns.empty()) return scopes_.read_return(level, 0);
    if (body.kind == Level::Kind::Slot)
      return Ref::name(program_.names.root(body.naming.output_text));
    return scopes_.read_text(body.caller, scopes_.iteration_text(body).view(), body.at);
  }

  // A cache operation of the entry's expansion: its slot is recorded and its init body, or
  // for a listed slot its extend body, takes its place.
  void expand_cache(const Op& op, std::uint32_t k) {
    const auto& cache = *kind_as<OpKind::Cache>(op);
    if (op.output_types.empty() || !op.output_types[0]) stop(std::string(kCacheNeedsType));
    const TensorType& type = *op.output_types[0];
    const Text slot =
        var_of_iteration(cache.var, scopes_.innermost_iteration()).value_or(cache.var);
    if (!slots_.listed(slot)) {
      take(slots_.record_output(slot, type));
      inline_slot(cache.init, op, k, slot, 0, Ref());
      return;
    }
    take(slots_.record_input(slot, type));
    const Ref incoming = Ref::name(program_.names.root(slot));
    program_.incoming.push_back(incoming.name_id());
    if (!cache.extend) {
      take(slots_.record_output(slot, type));
      slots_.hold(slot, incoming);
      Level& level = scopes_.top();
      if (level.names().slot_count(k) > 0) level.known.vals[level.names().first_slot[k]] = incoming;
      return;
    }
    const Text renewed(slot + kNewSuffix);
    take(slots_.record_output(renewed, type));
    inline_slot(*cache.extend, op, k, renewed, 1, incoming);
  }

  // The body of `function` for the cache operation at `k`, its output the slot `output`;
  // an extend body's first argument is the slot's incoming value.
  void inline_slot(const Text& function, const Op& op, std::uint32_t k, const Text& output,
                   std::uint32_t shift, Ref incoming) {
    const Function* callee = &planner_.module().functions.at(function);
    const Plan& plan = planner_.plan(callee);
    check_arity(function, op.args.size() + shift, callee->params.size());
    Level& level = scopes_.push(Level::Kind::Slot, plan, op, k);
    level.args.shift = shift;
    if (shift) {
      level.args.special = 0;
      level.args.special_ref = incoming;
    }
    level.naming.output_text = output;
    scopes_.bind(level);
    ++slot_bodies_;
  }

  // An operation of the flat function, its arguments read before its outputs are written.
  void emit(const Op& op, std::uint32_t k) {
    const auto index = static_cast<std::uint32_t>(program_.ops.size());
    if (index == max_flat_ops()) stop_too_many_ops();
    Level& level = scopes_.top();
    const OpText& text = level.names().texts[k];
    program_.ops.push_back(FlatOp{&text, static_cast<std::uint32_t>(program_.args.size()),
                                  static_cast<ValueId>(program_.values.size())});
    // The bytes it takes, and its JSON text's, its names as they stand now.
    std::uint64_t bytes = text.bytes, json = text.text.size();
    auto count = [&](std::uint64_t name) {
      bytes += name_bytes(name);
      json += name + 2;
    };
    for (std::size_t a = 0; a < op.args.size(); ++a) {
      const Ref ref = scopes_.read_arg(k, a);
      if (ref.is_value()) {
        Value& read = program_.values[ref.value_id()];
        read.last = index;
        count(program_.names.json_size(read.first));
      } else if (ref.kind() == Ref::Kind::Name) {
        count(program_.names.json_size(ref.name_id()));
      } else if (const auto* name = std::get_if<Atom::Name>(&ref.atom().value)) {
        count(json::string_body_size(name->text));
      } else if (!std::holds_alternative<Atom::Name>(op.args[a].value)) {
        // A number written in the operation's text.
      } else {
        count(kNumberSize);  // a number a parameter stands for, in a name's place
      }
      program_.args.push_back(ref);
    }
    const std::uint32_t first = level.names().first_slot[k];
    for (std::uint32_t m = 0; m < op.outputs.size(); ++m) {
      const Letters letters = scopes_.write(first + m);
      const auto id = static_cast<ValueId>(program_.values.size());
      program_.values.push_back(Value{letters.first, letters.second, index, index});
      scopes_.top().known.vals[first + m] = Ref::value(id);
      count(program_.names.json_size(letters.first));
    }
    if (const auto* cache = kind_as<OpKind::Cache>(op))
      if (auto var = var_of_iteration(cache->var, scopes_.innermost_iteration()))
        program_.vars.emplace_back(index, std::move(*var));
    take(bytes);
    program_.json_bytes += json;
  }

  void take(std::uint64_t more) {
    if (more > max_flat_bytes() - program_.bytes) stop_too_many_bytes();
    program_.bytes += more;
  }

  // The flat function's parameters and returns, and what each return reads.
  void finish(const Function& entry) {
    for (const Param& p : entry.params)
      program_.params.push_back(FlatParam{p, Ref::name(program_.names.root(p.name))});
    TextSet names;
    for (const Param& p : entry.params) names.insert(p.name.view());
    for (Param& p : slots_.inputs)
      if (!names.contains(p.name.view())) {
        const Ref ref = Ref::name(program_.names.root(p.name));
        program_.params.push_back(FlatParam{std::move(p), ref});
      }
    for (std::size_t j = 0; j < entry.returns.size(); ++j)
      program_.returns.push_back(FlatParam{entry.returns[j], scopes_.read_return(0, j)});
    program_.declared_returns = entry.returns.size();
    for (Param& p : slots_.outputs) {
      const Ref ref = slots_.finals.find(p.name.view())->second;
      program_.returns.push_back(FlatParam{std::move(p), ref});
    }
    for (const FlatParam& r : program_.returns)
      if (r.ref.is_value()) program_.values[r.ref.value_id()].last = kEnd;
  }

  Planner& planner_;
  FlatProgram& program_;
  Scopes scopes_;
  CacheSlots slots_;
  std::uint32_t slot_bodies_ = 0;  // slot bodies being built: their cache operations are copied
};

}  // namespace

FlatProgram build(Planner& planner, const Function& entry, const CacheKeys& cache_keys) {
  FlatProgram program;
  Builder(planner, cache_keys, program).build(entry);
  return program;
}

}  // namespace vel::flat
