#include "flatten_scope.hpp"

#include <algorithm>
#include <variant>

namespace vel::flat {

namespace {

// The bits of `Level::seen`, each for one of its lists looked up once.
constexpr std::uint8_t kBoundSeen = 1, kBaseSeen = 2, kOutputSeen = 4;

constexpr std::string_view kStarSuffix = ".*";

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
  level.shift = 0;
  level.special = Level::kNone;
  level.special_ref = Ref();
  level.given = 0;
  level.digits.clear();
  level.prefix = kNoName;
  level.output = Letters{};
  level.output_text = Text();
  level.next = 0;
  level.iteration = 0;
  level.current = Ref();
  level.numbers.clear();
  level.stamp = ++stamps_;
  return level;
}

Level& Scopes::push_entry(const Plan& plan) {
  depth_ = 0;
  Level& level = fresh_level();
  level.plan = &plan;
  level.kind = Level::Kind::Entry;
  level.vals.assign(plan.names.slots.size(), Ref());
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
  level.vals.assign(plan.names.slots.size(), Ref());
  const std::size_t params = plan.fn->params.size(), returns = plan.fn->returns.size();
  if (level.bound.size() < params) {
    level.bound.resize(params);
    level.bases.resize(params);
  }
  if (level.outputs.size() < returns) level.outputs.resize(returns);
  if (level.seen.size() < std::max(params, returns)) level.seen.resize(std::max(params, returns));
  return level;
}

// Whether `what` of entry `i` is looked up already; from now on it counts as such.
bool Scopes::seen(Level& level, std::size_t i, std::uint8_t what) {
  Level::Seen& seen = level.seen[i];
  if (seen.stamp != level.stamp) seen = Level::Seen{level.stamp, 0};
  const bool was = (seen.what & what) != 0;
  seen.what |= what;
  return was;
}

void Scopes::bind(Level& level) {
  const std::size_t u = level.op->args.size() + level.shift, t = level.fn().params.size();
  level.given = static_cast<std::uint32_t>(u < t ? u - 1 : u);
}

NameId Scopes::local(const Level& level, Text piece) {
  if (level.kind == Level::Kind::Entry) return program_.names.root(std::move(piece));
  return program_.names.add(level.prefix, std::move(piece));
}

const Level* Scopes::innermost_iteration() const {
  for (std::size_t i = depth_; i-- > 0;) {
    if (levels_[i].kind == Level::Kind::Iteration) return &levels_[i];
    if (levels_[i].kind == Level::Kind::Slot) return nullptr;
  }
  return nullptr;
}

// --- reading ---

Ref Scopes::read_arg(std::size_t op, std::size_t k) {
  const std::uint32_t level = top_index();
  const Level& top = levels_[level];
  const Atom& atom = top.fn().ops[op].args[k];
  if (!name_of(atom)) return Ref::atom(atom);
  return read_ref(level, top.names().arg(op, k), atom, static_cast<std::uint32_t>(op));
}

Ref Scopes::read_return(std::uint32_t level, std::size_t j) {
  const Level& l = levels_[level];
  const auto end = static_cast<std::uint32_t>(l.fn().ops.size());
  return read_name(level, l.names().returns[j], l.fn().returns[j].name, end);
}

Ref Scopes::read_ref(std::uint32_t level, const NameRef& ref, const Atom& atom, std::uint32_t op) {
  const Level& l = levels_[level];
  if (ref.slot != NameRef::kNone) {
    if (Ref value = l.vals[ref.slot]) return value;
    // A cache operation gives only its first output a value.
    return read_ref(level, l.names().slots[ref.slot].before, atom, op);
  }
  if (l.kind == Level::Kind::Entry) return Ref::atom(atom);
  return read_outer(level, ref, name_of(atom)->view(), [&] { return Ref::atom(atom); }, op);
}

Ref Scopes::read_name(std::uint32_t level, const NameRef& ref, const Text& name,
                      std::uint32_t op) {
  const Level& l = levels_[level];
  if (ref.slot != NameRef::kNone) {
    if (Ref value = l.vals[ref.slot]) return value;
    return read_name(level, l.names().slots[ref.slot].before, name, op);
  }
  if (l.kind == Level::Kind::Entry) return Ref::name(program_.names.root(name));
  return read_outer(level, ref, name.view(), [&] { return Ref::name(program_.names.root(name)); },
                    op);
}

template <class Kept>
Ref Scopes::read_outer(std::uint32_t level, const NameRef& ref, std::string_view name,
                       Kept kept, std::uint32_t op) {
  if (!ref.plain) return read_text(level, name, op);
  if (ref.param != NameRef::kNone)
    if (Ref bound = binding(level, ref.param)) return bound;
  const Level& l = levels_[level];
  if (ref.dict != NameRef::kNone && dict_bound(l, ref.dict)) {
    if (ref.rest.empty()) return read_caller_arg(level, ref.dict);
    if (NameId base = dict_base(level, ref.dict))
      return Ref::name(program_.names.add(base, ref.rest));
    std::string text = arg_text(l, ref.dict);
    text += '.';
    text += ref.rest.view();
    return read_text(l.caller, text, l.at);
  }
  if (ref.kept) return kept();
  return Ref::name(program_.names.add(l.prefix, Text(name)));
}

Ref Scopes::read_text(std::uint32_t level, std::string_view name, std::uint32_t op) {
  std::string text(name);
  for (;;) {
    const Level& l = levels_[level];
    if (auto writes = l.names().writes.find(text); writes != l.names().writes.end())
      for (auto slot = writes->second.rbegin(); slot != writes->second.rend(); ++slot)
        if (l.names().slots[*slot].op < op && l.vals[*slot]) return l.vals[*slot];
    if (l.kind == Level::Kind::Entry) return Ref::name(program_.names.root(Text(text)));
    if (Ref bound = look_up_binding(level, text)) return bound;
    // A dict parameter, or a field of one, the longest name first: the argument's.
    bool moved = false;
    for (const std::size_t length : l.names().where.dict_lengths) {
      if (length > text.size() || (length < text.size() && text[length] != '.')) continue;
      auto at = l.names().where.params.find(std::string_view(text).substr(0, length));
      if (at == l.names().where.params.end()) continue;
      for (auto pos = at->second.rbegin(); pos != at->second.rend() && !moved; ++pos) {
        if (!dict_bound(l, *pos)) continue;
        text = arg_text(l, *pos) + text.substr(length);
        op = l.at;
        level = l.caller;
        moved = true;
      }
      if (moved) break;
    }
    if (moved) continue;
    if (keeps_text(kept_, l.names(), text)) return Ref::name(program_.names.root(Text(text)));
    if (Ref output = read_unwritten_return(level, text)) return output;
    return Ref::name(program_.names.add(l.prefix, Text(text)));
  }
}

Ref Scopes::look_up_binding(std::uint32_t level, std::string_view name) {
  const Positions& where = levels_[level].names().where;
  if (auto at = where.params.find(name); at != where.params.end())
    for (auto pos = at->second.rbegin(); pos != at->second.rend(); ++pos)
      if (Ref bound = binding(level, *pos)) return bound;
  return Ref();
}

Ref Scopes::read_unwritten_return(std::uint32_t level, std::string_view name) {
  const Level& l = levels_[level];
  const Positions& where = l.names().where;
  // A return that nothing defines, read before the body writes it, reads the output it is
  // bound to.
  if (auto at = where.returns.find(name); at != where.returns.end()) {
    const std::uint32_t bound = bound_outputs(l);
    for (auto pos = at->second.rbegin(); pos != at->second.rend(); ++pos) {
      if (*pos >= bound) continue;
      switch (l.kind) {
        case Level::Kind::Call: return read_text(l.caller, l.op->outputs[*pos].view(), l.at);
        case Level::Kind::Iteration: return read_text(l.caller, l.output_text.view(), l.at);
        default: return Ref::name(program_.names.root(l.output_text));
      }
    }
  }
  return Ref();
}

const Atom* Scopes::source_arg(const Level& level, std::uint32_t k) const {
  return &level.op->args[k - level.shift];
}

std::string Scopes::arg_text(const Level& level, std::uint32_t k) const {
  std::string_view name = name_of(*source_arg(level, k))->view();
  if (level.kind != Level::Kind::Iteration || !starred(name)) return std::string(name);
  std::string text(name.substr(0, name.size() - 1));
  text += level.digits;
  return text;
}

Ref Scopes::read_caller_arg(std::uint32_t level, std::uint32_t k) {
  const Level& l = levels_[level];
  if (k == l.special) return l.special_ref;
  const Atom& atom = *source_arg(l, k);
  const Text* name = name_of(atom);
  if (!name) return Ref::atom(atom);
  if (l.kind == Level::Kind::Iteration && starred(name->view()))
    return read_text(l.caller, arg_text(l, k), l.at);
  const Level& caller = levels_[l.caller];
  return read_ref(l.caller, caller.names().arg(l.at, k - l.shift), atom, l.at);
}

bool Scopes::dict_bound(const Level& level, std::uint32_t param) const {
  return param < level.given && param != level.special &&
         level.fn().params[param].ty.dtype == kDictDtype && name_of(*source_arg(level, param));
}

Ref Scopes::binding(std::uint32_t level, std::uint32_t param) {
  Level& l = levels_[level];
  if (seen(l, param, kBoundSeen)) return l.bound[param];
  Ref out;
  if (param >= l.given) {
    // The last argument stands for this parameter as itself, a point and the parameter's
    // name; a number, or an argument of the inlining's own, stands for nothing here.
    const auto last = static_cast<std::uint32_t>(l.op->args.size() + l.shift - 1);
    const Text& name = l.fn().params[param].name;
    if (last == l.special) {
      // A loop's threaded value has no fields: the text names what nothing defines.
      if (NameId base = name_of_ref(l.special_ref)) out = Ref::name(program_.names.add(base, name));
    } else if (name_of(*source_arg(l, last))) {
      std::string text = arg_text(l, last);
      text += '.';
      text += name.view();
      out = read_text(l.caller, text, l.at);
    }
  } else if (param == l.special) {
    out = l.special_ref;
  } else if (!name_of(*source_arg(l, param))) {
    out = Ref::atom(*source_arg(l, param));  // a number stands for itself
  } else if (l.fn().params[param].ty.dtype != kDictDtype) {
    out = read_caller_arg(level, param);
  }
  levels_[level].bound[param] = out;
  return out;
}

NameId Scopes::dict_base(std::uint32_t level, std::uint32_t param) {
  Level& l = levels_[level];
  if (seen(l, param, kBaseSeen)) return l.bases[param];
  NameId base = kNoName;
  const Level& caller = levels_[l.caller];
  const std::string text = arg_text(l, param);
  if (!caller.names().dotted) {
    // No write or parameter of the caller has a point in its name, so a field of the
    // argument is its first part's field when that part is a dict parameter there.
    if (caller.kind == Level::Kind::Entry) {
      base = program_.names.root(Text(text));
    } else {
      const std::size_t point = text.find('.');
      const std::string_view first = std::string_view(text).substr(0, point);
      const Positions& where = caller.names().where;
      if (auto at = where.params.find(first); at != where.params.end()) {
        for (auto pos = at->second.rbegin(); pos != at->second.rend(); ++pos) {
          if (!dict_bound(caller, *pos)) continue;
          if (NameId outer = dict_base(l.caller, *pos))
            base = point == std::string::npos
                       ? outer
                       : program_.names.add(outer, Text(std::string_view(text).substr(point + 1)));
          break;
        }
      }
    }
  }
  levels_[level].bases[param] = base;
  return base;
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

Letters Scopes::write_letters(std::uint32_t level, std::uint32_t slot) {
  const Level& l = levels_[level];
  const Slot& s = l.names().slots[slot];
  const Text& name = l.fn().ops[s.op].outputs[slot - l.names().first_slot[s.op]];
  if (l.kind == Level::Kind::Entry) return {program_.names.root(name), kNoName};
  if (s.ret != NameRef::kNone && s.last && s.ret < bound_outputs(l)) {
    const Letters out = output_letters(level, s.ret);
    return {out.first, out.second != kNoName ? out.second : local(levels_[level], name)};
  }
  return {local(l, name), kNoName};
}

Letters Scopes::output_letters(std::uint32_t level, std::uint32_t j) {
  Level& l = levels_[level];
  if (l.kind != Level::Kind::Call) return l.output;
  if (seen(l, j, kOutputSeen)) return l.outputs[j];
  const Letters out =
      write_letters(l.caller, levels_[l.caller].names().first_slot[l.at] + j);
  levels_[level].outputs[j] = out;
  return out;
}

Letters Scopes::iteration_output(const Text& numbered, std::uint32_t op, bool last) {
  const std::uint32_t level = top_index();
  const Level& l = levels_[level];
  const Slot& x = l.names().slots[l.names().first_slot[op]];
  if (last && x.ret != NameRef::kNone && x.last && x.ret < bound_outputs(l)) {
    const Letters out = output_letters(level, x.ret);
    return {out.first, out.second != kNoName ? out.second : local(levels_[level], numbered)};
  }
  return {local(l, numbered), kNoName};
}

}  // namespace vel::flat
