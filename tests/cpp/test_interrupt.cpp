#include "vel/interrupt.hpp"

#include <functional>
#include <string>
#include <variant>

#include <gtest/gtest.h>

#include "vel/ast_json.hpp"
#include "vel/check.hpp"
#include "vel/file.hpp"
#include "vel/flatten.hpp"
#include "vel/fmt.hpp"
#include "vel/parse.hpp"
#include "vel/resolve.hpp"
#include "vel/stop.hpp"

using namespace vel;

namespace {

// Far more pieces of work than one count of polls: each pass below asks the check.
constexpr int kOps = 5 * static_cast<int>(kInterruptPollTicks);

// `main` has kOps operations, `looped` unrolls to kOps of them.
std::string long_source() {
  std::string s =
      "step(x: f32[4]) -> (y: f32[4]) {\n  y: f32[4] = map[exp](x)\n}\n\n"
      "looped(x: f32[4]) -> (y: f32[4]) {\n  y: f32[4] = map[copy](x)\n  y: f32[4] = loop[step, " +
      std::to_string(kOps) + "](y)\n}\n\nmain(x: f32[2, 6]) -> (y: f32[2, 6]) {\n";
  for (int i = 0; i < kOps; ++i)
    s += "  t" + std::to_string(i) + ": f32[12] = view[\"a b -> (a b)\"](x)\n";
  return s + "  y: f32[2, 6] = map[exp](x)\n}\n";
}

const std::string& source() {
  static const std::string text = long_source();
  return text;
}
const Module& module() {
  static const Module parsed = parse(source());
  return parsed;
}
const std::string& module_json() {
  static const std::string text = module_to_json(module());
  return text;
}

// A call's result, kept as it comes: turning a module into text would poll as well.
using Result = std::variant<Module, std::string>;

struct LongCall {
  const char* name;
  std::function<Result()> run;
};

const LongCall kLongCalls[] = {
    {"parse", [] { return Result{parse(source())}; }},
    {"read JSON", [] { return Result{module_from_json(module_json())}; }},
    {"write JSON", [] { return Result{module_to_json(module())}; }},
    {"format", [] { return Result{format_vel(module(), 100)}; }},
    {"check", [] { return Result{check_result_to_json(check(module()))}; }},
    {"resolve", [] { return Result{resolve(module())}; }},
    {"flatten", [] { return Result{flatten(module(), "looped", {})}; }},
};

int asks = 0;
bool interrupt() {
  ++asks;
  return true;
}
bool carry_on() {
  ++asks;
  return false;
}

class Interrupt : public ::testing::Test {
 protected:
  void SetUp() override {
    source(), module(), module_json();  // built before any check is installed
    asks = 0;
  }
  void TearDown() override { set_interrupt_check(nullptr); }
};

TEST_F(Interrupt, ACheckThatSaysSoEndsEveryLongCall) {
  set_interrupt_check(interrupt);
  for (const LongCall& call : kLongCalls) {
    asks = 0;
    EXPECT_THROW(call.run(), Interrupted) << call.name;
    EXPECT_EQ(asks, 1) << call.name;
  }
}

TEST_F(Interrupt, ACheckThatSaysNoChangesNoResult) {
  for (const LongCall& call : kLongCalls) {
    set_interrupt_check(nullptr);
    const Result unchecked = call.run();
    set_interrupt_check(carry_on);
    asks = 0;
    EXPECT_TRUE(call.run() == unchecked) << call.name;
    EXPECT_GT(asks, 0) << call.name;
  }
}

TEST_F(Interrupt, FilesThatNeverEndAreReadUntilInterrupted) {
  set_interrupt_check(interrupt);
  for (const char* path : {"/dev/zero", "/dev/urandom"}) {
    std::string text;
    EXPECT_THROW(read_text_file(path, text), Interrupted) << path;
  }
}

// Neither nearly spent, nor spent and wrapped around so that the next call is never asked.
TEST_F(Interrupt, AnInterruptedCallLeavesAFullCountToTheNext) {
  set_interrupt_check(interrupt);
  EXPECT_THROW(check(module()), Interrupted);
  asks = 0;
  std::string small = "f(x: f32[4]) -> (y: f32[4]) {\n";
  for (std::uint32_t i = 0; i < kInterruptPollTicks / 4; ++i)
    small += "  y: f32[4] = map[exp](x)\n";
  small += "}\n";
  EXPECT_EQ(format_vel(parse(small), 100), small);  // half a count of polls
  EXPECT_EQ(asks, 0);
  EXPECT_THROW(check(module()), Interrupted);
  EXPECT_EQ(asks, 1);
}

}  // namespace
