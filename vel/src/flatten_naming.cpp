#include "flatten_naming.hpp"

#include <algorithm>
#include <bit>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "vel/hash.hpp"
#include "vel/interrupt.hpp"
#include "vel/text.hpp"

namespace vel::flat {

namespace {

constexpr std::string_view kWeightPrefix = "weights.";

const Text* name_of(const Atom& atom) {
  const auto* name = std::get_if<Atom::Name>(&atom.value);
  return name ? &name->text : nullptr;
}

// The hashes of names, and of their directories: a name's text up to its last point, by
// which names that cannot be equal are told apart without being hashed whole. A parent's
// hash is made once, as the directory of the names under it.
class NameHashes {
 public:
  // The directory of a name without a point.
  static constexpr std::uint64_t kNoDir = 0x9e3779b97f4a7c15ull;

  explicit NameHashes(const Names& names) : names_(names) {}

  std::uint64_t of(NameId name) { return hash_text(names_.view(name, scratch_)); }

  std::uint64_t dir(NameId name) {
    const NameId parent = names_.parent(name);
    const std::string_view piece = names_.piece(name);
    const std::size_t point = piece.rfind('.');
    if (point == std::string_view::npos) return parent == kNoName ? kNoDir : whole(parent);
    if (parent == kNoName) return hash_text(piece.substr(0, point));
    std::string text(names_.view(parent, scratch_));
    text += '.';
    text += piece.substr(0, point);
    return hash_text(text);
  }

  static std::uint64_t dir(std::string_view text) {
    const std::size_t point = text.rfind('.');
    return point == std::string_view::npos ? kNoDir : hash_text(text.substr(0, point));
  }

 private:
  // The hash of a parent's own text; the last one asked for is at hand, since the names of
  // one call come one after the other.
  std::uint64_t whole(NameId name) {
    if (name != last_whole_) {
      last_whole_ = name;
      auto [at, fresh] = wholes_.try_emplace(name, 0);
      if (fresh) at->second = of(name);
      last_whole_hash_ = at->second;
    }
    return last_whole_hash_;
  }

  const Names& names_;
  std::string scratch_;
  std::unordered_map<NameId, std::uint64_t> wholes_;
  NameId last_whole_ = kNoName;
  std::uint64_t last_whole_hash_ = 0;
};

// A filter of hashes, one bit each: a hash that was never added is told apart at once.
class HashSet {
 public:
  HashSet() : bits_(std::size_t{1} << 14) {}  // 2^20 bits
  void add(std::uint64_t hash) { bits_[slot(hash)] |= bit(hash); }
  bool may_hold(std::uint64_t hash) const { return (bits_[slot(hash)] & bit(hash)) != 0; }

 private:
  std::size_t slot(std::uint64_t hash) const { return (hash >> 6) & (bits_.size() - 1); }
  static std::uint64_t bit(std::uint64_t hash) { return std::uint64_t{1} << (hash & 63); }
  std::vector<std::uint64_t> bits_;
};

// What stands under a name while the values are named in order: the last reading of what
// holds it now, and where a pinned value of that name is written (its operation, and the
// value, which tells its place among that operation's outputs).
struct Holder {
  NameId name = kNoName;
  std::uint32_t last = 0;
  std::uint32_t pinned = kEnd;
  ValueId pinned_value = 0;
  bool slot = false;  // a cache slot's name, whose final value has no operation to show it
};

class Namer {
 public:
  Namer(FlatProgram& program, const KeptNames& kept)
      : p_(program), kept_(kept), hashes_(program.names) {
    for (const FlatParam& param : p_.params) {
      params_.insert(param.param.name.view());
      if (param.param.ty.dtype == kDictDtype) dicts_.push_back(param.param.name.view());
    }
  }

  void run() {
    pin_returns();
    note_directories();
    hold_texts();
    unpin_captures();
    for (ValueId id = 0; id < p_.values.size(); ++id) {
      if ((id & 1023) == 0) poll_interrupt();
      name_value(id);
    }
  }

