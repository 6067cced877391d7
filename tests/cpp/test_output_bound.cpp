// Formatting and checking stop once their text would pass the bound on output; below it
// nothing changes. The bound is lowered here, so that it is reached without gigabytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "test_json_support.hpp"
#include "vel/check.hpp"
#include "vel/fmt.hpp"
#include "vel/output_bound.hpp"
#include "vel/parse.hpp"

namespace {

using vel::test::outcome;

class LoweredBound {
 public:
  explicit LoweredBound(std::uint64_t most) { vel::output_detail::most = most; }
  ~LoweredBound() { vel::output_detail::most = vel::kMaxOutputBytes; }
};

// Many findings and a long canonical text from a short source.
vel::Module wordy_module() {
  std::string source = "f(x: f32[4]) -> (y: f32[4]) {\n";
  for (int i = 0; i < 2000; ++i)
    source +=
        "  y" + std::to_string(i) + ": f32[4] = map[add](x, missing" + std::to_string(i) + ")\n";
  return vel::parse(source + "}\n");
}

TEST(OutputBound, TheTextUpToTheBoundAndTheStopPastIt) {
  const vel::Module module = wordy_module();
  const struct {
    const char* what;
    std::string (*write)(const vel::Module&);
    const char* stop;
  } cases[] = {
      {"fmt in the room it reserves", [](const vel::Module& m) { return vel::format_vel(m, 100); },
       "stop: Formatting would produce more than {} bytes of text"},
      {"fmt growing its room", [](const vel::Module& m) { return vel::format_vel(m, 100, 64); },
       "stop: Formatting would produce more than {} bytes of text"},
      {"check", [](const vel::Module& m) { return vel::check_result_to_json(vel::check(m)); },
       "stop: Checking would produce more than {} bytes of findings"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string text = c.write(module);
    ASSERT_GT(text.size(), 50'000u);
    for (std::uint64_t most : {text.size(), text.size() + 1}) {
      LoweredBound bound(most);
      EXPECT_EQ(c.write(module), text);
    }
    for (std::uint64_t most : {text.size() - 1, text.size() / 2, std::uint64_t{10}}) {
      LoweredBound bound(most);
      std::string expected = c.stop;
      expected.replace(expected.find("{}"), 2, std::to_string(most));
      EXPECT_EQ(outcome([&] { return c.write(module); }), expected) << most;
    }
  }
}

}  // namespace
