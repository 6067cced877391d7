#include "flatten_write.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "flatten_naming.hpp"
#include "flatten_plan.hpp"
#include "vel/ast_json.hpp"
#include "vel/interrupt.hpp"
#include "vel/json.hpp"

namespace vel::flat {

namespace {

using namespace std::string_view_literals;

// A text of many megabytes takes its memory in huge pages where the system has them: far
// fewer faults as it is first written, and fewer pages to unmap when it goes. (The road of
// bench_flatten's BM_FlattenJson/10000, 192 MB of text: 377 ms without, 256 ms with.)
void advise_huge_pages(std::string& out) {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  const auto begin = reinterpret_cast<std::uintptr_t>(out.data());
  const std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t last = (begin + out.capacity()) & ~(kHuge - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)out;
#endif
}

// The parameters and returns the flat function shows: every parameter; the declared
// returns under the names of what they read, then each cache slot's return, unless a
// declared return has the slot's name or shows the name that the slot's value shows.
struct Interface {
  std::vector<Param> params;
  std::vector<Param> returns;
};

Interface interface_of(const FlatProgram& program) {
  Interface out;
  for (const FlatParam& p : program.params) out.params.push_back(p.param);
  std::unordered_set<std::string, TextHash, std::equal_to<>> declared, shown;
  for (std::size_t j = 0; j < program.returns.size(); ++j) {
    const FlatParam& r = program.returns[j];
    Param param = r.param;
    param.name = shown_name(program, r);
    if (j < program.declared_returns) {
      declared.insert(r.param.name.str());
      shown.insert(param.name.str());
    } else if (declared.contains(r.param.name.view()) || shown.contains(param.name.view())) {
      continue;
    }
    out.returns.push_back(std::move(param));
  }
  return out;
}

// A cache operation copied into an iteration, with the iteration's var; nothing for any
// other operation.
const OpKind* kind_of(const FlatProgram& program, std::size_t op, std::size_t& next_var,
                      OpKind& scratch) {
  if (next_var == program.vars.size() || program.vars[next_var].first != op) return nullptr;
  scratch = program.ops[op].source().kind;
  std::get<OpKind::Cache>(scratch.value).var = program.vars[next_var++].second;
  return &scratch;
}

// The names of the flat function as JSON strings. The prefix of a name under a parent is
// written once and kept while names under it follow, as the locals of one call, or the
// fields of one weight, mostly do. (BM_FlattenJson/10000's road: 296 ms without, 256 ms
// with.)
class NameWriter {
 public:
  explicit NameWriter(const FlatProgram& program) : program_(program) {}

  void write(std::string& out, NameId name) {
    const Names& names = program_.names;
    out += '"';
    if (const NameId parent = names.parent(name); parent != kNoName) {
      out += prefix(parent);
      out += '.';
    }
    json::write_string_body(out, names.piece(name));
    out += '"';
  }
  void write(std::string& out, Ref ref) {
    switch (ref.kind()) {
      case Ref::Kind::Value: return write(out, program_.values[ref.value_id()].name);
      case Ref::Kind::Name: return write(out, ref.name_id());
      default: serialize(out, ref.atom());
    }
  }
  // Its length as written, quotes included.
  std::uint64_t size(Ref ref) const {
    switch (ref.kind()) {
      case Ref::Kind::Value:
        return program_.names.json_size(program_.values[ref.value_id()].name) + 2;
      case Ref::Kind::Name: return program_.names.json_size(ref.name_id()) + 2;
      default:
        if (const auto* name = std::get_if<Atom::Name>(&ref.atom().value))
          return json::string_body_size(name->text) + 2;
        std::string number;  // a number a parameter stands for
        serialize(number, ref.atom());
        return number.size();
    }
  }

 private:
  const std::string& prefix(NameId parent) {
    Cached& cached = cache_[parent % kCached];
    if (cached.name != parent) {
      cached.name = parent;
      cached.text.clear();
      program_.names.write_json(cached.text, parent);
      cached.text.erase(0, 1);
      cached.text.pop_back();
    }
    return cached.text;
  }

