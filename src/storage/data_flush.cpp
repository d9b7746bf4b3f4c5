#include "storage/data_flush.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tessary::storage {
namespace {

int flush_one(int fd) noexcept {
  while (::fdatasync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

}  // namespace

void start_writeback(int fd) noexcept {
#ifdef SYNC_FILE_RANGE_WRITE
  ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  (void)fd;
#endif
}

PendingFlush::PendingFlush(std::vector<int> fds, unsigned helpers) : fds_(std::move(fds)), errors_(fds_.size(), 0) {
  const std::size_t count = std::min<std::size_t>(helpers, fds_.size());
  threads_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    pthread_t thread;
    // Fewer helpers only means fewer flushes in flight; wait() does the rest.
    if (::pthread_create(&thread, nullptr, &PendingFlush::run, this) != 0) break;
    threads_.push_back(thread);
  }
}

void* PendingFlush::run(void* self) noexcept {
  static_cast<PendingFlush*>(self)->work();
  return nullptr;
}

void PendingFlush::work() noexcept {
  for (std::size_t i; (i = next_.fetch_add(1, std::memory_order_relaxed)) < fds_.size();) errors_[i] = flush_one(fds_[i]);
}

const std::vector<int>& PendingFlush::wait() {
  work();
  for (pthread_t thread : threads_) ::pthread_join(thread, nullptr);
  threads_.clear();
  return errors_;
}

std::vector<int> flush_data(std::span<const int> fds, unsigned workers) {
  PendingFlush flush(std::vector<int>(fds.begin(), fds.end()), std::max(workers, 1u) - 1);
  return flush.wait();
}

}  // namespace tessary::storage
