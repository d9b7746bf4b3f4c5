#pragma once
// Holds a store's mutex for one whole operation. If an exception unwinds
// through the operation while the mutex is held, the operation stopped at a
// point nobody chose, so the store is marked broken and refuses all later
// operations instead of carrying on from an unknown state.
#include <exception>
#include <mutex>

namespace tessary::storage {

class StoreLock {
 public:
  StoreLock(std::mutex& mutex, bool& broken) : lock_(mutex), broken_(broken), exceptions_(std::uncaught_exceptions()) {}
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  // Runs before lock_ releases the mutex, so no other operation can slip in
  // between the fault and the mark.
  ~StoreLock() {
    if (std::uncaught_exceptions() > exceptions_) broken_ = true;
  }

  // Whether an earlier operation left the store broken.
  bool broken() const { return broken_; }

 private:
  std::unique_lock<std::mutex> lock_;
  bool& broken_;
  int exceptions_;  // already in flight when the lock was taken (a lock taken inside a destructor)
};

}  // namespace tessary::storage