  static constexpr std::size_t kCached = 64;
  struct Cached {
    NameId name = kNoName;
    std::string text;
  };
  const FlatProgram& program_;
  Cached cache_[kCached];
};

// An operation from its text, its names put in where they go; one whose var an iteration
// made its own from its record. (BM_FlattenJson/10000's road: 331 ms from the records,
// 256 ms from the texts.)
void write_op(std::string& out, const FlatProgram& program, std::size_t op, const OpKind* kind,
              NameWriter& names) {
  const FlatOp& flat = program.ops[op];
  const Op& source = flat.source();
  if (kind) {
    serialize_kind(out, *kind);
    out.append(",\"outputs\":["sv);
    for (std::size_t m = 0; m < source.outputs.size(); ++m) {
      if (m) out += ',';
      names.write(out, program.values[flat.outputs + m].name);
    }
    out.append("],\"output_types\":"sv);
    serialize(out, source.output_types);
    out.append(",\"args\":["sv);
    for (std::size_t a = 0; a < source.args.size(); ++a) {
      if (a) out += ',';
      names.write(out, program.args[flat.args + a]);
    }
    out += ']';
    if (!source.comments.empty()) {
      out.append(",\"comments\":"sv);
      json::write_strings(out, source.comments);
    }
    out += '}';
    return;
  }
  const std::string_view text = flat.text->text;
  std::size_t from = 0, slot = 0;
  auto put = [&](Ref ref) {
    const std::size_t at = flat.text->names[slot++];
    out.append(text.substr(from, at - from));
    names.write(out, ref);
    from = at;
  };
  for (std::size_t m = 0; m < source.outputs.size(); ++m)
    put(Ref::value(flat.outputs + static_cast<ValueId>(m)));
  for (std::size_t a = 0; a < source.args.size(); ++a)
    if (std::holds_alternative<Atom::Name>(source.args[a].value)) put(program.args[flat.args + a]);
  out.append(text.substr(from));
}

template <class List>
void write_params(std::string& out, const List& params) {
  out += '[';
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (i) out += ',';
    serialize(out, params[i]);
  }
  out += ']';
}

// The record of a name as it stands in the flat function: the value's name, made once.
class RecordNames {
 public:
  explicit RecordNames(const FlatProgram& program)
      : program_(program), values_(program.values.size()) {}

  Text value(ValueId id) {
    Text& text = values_[id];
    if (text.empty()) text = program_.names.text(program_.values[id].name);
    return text;
  }
  Atom arg(Ref ref) {
    switch (ref.kind()) {
      case Ref::Kind::Value: return Atom{Atom::Name{value(ref.value_id())}};
      case Ref::Kind::Name: return Atom{Atom::Name{program_.names.text(ref.name_id())}};
      default: return ref.atom();
    }
  }

 private:
  const FlatProgram& program_;
  std::vector<Text> values_;
};

}  // namespace

Module to_module(const FlatProgram& program, const Module& module, std::string_view key,
                 const Function& entry) {
  Interface interface = interface_of(program);
  Function flat{
      entry.name, entry.comments, std::move(interface.params), std::move(interface.returns), {}};
  flat.ops.reserve(program.ops.size());
  RecordNames names(program);
  std::size_t next_var = 0;
  OpKind scratch;
  for (std::size_t op = 0; op < program.ops.size(); ++op) {
    poll_interrupt();
    const FlatOp& built = program.ops[op];
    const Op& source = built.source();
    Op& copy = flat.ops.emplace_back();
    const OpKind* kind = kind_of(program, op, next_var, scratch);
    copy.kind = kind ? *kind : source.kind;
    copy.output_types = source.output_types;
    copy.comments = source.comments;
    copy.outputs.reserve(source.outputs.size());
    for (std::size_t m = 0; m < source.outputs.size(); ++m)
      copy.outputs.push_back(names.value(built.outputs + static_cast<ValueId>(m)));
    copy.args.reserve(source.args.size());
    for (std::size_t a = 0; a < source.args.size(); ++a)
      copy.args.push_back(names.arg(program.args[built.args + a]));
  }
  Module out{module.header_comments, {}};
  out.functions.store(Text(key), std::move(flat));
  return out;
}

std::string to_json(const FlatProgram& program, const Module& module, std::string_view key,
                    const Function& entry) {
  std::string head;  // all but the operations
  head += '{';
  if (!module.header_comments.empty()) {
    head.append("\"header_comments\":"sv);
    json::write_strings(head, module.header_comments);
    head += ',';
  }
  head.append("\"functions\":{"sv);
  json::write_string(head, key);
  head += ':';
  head.append("{\"name\":"sv);
  json::write_string(head, entry.name);
  if (!entry.comments.empty()) {
    head.append(",\"comments\":"sv);
    json::write_strings(head, entry.comments);
  }
  {
    const Interface interface = interface_of(program);
    head.append(",\"params\":"sv);
    write_params(head, interface.params);
    head.append(",\"returns\":"sv);
    write_params(head, interface.returns);
  }
  head.append(",\"ops\":["sv);
  constexpr std::string_view kTail = "]}}}";
  std::string out;
  // Sized once, so that a text of many megabytes is never copied while it grows; only
  // names made afresh can make it longer.
  out.reserve(head.size() + program.json_bytes + program.ops.size() + kTail.size());
  advise_huge_pages(out);
  out += head;
  NameWriter names(program);
  std::size_t next_var = 0;
  OpKind scratch;
  for (std::size_t op = 0; op < program.ops.size(); ++op) {
    poll_interrupt();
    if (op) out += ',';
    write_op(out, program, op, kind_of(program, op, next_var, scratch), names);
  }
  // Names made afresh are longer than the names the bound counted.
  if (out.size() - head.size() > max_flat_bytes()) stop_too_many_bytes();
  out.append(kTail);
  return out;
}

}  // namespace vel::flat
