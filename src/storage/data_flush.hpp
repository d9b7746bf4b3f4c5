#pragma once
// Flushing the data of many open files to the disk, several at a time.
#include <span>
#include <vector>

namespace tessary::storage {

// Asks the kernel to start writing back the file's dirty pages now, without
// waiting: by the time its data is flushed the pages of the whole group are
// already under way. Only a hint; does nothing where the system lacks it.
void start_writeback(int fd) noexcept;

// fdatasync for every descriptor, on up to `workers` threads at once (the
// caller's among them). One after another, each call on a disk with a
// volatile write cache waits for a journal commit and a device cache flush
// of its own; calls in flight together share them. The errno of each
// descriptor's flush, 0 where it succeeded. Works on the calling thread
// alone when no thread can be started.
std::vector<int> flush_data(std::span<const int> fds, unsigned workers);

}  // namespace tessary::storage
