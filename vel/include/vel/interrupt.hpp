// Ending a long call early. The embedder installs one check (the binding asks Python
// whether a signal handler raised); the passes poll between bounded pieces of work, and
// every kInterruptPollTicks polls the check is asked. True ends the call by throwing
// `Interrupted` (stop.hpp). With no check installed, as in the fuzz targets and the C++
// tests, nothing is ever asked.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vel {

using InterruptCheck = bool (*)();

// The check asked from now on; nullptr asks none.
void set_interrupt_check(InterruptCheck check);

// Asks the check now, as a read does after each chunk or a wait a signal broke.
void check_interrupt();

// Polled between a pass's bounded pieces of work (an operation built or visited, a JSON
// item read or written): a piece costs at most microseconds, so a count of them stays far
// within a tenth of a second, while the check, itself cheap, is asked too rarely to show in
// the passes' times.
inline constexpr std::uint32_t kInterruptPollTicks = 1024;

namespace interrupt_detail {
// Polls left before the check is asked. The calls that poll are made one at a time (the
// binding holds the interpreter lock throughout), so one counter serves them all.
inline std::uint32_t ticks_left = kInterruptPollTicks;
}  // namespace interrupt_detail

inline void poll_interrupt() {
  if (--interrupt_detail::ticks_left == 0) [[unlikely]]
    check_interrupt();
}

// Bytes of plain work (scanned, copied, written) that make one poll's piece.
inline constexpr std::size_t kInterruptPollBytes = 4096;
// A text at least this long is worked through in pieces of this length, or polls for itself
// before a pass that reads it whole (a copy, a hash, a search): a pass over hundreds of
// megabytes then stands alone between two asks of the check.
inline constexpr std::size_t kLongTextBytes = 64 * 1024;

// `poll_interrupt_bytes` out of the way of the hot paths that meet a long text rarely.
[[gnu::cold]] void poll_long_text(std::size_t bytes);

// Polls for a text of `bytes` that is about to be read whole, when it is long.
inline void poll_if_long(std::size_t bytes) {
  if (bytes >= kLongTextBytes) [[unlikely]]
    poll_long_text(bytes);
}

// Polls as often as `bytes` of plain work amount to, at least once: a long text is then
// one piece per few kilobytes, however it is cut.
inline void poll_interrupt_bytes(std::size_t bytes) {
  std::size_t ticks = 1 + bytes / kInterruptPollBytes;
  if (ticks >= interrupt_detail::ticks_left) [[unlikely]] {
    check_interrupt();
    return;
  }
  interrupt_detail::ticks_left -= static_cast<std::uint32_t>(ticks);
}

}  // namespace vel
