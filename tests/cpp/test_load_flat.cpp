// The road of a flat module from files, as the library gives it: the bundled examples to
// their expected flat modules, and the order in which its steps fail.
#include <string>

#include <gtest/gtest.h>

#include "load_flat.hpp"
#include "test_json_support.hpp"
#include "vel/ast_json.hpp"
#include "vel/file.hpp"

namespace {

std::string read_file(const std::string& path) {
  std::string text;
  EXPECT_FALSE(vel::read_text_file(path, text).has_value()) << path;
  return text;
}

TEST(LoadFlat, BundledExamplesGiveTheirExpectedModules) {
  const std::string examples = VEL_EXAMPLES, expected = std::string(VEL_TEST_DATA) + "/expected";
  struct Case {
    const char* source;
    vel::CacheKeys keys;
    const char* flat;
  };
  const Case cases[] = {{"mlp.vel", {}, "mlp.flat.json"},
                        {"decode.vel", {"kc"}, "decode.flat.json"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    std::string config_path = examples + "/config.toml";
    vel::Module flat = velorn::load_flat(examples + "/" + c.source, config_path, "main", c.keys);
    EXPECT_EQ(flat, vel::module_from_json(read_file(expected + "/" + c.flat)));
  }
}

// The source file is read first, then the configuration; a missing entry is the
// flattener's, after both.
TEST(LoadFlat, StepsFailInTheirOrder) {
  const std::string examples = VEL_EXAMPLES;
  std::string missing = examples + "/missing.toml", config_path = examples + "/config.toml";
  auto road = [&](const std::string& source, const std::string& config, const char* entry) {
    return vel::test::outcome([&] {
      velorn::load_flat(source, config, entry, {});
      return std::string("flat");
    });
  };
  EXPECT_EQ(road(examples + "/missing.vel", missing, "main"),
            "stop: called `Result::unwrap()` on an `Err` value: Os { code: 2, kind: NotFound, "
            "message: \"No such file or directory\" }");
  EXPECT_EQ(road(examples + "/mlp.vel", missing, "main"),
            "stop: failed to read " + missing + ": No such file or directory (os error 2)");
  EXPECT_EQ(road(examples + "/mlp.vel", config_path, "nope"), "stop: no entry found for key");
  EXPECT_EQ(road(examples + "/mlp.vel", config_path, "main"), "flat");
}

}  // namespace
