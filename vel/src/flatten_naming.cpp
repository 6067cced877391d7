#include "flatten_naming.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "vel/interrupt.hpp"
#include "vel/text.hpp"

namespace vel::flat {

namespace {

const Text* name_of(const Atom& atom) {
  const auto* name = std::get_if<Atom::Name>(&atom.value);
  return name ? &name->text : nullptr;
}

// What stands under a name while the values are named in order.
struct Holder {
  std::uint32_t last = 0;              // until when it is read: a text's last reading
  std::uint32_t pinned = kEnd;         // where a pinned value of that name is written
};

class Namer {
 public:
  Namer(FlatProgram& program, const KeptNames& kept) : p_(program), kept_(kept) {
    for (const FlatParam& param : p_.params) {
      params_.insert(param.param.name.view());
      if (param.param.ty.dtype == kDictDtype) dicts_.push_back(param.param.name.view());
    }
  }

  void run() {
    pin_returns();
    hold_texts();
    unpin_captures();
    for (ValueId id = 0; id < p_.values.size(); ++id) {
      if ((id & 1023) == 0) poll_interrupt();
      name_value(id);
    }
  }

 private:
  std::string_view text_of(NameId name, std::string& scratch) const {
    return p_.names.view(name, scratch);
  }

  // The final values of the cache slots and of the declared returns take those names: a
  // slot's first, since a declared return that reads the slot's value shows the slot's name.
  void pin_returns() {
    std::unordered_set<std::string_view> declared;
    for (std::size_t j = 0; j < p_.declared_returns; ++j)
      declared.insert(p_.returns[j].param.name.view());
    for (std::size_t j = p_.declared_returns; j < p_.returns.size(); ++j) {
      const FlatParam& r = p_.returns[j];
      if (!declared.contains(r.param.name.view())) pin(r, true);
    }
    // A value that several declared returns read takes the name of the one it has already.
    std::string scratch;
    for (std::size_t j = 0; j < p_.declared_returns; ++j) {
      const FlatParam& r = p_.returns[j];
      if (r.ref.is_value() && text_of(p_.values[r.ref.value_id()].first, scratch) == r.param.name)
        pin(r, false);
    }
    for (std::size_t j = 0; j < p_.declared_returns; ++j) pin(p_.returns[j], false);
  }

  void pin(const FlatParam& r, bool slot) {
    if (!r.ref.is_value()) return;
    Value& v = p_.values[r.ref.value_id()];
    if (v.pinned) return;
    v.pinned = true;
    v.name = p_.names.root(r.param.name);
    (void)slot;
  }

  // Every text that some value might be named like, with its last reading; and where each
  // pinned value is written.
  void hold_texts() {
    std::string scratch;
    auto note = [&](NameId name) {
      if (name != kNoName) candidates_.insert(std::string(text_of(name, scratch)));
    };
    for (const Value& v : p_.values) {
      if (v.pinned) {
        note(v.name);
        continue;
      }
      note(v.first);
      note(v.second);
    }
    for (std::uint32_t op = 0; op < p_.ops.size(); ++op) {
      if ((op & 1023) == 0) poll_interrupt();
      const std::size_t first = p_.ops[op].args;
      for (std::size_t a = 0; a < p_.args_of(op); ++a) read_text(p_.args[first + a], op, scratch);
    }
    for (const FlatParam& r : p_.returns) read_text(r.ref, kEnd, scratch);
    for (const Value& v : p_.values)
      if (v.pinned) holders_[std::string(text_of(v.name, scratch))].pinned = v.def;
  }

  void read_text(Ref ref, std::uint32_t op, std::string& scratch) {
    std::string_view text;
    if (ref.kind() == Ref::Kind::Name) {
      text = text_of(ref.name_id(), scratch);
    } else if (ref.kind() == Ref::Kind::Atom) {
      const Text* name = name_of(ref.atom());
      if (!name) return;
      text = name->view();
    } else {
      return;
    }
    if (!candidates_.contains(text)) return;
    const bool renamed = ref.kind() == Ref::Kind::Name &&
                         std::binary_search(p_.renamed.begin(), p_.renamed.end(), ref.name_id());
    if (!renamed && !means_something(text)) return;
    Holder& h = holders_[std::string(text)];
    h.last = op;
  }

  bool means_something(std::string_view text) const {
    if (params_.contains(text) || kept_.may_mean_itself(text)) return true;
    for (std::string_view dict : dicts_)
      if (text.size() > dict.size() && text.starts_with(dict) && text[dict.size()] == '.')
        return true;
    return false;
  }

