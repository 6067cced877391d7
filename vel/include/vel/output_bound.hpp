// The bound on what formatting and checking write: 4 GiB, as flattening's bound on the
// memory of its operations, so that the text and the str made from it still fit in memory
// and the process meets no out-of-memory killer. Measured as the text is written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vel/stop.hpp"
#include "vel/text.hpp"

namespace vel {

// A fuzz build lowers it, so that one input stays within the fuzzer's limits.
#ifndef VEL_MAX_OUTPUT_BYTES
#define VEL_MAX_OUTPUT_BYTES (std::uint64_t{1} << 32)
#endif

inline constexpr std::uint64_t kMaxOutputBytes = VEL_MAX_OUTPUT_BYTES;

namespace output_detail {
// The bound in force: tests lower it to reach it without writing gigabytes.
inline std::uint64_t most = kMaxOutputBytes;
}  // namespace output_detail

// "{doing} would produce more than {bound} bytes of {what}"
[[noreturn]] inline void stop_output_bound(std::string_view doing, std::string_view what) {
  std::string message(doing);
  message += " would produce more than ";
  append_uint(message, output_detail::most);
  message += " bytes of ";
  message += what;
  stop(std::move(message));
}

// Stops the call once a text of `size` bytes would pass the bound.
inline void check_output_size(std::uint64_t size, std::string_view doing, std::string_view what) {
  if (size > output_detail::most) [[unlikely]]
    stop_output_bound(doing, what);
}

}  // namespace vel
