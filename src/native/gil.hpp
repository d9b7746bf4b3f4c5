#pragma once
// Running native work with the interpreter lock released, and the signal
// poll that lets such work still stop for Ctrl-C.
#include "python/python.hpp"

namespace tessary::native {

// Releases the interpreter lock for its lifetime. While it is released, the
// thread's saved state is remembered so that the signal poll can take the
// lock back for a moment. Hold only native values (and owned references
// that nothing else touches) inside.
class WithoutGil {
 public:
  WithoutGil() noexcept;
  ~WithoutGil();
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* state_;
  PyThreadState* outer_;
};

// Remembers which thread is Python's main thread (the only one whose signal
// handlers run) and installs the poll for this module's copy of the
// libraries. Call once, at import, with the interpreter lock held.
bool install_signal_poll();

}  // namespace tessary::native
