#include "storage/data_flush.hpp"

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

PendingFlush::PendingFlush(std::size_t capacity, unsigned helpers) : fds_(capacity, -1), errors_(capacity, 0) {
  // Without a semaphore there are no helpers: wait() flushes everything.
  ready_made_ = ::sem_init(&ready_, 0, 0) == 0;
  if (!ready_made_) return;
  const std::size_t count = std::min<std::size_t>(helpers, capacity);
  threads_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    pthread_t thread;
    // Fewer helpers only means fewer flushes in flight; wait() does the rest.
    if (::pthread_create(&thread, nullptr, &PendingFlush::run, this) != 0) break;
    threads_.push_back(thread);
  }
}

PendingFlush::~PendingFlush() {
  wait();
  if (ready_made_) ::sem_destroy(&ready_);
}

void* PendingFlush::run(void* self) noexcept {
  static_cast<PendingFlush*>(self)->work();
  return nullptr;
}

void PendingFlush::add(int fd) noexcept {
  const std::size_t index = added_.load(std::memory_order_relaxed);
  fds_[index] = fd;
  added_.store(index + 1, std::memory_order_release);
  if (!threads_.empty()) ::sem_post(&ready_);
}

void PendingFlush::work() noexcept {
  for (;;) {
    while (::sem_wait(&ready_) != 0) {
      if (errno != EINTR) return;  // cannot happen on a valid semaphore; wait() flushes what is left
    }
    // Every post before the caller's last ones stands for a descriptor
    // already added, so an index past them means the caller is waiting.
    const std::size_t i = next_.fetch_add(1, std::memory_order_relaxed);
    if (i >= added_.load(std::memory_order_acquire)) return;
    errors_[i] = flush_one(fds_[i]);
  }
}

void PendingFlush::take_rest() noexcept {
  const std::size_t added = added_.load(std::memory_order_relaxed);
  for (std::size_t i; (i = next_.fetch_add(1, std::memory_order_relaxed)) < added;) errors_[i] = flush_one(fds_[i]);
}

const std::vector<int>& PendingFlush::wait() {
  if (!waited_) {
    waited_ = true;
    for (std::size_t i = 0; i < threads_.size(); ++i) ::sem_post(&ready_);
    take_rest();
    for (pthread_t thread : threads_) ::pthread_join(thread, nullptr);
    threads_.clear();
  }
  return errors_;
}

std::vector<int> flush_data(std::span<const int> fds, unsigned workers) {
  PendingFlush flush(fds.size(), std::max(workers, 1u) - 1);
  for (int fd : fds) flush.add(fd);
  return flush.wait();
}

}  // namespace tessary::storage
