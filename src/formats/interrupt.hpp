#pragma once
// Long work (hashing a file or a large buffer, scanning a store) asks at
// regular points whether its caller wants it to stop, as a Python program
// does when Ctrl-C arrives. The embedding program installs the question once;
// without one, work never stops early. A poll that answers true has already
// recorded why in the embedder's own terms (the binding leaves the exception
// its signal handler raised), so the work only has to unwind and say so.
#include <cstddef>

namespace tessary::formats {

using InterruptPoll = bool (*)() noexcept;

void set_interrupt_poll(InterruptPoll poll) noexcept;

// Asks the installed poll; false when there is none.
bool interrupt_requested() noexcept;

// Bytes of in-memory work between two polls: a few milliseconds.
inline constexpr std::size_t kInterruptStride = std::size_t{8} << 20;

}  // namespace tessary::formats
