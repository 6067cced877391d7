#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "builders.hpp"
#include "check_internal.hpp"
#include "vel/check.hpp"
#include "vel/parse.hpp"
#include "vel/stop.hpp"

using namespace vel;
using vel::test::A;
using vel::test::cache;
using vel::test::call;
using vel::test::count;
using vel::test::D;
using vel::test::dict;
using vel::test::fn;
using vel::test::iota;
using vel::test::loop;
using vel::test::map;
using vel::test::module_keyed;
using vel::test::op;
using vel::test::op1;
using vel::test::type;

namespace {

// ---------------------------------------------------------------------------------------
// Module building: the terse forms of builders.hpp, the checker's own Ty, and kinds whose
// payloads the checker's rules look at.

// Short names for two builders.
TensorType T(std::string dtype, std::vector<D> shape = {}) {
  return type(std::move(dtype), std::move(shape));
}
Module mod(std::vector<std::pair<std::string, Function>> functions) {
  return module_keyed(std::move(functions));
}
Ty ty(std::string dtype, std::vector<D> ds = {}) {
  vel::Shape shape = vel::test::dims(std::move(ds));
  return Ty{std::move(dtype), {shape.begin(), shape.end()}};
}

OpKind view() { return {OpKind::View{"a b -> (a b)", {}}}; }
OpKind fold() { return {OpKind::Fold{"a b -> a", "sum"}}; }
OpKind tile() { return {OpKind::Tile{"a -> a b", {}}}; }
OpKind read() { return {OpKind::Read{"a, i -> i"}}; }
OpKind write() { return {OpKind::Write{"a -> a", "add"}}; }
OpKind contract() { return {OpKind::Contract{"a b, b c -> a c"}}; }
OpKind literal() { return {OpKind::Literal{LiteralValue{LiteralValue::Int{1}}}}; }
OpKind random() { return {OpKind::Random{0.0, 1.0}}; }

using Msgs = std::vector<std::string>;
using Names = std::set<std::string>;

Msgs errors_of(const Module& m) { return check(m).errors; }

// A module whose "main" has the given parameters and operations and returns nothing.
Msgs errors_of(std::vector<Param> params, std::vector<Op> ops) {
  return errors_of(mod({{"main", fn("f", std::move(params), {}, std::move(ops))}}));
}

const std::string kDash = " \xe2\x80\x94 ";

// ---------------------------------------------------------------------------------------
// Ty, dims_match, types_match

TEST(Ty, DiagnosticForm) {
  EXPECT_EQ(debug_ty(ty("f32", {4, "n"})),
            R"(Ty { dtype: "f32", shape: [Concrete(4), Named("n")] })");
  EXPECT_EQ(debug_ty(ty("", {})), R"(Ty { dtype: "", shape: [] })");
  EXPECT_EQ(debug_ty(ty("a\"b", {"x\ny"})), R"(Ty { dtype: "a\"b", shape: [Named("x\ny")] })");
}

struct DimCase {
  D a, b;
  bool match;
};

