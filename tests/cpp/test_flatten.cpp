// Names in inlined bodies, call inlining and loop unrolling.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "vel/ast_json.hpp"
#include "vel/flatten.hpp"
#include "vel/fmt.hpp"
#include "vel/parse.hpp"

using namespace vel;

namespace {

// Modules are written as vel source and flat modules compared as canonical text, so an
// expected module need not be aligned by hand.
std::string canonical(std::string_view source) { return format_vel(parse(source), 100); }

std::string flat_text(std::string_view source) {
  const Module module = parse(source);
  const Module flat = flatten(module, "main", {});
  // The text written without the records is the records' text.
  EXPECT_EQ(flatten_to_json(module, "main", {}), module_to_json(flat));
  return format_vel(flat, 100);
}

struct Case {
  const char* what;
  const char* source;
  const char* expected;
};

void expect_flat(const Case& c) {
  SCOPED_TRACE(c.what);
  EXPECT_EQ(flat_text(c.source), canonical(c.expected));
}

TEST(Flatten, NamesTwoCallsDeep) {
  expect_flat({"worked example", R"(
main(h: f32[4], weights: *) -> (blk: f32[4]) {
  blk = call[layer](h, weights.l0)
}
layer(x: f32[4], w: *) -> (y: f32[4]) {
  t = map[exp](x)
  a = call[attn](t)
  y = map[mul](a, w.q)
}
attn(x: f32[4]) -> (o: f32[4]) {
  q = map[neg](x)
  o = map[exp](q)
}
)",
               R"(
main(h: f32[4], weights: *) -> (blk: f32[4]) {
  blk.t = map[exp](h)
  blk.a.q = map[neg](blk.t)
  blk.a = map[exp](blk.a.q)
  blk = map[mul](blk.a, weights.l0.q)
}
)"});
}

// One call `o = call[g](args)` of a callee `g(params) -> (r)` whose body is the single
// operation `r = map[f](uses)`; the flat function holds it with its arguments rewritten.
struct CallCase {
  const char* params;
  const char* uses;
  const char* args;
  const char* expected;
};

TEST(Flatten, BindingOfOneCall) {
  const char* abc = "a: f32[4], b: f32[4], c: f32[4]";
  const char* dict = "x: f32[4], w: *";
  const char* dict_uses = "x, w, w.q, w.a.b, wq";
  const CallCase cases[] = {
      {abc, "a, b, c", "x, y, z", "x, y, z"},
      // The last argument stands for its own parameter and every later one.
      {abc, "a, b, c", "x, y", "x, y.b, y.c"},
      {abc, "a, b, c", "x", "x.a, x.b, x.c"},
      // A number given for a parameter stands for it; as the last of too few arguments it
      // stands for none of the parameters from its own on.
      {abc, "a, b, c", "x, 2", "x, o.b, o.c"},
      {abc, "a, b, c", "2, 1.5, z", "2, 1.5, z"},
      {abc, "a, b, c", "1", "o.a, o.b, o.c"},
      // A dict parameter bound by position also turns its dotted names into the argument's.
      {dict, dict_uses, "x, weights.l0", "x, weights.l0, weights.l0.q, weights.l0.a.b, o.wq"},
      {dict, dict_uses, "x, 3", "x, 3, o.w.q, o.w.a.b, o.wq"},
      // Bound through the last argument, a dict parameter is bound as a whole only.
      {dict, dict_uses, "weights", "weights.x, weights.w, o.w.q, o.w.a.b, o.wq"},
      // Of two dict parameters that match, the longer name decides.
      {"w: *, w.a: *", "w, w.a, w.a.b, w.c, w.ab", "weights.p, weights.q",
       "weights.p, weights.q, weights.q.b, weights.p.c, weights.p.ab"},
      // A name no rule binds gets the prefix, points and all.
      {abc, "a, b.c, d.e.f", "x, y, z", "x, o.b.c, o.d.e.f"},
  };
  const std::string head = "main(x: f32[4], y: f32[4], z: f32[4], weights: *) -> (o: f32[4]) {\n";
  for (const CallCase& c : cases) {
    SCOPED_TRACE(std::string(c.params) + " <- " + c.args);
    std::string source = head + "  o = call[g](" + c.args + ")\n}\ng(" + c.params +
                         ") -> (r: f32[4]) {\n  r = map[f](" + c.uses + ")\n}\n";
    std::string expected = head + "  o = map[f](" + c.expected + ")\n}\n";
    EXPECT_EQ(flat_text(source), canonical(expected));
  }
}

TEST(Flatten, NamesKeptWhereNothingBindsThem) {
  expect_flat({"configuration names and symbolic dimensions passed as arguments", R"(
main(x: f32[m], h: f32[4]) -> (o: f32[4], p: f32[4]) {
  s = map[f](x, m)
  o = call[g](h, param.eps)
  p = call[b](h)
}
g(x: f32[n], e: f32[]) -> (y: f32[n]) {
  k = literal(2)
  param.k = literal(3)
  y = map[scale](x, n, e, k, param.k, param.d)
}
b(m: f32[4]) -> (y: f32[4]) {
  weights.own = literal(1.0)
  m = map[neg](m)
  y = map[add](m, weights.own)
}
)",
               // m is a dimension that main passes, yet b's parameter m is bound to its
               // argument, and what a body writes is its own whatever its name: param.k,
               // or a name beginning with "weights.".
               R"(
main(x: f32[m], h: f32[4]) -> (o: f32[4], p: f32[4]) {
  s = map[f](x, m)
  o.k = literal(2)
  o.param.k = literal(3)
  o = map[scale](h, n, param.eps, o.k, o.param.k, param.d)
  p.weights.own = literal(1.0)
  p.m = map[neg](h)
  p = map[add](p.m, p.weights.own)
}
)"});
}

TEST(Flatten, ReturnsBoundByPosition) {
  expect_flat({"several outputs, fewer outputs, and a return named like a parameter", R"(
main(h: f32[4]) -> (p: f32[4], q: f32[4]) {
  p, q = call[two](h)
  r = call[same](h)
  s = call[two](q)
}
two(x: f32[4]) -> (a: f32[4], b: f32[4]) {
  t = map[neg](x)
  a = map[exp](t)
  b = map[log](t)
}
same(x: f32[4]) -> (x: f32[4]) {
  x = map[neg](x)
}
)",
               R"(
main(h: f32[4]) -> (p: f32[4], q: f32[4]) {
  p.t = map[neg](h)
  p = map[exp](p.t)
  q = map[log](p.t)
  r = map[neg](h)
  s.t = map[neg](q)
  s = map[exp](s.t)
  s.b = map[log](s.t)
}
)"});
}

TEST(Flatten, LoopsUnrolled) {
  expect_flat({"counts 0, 1 and 3; renames; a threaded argument not first", R"(
main(h: f32[4], weights: *) -> (out: f32[4]) {
  h = loop[missing, 0](h)
  a = map[neg](h)
  a = loop[step, 1](a, weights.l.*)
  b = map[neg](a)
  b = loop[step2, 3](weights.s.*, b, b, 2)
  b = map[exp](b)
  out = map[copy](b)
}
step(x: f32[4], w: *) -> (y: f32[4]) {
  t = map[mul](x, w.k)
  y = map[add](t, x)
}
step2(w: *, x: f32[4], first: f32[4], k: i64[]) -> (y: f32[4]) {
  y = map[f](x, first, w.b, k)
}
)",
               R"(
main(h: f32[4], weights: *) -> (out: f32[4]) {
  a = map[neg](h)
  loop0.t = map[mul](a, weights.l.0.k)
  a_1 = map[add](loop0.t, a)
  b = map[neg](a_1)
  b_1 = map[f](b, b, weights.s.0.b, 2)
  b_2 = map[f](b_1, b, weights.s.1.b, 2)
  b_3 = map[f](b_2, b, weights.s.2.b, 2)
  b = map[exp](b_3)
  out = map[copy](b)
}
)"});
}

TEST(Flatten, EachExpansionCopiedWhereverItIsInlined) {
  expect_flat({"one callee reached from several places, also after its last copy", R"(
main(x: f32[4]) -> (y: f32[4]) {
  p = call[a](x)
  q = call[b](p)
  x = loop[a, 2](x)
  y = call[a](x)
  z = call[b](y)
}
a(x: f32[4]) -> (y: f32[4]) {
  t = map[neg](x)
  y = map[exp](t)
}
b(x: f32[4]) -> (y: f32[4]) {
  u = call[a](x)
  y = call[a](u)
}
)",
               R"(
main(x: f32[4]) -> (y: f32[4]) {
  p.t = map[neg](x)
  p = map[exp](p.t)
  q.u.t = map[neg](p)
  q.u = map[exp](q.u.t)
  q.y.t = map[neg](q.u)
  q = map[exp](q.y.t)
  loop0.t = map[neg](x)
  x_1 = map[exp](loop0.t)
  loop1.t = map[neg](x_1)
  x_2 = map[exp](loop1.t)
  y.t = map[neg](x_2)
  y = map[exp](y.t)
  z.u.t = map[neg](y)
  z.u = map[exp](z.u.t)
  z.y.t = map[neg](z.u)
  z = map[exp](z.y.t)
}
)"});
}

TEST(Flatten, CommentsOfBodiesKeptOfCallsDropped) {
  expect_flat({"comments", R"(
// header
main(x: f32[4]) -> (y: f32[4]) {
  // main's own
  a = map[neg](x)
  // the call's
  y = call[g](a)
}
g(x: f32[4]) -> (y: f32[4]) {
  // g's own
  t = map[neg](x)
  // the body's
  y = map[exp](t)
}
)",
               R"(
// header
main(x: f32[4]) -> (y: f32[4]) {
  // main's own
  a = map[neg](x)
  y.t = map[neg](a)
  // the body's
  y = map[exp](y.t)
}
)"});
}

// The operations of the flat function of `source`.
std::vector<Op> flat_ops(const std::string& source) {
  return flatten(parse(source), "main", {}).functions.at("main").ops;
}

// Reached once, a callee is written in place through every call between; reached twice,
// its expansion is built once and copied. Both must give the same operations: `source`
// with each of `callees` called a second time from a function that main calls last.
void expect_same_when_shared(const std::string& source, const std::vector<std::string>& callees) {
  std::string again = "again(h: f32[4], w: *) -> () {\n";
  for (std::size_t i = 0; i < callees.size(); ++i)
    again += "  c" + std::to_string(i) + " = call[" + callees[i] + "](h, w)\n";
  again += "}\n";
  std::string shared = source;
  shared.insert(shared.find("\n}\n") + 1, "  z = call[again](h, weights)\n");
  std::vector<Op> once = flat_ops(source), twice = flat_ops(shared + again);
  ASSERT_GT(twice.size(), once.size());
  twice.resize(once.size());
  EXPECT_EQ(twice, once);
}

TEST(Flatten, NamesThroughSeveralCalls) {
  const Case dicts{"a dict parameter handed on through three calls", R"(
main(h: f32[4], weights: *) -> (y: f32[4]) {
  y = call[layer](h, weights.l0)
}
layer(x: f32[4], w: *) -> (y: f32[4]) {
  y = call[attn](x, w.attn)
}
attn(x: f32[4], w: *) -> (o: f32[4]) {
  o = call[head](x, w)
  s = map[scale](o, n)
}
head(x: f32[n], p: *) -> (r: f32[n]) {
  t = map[mul](x, p.q, n)
  r = map[add](t, p.a.b)
}
)",
                   R"(
main(h: f32[4], weights: *) -> (y: f32[4]) {
  y.y.o.t = map[mul](h, weights.l0.attn.q, n)
  y = map[add](y.y.o.t, weights.l0.attn.a.b)
  y.y.s = map[scale](y, n)
}
)"};
  expect_flat(dicts);
  expect_same_when_shared(dicts.source, {"layer", "attn", "head"});

