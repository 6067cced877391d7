// Source text, the syntax tree, its JSON form and canonical text agree with each other.
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "parse_internal.hpp"
#include "vel/ast.hpp"
#include "vel/ast_json.hpp"
#include "vel/check.hpp"
#include "vel/fmt.hpp"
#include "vel/json.hpp"
#include "vel/parse.hpp"

using namespace vel;

namespace {

std::vector<std::pair<std::string, std::string>> sources() {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& entry : std::filesystem::directory_iterator(VEL_TEST_DATA "/corpus")) {
    std::ifstream in(entry.path());
    std::stringstream text;
    text << in.rdbuf();
    out.emplace_back(entry.path().filename().string(), text.str());
  }
  // Texts that are not canonical, with the corners of the JSON form.
  out.emplace_back("corners", R"vel(// header
f(w: *, x: "q"[n, -1, ...], y: f32[,4 5]) -> (r: *) {
  (a, b): (f32[4], i32[], bf16[param.n]) = call[g](x, 9223372036854775807, -0.0, 1e300, "st")
  () : () = iota()
  c = literal([[], [1, [2.5, inf]], - inf, -9223372036854775808])
  d: f32[1] = random[-1.5, 2.0e-7](ignored)
  e = loop[g, 18446744073709551615]()
  h = loop[g, param.layers](w.layers.*)
  k = cache[slot, init, ext](x)
  v = view["a b -> (a b)", a=2, b=-3.7](x, p=1, q=inf) // comment at the end
  // trailing
}
g() -> () {}
g() -> () { z = iota() }
)vel");
  return out;
}

// The check result, or the stop that checking meets (an operation without outputs).
std::string check_outcome(const Module& module) {
  try {
    return check_result_to_json(check(module));
  } catch (const Stop& stop) { return "stop: " + stop.message; }
}

TEST(RoundTrip, JsonFormIsStableAndAgreesWithTheSource) {
  for (const auto& [name, text] : sources()) {
    SCOPED_TRACE(name);
    Module parsed = parse(text);
    std::string json = module_to_json(parsed);
    Module read = module_from_json(json);
    EXPECT_EQ(module_to_json(read), json);
    EXPECT_EQ(format_vel(read, 100), format_vel(parsed, 100));
    EXPECT_EQ(check_outcome(read), check_outcome(parsed));
  }
}

TEST(RoundTrip, CanonicalTextIsAFixedPoint) {
  for (const auto& [name, text] : sources()) {
    for (std::uint64_t width : {0ull, 40ull, 100ull, ~0ull}) {
      SCOPED_TRACE(name + " at width " + std::to_string(width));
      std::string once = format_vel(parse(text), width);
      EXPECT_EQ(format_vel(parse(once), width), once);
    }
  }
}

// The deepest literal the parser takes still reads back from the module's JSON form; one
// level more is refused by the parser, as the JSON reader would refuse its JSON form.
TEST(RoundTrip, DeepestLiteralReadsBackFromItsJsonForm) {
  auto nested = [](std::size_t depth) {
    return std::string(depth, '[') + "1" + std::string(depth, ']');
  };
  auto source = [&](std::size_t depth) {
    return "f() -> () {\n  x: f32[] = literal(" + nested(depth) + ")\n}\n";
  };
  const std::size_t deepest = parser::kMaxListDepth;
  Module parsed = parse(source(deepest));
  Module read = module_from_json(module_to_json(parsed));
  EXPECT_EQ(read, parsed);
  EXPECT_EQ(format_vel(read, 100), source(deepest));
  EXPECT_EQ(check_outcome(read), check_outcome(parsed));

  try {
    parse(source(deepest + 1));
    ADD_FAILURE() << "a literal one level deeper parsed";
  } catch (const Stop& stop) {
    EXPECT_EQ(stop.message, "literal list nested deeper than 122 levels");
  }
  // The bound is the JSON reader's: a module holding the deeper literal does not read back.
  Module deeper = parsed;
  auto& literal = std::get<OpKind::Literal>(deeper.functions.begin()->value().ops[0].kind.value);
  LiteralValue one_more{LiteralValue::List{}};
  std::get<LiteralValue::List>(one_more.value).items.push_back(literal.value);
  literal.value = std::move(one_more);
  EXPECT_THROW(module_from_json(module_to_json(deeper)), json::JsonError);
}

}  // namespace