TEST(DimsMatch, Table) {
  const DimCase cases[] = {
      {4, 4, true},         {4, 5, false},        {-1, -1, true},
      {4, "n", true},       {"n", 7, true},       {"param.a", 3, true},
      {"n", "m", true},     {"a.b", "m", true},   {"m", "a.b", true},
      {"", "a.b", true},    {"a.b", "a.b", true}, {"a.b", "a.c", false},
      {"...", "a.b", true}, {"a.b", "...", true}, {"param.x", "param.X", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(dims_match(c.a.dim, c.b.dim), c.match)
        << debug_dim(c.a.dim) << " " << debug_dim(c.b.dim);
    EXPECT_EQ(dims_match(c.b.dim, c.a.dim), c.match) << "symmetric";
  }
}

struct MatchCase {
  Ty a, b;
  std::optional<std::string> detail;
};

TEST(TypesMatch, Details) {
  const MatchCase cases[] = {
      // dtype first, shapes not looked at
      {ty("f32", {1, 2}), ty("i32", {3}), "dtype: f32 vs i32"},
      {ty("a\"b", {}), ty("ab", {}), "dtype: a\"b vs ab"},
      {ty("f32", {}), ty("f32", {}), std::nullopt},
      {ty("f32", {}), ty("f32", {1}), "rank: 0 vs 1"},
      {ty("f32", {1, 2, 3}), ty("f32", {1}), "rank: 3 vs 1"},
      {ty("f32", {4}), ty("f32", {"n"}), std::nullopt},
      {ty("f32", {"n"}), ty("f32", {7}), std::nullopt},
      {ty("f32", {2, 3}), ty("f32", {2, 4}), R"(dim 1: Concrete(3) vs Concrete(4))"},
      // dotted names disagree, plain names never do
      {ty("f32", {"param.a"}), ty("f32", {"param.b"}),
       R"(dim 0: Named("param.a") vs Named("param.b"))"},
      {ty("f32", {"param.a"}), ty("f32", {"b"}), std::nullopt},
      // wildcard: short side first, aligned at the ends, no rank check
      {ty("f32", {"..."}), ty("f32", {1, 2, 3}), std::nullopt},
      {ty("f32", {"...", 3, 4}), ty("f32", {2, 3, 4}), std::nullopt},
      {ty("f32", {"...", 5}), ty("f32", {2, 3, 4}), R"(dim 0: Concrete(5) vs Concrete(4))"},
      {ty("f32", {2, 3, 4}), ty("f32", {"...", 5}), R"(dim 0: Concrete(5) vs Concrete(4))"},
      {ty("f32", {2, 3, 4}), ty("f32", {"...", 9, 4}), R"(dim 0: Concrete(9) vs Concrete(3))"},
      {ty("f32", {"...", 1, 2}), ty("f32", {"...", 2}), std::nullopt},
      {ty("f32", {"...", 1, 2}), ty("f32", {"...", 1, 2}), std::nullopt},
      // equal lengths: a is the short side
      {ty("f32", {"...", 1}), ty("f32", {2}), R"(dim 0: Concrete(1) vs Concrete(2))"},
      {ty("f32", {1}), ty("f32", {"...", 2}), R"(dim 0: Concrete(1) vs Concrete(2))"},
      {ty("f32", {"...", "p.a"}), ty("f32", {"p.b"}), R"(dim 0: Named("p.a") vs Named("p.b"))"},
      // "..." elsewhere is an ordinary dim: strict mode
      {ty("f32", {2, "...", 4}), ty("f32", {2, 3, 4}), std::nullopt},
      {ty("f32", {2, "..."}), ty("f32", {2, 3, 4}), "rank: 2 vs 3"},
      {ty("f32", {2, "...", 4}), ty("f32", {2, 3, 5}), R"(dim 2: Concrete(4) vs Concrete(5))"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(types_match(c.a, c.b), c.detail) << debug_ty(c.a) << " / " << debug_ty(c.b);
}

// ---------------------------------------------------------------------------------------
// Inputs in scope

TEST(Inputs, LookupOrder) {
  Function f = fn("f", {{"x", T("f32", {4})}, {"param.y", T("f32", {4})}, {"w", dict()}},
                  {{"r", T("f32", {"sym"})}},
                  {op1(map("f32"), "a", std::nullopt,
                       {"x", 1, 2.5, "param.y", "param.z", "w", "w.k.q", "sym", "later", "x.k",
                        "nope", "a", "param."}),
                   op1(iota(), "b", T("f32", {"later"}), {}),
                   op(iota(), {"c"}, {std::nullopt, T("i32", {"extra"})}, {"extra", "c"})});
  CheckResult r = check(mod({{"main", std::move(f)}}));
  EXPECT_EQ(r.errors, (Msgs{"main/a: input 'x.k' not in scope", "main/a: input 'nope' not in scope",
                            "main/a: input 'a' not in scope", "main/c: input 'c' not in scope",
                            "main: return 'r' not found in env"}));
  // "param.y" names a typed parameter, so it is found in env and not recorded
  EXPECT_EQ(r.constraints.params, (Names{"param.", "param.z"}));
}

TEST(Inputs, UntypedOutputsStayOutOfEnvButLaterTypedOnesEnter) {
  EXPECT_EQ(errors_of({}, {op(iota(), {"a", "b"}, {std::nullopt, T("f32", {2})}, {}),
                           op1(map("f32"), "c", T("f32", {2}), {"a", "b"})}),
            (Msgs{"main/c: input 'a' not in scope"}));
  // types beyond the outputs, and outputs beyond the types, register nothing
  EXPECT_EQ(errors_of({}, {op(iota(), {"a", "b"}, {T("f32", {2})}, {}),
                           op(iota(), {"c"}, {T("f32"), T("f32")}, {"a", "b"})}),
            (Msgs{"main/c: input 'b' not in scope"}));
}

TEST(Inputs, LaterParameterOfTheSameNameWins) {
  EXPECT_EQ(errors_of({{"x", T("f32", {2})}, {"x", T("i32", {3})}},
                      {op1(fold(), "y", T("f32", {3}), {"x"})}),
            (Msgs{"main/y: declared Ty { dtype: \"f32\", shape: [Concrete(3)] }, expected Ty { "
                  "dtype: \"i32\", shape: [Concrete(3)] }" +
                  kDash + "dtype: i32 vs f32"}));
}

TEST(Stops, OperationWithoutOutputsOrTypes) {
  for (Op bad :
       {op(iota(), {}, {T("f32")}, {}), op(iota(), {"a"}, {}, {}), op(iota(), {}, {}, {})}) {
    try {
      check(mod({{"main", fn("f", {}, {}, {std::move(bad)})}}));
      FAIL() << "no stop";
    } catch (const Stop& s) {
      EXPECT_EQ(s.message, "index out of bounds: the len is 0 but the index is 0");
    }
  }
}

// ---------------------------------------------------------------------------------------
// Kind rules

std::string declared_vs(const std::string& ctx, const std::string& declared,
                        const std::string& expected, const std::string& detail) {
  return ctx + ": declared " + declared + ", expected " + expected + kDash + detail;
}

struct KindCase {
  const char* what;
  std::vector<Param> params;
  Op op;
  Msgs errors;
};

void PrintTo(const KindCase& c, std::ostream* os) { *os << c.what; }

class KindRules : public ::testing::TestWithParam<KindCase> {};

TEST_P(KindRules, Messages) {
  EXPECT_EQ(errors_of(GetParam().params, {GetParam().op}), GetParam().errors) << GetParam().what;
}

const std::vector<Param> kXY = {{"x", T("f32", {2, 3})}, {"y", T("i32", {4})}};
const std::string kF23 = R"(Ty { dtype: "f32", shape: [Concrete(2), Concrete(3)] })";
const std::string kI23 = R"(Ty { dtype: "i32", shape: [Concrete(2), Concrete(3)] })";
const std::string kI5 = R"(Ty { dtype: "i32", shape: [Concrete(5)] })";
const std::string kF5 = R"(Ty { dtype: "f32", shape: [Concrete(5)] })";
const std::string kF6 = R"(Ty { dtype: "f32", shape: [Concrete(6)] })";
const std::string kI6 = R"(Ty { dtype: "i32", shape: [Concrete(6)] })";

INSTANTIATE_TEST_SUITE_P(
    Table, KindRules,
    ::testing::Values(
        // view: element count, then dtype of input 0 with the declared shape
        KindCase{"view same count", kXY, op1(view(), "v", T("f32", {6}), {"x"}), {}},
        KindCase{"view reshape and dtype",
                 kXY,
                 op1(view(), "v", T("i32", {5}), {"x"}),
                 {"main/v: view reshapes 6 elements to 5",
                  declared_vs("main/v", kI5, kF5, "dtype: f32 vs i32")}},
        KindCase{"view symbolic skips count",
                 {{"x", T("f32", {"n", 3})}},
                 op1(view(), "v", T("f32", {5}), {"x"}),
                 {}},
        KindCase{"view empty declared has product 1",
                 {{"x", T("f32", {2})}},
                 op1(view(), "v", T("f32", {}), {"x"}),
                 {"main/v: view reshapes 2 elements to 1"}},
        KindCase{"view untyped input", {}, op1(view(), "v", T("f32", {5}), {1}), {}},
        KindCase{"view no args", {}, op1(view(), "v", T("f32", {5}), {}), {}},
        KindCase{"view wrapping product",
                 {{"x", T("f32", {std::int64_t{1} << 62, 4})}},
                 op1(view(), "v", T("f32", {-1}), {"x"}),
                 {"main/v: view reshapes 0 elements to -1"}},
        KindCase{"view product printed signed",
                 {{"x", T("f32", {std::numeric_limits<std::int64_t>::max(), 2})}},
                 op1(view(), "v", T("f32", {1}), {"x"}),
                 {"main/v: view reshapes -2 elements to 1"}},
        // fold, tile, write: dtype of input 0 with the declared shape
        KindCase{
            "fold",
            kXY,
            op1(fold(), "v", T("i32", {2}), {"x"}),
            {declared_vs("main/v", R"(Ty { dtype: "i32", shape: [Concrete(2)] })",
                         R"(Ty { dtype: "f32", shape: [Concrete(2)] })", "dtype: f32 vs i32")}},
        KindCase{"tile ok", kXY, op1(tile(), "v", T("f32", {9, 9}), {"x", "y"}), {}},
        KindCase{
            "write",
            kXY,
            op1(write(), "v", T("f32", {1}), {"y", "x"}),
            {declared_vs("main/v", R"(Ty { dtype: "f32", shape: [Concrete(1)] })",
                         R"(Ty { dtype: "i32", shape: [Concrete(1)] })", "dtype: i32 vs f32")}},
        KindCase{"fold untyped input 0", kXY, op1(fold(), "v", T("bf16", {1}), {2, "x"}), {}},
        // read: index dtype, then input 0
        KindCase{"read float index",
                 {{"t", T("f32", {8})}, {"i", T("f32", {2})}},
                 op1(read(), "v", T("f32", {2}), {"t", "i"}),
                 {"main/v: read index dtype f32, expected integer"}},
        KindCase{"read index then dtype",
                 {{"t", T("bf16", {8})}, {"i", T("u8", {2})}},
                 op1(read(), "v", T("f32", {}), {"t", "i"}),
                 {"main/v: read index dtype u8, expected integer",
                  declared_vs("main/v", R"(Ty { dtype: "f32", shape: [] })",
                              R"(Ty { dtype: "bf16", shape: [] })", "dtype: bf16 vs f32")}},
        KindCase{"read one arg", {{"t", T("f32", {8})}}, op1(read(), "v", T("f32", {}), {"t"}), {}},
        KindCase{"read untyped index",
                 {{"t", T("f32", {8})}},
                 op1(read(), "v", T("f32", {}), {"t", 3}),
                 {}},
        KindCase{"read untyped table, bad index",
                 {{"i", T("f32", {})}},
                 op1(read(), "v", T("i32", {}), {1, "i"}),
                 {"main/v: read index dtype f32, expected integer"}},
        // contract: first typed input's dtype
        KindCase{"contract first typed",
                 kXY,
                 op1(contract(), "v", T("f32", {2, 3}), {5, "y", "x"}),
                 {declared_vs("main/v", kF23, kI23, "dtype: i32 vs f32")}},
        KindCase{"contract untyped", {}, op1(contract(), "v", T("f32", {2, 3}), {5}), {}},
        // literal, iota, random: never a message
        KindCase{"literal", kXY, op1(literal(), "v", T("q", {"param.a"}), {"x"}), {}},
        KindCase{"random", kXY, op1(random(), "v", T("q", {1}), {}), {}},
        // map: shapes by exact equality, positions among the typed inputs
        KindCase{"map three shapes",
                 {{"a", T("f32", {4})}, {"b", T("f32", {4})}, {"c", T("f32", {5})}},
                 op1(map("add"), "v", T("f32", {4}), {"a", "b", "c"}),
                 {"main/v: map[add] requires all inputs to share the same shape; input 0 has shape "
                  "[Concrete(4)] but input 2 has shape [Concrete(5)]. Use an explicit `tile` to "
                  "broadcast first."}},
        KindCase{"map untyped first",
                 {{"b", T("f32", {4})}, {"c", T("f32", {5})}},
                 op1(map("mul"), "v", T("f32", {4}), {1, "b", "c"}),
                 {"main/v: map[mul] requires all inputs to share the same shape; input 0 has shape "
                  "[Concrete(4)] but input 1 has shape [Concrete(5)]. Use an explicit `tile` to "
                  "broadcast first."}},
        KindCase{"map exact equality, no wildcard",
                 {{"a", T("f32", {"n"})}, {"b", T("f32", {4})}, {"c", T("f32", {"...", 4})}},
                 op1(map("add"), "v", T("f32", {"n"}), {"a", "b", "c"}),
                 {"main/v: map[add] requires all inputs to share the same shape; input 0 has shape "
                  "[Named(\"n\")] but input 1 has shape [Concrete(4)]. Use an explicit `tile` to "
                  "broadcast first.",
                  "main/v: map[add] requires all inputs to share the same shape; input 0 has shape "
                  "[Named(\"n\")] but input 2 has shape [Named(\"...\"), Concrete(4)]. Use an "
                  "explicit `tile` to broadcast first."}},
        KindCase{"map expects first shape",
                 {{"a", T("f32", {6})}},
                 op1(map("exp"), "v", T("f32", {7}), {"a"}),
                 {declared_vs("main/v", R"(Ty { dtype: "f32", shape: [Concrete(7)] })", kF6,
                              "dim 0: Concrete(6) vs Concrete(7)")}},
        KindCase{"map untyped", {}, op1(map("exp"), "v", T("f32", {7}), {1}), {}},
        KindCase{"map f32 cast",
                 {{"a", T("i32", {6})}},
                 op1(map("f32"), "v", T("i32", {6}), {"a"}),
                 {declared_vs("main/v", kI6, kF6, "dtype: f32 vs i32")}},
        KindCase{"map bf16 cast",
                 {{"a", T("f32", {6})}},
                 op1(map("bf16"), "v", T("bf16", {6}), {"a"}),
                 {}},
        KindCase{"map other takes first dtype",
                 {{"a", T("i32", {6})}},
                 op1(map("F32"), "v", T("f32", {6}), {"a"}),
                 {declared_vs("main/v", kF6, kI6, "dtype: i32 vs f32")}},
        KindCase{"map comparison takes declared",
                 {{"a", T("f32", {6})}, {"b", T("f32", {6})}},
                 op1(map("gt"), "v", T("bool", {6}), {"a", "b"}),
                 {}},
        KindCase{"map where",
                 {{"c", T("bool", {6})}, {"a", T("f32", {6})}, {"b", T("f32", {6})}},
                 op1(map("where"), "v", T("f32", {6}), {"c", "a", "b"}),
                 {}},
        KindCase{"map where mismatched",
                 {{"c", T("bool", {6})}, {"a", T("f32", {6})}},
                 op1(map("where"), "v", T("i32", {6}), {"c", 0, "a"}),
                 {declared_vs("main/v", kI6, kF6, "dtype: f32 vs i32")}},
        KindCase{"map where skips typed arg 0 only",
                 {{"c", T("bool", {6})}},
                 op1(map("where"), "v", T("i32", {6}), {"c", 1.0, 2.0}),
                 {}},
        KindCase{"map where untyped arg 0",
                 {{"a", T("f32", {6})}, {"b", T("i32", {5})}},
                 op1(map("where"), "v", T("f32", {5}), {1, "a", "b"}),
                 {"main/v: map[where] requires all inputs to share the same shape; input 0 has "
                  "shape [Concrete(6)] but input 1 has shape [Concrete(5)]. Use an explicit `tile` "
                  "to broadcast first.",
                  declared_vs("main/v", kF5, kF6, "dim 0: Concrete(6) vs Concrete(5)")}},
        // no declared type: no kind rule at all
        KindCase{"undeclared view", kXY, op1(view(), "v", std::nullopt, {"x"}), {}},
        KindCase{"undeclared map",
                 {{"a", T("f32", {4})}, {"b", T("f32", {5})}},
                 op1(map("add"), "v", std::nullopt, {"a", "b"}),
                 {}},
        KindCase{"undeclared read",
                 {{"t", T("f32", {8})}, {"i", T("f32", {2})}},
                 op1(read(), "v", std::nullopt, {"t", "i"}),
                 {}}),
    [](const ::testing::TestParamInfo<KindCase>& test) {
      std::string name = test.param.what;
      for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

TEST(ReadRule, AcceptsEachIntegerIndexDtype) {
  for (const char* dtype : {"i32", "i64", "int", "int32", "int64"})
    EXPECT_EQ(errors_of({{"t", T("f32", {8})}, {"i", T(dtype, {2})}},
                        {op1(read(), "v", T("f32", {2}), {"t", "i"})}),
              Msgs{})
        << dtype;
  EXPECT_EQ(errors_of({{"t", T("f32", {8})}, {"i", T("I32", {2})}},
                      {op1(read(), "v", T("f32", {2}), {"t", "i"})}),
            Msgs{"main/v: read index dtype I32, expected integer"});
}

// ---------------------------------------------------------------------------------------
// Calls, loops and caches

Function callee() {
  return fn(
      "g",
      {{"a", T("f32", {4, 16})}, {"b", T("f32", {2, 3})}, {"d", dict()}, {"c", T("i32", {"n"})}},
      {});
}

Msgs call_errors(std::vector<Param> params, Op o) {
  return errors_of(
      mod({{"main", fn("f", std::move(params), {}, {std::move(o)})}, {"g", callee()}}));
}

struct CallCase {
  const char* what;
  std::vector<Param> params;
  std::vector<A> args;
  Msgs errors;
};

TEST(Calls, ArgumentChecks) {
  const CallCase cases[] = {
      {"agree", {{"p", T("f32", {4, 16})}, {"q", T("f32", {2, 3})}}, {"p", "q"}, {}},
      {"strict mode uses types_match",
       {{"p", T("f32", {4, 8})}, {"q", T("i32", {2, 3})}, {"r", T("i32", {})}},
       {"p", "q", 0, "r"},
       {"main/o: arg 0 'a'" + kDash + "dim 1: Concrete(8) vs Concrete(16)",
        "main/o: arg 1 'b'" + kDash + "dtype: i32 vs f32",
        "main/o: arg 3 'c'" + kDash + "rank: 0 vs 1"}},
      {"strict wildcard with the argument first",
       {{"p", T("f32", {"...", 8})}},
       {"p"},
       {"main/o: arg 0 'a'" + kDash + "dim 0: Concrete(8) vs Concrete(16)"}},
      {"batched: one pair has more dims, every pair is batched",
       {{"p", T("f32", {8, 4, 16})}, {"q", T("f32", {3})}},
       {"p", "q"},
       {"main/o: arg 1 'b'" + kDash + "rank: 1 < 2"}},
      {"batched trailing dims, named skipped",
       {{"p", T("f32", {8, 4, 16})}, {"q", T("f32", {"param.a", 3})}, {"r", T("f32", {5, 7})}},
       {"p", "q", 0, "r"},
       {"main/o: arg 3 'c'" + kDash + "dtype: f32 vs i32"}},
      {"batched dim detail in plain decimals",
       {{"p", T("f32", {8, 4, 15})}, {"q", T("f32", {9, 2, -3})}},
       {"p", "q"},
       {"main/o: arg 0 'a'" + kDash + "dim 1: 15 vs 16",
        "main/o: arg 1 'b'" + kDash + "dim 1: -3 vs 3"}},
      {"batched ignores wildcard",
       {{"p", T("f32", {"...", 1, 4, 9})}},
       {"p"},
       {"main/o: arg 0 'a'" + kDash + "dim 1: 9 vs 16"}},
      {"extra args and untyped args are ignored",
       {{"p", T("f32", {1})}},
       {1, "p", "p", "p", "p", "p"},
       {"main/o: arg 1 'b'" + kDash + "rank: 1 vs 2",
        "main/o: arg 3 'c'" + kDash + "dtype: f32 vs i32"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(call_errors(c.params, op1(call("g"), "o", T("f32", {1}), c.args)), c.errors)
        << c.what;
}

TEST(Calls, LoopAndCacheCheckTheirTargetOrInit) {
  std::vector<Param> params = {{"p", T("f32", {4, 8})}};
  const Msgs expected = {"main/o: arg 0 'a'" + kDash + "dim 1: Concrete(8) vs Concrete(16)"};
  EXPECT_EQ(call_errors(params, op1(loop("g", count(3)), "o", T("x"), {"p"})), expected);
  EXPECT_EQ(call_errors(params, op1(cache("kv", "g", "missing"), "o", T("x"), {"p"})), expected);
  EXPECT_EQ(call_errors(params, op1(cache("kv", "missing", "g"), "o", T("x"), {"p"})), Msgs{});
  EXPECT_EQ(call_errors(params, op1(call("missing"), "o", T("x"), {"p"})), Msgs{});
  // no declared type: only the inputs are looked at
  EXPECT_EQ(call_errors(params, op1(call("g"), "o", std::nullopt, {"p", "zz"})),
            Msgs{"main/o: input 'zz' not in scope"});
}

TEST(Calls, WeightsUnderTheCallerWithTheFirstTypeKept) {
  Function h = fn("f", {{"u", T("bf16", {4})}, {"v", dict()}}, {});
  Function main = fn(
      "main", {{"w", dict()}, {"x", T("f32", {4, 16})}}, {},
      {op1(call("g"), "o1", T("f32"), {"w.a", "w.b", "w", "w.c.d"}),
       op1(call("h"), "o2", T("f32"), {"w.a", "w", "x"}),
       op1(call("h"), "o3", std::nullopt, {"w.z"}), op1(call("g"), "o4", T("f32"), {"x", "w.b"})});
  CheckResult r = check(mod({{"main", std::move(main)}, {"g", callee()}, {"h", std::move(h)}}));
  EXPECT_EQ(r.errors,
            (Msgs{"main/o2: weight 'w.a' used with conflicting types: TensorType { dtype: "
                  "\"f32\", shape: [Concrete(4), Concrete(16)] } vs TensorType { dtype: "
                  "\"bf16\", shape: [Concrete(4)] }"}));
  const std::map<std::string, TensorType> want = {
      {"w.a", T("f32", {4, 16})}, {"w.b", T("f32", {2, 3})}, {"w.c.d", T("i32", {"n"})}};
  EXPECT_EQ(r.constraints.weights,
            (std::map<std::string, std::map<std::string, TensorType>>{{"main", want}}));
}

TEST(Calls, ArgumentMessagesBeforeWeightMessages) {
  Function main = fn("f", {{"w", dict()}, {"x", T("i32", {4, 16})}}, {},
                     {op1(call("g"), "o1", T("f32"), {"w.a"}),
                      op1(call("g"), "o2", T("f32"), {"x", "w.a", "w.a"})});
  Function g = fn("f", {{"a", T("f32", {4, 16})}, {"b", T("i32", {})}, {"c", T("i8", {})}}, {});
  EXPECT_EQ(
      errors_of(mod({{"main", std::move(main)}, {"g", std::move(g)}})),
      (Msgs{"main/o2: arg 0 'a'" + kDash + "dtype: i32 vs f32",
            "main/o2: weight 'w.a' used with conflicting types: TensorType { dtype: \"f32\", "
            "shape: [Concrete(4), Concrete(16)] } vs TensorType { dtype: \"i32\", shape: [] }",
            "main/o2: weight 'w.a' used with conflicting types: TensorType { dtype: \"f32\", "
            "shape: [Concrete(4), Concrete(16)] } vs TensorType { dtype: \"i8\", shape: [] }"}));
}

// A type met again, by the same operation or by later ones, gives each meeting the finding
// of the first, at its own place: with a short dtype, worked out each time, and with a long
// one, which makes every type wide enough to be known once.
TEST(KnownTypes, EveryMeetingGivesItsFinding) {
  for (std::string d : {"f32", "f32_with_a_dtype_longer_than_thirty_two_bytes"}) {
    SCOPED_TRACE(d);
    std::string source =
        "g(a: DT[2, 3]) -> () {\n}\n"
        "f(x: DT[2, 3], z: DT[2], v: DT[3, 2], u: DT[4, 3, 3], w: *) -> () {\n"
        "  m: DT[2] = map[add](z, x, v, x, z, v)\n"
        "  s1: DT[5] = view[\"a b -> (a b)\"](x)\n"
        "  s2: DT[6] = view[\"a b -> (a b)\"](x)\n"
        "  s3: DT[5] = view[\"a b -> (a b)\"](x)\n"
        "  c1: DT[1] = call[g](v)\n  c2: DT[1] = call[g](v)\n"
        "  e1: DT[1] = call[g](u)\n  e2: DT[1] = call[g](u)\n"
        "  d1: DT[1] = call[g](w.k)\n  d2: DT[1] = call[h](w.k)\n  d3: DT[1] = call[h](w.k)\n"
        "}\nh(a: i32[2]) -> () {\n}\n";
    for (std::size_t at; (at = source.find("DT[")) != std::string::npos;) source.replace(at, 2, d);
    Module m = parse(source);
    auto map_finding = [](int input, std::string shape) {
      return "f/m: map[add] requires all inputs to share the same shape; input 0 has shape "
             "[Concrete(2)] but input " +
             std::to_string(input) + " has shape " + shape +
             ". Use an explicit `tile` to broadcast first.";
    };
    const std::string x = "[Concrete(2), Concrete(3)]", v = "[Concrete(3), Concrete(2)]";
    const std::string conflict =
        ": weight 'w.k' used with conflicting types: TensorType { dtype: \"" + d +
        "\", shape: " + x + " } vs TensorType { dtype: \"i32\", shape: [Concrete(2)] }";
    EXPECT_EQ(
        check(m).errors,
        (Msgs{map_finding(1, x), map_finding(2, v), map_finding(3, x), map_finding(5, v),
              "f/s1: view reshapes 6 elements to 5", "f/s3: view reshapes 6 elements to 5",
              "f/c1: arg 0 'a'" + kDash + "dim 0: Concrete(3) vs Concrete(2)",
              "f/c2: arg 0 'a'" + kDash + "dim 0: Concrete(3) vs Concrete(2)",
              "f/e1: arg 0 'a'" + kDash + "dim 0: 3 vs 2",
              "f/e2: arg 0 'a'" + kDash + "dim 0: 3 vs 2", "f/d2" + conflict, "f/d3" + conflict}));
  }
}

// ---------------------------------------------------------------------------------------
// Returns, params, order

TEST(Returns, NotFoundAndDetail) {
  Function f = fn("f", {{"x", T("f32", {2, 3})}, {"w", dict()}},
                  {{"x", T("f32", {2, 4})},
                   {"w", T("f32")},
                   {"d", dict()},
                   {"u", T("f32")},
                   {"y", T("f32", {"...", 6})},
                   {"z", T("i32")}},
                  {op1(iota(), "u", std::nullopt, {}), op1(view(), "y", T("f32", {6}), {"x"}),
                   op1(literal(), "z", T("i32"), {})});
  EXPECT_EQ(errors_of(mod({{"main", std::move(f)}})),
            (Msgs{"main: return 'x' dim 1: Concrete(3) vs Concrete(4)",
                  "main: return 'w' not found in env", "main: return 'u' not found in env"}));
}

TEST(Params, EverySourceOnce) {
  Function f = fn("f", {{"x", T("f32", {"param.p1", "n"})}, {"w", T("*", {"param.dictdim"})}},
                  {{"r", T("*", {"param.p2"})}},
                  {op(iota(), {"a"}, {T("f32", {"param.p3"}), T("f32", {"param.beyond"})}, {}),
                   op1(fold(), "b", std::nullopt, {"param.p4", "x"}),
                   op1(loop("nowhere", count("param.p5")), "c", T("f32", {"param.p1"}), {}),
                   op1(loop("nowhere", count("param.untyped")), "d", std::nullopt, {}),
                   op1(loop("nowhere", count("p6")), "e", T("f32"), {})});
  Function g = fn("f", {}, {{"q", T("f32", {"param.p1", "param.B", "param.\xc3\xa9"})}});
  CheckResult r = check(mod({{"main", std::move(f)}, {"g", std::move(g)}}));
  EXPECT_EQ(std::vector<std::string>(r.constraints.params.begin(), r.constraints.params.end()),
            (std::vector<std::string>{"param.B", "param.p1", "param.p2", "param.p3", "param.p4",
                                      "param.p5", "param.\xc3\xa9"}));
}

TEST(Order, FunctionsInMapOrderAndWithinOperation) {
  Function b = fn("f", {}, {{"first", T("f32")}});
  Function a = fn("f", {}, {{"r", T("f32")}}, {op1(iota(), "s", std::nullopt, {"ghost"})});
  CheckResult r = check(
      mod({{"b", std::move(b)}, {"a", std::move(a)}, {"b", fn("f", {}, {{"again", T("f32")}})}}));
  // a repeated key keeps its first place and takes the later function
  EXPECT_EQ(r.errors, (Msgs{"b: return 'again' not found in env", "a/s: input 'ghost' not in scope",
                            "a: return 'r' not found in env"}));
  Function c = fn("f", {{"x", T("f32", {2})}, {"i", T("f32", {1})}}, {{"nope", T("f32")}},
                  {op1(read(), "r", T("i32", {1}), {"x", "i", "ghost"})});
  EXPECT_EQ(errors_of(mod({{"c", std::move(c)}})),
            (Msgs{"c/r: input 'ghost' not in scope", "c/r: read index dtype f32, expected integer",
                  declared_vs("c/r", R"(Ty { dtype: "i32", shape: [Concrete(1)] })",
                              R"(Ty { dtype: "f32", shape: [Concrete(1)] })", "dtype: f32 vs i32"),
                  "c: return 'nope' not found in env"}));
}

TEST(Order, OpsNeverSeeTheirOwnOutputs) {
  EXPECT_EQ(errors_of({}, {op1(iota(), "a", T("f32"), {"a"}), op1(iota(), "b", T("f32"), {"a"})}),
            Msgs{"main/a: input 'a' not in scope"});
}

// ---------------------------------------------------------------------------------------
// JSON form

TEST(Json, EmptyModule) {
  EXPECT_EQ(check_result_to_json(check(Module{})),
            R"({"errors":[],"constraints":{"params":[],"weights":{}}})");
}

TEST(Json, SortedMembersAndEscapedMessages) {
  Function z = fn("f", {{"w", dict()}, {"v", T("q\"t", {"param.b"})}},
                  {{"v", T("f32", {"param.a"})}}, {op1(call("g"), "o", T("f32"), {"w.B", "w.a"})});
  Function a = fn("f", {{"d", dict()}}, {}, {op1(call("g"), "o", T("f32"), {"d"})});
  Function g = fn("f", {{"x", T("f32", {2, "n"})}, {"y", T("i8")}}, {});
  CheckResult r = check(mod({{"z", std::move(z)}, {"a", std::move(a)}, {"g", std::move(g)}}));
  EXPECT_EQ(check_result_to_json(r),
            "{\"errors\":[\"z: return 'v' dtype: q\\\"t vs f32\"],"
            "\"constraints\":{\"params\":[\"param.a\",\"param.b\"],"
            "\"weights\":{\"a\":{\"d\":{\"dtype\":\"f32\",\"shape\":[2,\"n\"]}},"
            "\"z\":{\"w.B\":{\"dtype\":\"f32\",\"shape\":[2,\"n\"]},"
            "\"w.a\":{\"dtype\":\"i8\",\"shape\":[]}}}}}");
}

TEST(Json, DashAndControlCharacters) {
  CheckResult r;
  r.errors = {"a" + kDash + "b\n\x01"};
  EXPECT_EQ(check_result_to_json(r),
            "{\"errors\":[\"a" + kDash +
                "b\\n\\u0001\"],\"constraints\":{\"params\":[],\"weights\":{}}}");
}

}  // namespace
