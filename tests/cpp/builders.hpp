// Builders of syntax-tree records for the C++ tests: one short call per record, the
// fields in declaration order, the trailing ones defaulted to empty.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vel/ast.hpp"

namespace vel::test {

inline Dim concrete(std::int64_t n) { return Dim{Dim::Concrete{n}}; }
inline Dim named(std::string s) { return Dim{Dim::Named{std::move(s)}}; }

// Terse forms where a builder takes dims or arguments: 4 or "n" is a dim; 1, 1.5 or "x" an
// argument; a built Dim or Atom stands for itself.
struct D {
  Dim dim;
  D(Dim d) : dim(std::move(d)) {}
  D(int n) : dim{Dim::Concrete{n}} {}
  D(std::int64_t n) : dim{Dim::Concrete{n}} {}
  D(const char* s) : dim{Dim::Named{s}} {}
};
struct A {
  Atom atom;
  A(Atom a) : atom(std::move(a)) {}
  A(int n) : atom{Atom::Int{n}} {}
  A(double x) : atom{Atom::Float{x}} {}
  A(const char* s) : atom{Atom::Name{s}} {}
};

inline Shape dims(std::vector<D> ds) {
  Shape out;
  for (D& d : ds) out.push_back(std::move(d.dim));
  return out;
}
inline Args atoms(std::vector<A> as) {
  Args out;
  for (A& a : as) out.push_back(std::move(a.atom));
  return out;
}

inline TensorType type(std::string dtype, std::vector<D> shape = {}) {
  return TensorType{std::move(dtype), dims(std::move(shape))};
}
inline TensorType dict() { return type(std::string(kDictDtype)); }

inline Atom int_atom(std::int64_t v) { return Atom{Atom::Int{v}}; }
inline Atom float_atom(double v) { return Atom{Atom::Float{v}}; }
inline Atom name_atom(std::string s) { return Atom{Atom::Name{std::move(s)}}; }

inline LiteralValue lit_int(std::int64_t v) { return LiteralValue{LiteralValue::Int{v}}; }
inline LiteralValue lit_float(double v) { return LiteralValue{LiteralValue::Float{v}}; }
inline LiteralValue lit_list(std::vector<LiteralValue> items) {
  return LiteralValue{LiteralValue::List{std::move(items)}};
}

inline Axes axes(std::vector<std::pair<std::string, std::int64_t>> pairs) {
  return Axes::from_pairs(std::move(pairs));
}
inline LoopCount count(std::uint64_t n) { return LoopCount{LoopCount::Concrete{n}}; }
inline LoopCount count(std::string name) { return LoopCount{LoopCount::Named{std::move(name)}}; }

// The kinds whose fields are all names or counts.
inline OpKind iota() { return OpKind{OpKind::Iota{}}; }
inline OpKind map(std::string function) { return OpKind{OpKind::Map{std::move(function)}}; }
inline OpKind call(std::string target) { return OpKind{OpKind::Call{std::move(target)}}; }
inline OpKind loop(std::string target, LoopCount n) {
  return OpKind{OpKind::Loop{std::move(target), std::move(n)}};
}
inline OpKind cache(std::string var, std::string init, std::optional<std::string> extend = {}) {
  return OpKind{OpKind::Cache{std::move(var), std::move(init), std::move(extend)}};
}

using Types = OutputTypes;

inline Op op(OpKind kind, Outputs outputs, Types types = {}, std::vector<A> args = {},
             std::vector<Text> comments = {}) {
  return Op{std::move(kind), std::move(outputs), std::move(types), atoms(std::move(args)),
            std::move(comments)};
}
// One output with one declared type (or none).
inline Op op1(OpKind kind, std::string output, std::optional<TensorType> type,
              std::vector<A> args = {}) {
  return op(std::move(kind), {std::move(output)}, {std::move(type)}, std::move(args));
}

inline Function fn(std::string name, std::vector<Param> params = {},
                   std::vector<Param> returns = {}, std::vector<Op> ops = {},
                   std::vector<Text> comments = {}) {
  return Function{std::move(name), std::move(comments), std::move(params), std::move(returns),
                  std::move(ops)};
}

// Each function under the key given with it, in order; a key given again takes the later
// function.
inline Module module_keyed(std::vector<std::pair<std::string, Function>> functions) {
  Module m;
  for (auto& [key, f] : functions) m.functions.store(std::move(key), std::move(f));
  return m;
}

// Each function under its own name.
inline Module module_of(std::vector<Function> functions, std::vector<Text> header = {}) {
  Module m;
  m.header_comments = std::move(header);
  for (Function& f : functions) {
    std::string key = f.name.str();
    m.functions.store(std::move(key), std::move(f));
  }
  return m;
}

}  // namespace vel::test
