#pragma once
// Flushing the data of many open files to the disk, several at a time.
#include <semaphore.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <span>
#include <vector>

namespace tessary::storage {

// fdatasync for descriptors handed over one at a time, each started on one
// of `helpers` threads of its own as soon as it is added, so that the caller
// goes on (writing the next file, say) while the files before it are
// flushed. One after another, each call on a disk with a volatile write
// cache waits for a journal commit and a device cache flush of its own;
// calls in flight together share them. The descriptors must stay open until
// wait().
class PendingFlush {
 public:
  // Room for `capacity` descriptors.
  PendingFlush(std::size_t capacity, unsigned helpers);
  PendingFlush(const PendingFlush&) = delete;
  PendingFlush& operator=(const PendingFlush&) = delete;
  ~PendingFlush();

  // Hands over the next descriptor; no more than `capacity` in all, and
  // none after wait().
  void add(int fd) noexcept;

  // Joins in with the flushes not yet taken, then waits for the rest. The
  // errno of each added descriptor's flush, in the order added, 0 where it
  // succeeded.
  const std::vector<int>& wait();

 private:
  void work() noexcept;
  void take_rest() noexcept;
  static void* run(void* self) noexcept;

  std::vector<int> fds_;
  std::vector<int> errors_;
  std::atomic<std::size_t> added_{0};
  std::atomic<std::size_t> next_{0};
  // One post for each descriptor added, then one for each helper when the
  // caller waits: a helper that takes an index past the last descriptor ends.
  sem_t ready_;
  bool ready_made_ = false;
  bool waited_ = false;
  // POSIX threads rather than std::thread: a thread that cannot be started
  // (no memory, a process limit) is an error value here, not an exception.
  std::vector<pthread_t> threads_;
};

// fdatasync for every descriptor, on up to `workers` threads including the
// caller's, waited for at once. Works on the calling thread alone when no
// thread can be started.
std::vector<int> flush_data(std::span<const int> fds, unsigned workers);

}  // namespace tessary::storage