 private:
  // The final values of the cache slots and of the declared returns take those names: a
  // slot's first, since a declared return that reads the slot's value shows the slot's name.
  void pin_returns() {
    TextSet declared;
    for (std::size_t j = 0; j < p_.declared_returns; ++j)
      declared.insert(p_.returns[j].param.name.view());
    for (std::size_t j = p_.declared_returns; j < p_.returns.size(); ++j) {
      const FlatParam& slot = p_.returns[j];
      if (declared.contains(slot.param.name.view())) continue;
      if (slot.ref.is_value()) {
        pin(slot);
      } else {
        // The slot shows its value's own name; no returned value may show the slot's.
        const NameId name = p_.names.root(slot.param.name);
        value_dirs_.add(hashes_.dir(name));
        holder(name).slot = true;
      }
    }
    // A value that several declared returns read takes the name of the one it has already.
    for (std::size_t j = 0; j < p_.declared_returns; ++j) {
      const FlatParam& r = p_.returns[j];
      if (r.ref.is_value() &&
          p_.names.view(p_.values[r.ref.value_id()].first, scratch_) == r.param.name)
        pin(r);
    }
    for (std::size_t j = 0; j < p_.declared_returns; ++j) pin(p_.returns[j]);
  }

  void pin(const FlatParam& r) {
    if (!r.ref.is_value()) return;
    Value& v = p_.values[r.ref.value_id()];
    if (v.pinned) return;
    v.pinned = true;
    v.name = p_.names.root(r.param.name);
  }

  // The directories that some value may be named in, and where each pinned value is
  // written.
  void note_directories() {
    for (ValueId id = 0; id < p_.values.size(); ++id) {
      if ((id & 1023) == 0) poll_interrupt();
      const Value& v = p_.values[id];
      // A pinned value takes its letters where its pin is dropped.
      if (v.pinned) {
        value_dirs_.add(hashes_.dir(v.name));
        Holder& h = holder(v.name);
        h.pinned = v.def;
        h.pinned_value = id;
      }
      value_dirs_.add(hashes_.dir(v.first));
      if (v.second != kNoName) value_dirs_.add(hashes_.dir(v.second));
    }
  }

  // Every text the flat function reads that means something and that some value may be
  // named like, with its last reading: a text in a directory of no value's is passed by at
  // once. (BM_FlattenJson/10000's road, a million weight references: 1,230 ms holding
  // every text that means something, 256 ms holding those of the values' directories.)
  void hold_texts() {
    for (std::uint32_t op = 0; op < p_.ops.size(); ++op) {
      if ((op & 1023) == 0) poll_interrupt();
      const std::size_t first = p_.ops[op].args;
      for (std::size_t a = 0; a < p_.args_of(op); ++a) read_text(p_.args[first + a], op);
    }
    for (const FlatParam& r : p_.returns) read_text(r.ref, kEnd);
  }

  void read_text(Ref ref, std::uint32_t op) {
    NameId name;
    if (ref.kind() == Ref::Kind::Name) {
      name = ref.name_id();
      if (!value_dirs_.may_hold(hashes_.dir(name))) return;
    } else if (const Text* text = ref.kind() == Ref::Kind::Atom ? name_of(ref.atom()) : nullptr) {
      if (!value_dirs_.may_hold(NameHashes::dir(*text))) return;
      name = p_.names.root(*text);
    } else {
      return;
    }
    const bool renamed = ref.kind() == Ref::Kind::Name &&
                         std::binary_search(p_.renamed.begin(), p_.renamed.end(), name);
    if (!renamed && !means_something(p_.names.view(name, scratch_))) return;
    holder(name).last = op;
  }

  // A text means something where the flat function reads it: a parameter, a field of a
  // dict parameter, a configuration name or a dimension, a weight renamed. Any other is a
  // name the module reads where nothing defines it.
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
    for (Value& v : p_.values) {
      if (!v.pinned) continue;
      Holder* h = find(v.name);
      if (h->last > v.def) {
        v.pinned = false;
        h->pinned = kEnd;
      }
    }
  }

  bool free_for(ValueId id, NameId name) {
    const Value& v = p_.values[id];
    const Holder* h = find(name);
    if (!h) return true;
    if (h->last > v.def) return false;  // read after the value is written
    if (h->slot && v.last == kEnd) return false;
    // Written over while the value is read: by a later operation, or by a later output of
    // the value's own.
    const bool after = h->pinned > v.def || (h->pinned == v.def && h->pinned_value > id);
    return !(after && h->pinned < v.last);
  }

