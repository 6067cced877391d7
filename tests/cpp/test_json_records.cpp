// The JSON interchange form of the records: values and types, module, function and
// parameter records, and the flat operation record, with their errors and positions.
#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "test_json_support.hpp"

#include "vel/ast.hpp"
#include "vel/ast_json.hpp"
#include "vel/json.hpp"
#include "vel/stop.hpp"

using namespace vel;

namespace {

using test::error;
using test::outcome;

std::string module(std::string_view text) {
  return outcome([&] { return module_to_json(module_from_json(text)); });
}

// A document holding one tensor type, written back.
std::string type(std::string_view text) {
  return outcome([&] {
    return json::read_document(text, [](json::Reader& in) {
      std::string out;
      serialize(out, read_tensor_type(in));
      return out;
    });
  });
}

// A document holding a list of operation records, as the `ops` member holds them.
std::string ops(std::string_view text) {
  return outcome([&] {
    return json::read_document(text, [](json::Reader& in) {
      std::string out = "[";
      in.read_list([&] {
        if (out.size() > 1) out += ',';
        serialize(out, read_op(in));
      });
      return out + "]";
    });
  });
}

// A module with one function f whose `params` (or `ops`) array holds `items`; the items
// start at byte 40 (or 62) of the text.
std::string with_params(std::string_view items) {
  return R"({"functions":{"f":{"name":"f","params":[)" + std::string(items) +
         R"(],"returns":[],"ops":[]}}})";
}
std::string with_ops(std::string_view items) {
  return R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[)" + std::string(items) +
         "]}}}";
}
constexpr std::size_t kParamsAt = 40, kOpsAt = 62;

struct Case {
  std::string text;
  std::string expected;
};

constexpr std::string_view kTail = R"(,"outputs":[],"output_types":[],"args":[]})";

// An operation object of `kind` with `members` before the three required lists.
std::string op(std::string_view kind, std::string_view members = "") {
  return "{\"kind\":\"" + std::string(kind) + "\"" + std::string(members) + std::string(kTail);
}

}  // namespace

TEST(JsonRecords, WritesCompactInFieldOrder) {
  Module m;
  Function f{"f",
             {},
             {Param{"x", TensorType{"f32", {Dim{Dim::Concrete{4}}, Dim{Dim::Named{"n"}}}}}},
             {},
             {}};
  m.functions.store("f", f);
  EXPECT_EQ(
      module_to_json(m),
      R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":{"dtype":"f32","shape":[4,"n"]}}],"returns":[],"ops":[]}}})");
  EXPECT_EQ(module_to_json(Module{}), R"({"functions":{}})");
  m.header_comments = {"// h"};
  m.functions.find("f")->comments = {"// c"};
  EXPECT_EQ(
      module_to_json(m),
      R"({"header_comments":["// h"],"functions":{"f":{"name":"f","comments":["// c"],"params":[{"name":"x","ty":{"dtype":"f32","shape":[4,"n"]}}],"returns":[],"ops":[]}}})");
}

TEST(JsonRecords, NonFiniteFloats) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Op random{OpKind{OpKind::Random{inf, -nan}},
            {},
            {},
            {Atom{Atom::Float{-inf}}, Atom{Atom::Float{nan}}},
            {}};
  std::string out;
  serialize(out, random);
  EXPECT_EQ(
      out,
      R"({"kind":"random","lower":null,"upper":null,"outputs":[],"output_types":[],"args":[null,null]})");
  // Such arguments cannot be read back, and the record is read whole before its kind.
  EXPECT_EQ(ops("[" + out + "]"),
            "error: data did not match any variant of untagged enum Atom at 1:88");
  EXPECT_EQ(ops("[" + op("random", R"(,"lower":null,"upper":null)") + "]"),
            "stop: random requires 'lower' field");
  out.clear();
  serialize(out, LiteralValue{LiteralValue::List{{LiteralValue{LiteralValue::Float{inf}},
                                                  LiteralValue{LiteralValue::Float{-inf}},
                                                  LiteralValue{LiteralValue::Float{-nan}}}}});
  EXPECT_EQ(out, R"(["inf","-inf","nan"])");
}

