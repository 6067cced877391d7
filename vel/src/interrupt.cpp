#include "vel/interrupt.hpp"

#include "vel/stop.hpp"

namespace vel {

namespace {
InterruptCheck installed = nullptr;
}  // namespace

void set_interrupt_check(InterruptCheck check) { installed = check; }

void poll_long_text(std::size_t bytes) { poll_interrupt_bytes(bytes); }

void check_interrupt() {
  // Reset first: an interrupted call leaves a full count to the next one.
  interrupt_detail::ticks_left = kInterruptPollTicks;
  if (installed != nullptr && installed()) throw Interrupted{};
}

}  // namespace vel