  // A pinned value whose name a parameter still holds when it is written keeps its other
  // names: the parameter's value is read after it.
  void unpin_captures() {
    std::string scratch;
    for (Value& v : p_.values) {
      if (!v.pinned) continue;
      auto at = holders_.find(text_of(v.name, scratch));
      if (at->second.last > v.def) {
        v.pinned = false;
        at->second.pinned = kEnd;
      }
    }
  }

  bool free_for(const Value& v, NameId name, std::string& scratch) const {
    auto at = holders_.find(text_of(name, scratch));
    if (at == holders_.end()) return true;
    const Holder& h = at->second;
    if (h.last > v.def) return false;  // read after the value is written
    return !(h.pinned > v.def && h.pinned < v.last);  // written over while the value is read
  }

  void name_value(ValueId id) {
    Value& v = p_.values[id];
    std::string scratch;
    if (!v.pinned) {
      if (free_for(v, v.first, scratch)) {
        v.name = v.first;
      } else if (v.second != kNoName && free_for(v, v.second, scratch)) {
        v.name = v.second;
      } else {
        v.name = fresh(v.second != kNoName ? v.second : v.first);
      }
    }
    // A value read only by the next operation cannot be written over while it is read.
    if (v.last > v.def + 1 || v.pinned) {
      Holder& h = holders_[std::string(text_of(v.name, scratch))];
      h.last = v.last;
    }
  }

  NameId fresh(NameId base) {
    std::string scratch;
    if (!all_names_) collect_all_names();
    const std::string stem(text_of(base, scratch));
    for (std::uint64_t n = 1;; ++n) {
      std::string name = stem + '_';
      append_uint(name, n);
      if (all_.insert(name).second) return p_.names.root(Text(name));
    }
  }

  // Every name the function may show: a fresh name must differ from all of them.
  void collect_all_names() {
    all_names_ = true;
    std::string scratch;
    for (std::size_t n = 1; n < p_.names.size(); ++n)
      all_.insert(std::string(text_of(static_cast<NameId>(n), scratch)));
    for (const Ref& ref : p_.args)
      if (ref.kind() == Ref::Kind::Atom)
        if (const Text* name = name_of(ref.atom())) all_.insert(name->str());
    for (const FlatParam& p : p_.params) all_.insert(p.param.name.str());
    for (const FlatParam& r : p_.returns) all_.insert(r.param.name.str());
  }

  FlatProgram& p_;
  const KeptNames& kept_;
  std::unordered_set<std::string_view> params_;
  std::vector<std::string_view> dicts_;
  std::unordered_set<std::string, TextHash, std::equal_to<>> candidates_;
  std::unordered_map<std::string, Holder, TextHash, std::equal_to<>> holders_;
  bool all_names_ = false;
  std::unordered_set<std::string, TextHash, std::equal_to<>> all_;
};

}  // namespace

void choose_names(FlatProgram& program, const KeptNames& kept) { Namer(program, kept).run(); }

void rename_weights(FlatProgram& program, const RenameWeight& rename) {
  constexpr std::string_view kWeightPrefix = "weights.";
  std::string scratch;
  for (Ref& ref : program.args) {
    std::string_view text;
    if (ref.kind() == Ref::Kind::Name) {
      if (std::binary_search(program.incoming.begin(), program.incoming.end(), ref.name_id()))
        continue;
      text = program.names.view(ref.name_id(), scratch);
    } else if (const Text* name = ref.kind() == Ref::Kind::Atom ? name_of(ref.atom()) : nullptr) {
      text = name->view();
    } else {
      continue;
    }
    if (!text.starts_with(kWeightPrefix)) continue;
    if (auto renamed = rename(text)) {
      ref = Ref::name(program.names.root(Text(*renamed)));
      program.renamed.push_back(ref.name_id());
    }
  }
}

Text shown_name(const FlatProgram& program, const FlatParam& p) {
  switch (p.ref.kind()) {
    case Ref::Kind::Value: return program.names.text(program.values[p.ref.value_id()].name);
    case Ref::Kind::Name: return program.names.text(p.ref.name_id());
    case Ref::Kind::Atom:
      if (const Text* name = name_of(p.ref.atom())) return *name;
      return p.param.name;
    case Ref::Kind::None: break;
  }
  return p.param.name;
}

}  // namespace vel::flat