TEST(JsonRecords, RoundTrip) {
  const std::string text =
      R"j({"header_comments":["// head","// \"two\" \\ \u0001 é / \t"],"functions":{"main":{"name":"main","comments":["// fn"],)j"
      R"j("params":[{"name":"x","ty":{"dtype":"f32","shape":[4,"n",-9223372036854775808]}},{"name":"w","ty":{"dtype":"*","shape":[2]}}],)j"
      R"j("returns":[{"name":"y","ty":{"dtype":"f32","shape":["param.n","4"]}}],"ops":[)j"
      R"j({"kind":"view","pattern":"a b -> (a b)","axes":{"b":2,"a":-3},"outputs":["v"],"output_types":[{"dtype":"f32","shape":[8]}],"args":["x"]},)j"
      R"j({"kind":"map","function":"exp","outputs":["m","m2"],"output_types":[],"args":["v",1,2.5,-0.0,1e-7,1e+300,-7]},)j"
      R"j({"kind":"fold","pattern":"a b -> a","reduction":"add","outputs":["f"],"output_types":[null,{"dtype":"i32","shape":[]}],"args":["m"],"comments":["// op","// two"]},)j"
      R"j({"kind":"tile","pattern":"a -> a b","outputs":[],"output_types":[],"args":[]},)j"
      R"j({"kind":"read","pattern":"p","outputs":[],"output_types":[],"args":[]},)j"
      R"j({"kind":"write","pattern":"p","reduction":"max","outputs":[],"output_types":[],"args":[]},)j"
      R"j({"kind":"contract","pattern":"ab,bc->ac","outputs":[],"output_types":[],"args":[]},)j"
      R"j({"kind":"literal","value":[1,[2.5,[]],"-inf","inf","nan",-9223372036854775808,0.0],"outputs":[],"output_types":[],"args":[]},)j"
      R"j({"kind":"literal","value":-1,"outputs":[],"output_types":[],"args":[]},)j"
      R"j({"kind":"iota","outputs":[],"output_types":[],"args":[]},)j"
      R"j({"kind":"random","lower":-1.0,"upper":1e+16,"outputs":[],"output_types":[],"args":[]},)j"
      R"j({"kind":"call","target":"g","outputs":[],"output_types":[],"args":["weights.a.*"]},)j"
      R"j({"kind":"loop","target":"g","count":18446744073709551615,"outputs":[],"output_types":[],"args":[]},)j"
      R"j({"kind":"loop","target":"g","count":"param.layers","outputs":[],"output_types":[],"args":[]},)j"
      R"j({"kind":"cache","var":"k","init":"i","outputs":[],"output_types":[],"args":[]},)j"
      R"j({"kind":"cache","var":"k","init":"i","extend":"","outputs":[],"output_types":[],"args":[]})j"
      R"j(]},"g":{"name":"other","params":[],"returns":[],"ops":[]}}})j";
  EXPECT_EQ(module(text), text);
  // The same module in array forms and with white space reads equal.
  EXPECT_EQ(module(R"( [ [ ] , { "g" : [ "other" , [ ] , [ ] , [ ] , [ ] ] } ] )"),
            R"({"functions":{"g":{"name":"other","params":[],"returns":[],"ops":[]}}})");
}

