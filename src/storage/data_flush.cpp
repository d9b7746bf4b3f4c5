#include "storage/data_flush.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <system_error>
#include <thread>

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

std::vector<int> flush_data(std::span<const int> fds, unsigned workers) {
  std::vector<int> errors(fds.size(), 0);
  std::atomic<std::size_t> next{0};
  auto work = [&]() noexcept {
    for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < fds.size();) errors[i] = flush_one(fds[i]);
  };
  const std::size_t helpers = std::min<std::size_t>(fds.size(), std::max(workers, 1u)) - (fds.empty() ? 0 : 1);
  std::vector<std::thread> threads;
  threads.reserve(helpers);
  try {
    for (std::size_t i = 0; i < helpers; ++i) threads.emplace_back(work);
  } catch (const std::system_error&) {
    // Fewer helpers only means fewer flushes in flight at once.
  }
  work();
  for (std::thread& thread : threads) thread.join();
  return errors;
}

}  // namespace tessary::storage
