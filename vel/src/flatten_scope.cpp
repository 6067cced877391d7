#include "flatten_scope.hpp"

#include <algorithm>
#include <variant>

namespace vel::flat {

namespace {

// The bits of `Level::seen`, each for one of its lists looked up once.
constexpr std::uint8_t kBoundSeen = 1, kBaseSeen = 2, kOutputSeen = 4;

constexpr std::string_view kStarSuffix = ".*";
constexpr std::string_view kLoopPrefix = "loop";

const Text* name_of(const Atom& atom) {
  const auto* name = std::get_if<Atom::Name>(&atom.value);
  return name ? &name->text : nullptr;
}

// A name that ends in ".*" is an iteration's own with the iteration's number in place of
// the "*": weights.layers.* is weights.layers.3 in the fourth.
bool starred(std::string_view name) { return name.ends_with(kStarSuffix); }

}  // namespace

// The next place on the stack, cleared of what an earlier level left there; its lists keep
// their room.
Level& Scopes::fresh_level() {
  if (depth_ == levels_.size()) levels_.emplace_back();
  Level& level = levels_[depth_++];
  level.args.shift = 0;
  level.args.special = Level::kNone;
  level.args.special_ref = Ref();
  level.args.given = 0;
  level.args.digits.clear();
  level.naming.prefix = kNoName;
  level.naming.output_text = Text();
  level.naming.number = 0;
  level.naming.writes_return = false;
  level.naming.output_made = false;
  level.next = 0;
  level.loop.iteration = 0;
  level.loop.current = Ref();
  level.loop.numbers.clear();
  level.known.stamp = ++stamps_;
  return level;
}

Level& Scopes::push_entry(const Plan& plan) {
  depth_ = 0;
  Level& level = fresh_level();
  level.plan = &plan;
  level.kind = Level::Kind::Entry;
  level.known.vals.assign(plan.names.slots.size(), Ref());
  return level;
}

Level& Scopes::push(Level::Kind kind, const Plan& plan, const Op& op, std::uint32_t at) {
  const std::uint32_t caller = top_index();
  Level& level = fresh_level();
  level.plan = &plan;
  level.kind = kind;
  level.caller = caller;
  level.at = at;
  level.op = &op;
  level.known.vals.assign(plan.names.slots.size(), Ref());
  const std::size_t params = plan.fn->params.size(), returns = plan.fn->returns.size();
  if (level.known.bound.size() < params) {
    level.known.bound.resize(params);
    level.known.bases.resize(params);
  }
  if (level.known.outputs.size() < returns) level.known.outputs.resize(returns);
  if (level.known.seen.size() < std::max(params, returns))
    level.known.seen.resize(std::max(params, returns));
  return level;
}

// Whether `what` of entry `i` is looked up already; from now on it counts as such.
bool Scopes::seen(Level& level, std::size_t i, std::uint8_t what) {
  Level::Known::Seen& entry = level.known.seen[i];
  if (entry.stamp != level.known.stamp) entry = Level::Known::Seen{level.known.stamp, 0};
  const bool was = (entry.what & what) != 0;
  entry.what |= what;
  return was;
}

void Scopes::bind(Level& level) {
  const std::size_t u = level.op->args.size() + level.args.shift, t = level.fn().params.size();
  level.args.given = static_cast<std::uint32_t>(u < t ? u - 1 : u);
}

NameId Scopes::local(std::uint32_t level, Text piece) {
  if (levels_[level].kind == Level::Kind::Entry) return program_.names.root(std::move(piece));
  return program_.names.add(prefix_of(level), std::move(piece));
}

// A call's prefix is the caller's local name of its first output, an iteration's that of
// "loop" and its number, a slot body's the slot's name; made out through the levels that
// have none yet, then back in.
NameId Scopes::prefix_of(std::uint32_t level) {
  std::vector<std::uint32_t>& unmade = unmade_;
  unmade.clear();
  for (std::uint32_t l = level;; l = levels_[l].caller) {
    const Level& at = levels_[l];
    if (at.kind == Level::Kind::Entry || at.naming.prefix != kNoName) break;
    unmade.push_back(l);
    if (at.kind == Level::Kind::Slot) break;
  }
  for (auto l = unmade.rbegin(); l != unmade.rend(); ++l) {
    Level& at = levels_[*l];
    if (at.kind == Level::Kind::Slot) {
      at.naming.prefix = program_.names.root(at.naming.output_text);
      continue;
    }
    Text piece = at.op->outputs[0];
    if (at.kind == Level::Kind::Iteration) piece = Text(std::string(kLoopPrefix) + at.args.digits);
    const Level& caller = levels_[at.caller];
    at.naming.prefix = caller.kind == Level::Kind::Entry
                           ? program_.names.root(std::move(piece))
                           : program_.names.add(caller.naming.prefix, std::move(piece));
  }
  return levels_[level].naming.prefix;
}

const Level* Scopes::innermost_iteration() const {
  for (std::size_t i = depth_; i-- > 0;) {
    if (levels_[i].kind == Level::Kind::Iteration) return &levels_[i];
    if (levels_[i].kind == Level::Kind::Slot) return nullptr;
  }
  return nullptr;
}

// --- reading ---
//
// A read may go out through every level around it, a parameter passed down a chain of
// thousands of calls included. It does so in one loop, without recursion: each step either
// gives the value or asks the level around, and the bindings found on the way, which are
// all the value found at the end, are kept for later reads.

Ref Scopes::read_arg(std::size_t op, std::size_t k) {
  const std::uint32_t level = top_index();
  const Atom& atom = levels_[level].fn().ops[op].args[k];
  if (!name_of(atom)) return Ref::atom(atom);
  return read(Ask::name_of(level, &levels_[level].names().arg(op, k), &atom, nullptr,
                           static_cast<std::uint32_t>(op)));
}

Ref Scopes::read_return(std::uint32_t level, std::size_t j) {
  const Level& l = levels_[level];
  const auto end = static_cast<std::uint32_t>(l.fn().ops.size());
  return read(Ask::name_of(level, &l.names().returns[j], nullptr, &l.fn().returns[j].name, end));
}

Ref Scopes::read_text(std::uint32_t level, std::string_view name, std::uint32_t op) {
  return read(Ask::text_of(level, std::string(name), op));
}

Ref Scopes::read(Ask ask) {
  memos_.clear();
  for (;;) {
    Step step = ask.kind == Ask::Kind::Name   ? step_name(ask)
                : ask.kind == Ask::Kind::Text ? step_text(ask)
                                              : step_arg(ask);
    if (step.found) {
      for (const auto& [level, param] : memos_) levels_[level].known.bound[param] = step.found;
      return step.found;
    }
  }
}

// The kept text of a name read: the atom itself, or the name as a root.
Ref Scopes::kept(const Ask& ask) {
  return ask.atom ? Ref::atom(*ask.atom) : Ref::name(program_.names.root(*ask.name));
}

std::string_view Scopes::name_text(const Ask& ask) const {
  return ask.atom ? name_of(*ask.atom)->view() : ask.name->view();
}

Scopes::Step Scopes::step_name(Ask& ask) {
  const Level& l = levels_[ask.level];
  const NameRef* ref = ask.ref;
  // A cache operation gives only its first output a value: a later one keeps the meaning
  // the name had before.
  while (ref->slot != NameRef::kNone) {
    if (Ref value = l.known.vals[ref->slot]) return Step{value};
    ref = &l.names().slots[ref->slot].before;
  }
  if (l.kind == Level::Kind::Entry) return Step{kept(ask)};
  if (!ref->plain) {
    ask = Ask::text_of(ask.level, std::string(name_text(ask)), ask.op);
    return Step{};
  }
  if (ref->param != NameRef::kNone)
    if (std::optional<Step> bound = bind(ask, ref->param)) return *bound;
  if (ref->dict != NameRef::kNone && dict_bound(l, ref->dict)) {
    if (!ref->field) {
      ask = Ask::arg_of(ask.level, ref->dict);
      return Step{};
    }
    if (NameId base = dict_base(ask.level, ref->dict))
      return Step{Ref::name(program_.names.add(base, ref->rest))};
    std::string text = arg_text(l, ref->dict);
    text += '.';
    text += ref->rest.view();
    ask = Ask::text_of(l.caller, std::move(text), l.at);
    return Step{};
  }
  if (ref->kept) return Step{kept(ask)};
  return Step{Ref::name(local(ask.level, Text(name_text(ask))))};
}

Scopes::Step Scopes::step_text(Ask& ask) {
  const Level& l = levels_[ask.level];
  const std::string& text = ask.text;
  if (auto writes = l.names().writes.find(text); writes != l.names().writes.end())
    for (auto slot = writes->second.rbegin(); slot != writes->second.rend(); ++slot)
      if (l.names().slots[*slot].op < ask.op && l.known.vals[*slot])
        return Step{l.known.vals[*slot]};
  if (l.kind == Level::Kind::Entry) return Step{Ref::name(program_.names.root(Text(text)))};
  const Positions& where = l.names().where;
  if (auto at = where.params.find(text); at != where.params.end())
    for (auto pos = at->second.rbegin(); pos != at->second.rend(); ++pos)
      if (std::optional<Step> bound = bind(ask, *pos)) return *bound;
  // A dict parameter, or a field of one, the longest name first: the argument's.
  for (const std::size_t length : where.dict_lengths) {
    if (length > text.size() || (length < text.size() && text[length] != '.')) continue;
    auto at = where.params.find(std::string_view(text).substr(0, length));
    if (at == where.params.end()) continue;
    for (auto pos = at->second.rbegin(); pos != at->second.rend(); ++pos) {
      if (!dict_bound(l, *pos)) continue;
      ask = Ask::text_of(l.caller, arg_text(l, *pos) + text.substr(length), l.at);
      return Step{};
    }
  }
  if (keeps_text(kept_, l.names(), text)) return Step{Ref::name(program_.names.root(Text(text)))};
  // A return that nothing defines, read before the body writes it, reads the output it is
  // bound to.
  if (auto at = where.returns.find(text); at != where.returns.end()) {
    const std::uint32_t bound = bound_outputs(l);
    for (auto pos = at->second.rbegin(); pos != at->second.rend(); ++pos) {
      if (*pos >= bound) continue;
      if (l.kind == Level::Kind::Slot)
        return Step{Ref::name(program_.names.root(l.naming.output_text))};
      const Text output = l.kind == Level::Kind::Call ? l.op->outputs[*pos] : iteration_text(l);
      ask = Ask::text_of(l.caller, output.str(), l.at);
      return Step{};
    }
  }
  return Step{Ref::name(local(ask.level, Text(text)))};
}

Scopes::Step Scopes::step_arg(Ask& ask) {
  const Level& l = levels_[ask.level];
  const std::uint32_t k = ask.arg;
  if (k == l.args.special) return Step{l.args.special_ref};
  const Atom& atom = *source_arg(l, k);
  const Text* name = name_of(atom);
  if (!name) return Step{Ref::atom(atom)};
  if (l.kind == Level::Kind::Iteration && starred(name->view())) {
    ask = Ask::text_of(l.caller, arg_text(l, k), l.at);
    return Step{};
  }
  const Level& caller = levels_[l.caller];
  ask = Ask::name_of(l.caller, &caller.names().arg(l.at, k - l.args.shift), &atom, nullptr, l.at);
  return Step{};
}

// What the call binds parameter `param` of the level asked to: nothing (the read goes on
// at that level), a value (found), or the read of an argument in the caller (`ask` is
// changed to it, and the binding is kept when it is found).
std::optional<Scopes::Step> Scopes::bind(Ask& ask, std::uint32_t param) {
  Level& l = levels_[ask.level];
  if (seen(l, param, kBoundSeen)) {
    if (l.known.bound[param]) return Step{l.known.bound[param]};
    return std::nullopt;
  }
  l.known.bound[param] = Ref();
  if (param >= l.args.given) {
    // The last argument stands for this parameter as itself, a point and the parameter's
    // name; a number stands for nothing here.
    const auto last = static_cast<std::uint32_t>(l.op->args.size() + l.args.shift - 1);
    const Text& name = l.fn().params[param].name;
    if (last == l.args.special) {
      // A loop's threaded value has no fields: the text names what nothing defines.
      const NameId base = name_of_ref(l.args.special_ref);
      if (!base) return std::nullopt;
      l.known.bound[param] = Ref::name(program_.names.add(base, name));
      return Step{l.known.bound[param]};
    }
    if (!name_of(*source_arg(l, last))) return std::nullopt;
    // The last argument's text under its base, shared by every parameter it stands for.
    if (NameId base = dict_base(ask.level, last)) {
      levels_[ask.level].known.bound[param] = Ref::name(program_.names.add(base, name));
      return Step{levels_[ask.level].known.bound[param]};
    }
    std::string text = arg_text(l, last);
    text += '.';
    text += name.view();
    memos_.emplace_back(ask.level, param);
    ask = Ask::text_of(l.caller, std::move(text), l.at);
    return Step{};
  }
  if (param == l.args.special) {
    l.known.bound[param] = l.args.special_ref;
    return Step{l.args.special_ref};
  }
  if (!name_of(*source_arg(l, param))) {
    l.known.bound[param] = Ref::atom(*source_arg(l, param));  // a number stands for itself
    return Step{l.known.bound[param]};
  }
  if (l.fn().params[param].ty.dtype == kDictDtype) return std::nullopt;
  memos_.emplace_back(ask.level, param);
  ask = Ask::arg_of(ask.level, param);
  return Step{};
}

const Atom* Scopes::source_arg(const Level& level, std::uint32_t k) const {
  return &level.op->args[k - level.args.shift];
}

std::string Scopes::arg_text(const Level& level, std::uint32_t k) const {
  std::string_view name = name_of(*source_arg(level, k))->view();
  if (level.kind != Level::Kind::Iteration || !starred(name)) return std::string(name);
  std::string text(name.substr(0, name.size() - 1));
  text += level.args.digits;
  return text;
}

bool Scopes::dict_bound(const Level& level, std::uint32_t param) const {
  return param < level.args.given && param != level.args.special &&
         level.fn().params[param].ty.dtype == kDictDtype && name_of(*source_arg(level, param));
}

// The name of which a field of the argument at `param` is a point and the field (of a dict
// parameter there, or of the last argument for the parameters past it): the argument's
// text, as the levels around give it, each base found kept. kNoName where a
// level on the way has a write or a parameter with a point in its name, or the argument's
// first part is no dict there: then a field is read by its text.
NameId Scopes::dict_base(std::uint32_t level, std::uint32_t param) {
  // Out through the levels until a base is known, then back in, each base made from the
  // one around it and the rest of its argument's text.
  struct Way {
    std::uint32_t level, param;
    std::string rest;  // the argument's text after its first part
  };
  std::vector<Way> way;
  NameId base = kNoName;
  bool last_done = true;  // whether `base` is the last step's own, or the one's around it
  for (;;) {
    Level& l = levels_[level];
    if (seen(l, param, kBaseSeen)) {
      base = l.known.bases[param];
      last_done = false;
      break;
    }
    const Level& caller = levels_[l.caller];
    way.push_back({level, param, {}});
    if (caller.names().dotted) break;
    // No write or parameter of the caller has a point in its name, so a field of the
    // argument is its first part's field when that part is a dict parameter there.
    if (caller.kind == Level::Kind::Entry) {
      base = entry_name(l, param);
      break;
    }
    const std::string text = arg_text(l, param);
    const std::size_t point = text.find('.');
    const Positions& where = caller.names().where;
    auto at = where.params.find(std::string_view(text).substr(0, point));
    std::optional<std::uint32_t> outer;
    if (at != where.params.end())
      for (auto pos = at->second.rbegin(); pos != at->second.rend() && !outer; ++pos)
        if (dict_bound(caller, *pos)) outer = *pos;
    if (!outer) break;
    if (point != std::string::npos) way.back().rest = text.substr(point + 1);
    level = l.caller;
    param = *outer;
  }
  std::size_t i = way.size();
  if (last_done && i > 0) {
    --i;
    levels_[way[i].level].known.bases[way[i].param] = base;
  }
  while (i-- > 0) {
    if (base != kNoName && !way[i].rest.empty()) base = program_.names.add(base, Text(way[i].rest));
    levels_[way[i].level].known.bases[way[i].param] = base;
  }
  return base;
}

// The name of an argument that the entry passes, as it stands: one for each argument of the
// entry's operations, shared by every iteration and call that reads it; a starred one, the
// stem's name and the iteration's number.
NameId Scopes::entry_name(const Level& level, std::uint32_t k) {
  const Atom* atom = source_arg(level, k);
  const std::string_view text = name_of(*atom)->view();
  const bool star = level.kind == Level::Kind::Iteration && starred(text);
  auto [at, fresh] = entry_names_.try_emplace(atom, kNoName);
  if (fresh)
    at->second = star ? program_.names.root(Text(text.substr(0, text.size() - 2)))
                      : program_.names.root(*name_of(*atom));
  return star ? program_.names.add(at->second, Text(level.args.digits)) : at->second;
}

NameId Scopes::name_of_ref(Ref ref) {
  switch (ref.kind()) {
    case Ref::Kind::Value: return program_.values[ref.value_id()].first;
    case Ref::Kind::Name: return ref.name_id();
    case Ref::Kind::Atom:
      if (const Text* name = name_of(ref.atom())) return program_.names.root(*name);
      return kNoName;
    case Ref::Kind::None: break;
  }
  return kNoName;
}

// --- writing ---

std::uint32_t Scopes::bound_outputs(const Level& level) const {
  switch (level.kind) {
    case Level::Kind::Entry: return 0;
    case Level::Kind::Call: return levels_[level.caller].names().slot_count(level.at);
    default: return level.fn().returns.empty() ? 0 : 1;
  }
}

// Whether the write `s` of a level's function writes the call's output: the last write of a
// return bound to one.
bool Scopes::writes_output(const Level& level, const Slot& s) const {
  return level.kind != Level::Kind::Entry && s.ret != NameRef::kNone && s.last &&
         s.ret < bound_outputs(level);
}

Letters Scopes::write_letters(std::uint32_t level, std::uint32_t slot) {
  // Out through the calls whose outputs the write stands for, then back in: each write
  // takes its output's names, its own local name second where the output has none.
  std::vector<WayStep>& way = way_;
  way.clear();
  Letters out;
  for (;;) {
    const Level& l = levels_[level];
    const Slot& s = l.names().slots[slot];
    const Text& name = l.fn().ops[s.op].outputs[slot - l.names().first_slot[s.op]];
    if (!writes_output(l, s)) {
      out = {local(level, name), kNoName};
      break;
    }
    way.push_back({level, s.ret, &name});
    if (l.kind != Level::Kind::Call) {
      out = iteration_output(level);
      break;
    }
    if (seen(levels_[level], s.ret, kOutputSeen)) {
      out = l.known.outputs[s.ret];
      break;
    }
    slot = levels_[l.caller].names().first_slot[l.at] + s.ret;
    level = l.caller;
  }
  for (auto w = way.rbegin(); w != way.rend(); ++w) {
    Level& l = levels_[w->level];
    if (l.kind == Level::Kind::Call) l.known.outputs[w->ret] = out;
    if (out.second == kNoName) out.second = local(w->level, *w->name);
  }
  return out;
}

// The names of output `j` of the call that level `level` inlines.
Letters Scopes::output_letters(std::uint32_t level, std::uint32_t j) {
  const Level& l = levels_[level];
  if (l.kind != Level::Kind::Call) return iteration_output(level);
  if (seen(levels_[level], j, kOutputSeen)) return l.known.outputs[j];
  const Letters out = write_letters(l.caller, levels_[l.caller].names().first_slot[l.at] + j);
  levels_[level].known.outputs[j] = out;
  return out;
}

bool Scopes::loop_writes_return(std::uint32_t op) {
  const Level& l = top();
  return writes_output(l, l.names().slots[l.names().first_slot[op]]);
}

// "{x}_{number}".
static Text numbered_output(const Level& level) {
  std::string text(level.op->outputs[0].view());
  text += '_';
  append_uint(text, level.naming.number);
  return Text(text);
}

Text Scopes::iteration_text(const Level& level) const {
  return level.naming.writes_return ? level.op->outputs[0] : numbered_output(level);
}

// The names of an iteration's output, or of a slot body's.
Letters Scopes::iteration_output(std::uint32_t level) {
  Level& l = levels_[level];
  if (l.naming.output_made) return l.naming.output;
  Letters out;
  if (l.kind == Level::Kind::Slot) {
    out = {prefix_of(level), kNoName};
  } else {
    // Numbered, as the caller's local name; the caller's output first where the last
    // iteration writes its return.
    Text numbered = numbered_output(l);
    if (l.naming.writes_return) {
      const Level& loop = levels_[l.caller];
      const Slot& x = loop.names().slots[loop.names().first_slot[l.at]];
      const Letters chain = output_letters(l.caller, x.ret);
      out = {chain.first,
             chain.second != kNoName ? chain.second : local(l.caller, std::move(numbered))};
    } else {
      out = {local(l.caller, std::move(numbered)), kNoName};
    }
  }
  Level& again = levels_[level];
  again.naming.output = out;
  again.naming.output_made = true;
  return out;
}

}  // namespace vel::flat