TEST(JsonRecords, TensorTypes) {
  const Case cases[] = {
      {R"({"dtype":"f32","shape":[4,"n",-1]})", R"({"dtype":"f32","shape":[4,"n",-1]})"},
      {R"({"dtype":"f32","shape":["4"]})", R"({"dtype":"f32","shape":["4"]})"},
      {R"(["f32",[]])", R"({"dtype":"f32","shape":[]})"},
      {R"({"Dtype":1,"d\u0074ype":"f","shape":[],"x":[1,{}],"x":2})",
       R"({"dtype":"f","shape":[]})"},
      {R"({"dtype":"f32"})", error("missing field `shape`", 1, 15)},
      {R"({"shape":[]})", error("missing field `dtype`", 1, 12)},
      {R"(["f32"])", error("invalid length 1, expected struct TensorType with 2 elements", 1, 7)},
      {R"([])", error("invalid length 0, expected struct TensorType with 2 elements", 1, 2)},
      {R"(["f",[],1])", error("trailing characters", 1, 9)},
      {R"(["f",[],])", error("trailing comma", 1, 9)},
      {R"(["f",[] ,)", error("trailing characters", 1, 9)},
      {R"(["f",[])", error("EOF while parsing a list", 1, 7)},
      {R"(["f" []])", error("expected `,` or `]`", 1, 6)},
      {"null", error("invalid type: null, expected struct TensorType", 1, 4)},
      {R"({"dtype":"f32","dtype":"f32","shape":[]})", error("duplicate field `dtype`", 1, 22)},
      {R"({"dtype":"a" ,"dtype" : 1})", error("duplicate field `dtype`", 1, 22)},
      {R"({"dtype":5,"shape":[]})", error("invalid type: integer `5`, expected a string", 1, 10)},
      {R"({"dtype":null,"shape":[]})", error("invalid type: null, expected a string", 1, 13)},
      {R"({"dtype":"f","shape":{}})", error("invalid type: map, expected a sequence", 1, 21)},
      {R"({"dtype":"f","shape":[4.0, 1]})",
       error("data did not match any variant of untagged enum Dim", 1, 27)},
      {R"({"dtype":"f","shape":[1 , "\ud800"]})", error("unexpected end of hex escape", 1, 34)},
      {R"({"dtype":"f","shape":[1 , "\ud800\u0030"]})",
       error("lone leading surrogate in hex escape", 1, 39)},
      {R"({"dtype":"f","shape":[1,[2,]]})", error("trailing comma", 1, 28)},
      {R"({"dtype":"f","shape" 1})", error("expected `:`", 1, 22)},
      {R"({"dtype":"f",})", error("trailing comma", 1, 14)},
      {R"({"dtype":"f" "shape"})", error("expected `,` or `}`", 1, 14)},
      {R"({"dtype":"f",)", error("EOF while parsing a value", 1, 13)},
      {R"({"dtype")", error("EOF while parsing an object", 1, 8)},
      {R"({"dtype":"f")", error("EOF while parsing an object", 1, 12)},
      {R"({dtype})", error("key must be a string", 1, 2)},
  };
  for (const auto& c : cases) EXPECT_EQ(type(c.text), c.expected) << c.text;
}

// Every value that no variant of Dim accepts, placed after the shape's closing bracket.
TEST(JsonRecords, DimRefusals) {
  for (std::string dim :
       {"4.0", "-0", "1e2", "9223372036854775808", "true", "null", "[1]", "{\"a\":1}"}) {
    std::string text = R"({"dtype":"f","shape":[)" + dim + "]}";
    EXPECT_EQ(type(text),
              error("data did not match any variant of untagged enum Dim", 1, 22 + dim.size() + 1))
        << dim;
  }
  EXPECT_EQ(type(R"({"dtype":"f","shape":[-9223372036854775808,9223372036854775807]})"),
            R"({"dtype":"f","shape":[-9223372036854775808,9223372036854775807]})");
}

TEST(JsonRecords, Atoms) {
  const std::string base = R"({"kind":"iota","outputs":[],"output_types":[],"args":[)";
  const Case cases[] = {
      {"1, 1.0, \"x\", \"inf\", 9223372036854775808, 18446744073709551616, -0, \"1\"",
       R"(1,1.0,"x","inf",9.223372036854776e+18,1.8446744073709552e+19,-0.0,"1")"},
      {"-9223372036854775808,9223372036854775807", "-9223372036854775808,9223372036854775807"},
      {"null", error("data did not match any variant of untagged enum Atom", 1, base.size() + 5)},
      {"[1], 2", error("data did not match any variant of untagged enum Atom", 1, base.size() + 5)},
      {"true", error("data did not match any variant of untagged enum Atom", 1, base.size() + 5)},
      {"{\"a\":[}", error("expected value", 1, base.size() + 7)},
      {"1e999", error("number out of range", 1, base.size() + 5)},
  };
  for (const auto& c : cases) {
    std::string got = ops("[" + base + c.text + "]}]");
    std::string want =
        c.expected.starts_with("error:") ? c.expected : "[" + base + c.expected + "]}]";
    // Positions above are counted from the object's first byte.
    if (c.expected.starts_with("error:")) {
      auto at = want.rfind(':');
      want = want.substr(0, at + 1) + std::to_string(std::stoul(want.substr(at + 1)) + 1);
    }
    EXPECT_EQ(got, want) << c.text;
  }
}

