#include "native/gil.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>

#include "formats/interrupt.hpp"
#include "python/py_ref.hpp"

namespace tessary::native {

namespace {

using python::Ref;
using Clock = std::chrono::steady_clock;

// Taking the interpreter lock back costs a context switch when another
// thread holds it; 20 ms keeps Ctrl-C prompt and the cost out of sight.
constexpr auto kPollInterval = std::chrono::milliseconds(20);

// The state saved by the innermost WithoutGil of this thread; null while
// the thread holds the interpreter lock.
thread_local PyThreadState* released_state = nullptr;

std::atomic<unsigned long> main_thread_ident{0};

bool poll_signals() noexcept {
  if (PyThread_get_thread_ident() != main_thread_ident.load(std::memory_order_relaxed)) return false;
  // A system call that a signal interrupted polls with errno still EINTR.
  // It must check now: the call is about to be retried and may block with
  // no second signal coming to wake it. Cleared so the answer is not reused.
  const bool after_interrupted_call = errno == EINTR;
  if (after_interrupted_call) errno = 0;
  static Clock::time_point last_check{};  // main thread only
  const Clock::time_point now = Clock::now();
  if (!after_interrupted_call && now - last_check < kPollInterval) return false;
  last_check = now;
  PyThreadState* saved = released_state;
  if (saved == nullptr) return PyErr_CheckSignals() != 0;
  PyEval_RestoreThread(saved);
  released_state = nullptr;  // the handler runs holding the lock, and may call in here again
  const bool raised = PyErr_CheckSignals() != 0;  // the exception stays in the thread state
  released_state = PyEval_SaveThread();
  return raised;
}

}  // namespace

WithoutGil::WithoutGil() noexcept : state_(PyEval_SaveThread()), outer_(released_state) { released_state = state_; }

WithoutGil::~WithoutGil() {
  // The poll may have saved the state again: restore whichever is current.
  PyThreadState* current = released_state;
  released_state = outer_;
  PyEval_RestoreThread(current != nullptr ? current : state_);
}

bool install_signal_poll() {
  // threading knows the main thread even when this import runs elsewhere.
  Ref threading = Ref::steal(PyImport_ImportModule("threading"));
  if (!threading) return false;
  Ref main = Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
  if (!main) return false;
  Ref ident = Ref::steal(PyObject_GetAttrString(main.get(), "ident"));
  if (!ident) return false;
  const unsigned long value = PyLong_AsUnsignedLong(ident.get());
  if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
  main_thread_ident.store(value, std::memory_order_relaxed);
  formats::set_interrupt_poll(poll_signals);
  return true;
}

}  // namespace tessary::native
