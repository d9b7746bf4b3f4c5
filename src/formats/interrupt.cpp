#include "formats/interrupt.hpp"

#include <atomic>

namespace tessary::formats {

namespace {
std::atomic<InterruptPoll> installed_poll{nullptr};
}

void set_interrupt_poll(InterruptPoll poll) noexcept { installed_poll.store(poll, std::memory_order_release); }

bool interrupt_requested() noexcept {
  const InterruptPoll poll = installed_poll.load(std::memory_order_acquire);
  return poll != nullptr && poll();
}

}  // namespace tessary::formats