  void name_value(ValueId id) {
    Value& v = p_.values[id];
    if (!v.pinned) {
      if (free_for(id, v.first)) {
        v.name = v.first;
      } else if (v.second != kNoName && free_for(id, v.second)) {
        v.name = v.second;
      } else {
        v.name = fresh(v.second != kNoName ? v.second : v.first);
        return;  // no other value or text is named so
      }
    }
    // A value read only by the next operation cannot be written over while it is read,
    // unless a later output of its own operation is.
    const bool later_output = id + 1 < p_.values.size() && p_.values[id + 1].def == v.def;
    if (v.last > v.def + 1 || (later_output && v.last > v.def)) holder(v.name).last = v.last;
  }

  NameId fresh(NameId base) {
    if (!all_named_) name_all();
    const std::string stem(p_.names.view(base, scratch_));
    for (std::uint64_t n = 1;; ++n) {
      std::string name = stem + '_';
      append_uint(name, n);
      if (all_.insert(name).second) return p_.names.root(Text(name));
    }
  }

  // Every name the function may show: each value's letters, each text it reads, its
  // parameters and returns (a pin is one of these). A fresh name differs from all of them.
  void name_all() {
    all_named_ = true;
    auto add = [&](NameId name) {
      if (name != kNoName) all_.insert(std::string(p_.names.view(name, scratch_)));
    };
    for (std::size_t id = 0; id < p_.values.size(); ++id) {
      if ((id & 1023) == 0) poll_interrupt();
      const Value& v = p_.values[id];
      add(v.first);
      add(v.second);  // a pin is a return's name
    }
    for (const Ref& ref : p_.args) {
      if (ref.kind() == Ref::Kind::Name) add(ref.name_id());
      if (const Text* name = ref.kind() == Ref::Kind::Atom ? name_of(ref.atom()) : nullptr)
        all_.insert(name->str());
    }
    for (const FlatParam& p : p_.params) all_.insert(p.param.name.str());
    for (const FlatParam& r : p_.returns) {
      all_.insert(r.param.name.str());
      if (r.ref.kind() == Ref::Kind::Name) add(r.ref.name_id());
    }
  }

  // --- the holders, by the hashes of their names ---

  bool same(NameId a, NameId b) {
    if (a == b) return true;
    if (p_.names.json_size(a) != p_.names.json_size(b)) return false;
    std::string other;
    return p_.names.view(a, scratch_) == p_.names.view(b, other);
  }

  Holder* find(NameId name) { return find(name, hashes_.of(name)); }
  Holder* find(NameId name, std::uint64_t hash) {
    if (!holder_hashes_.may_hold(hash)) return nullptr;
    auto [first, last] = holders_.equal_range(hash);
    for (auto at = first; at != last; ++at)
      if (same(at->second.name, name)) return &at->second;
    return nullptr;
  }

  Holder& holder(NameId name) {
    const std::uint64_t hash = hashes_.of(name);
    if (Holder* h = find(name, hash)) return *h;
    holder_hashes_.add(hash);
    return holders_.emplace(hash, Holder{name})->second;
  }

  FlatProgram& p_;
  const KeptNames& kept_;
  NameHashes hashes_;
  HashSet value_dirs_;     // the directories of every name some value may take
  HashSet holder_hashes_;  // the hashes of every name that `holders_` holds
  TextSet params_;
  std::vector<std::string_view> dicts_;
  std::unordered_multimap<std::uint64_t, Holder> holders_;
  bool all_named_ = false;
  std::unordered_set<std::string, TextHash, std::equal_to<>> all_;
  std::string scratch_;
};

}  // namespace

void choose_names(FlatProgram& program, const KeptNames& kept) { Namer(program, kept).run(); }

void rename_weights(FlatProgram& program, const RenameWeight& rename) {
  std::string scratch;
  // A reference that reads a weight's text, as an argument or as a return that stands for
  // the weight itself; the incoming value of a listed slot is a value, whatever its name.
  auto rename_ref = [&](Ref& ref) {
    std::string_view text;
    if (ref.kind() == Ref::Kind::Name) {
      if (std::binary_search(program.incoming.begin(), program.incoming.end(), ref.name_id()))
        return;
      text = program.names.view(ref.name_id(), scratch);
    } else if (const Text* name = ref.kind() == Ref::Kind::Atom ? name_of(ref.atom()) : nullptr) {
      text = name->view();
    } else {
      return;
    }
    if (!text.starts_with(kWeightPrefix)) return;
    if (auto renamed = rename(text)) {
      ref = Ref::name(program.names.root(Text(*renamed)));
      program.renamed.push_back(ref.name_id());
    }
  };
  for (Ref& ref : program.args) rename_ref(ref);
  for (FlatParam& r : program.returns) rename_ref(r.ref);
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
