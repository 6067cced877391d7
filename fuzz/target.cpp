// One libFuzzer target per fuzz property; VEL_FUZZ_PROPERTY names the property.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "passes.hpp"
#include "roundtrip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  if (auto fault = vel::fuzz::VEL_FUZZ_PROPERTY(input)) {
    std::fprintf(stderr, "%s\n", fault->c_str());
    std::abort();
  }
  return 0;
}
