#pragma once
// Flushing the data of many open files to the disk, several at a time.
#include <atomic>
#include <cstddef>
#include <span>
#include <pthread.h>
#include <vector>

namespace tessary::storage {

// Asks the kernel to start writing back the file's dirty pages now, without
// waiting: by the time its data is flushed the pages of the whole group are
// already under way. Only a hint; does nothing where the system lacks it.
void start_writeback(int fd) noexcept;

// fdatasync for every descriptor, started on `helpers` threads of its own
// so that the caller can go on (writing the next files, say) until wait().
// One after another, each call on a disk with a volatile write cache waits
// for a journal commit and a device cache flush of its own; calls in flight
// together share them. The descriptors must stay open until wait().
class PendingFlush {
 public:
  PendingFlush(std::vector<int> fds, unsigned helpers);
  PendingFlush(const PendingFlush&) = delete;
  PendingFlush& operator=(const PendingFlush&) = delete;
  ~PendingFlush() { wait(); }

  // Joins in with the flushes not yet taken, then waits for the rest. The
  // errno of each descriptor's flush, 0 where it succeeded.
  const std::vector<int>& wait();

 private:
  void work() noexcept;
  static void* run(void* self) noexcept;

  const std::vector<int> fds_;
  std::vector<int> errors_;
  std::atomic<std::size_t> next_{0};
  // POSIX threads rather than std::thread: a thread that cannot be started
  // (no memory, a process limit) is an error value here, not an exception.
  std::vector<pthread_t> threads_;
};

// The same, waited for at once, on up to `workers` threads including the
// caller's. Works on the calling thread alone when no thread can be started.
std::vector<int> flush_data(std::span<const int> fds, unsigned workers);

}  // namespace tessary::storage
