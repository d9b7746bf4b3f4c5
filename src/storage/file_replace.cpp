#include "storage/file_replace.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>

#include "formats/os_error.hpp"
#include "storage/store_paths.hpp"

namespace tessary::storage {

using formats::has_nul;
using formats::kNulInPath;
using formats::os_error_text;
namespace {

// Linux moves at most this much in one write call.
constexpr std::size_t kMaxWrite = 0x7ffff000;
// A leftover temporary file of a dead process with our pid can hold a name;
// a few fresh names get past it.
constexpr int kNameAttempts = 8;

std::atomic<std::uint64_t> temporary_counter{0};

std::string temporary_name(std::string_view file_name) {
  std::string name = ".";
  name += file_name;
  name += '.';
  name += std::to_string(::getpid());
  name += '.';
  name += std::to_string(temporary_counter.fetch_add(1, std::memory_order_relaxed));
  name += ".tmp";
  return name;
}

// A created file that is removed again unless committed, whichever way the
// scope is left.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    close_quietly();
    if (!path_.empty()) ::unlink(path_.c_str());
  }

  // 0 on success, else the errno of open.
  int create(std::string_view directory, std::string_view file_name) {
    for (int attempt = 0;; ++attempt) {
      std::string path = join_path(directory, temporary_name(file_name));
      fd_ = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
      if (fd_ >= 0) {
        path_ = std::move(path);
        return 0;
      }
      if (errno != EEXIST || attempt + 1 == kNameAttempts) return errno;
    }
  }

  std::expected<void, std::string> write_all(std::string_view text) {
    while (!text.empty()) {
      const ssize_t written = ::write(fd_, text.data(), std::min(text.size(), kMaxWrite));
      if (written < 0) {
        if (errno == EINTR) continue;
        return std::unexpected(os_error_text(errno));
      }
      if (written == 0) return std::unexpected(std::string("failed to write whole buffer"));
      text.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
  }

  // Delayed write-back failures (a full disk on a network filesystem, say)
  // surface only here, so close's result counts. On Linux the descriptor is
  // gone even when close reports EINTR, and nothing was lost.
  std::expected<void, std::string> close() {
    const int result = ::close(fd_);
    fd_ = -1;
    if (result != 0 && errno != EINTR) return std::unexpected(os_error_text(errno));
    return {};
  }

  std::expected<void, std::string> rename_to(const std::string& target) {
    if (::rename(path_.c_str(), target.c_str()) != 0) return std::unexpected(os_error_text(errno));
    path_.clear();
    return {};
  }

 private:
  void close_quietly() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  int fd_ = -1;
  std::string path_;
};

}  // namespace

std::expected<void, std::string> replace_file(std::string_view directory, std::string_view file_name,
                                              std::string_view text) {
  const std::string target = join_path(directory, file_name);
  if (has_nul(target)) return std::unexpected(std::string(kNulInPath));
  TemporaryFile temporary;
  if (const int err = temporary.create(directory, file_name); err != 0) return std::unexpected(os_error_text(err));
  if (auto written = temporary.write_all(text); !written) return written;
  if (auto closed = temporary.close(); !closed) return closed;
  // No fsync: receipts are cheap to record again and a sync per receipt
  // would cost far more than the write. What the rename buys is that no
  // reader, and no crash short of losing the page cache, ever sees a torn
  // or empty receipt under its final name.
  return temporary.rename_to(target);
}

}  // namespace tessary::storage