TEST(JsonRecords, LiteralValues) {
  const std::string kExpect = R"(, expected integer, float, "inf"/"-inf", or array)";
  const Case cases[] = {
      {"[1, [2.5, []], \"-inf\"]", R"([1,[2.5,[]],"-inf"])"},
      {"18446744073709551615", "-1"},
      {"9223372036854775808", "-9223372036854775808"},
      {"18446744073709551616", "1.8446744073709552e+19"},
      {"-0", "-0.0"},
      {"1.0", "1.0"},
      {"\"inf\"", "\"inf\""},
      {"\"-inf\"", "\"-inf\""},
      {"\"nan\"", "\"nan\""},
      {"\"\\u006ean\"", "\"nan\""},
      {"1e-400", "0.0"},
      {"1e400", error("number out of range", 1, 5)},
      {"\"NaN\"", error("unexpected string: NaN", 1, 5)},
      {"[1, \"a\\tb\"]", error("unexpected string: a\tb", 1, 10)},
      {"[null]", error("invalid type: null" + kExpect, 1, 5)},
      {"[true]", error("invalid type: boolean `true`" + kExpect, 1, 5)},
      {"[false ]", error("invalid type: boolean `false`" + kExpect, 1, 6)},
      {"[{}]", error("invalid type: map" + kExpect, 1, 3)},
      {"[{ \n }]", error("invalid type: map" + kExpect, 2, 2)},
      {"[{ \"a\":1}]", error("invalid type: map" + kExpect, 1, 3)},
      {"[tru]", error("expected ident", 1, 5)},
      {"[nu", error("EOF while parsing a value", 1, 3)},
      {"", error("EOF while parsing a value", 1, 0)},
      {"[1 2]", error("expected `,` or `]`", 1, 4)},
      {"[1,]", error("trailing comma", 1, 4)},
      {"[1", error("EOF while parsing a list", 1, 2)},
      {"[x]", error("expected value", 1, 2)},
  };
  for (const auto& c : cases) {
    std::string got = outcome([&] {
      return json::read_document(c.text, [](json::Reader& in) {
        std::string out;
        serialize(out, read_literal(in));
        return out;
      });
    });
    EXPECT_EQ(got, c.expected) << c.text;
  }
}

TEST(JsonRecords, ModuleFunctionAndParamForms) {
  const std::string empty = R"({"functions":{}})";
  const std::string g = R"({"name":"g","params":[],"returns":[],"ops":[]})";
  const Case cases[] = {
      {"{}", error("missing field `functions`", 1, 2)},
      {"[]", error("invalid length 1, expected struct Module with 2 elements", 1, 2)},
      {"[[],{}]", empty},
      {"[{}]", error("invalid type: map, expected a sequence", 1, 1)},
      {R"({"header_comments":[],"functions":{}})", empty},
      {R"({"header_comments":null,"functions":{}})",
       error("invalid type: null, expected a sequence", 1, 23)},
      {R"({"functions":[]})", error("invalid type: sequence, expected a map", 1, 13)},
      {R"("m")", error("invalid type: string \"m\", expected struct Module", 1, 3)},
      {R"({"functions":{}} {})", error("trailing characters", 1, 18)},
      // A repeated key keeps its first place and takes the later record.
      {R"({"functions":{"f":)" + g + R"(,"h":)" + g +
           R"(,"f":{"name":"f2","params":[],"returns":[],"ops":[]}}})",
       R"({"functions":{"f":{"name":"f2","params":[],"returns":[],"ops":[]},"h":)" + g + "}}"},
      {R"({"functions":{"f":{"name":1},"f":)" + g + "}}",
       error("invalid type: integer `1`, expected a string", 1, 27)},
      {R"({"functions":{"a":)" + g + "}}", R"({"functions":{"a":)" + g + "}}"},
      {R"({"functions":{"g":["g",[],[],[],[]]}})", R"({"functions":{"g":)" + g + "}}"},
      {R"({"functions":{"g":[]}})",
       error("invalid length 0, expected struct Function with 5 elements", 1, 20)},
      {R"({"functions":{"g":["g"]}})",
       error("invalid length 2, expected struct Function with 5 elements", 1, 23)},
      {R"({"functions":{"g":["g",[]]}})",
       error("invalid length 2, expected struct Function with 5 elements", 1, 26)},
      {R"({"functions":{"g":["g",[],[]]}})",
       error("invalid length 3, expected struct Function with 5 elements", 1, 29)},
      {R"({"functions":{"g":["g",[],[],[]]}})",
       error("invalid length 4, expected struct Function with 5 elements", 1, 32)},
      {R"({"functions":{"g":{"name":"g"}}})", error("missing field `params`", 1, 30)},
      {R"({"functions":{"g":{"name":"g","comments":null}}})",
       error("invalid type: null, expected a sequence", 1, 45)},
      {R"({"functions":{"g":{"name":5}}})",
       error("invalid type: integer `5`, expected a string", 1, 27)},
  };
  for (const auto& c : cases) EXPECT_EQ(module(c.text), c.expected) << c.text;

  const std::string ty = R"({"dtype":"f","shape":[]})";
  const std::string x = R"({"name":"x","ty":)" + ty + "}";
  const Case params[] = {
      {R"(["x",)" + ty + "]", with_params(x)},
      {"{}", error("missing field `name`", 1, kParamsAt + 2)},
      {R"({"name":"x"})", error("missing field `ty`", 1, kParamsAt + 12)},
      {R"({"name":"x","name":"x","ty":)" + ty + "}",
       error("duplicate field `name`", 1, kParamsAt + 18)},
      {R"({"name":"x","name":5})", error("duplicate field `name`", 1, kParamsAt + 18)},
      {R"({"name":"x","Name":5,"q":1,"q":[],"ty":)" + ty + "}", with_params(x)},
      {R"("x")", error("invalid type: string \"x\", expected struct Param", 1, kParamsAt + 3)},
      {R"(["x"])",
       error("invalid length 1, expected struct Param with 2 elements", 1, kParamsAt + 5)},
      {R"(["x",)" + ty + ",3]", error("trailing characters", 1, kParamsAt + 31)},
      {R"(["x",)" + ty + ",]", error("trailing comma", 1, kParamsAt + 31)},
      {R"(["x",)" + ty + "] ,", error("trailing comma", 1, kParamsAt + 33)},
  };
  for (const auto& c : params)
    EXPECT_EQ(module(with_params(c.text)),
              c.expected.starts_with("error:") ? c.expected : module(c.expected))
        << c.text;
}

