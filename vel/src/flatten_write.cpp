#include "flatten_write.hpp"

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

// The parameters and returns the flat function shows: every parameter; the declared
// returns under the names of what they read, then each cache slot's return that no
// declared return already shows, by its name or its value's.
struct Interface {
  std::vector<Param> params;
  std::vector<Param> returns;
};

Interface interface_of(const FlatProgram& program) {
  Interface out;
  for (const FlatParam& p : program.params) out.params.push_back(p.param);
  std::unordered_set<std::string> shown;
  for (std::size_t j = 0; j < program.returns.size(); ++j) {
    const FlatParam& r = program.returns[j];
    Param param = r.param;
    param.name = shown_name(program, r);
    if (j < program.declared_returns) {
      shown.insert(r.param.name.str());
      shown.insert(param.name.str());
    } else if (shown.contains(r.param.name.str()) || shown.contains(param.name.str())) {
      continue;
    }
    out.returns.push_back(std::move(param));
  }
  return out;
}

// A cache operation copied into an iteration, with the iteration's var.
const OpKind& kind_of(const FlatProgram& program, std::size_t op, std::size_t& next_var,
                      OpKind& scratch) {
  const Op& source = *program.ops[op].source;
  if (next_var == program.vars.size() || program.vars[next_var].first != op) return source.kind;
  scratch = source.kind;
  std::get<OpKind::Cache>(scratch.value).var = program.vars[next_var++].second;
  return scratch;
}

void write_name(std::string& out, const FlatProgram& program, Ref ref) {
  switch (ref.kind()) {
    case Ref::Kind::Value: program.names.write_json(out, program.values[ref.value_id()].name); break;
    case Ref::Kind::Name: program.names.write_json(out, ref.name_id()); break;
    default: serialize(out, ref.atom());
  }
}

void write_op(std::string& out, const FlatProgram& program, std::size_t op, const OpKind& kind) {
  const FlatOp& flat = program.ops[op];
  const Op& source = *flat.source;
  serialize_kind(out, kind);
  out.append(",\"outputs\":["sv);
  for (std::size_t m = 0; m < source.outputs.size(); ++m) {
    if (m) out += ',';
    program.names.write_json(out, program.values[flat.outputs + m].name);
  }
  out.append("],\"output_types\":"sv);
  serialize(out, source.output_types);
  out.append(",\"args\":["sv);
  for (std::size_t a = 0; a < source.args.size(); ++a) {
    if (a) out += ',';
    write_name(out, program, program.args[flat.args + a]);
  }
  out += ']';
  if (!source.comments.empty()) {
    out.append(",\"comments\":"sv);
    json::write_strings(out, source.comments);
  }
  out += '}';
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
  Function flat{entry.name, entry.comments, std::move(interface.params),
                std::move(interface.returns), {}};
  flat.ops.reserve(program.ops.size());
  RecordNames names(program);
  std::size_t next_var = 0;
  OpKind scratch;
  for (std::size_t op = 0; op < program.ops.size(); ++op) {
    poll_interrupt();
    const FlatOp& built = program.ops[op];
    const Op& source = *built.source;
    Op& copy = flat.ops.emplace_back();
    copy.kind = kind_of(program, op, next_var, scratch);
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
  const Interface interface = interface_of(program);
  std::string out;
  out += '{';
  if (!module.header_comments.empty()) {
    out.append("\"header_comments\":"sv);
    json::write_strings(out, module.header_comments);
    out += ',';
  }
  out.append("\"functions\":{"sv);
  json::write_string(out, key);
  out += ':';
  out.append("{\"name\":"sv);
  json::write_string(out, entry.name);
  if (!entry.comments.empty()) {
    out.append(",\"comments\":"sv);
    json::write_strings(out, entry.comments);
  }
  out.append(",\"params\":"sv);
  write_params(out, interface.params);
  out.append(",\"returns\":"sv);
  write_params(out, interface.returns);
  out.append(",\"ops\":["sv);
  const std::size_t ops_start = out.size();
  std::size_t next_var = 0;
  OpKind scratch;
  for (std::size_t op = 0; op < program.ops.size(); ++op) {
    poll_interrupt();
    if (op) out += ',';
    write_op(out, program, op, kind_of(program, op, next_var, scratch));
    if (out.size() - ops_start > max_flat_bytes()) stop_too_many_bytes();
  }
  out.append("]}}}"sv);
  return out;
}

}  // namespace vel::flat