  const Case loops{"loops that run once, with cache vars", R"(
main(h: f32[4], weights: *) -> (out: f32[4]) {
  h = loop[outer, 1](h, weights.o.*)
  out = map[copy](h)
}
outer(x: f32[4], w: *) -> (z: f32[4]) {
  x = loop[inner, 1](x, w.i.*)
  z = map[copy](x, w.k)
  s: f32[4] = cache[st.*, init](z)
}
inner(x: f32[4], w: *) -> (r: f32[4]) {
  r = map[neg](x, w.k)
  c: f32[4] = cache[kv.*, init](r)
}
init(x: f32[4]) -> (y: f32[4]) {
  y = map[exp](x)
}
)",
                   R"(
main(h: f32[4], weights: *) -> (out: f32[4], kv.0: f32[4], st.0: f32[4]) {
  loop0.x_1 = map[neg](h, weights.o.0.i.0.k)
  kv.0 = map[exp](loop0.x_1)
  h_1 = map[copy](loop0.x_1, weights.o.0.k)
  st.0 = map[exp](h_1)
  out = map[copy](h_1)
}
)"};
  expect_flat(loops);
  expect_same_when_shared(loops.source, {"outer", "inner"});
}

TEST(Flatten, LoopsThatNeverRecurseOrRepeatNothing) {
  // A loop of count 0 never looks up its target, itself included; a loop over an empty
  // body makes no operations however often it runs.
  expect_flat({"count 0 and empty bodies", R"(
main(x: f32[4]) -> (y: f32[4]) {
  x = loop[main, 0](x)
  x = loop[empty, 1000000000000](x)
  y = map[neg](x)
}
empty(x: f32[4]) -> (y: f32[4]) {
}
)",
               R"(
main(x: f32[4]) -> (y: f32[4]) {
  y = map[neg](x_1000000000000)
}
)"});
}

}  // namespace