TEST(JsonRecords, OperationMembers) {
  const Case cases[] = {
      {op("iota"), op("iota")},
      {op("map", R"(,"function":"g","pattern":"p","count":{"a":[1]})"),
       op("map", R"(,"function":"g")")},
      {op("random", R"(,"lower":2,"upper":-3)"), op("random", R"(,"lower":2.0,"upper":-3.0)")},
      {op("literal"), op("literal", R"(,"value":0)")},
      {op("literal", R"(,"value":null)"), op("literal", R"(,"value":0)")},
      {op("cache", R"(,"var":"v","init":"i","extend":"")"),
       op("cache", R"(,"var":"v","init":"i","extend":"")")},
      {op("cache", R"(,"var":"v","init":"i","extend":null)"),
       op("cache", R"(,"var":"v","init":"i")")},
      {op("view", R"(,"pattern":"p","axes":{"b":1,"a":2,"b":3})"),
       op("view", R"(,"pattern":"p","axes":{"b":3,"a":2})")},
      {op("tile", R"(,"axes":{})"), op("tile", R"(,"pattern":"")")},
      {op("\\u0069ota"), op("iota")},
      {R"({"kind":"iota","outputs":["a","b"],"output_types":[{"dtype":"f","shape":[]}],"args":[],"comments":[]})",
       R"({"kind":"iota","outputs":["a","b"],"output_types":[{"dtype":"f","shape":[]}],"args":[]})"},
      {R"({"kind":"iota","outputs":[],"output_types":[null,null],"args":[],"comments":["// c"]})",
       R"({"kind":"iota","outputs":[],"output_types":[null,null],"args":[],"comments":["// c"]})"},
      {R"({"x":1,"kind":"iota","x":[],"outputs":[],"output_types":[],"args":[]})", op("iota")},
  };
  for (const auto& c : cases) EXPECT_EQ(ops("[" + c.text + "]"), "[" + c.expected + "]") << c.text;
}

TEST(JsonRecords, OperationErrors) {
  // Columns count from the document's first byte, the '[' of the list.
  const Case cases[] = {
      {op("map", R"(,"axes":5)"), error("invalid type: integer `5`, expected a map", 1, 23)},
      {op("view", R"(,"axes":{"a":1.5})"),
       error("invalid type: floating point `1.5`, expected i64", 1, 31)},
      {op("view", R"(,"axes":{"a":9223372036854775808})"),
       error("invalid value: integer `9223372036854775808`, expected i64", 1, 47)},
      {op("view", R"(,"axes":{"a":"1"})"),
       error("invalid type: string \"1\", expected i64", 1, 31)},
      {op("random", R"(,"lower":"x")"), error("invalid type: string \"x\", expected f64", 1, 29)},
      {op("random", R"(,"upper":[])"), error("invalid type: sequence, expected f64", 1, 26)},
      {op("cache", R"(,"extend":1)"), error("invalid type: integer `1`, expected a string", 1, 27)},
      {R"({"kind":"iota","kind":"iota"})", error("duplicate field `kind`", 1, 22)},
      {R"({"outputs":[],"output_types":[],"args":[]})", error("missing field `kind`", 1, 43)},
      {R"({"kind":"iota","args":[]})", error("missing field `outputs`", 1, 26)},
      {R"({"kind":"iota","outputs":[],"args":[]})", error("missing field `output_types`", 1, 39)},
      {R"({"kind":"iota","outputs":[],"output_types":[]})", error("missing field `args`", 1, 47)},
      {R"({"kind":"nope","args":[]})", error("missing field `outputs`", 1, 26)},
      {R"({"kind":"random","axes":1,"outputs":[],"output_types":[],"args":[]})",
       error("invalid type: integer `1`, expected a map", 1, 26)},
      {R"({"kind":"iota","outputs":[1],"output_types":[],"args":[]})",
       error("invalid type: integer `1`, expected a string", 1, 28)},
      {R"({"kind":"iota","outputs":[],"output_types":[1],"args":[]})",
       error("invalid type: integer `1`, expected struct TensorType", 1, 46)},
      {"1", error("invalid type: integer `1`, expected struct OpRaw", 1, 2)},
      {"\"iota\"", error("invalid type: string \"iota\", expected struct OpRaw", 1, 7)},
      {"[]", error("invalid length 0, expected struct OpRaw with 17 elements", 1, 3)},
      {R"(["iota","","","",{}])",
       error("invalid length 13, expected struct OpRaw with 17 elements", 1, 21)},
      {R"(["iota","","","",{},null,null,null,"",null,"","",null,[]])",
       error("invalid length 14, expected struct OpRaw with 17 elements", 1, 58)},
      {R"(["iota","","","",{},null,null,null,"",null,"","",null,[],[]])",
       error("invalid length 15, expected struct OpRaw with 17 elements", 1, 61)},
      {R"(["iota","","","",{},null,null,null,"",null,"","",null,[],[],[],[],1])",
       error("trailing characters", 1, 68)},
      {R"(["iota","","","",{},null,null,null,"",null,"","",null,[],[],[],[],])",
       error("trailing comma", 1, 68)},
  };
  for (const auto& c : cases) EXPECT_EQ(ops("[" + c.text + "]"), c.expected) << c.text;

  EXPECT_EQ(ops(R"([["iota","","","",{},null,null,null,"",null,"","",null,[],[],[]]])"),
            "[" + op("iota") + "]");
  EXPECT_EQ(ops(R"([["iota","","","",{},null,null,null,"",null,"","",null,[],[],[],["// c"]]])"),
            R"([{"kind":"iota","outputs":[],"output_types":[],"args":[],"comments":["// c"]}])");
}

TEST(JsonRecords, LoopCounts) {
  const Case cases[] = {
      {"0", "0"},
      {"18446744073709551615", "18446744073709551615"},
      {"\"param.n\"", "\"param.n\""},
      {"\"\"", "\"\""},
      {"null", "\"\""},
      {"true", "\"\""},
      {"[1]", "\"\""},
      {"{}", "\"\""},
      {"18446744073709551616", "stop: called `Option::unwrap()` on a `None` value"},
      {"-1", "stop: called `Option::unwrap()` on a `None` value"},
      {"-0", "stop: called `Option::unwrap()` on a `None` value"},
      {"3.0", "stop: called `Option::unwrap()` on a `None` value"},
      {"1e2", "stop: called `Option::unwrap()` on a `None` value"},
      {"1e400", error("number out of range", 1, 42)},
  };
  for (const auto& c : cases) {
    std::string got = ops("[" + op("loop", R"(,"target":"g","count":)" + c.text) + "]");
    std::string want = c.expected.starts_with("stop:") || c.expected.starts_with("error:")
                           ? c.expected
                           : "[" + op("loop", R"(,"target":"g","count":)" + c.expected) + "]";
    EXPECT_EQ(got, want) << c.text;
  }
  EXPECT_EQ(ops("[" + op("loop") + "]"), "[" + op("loop", R"(,"target":"","count":"")") + "]");
}

TEST(JsonRecords, RandomStopsNameTheirSource) {
  const Case cases[] = {
      {op("random"), "random requires 'lower' field"},
      {op("random", R"(,"lower":null,"upper":1)"), "random requires 'lower' field"},
      {op("random", R"(,"lower":1)"), "random requires 'upper' field"},
      {op("random", R"(,"lower":1,"upper":null)"), "random requires 'upper' field"},
  };
  for (const auto& c : cases) {
    try {
      module_from_json(with_ops(c.text + "," + op("nope")));
      ADD_FAILURE() << c.text;
    } catch (const Stop& s) {
      EXPECT_EQ(s.message, c.expected);
      EXPECT_STREQ(s.where.file_name(), "vel/src/ast_json.cpp");
    }
  }
}

TEST(JsonRecords, UnknownKindIsPlacedByTheOpsList) {
  const std::string bad = op("Iota"), good = op("iota");
  const Case cases[] = {
      // Last element: just after the closing bracket of `ops`.
      {with_ops(bad), error("unknown op kind: Iota", 1, kOpsAt + bad.size() + 1)},
      // Otherwise just after the comma, at the next element.
      {with_ops(bad + "," + good), error("unknown op kind: Iota", 1, kOpsAt + bad.size() + 1)},
      {with_ops(bad + " , " + good), error("unknown op kind: Iota", 1, kOpsAt + bad.size() + 3)},
      {with_ops(good + "," + op("iota ")),
       error("unknown op kind: iota ", 1, 2 * good.size() + kOpsAt + 3)},
      {with_ops(op("")), error("unknown op kind: ", 1, kOpsAt + op("").size() + 1)},
      // A text that ends like a position gives it.
      {with_ops(op("x at line 12 column 3")), error("unknown op kind: x", 12, 3)},
      {with_ops(op("x at line 0 column 3")),
       error("unknown op kind: x", 1, kOpsAt + op("x at line 0 column 3").size() + 1)},
      // A second failure later in the text is never read.
      {with_ops(bad + ",{\"kind\":1}"), error("unknown op kind: Iota", 1, kOpsAt + bad.size() + 1)},
  };
  for (const auto& c : cases) EXPECT_EQ(module(c.text), c.expected) << c.text;

  const std::string indented =
      "{\n"
      "  \"functions\": {\n"
      "    \"f\": {\n"
      "      \"name\": \"f\",\n"
      "      \"params\": [],\n"
      "      \"returns\": [],\n"
      "      \"ops\": [\n"
      "        {\"kind\": \"Iota\", \"outputs\": [], \"output_types\": [], \"args\": []},\n"
      "        {\"kind\": \"iota\", \"outputs\": [], \"output_types\": [], \"args\": []}\n"
      "      ]\n"
      "    }\n"
      "  }\n"
      "}\n";
  EXPECT_EQ(module(indented), error("unknown op kind: Iota", 9, 8));
  std::string last = indented;
  std::size_t from = last.find(",\n        {\"kind\": \"iota\"");
  last.erase(from, last.find("\n      ]") - from);
  EXPECT_EQ(module(last), error("unknown op kind: Iota", 9, 7));
}

TEST(JsonRecords, NestingCountsFromTheModule) {
  // Module, functions, f, ops and the operation take five levels; the literal the rest.
  auto with_value = [](int depth) {
    return with_ops(
        op("literal", ",\"value\":" + std::string(depth, '[') + std::string(depth, ']')));
  };
  EXPECT_EQ(module(with_value(122)).substr(0, 14), "{\"functions\":{");
  EXPECT_EQ(module(with_value(123)), error("recursion limit exceeded", 1, kOpsAt + 1 + 25 + 123));
}
