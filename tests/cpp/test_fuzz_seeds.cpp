// The fuzz targets' properties hold on their seeds, and on every input a fuzz run found and
// that was kept among them.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "passes.hpp"
#include "roundtrip.hpp"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> files_in(std::initializer_list<fs::path> dirs) {
  std::vector<fs::path> files;
  for (const fs::path& dir : dirs)
    for (const auto& entry : fs::directory_iterator(dir)) files.push_back(entry.path());
  return files;
}

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(FuzzSeeds, SourceRoundTrips) {
  for (const fs::path& file : files_in({VEL_FUZZ_CORPUS "/source", VEL_TEST_DATA "/corpus"})) {
    SCOPED_TRACE(file.string());
    EXPECT_EQ(vel::fuzz::source_round_trip_fault(contents(file)), std::nullopt);
  }
}

TEST(FuzzSeeds, JsonRoundTrips) {
  for (const fs::path& file : files_in({VEL_FUZZ_CORPUS "/json"})) {
    SCOPED_TRACE(file.string());
    EXPECT_EQ(vel::fuzz::json_round_trip_fault(contents(file)), std::nullopt);
  }
}

TEST(FuzzSeeds, PassesKeepTheirProperties) {
  for (const fs::path& file :
       files_in({VEL_FUZZ_CORPUS "/passes", VEL_FUZZ_CORPUS "/json", VEL_TEST_DATA "/expected"})) {
    SCOPED_TRACE(file.string());
    EXPECT_EQ(vel::fuzz::passes_fault(contents(file)), std::nullopt);
  }
}

TEST(FuzzSeeds, ConfigurationsKeepTheirProperties) {
  for (const fs::path& file : files_in({VEL_FUZZ_CORPUS "/config_json"})) {
    SCOPED_TRACE(file.string());
    EXPECT_EQ(vel::fuzz::config_json_fault(contents(file)), std::nullopt);
  }
  for (const fs::path& file : files_in({VEL_FUZZ_CORPUS "/config_toml", VEL_EXAMPLES})) {
    SCOPED_TRACE(file.string());
    EXPECT_EQ(vel::fuzz::config_toml_fault(contents(file)), std::nullopt);
  }
}

}  // namespace
