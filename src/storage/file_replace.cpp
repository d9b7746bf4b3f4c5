#include "storage/file_replace.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "formats/os_error.hpp"
#include "formats/random.hpp"
#include "storage/data_flush.hpp"
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
// Flushes in flight at once for each group, besides the writing thread's
// own. Measured on an ext4 virtual disk with a write-back cache, per file of
// a batch: about 300 us flushing one at a time, 110 us with 16 in flight
// once a group was written, 50 us writing and renaming without any flush.
// Starting each file's flush as soon as it is written, with 32 in flight,
// brought a batch of 10,000 receipts nearer the rate without flushes, in
// most runs, than 16, 32 or 64 in flight after each group or 64 started at
// once (bench/bench_durable.py).
constexpr unsigned kFlushWorkers = 32;

std::atomic<std::uint64_t> temporary_counter{0};

// Random, so that two writers sharing a pid (in different containers on one
// volume, say) do not collide; a counter when no random source answers.
std::uint64_t name_suffix() {
  std::array<std::uint8_t, 8> bytes{};
  if (!formats::small_random_bytes(bytes)) return temporary_counter.fetch_add(1, std::memory_order_relaxed);
  std::uint64_t value = 0;
  for (std::uint8_t b : bytes) value = value << 8 | b;
  return value;
}

std::string temporary_name(std::string_view file_name) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name = ".";
  name += file_name;
  name += '.';
  name += std::to_string(::getpid());
  name += '.';
  const std::uint64_t suffix = name_suffix();
  for (int shift = 60; shift >= 0; shift -= 4) name += kHex[suffix >> shift & 0xF];
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

  int fd() const { return fd_; }

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

// Files of a batch written but not yet in place, oldest first. A deque, as
// a TemporaryFile never moves.
using Group = std::deque<TemporaryFile>;

std::unexpected<ReplaceFailure> failed(std::size_t index, std::string reason) {
  return std::unexpected(ReplaceFailure{index, std::move(reason)});
}

// Writes files[0..] into new temporary files until the group is full,
// handing each to `flush` (when there is one) as soon as it is written;
// stops early, with what it has (maybe nothing, when `others_open` holds
// descriptors that will be freed), when the process runs out of
// descriptors. The group keeps the files written before a failure.
std::expected<void, ReplaceFailure> write_group(std::string_view directory, std::span<const FileText> files,
                                                std::size_t limit, Group& group, PendingFlush* flush = nullptr,
                                                bool others_open = false) {
  for (std::size_t i = 0; i < files.size() && i < limit; ++i) {
    if (has_nul(directory) || has_nul(files[i].name)) return failed(i, std::string(kNulInPath));
    TemporaryFile& temporary = group.emplace_back();
    if (const int err = temporary.create(directory, files[i].name); err != 0) {
      group.pop_back();
      if ((err == EMFILE || err == ENFILE) && (others_open || !group.empty())) return {};
      return failed(i, os_error_text(err));
    }
    if (auto written = temporary.write_all(files[i].text); !written) {
      group.pop_back();
      return failed(i, std::move(written.error()));
    }
    if (flush != nullptr) flush->add(temporary.fd());
  }
  return {};
}

// Closes and renames the group's files in order, stopping at the first that
// fails, its flush (errors[i], an errno) included.
std::expected<void, ReplaceFailure> commit_group(std::string_view directory, std::span<const FileText> files,
                                                 const std::vector<int>& errors, Group& group) {
  for (std::size_t i = 0; i < group.size(); ++i) {
    if (errors[i] != 0) return failed(i, os_error_text(errors[i]));
    if (auto closed = group[i].close(); !closed) return failed(i, std::move(closed.error()));
    if (auto renamed = group[i].rename_to(join_path(directory, files[i].name)); !renamed) {
      return failed(i, std::move(renamed.error()));
    }
  }
  return {};
}

// Flushed batches are pipelined: each file's flush starts as soon as it is
// written, and while one group's last flushes finish the next group is
// written, so a batch costs about the larger of writing and flushing
// instead of their sum.
std::expected<void, ReplaceFailure> replace_flushed(std::string_view directory, std::span<const FileText> files) {
  // Room for a whole group, and no more helpers than the files to flush: a
  // single file costs one helper thread, not a pool of them.
  auto new_flush = [](std::size_t files_left) {
    return std::make_unique<PendingFlush>(std::min(files_left, kReplaceGroupFiles), kFlushWorkers);
  };
  Group current;
  auto flush = new_flush(files.size());
  auto written = write_group(directory, files, kReplaceGroupFiles, current, flush.get());
  for (std::size_t start = 0; start < files.size();) {
    const std::size_t count = current.size();
    Group next;
    std::unique_ptr<PendingFlush> next_flush;
    std::expected<void, ReplaceFailure> next_written;
    const std::span<const FileText> rest = files.subspan(start + count);
    if (written && !rest.empty()) {
      next_flush = new_flush(rest.size());
      next_written = write_group(directory, rest, kReplaceGroupFiles, next, next_flush.get(), count > 0);
    }
    // What was written before a failure is still committed: every file
    // before the failed one ends up in place, as one at a time would have.
    if (auto committed = commit_group(directory, files.subspan(start, count), flush->wait(), current); !committed) {
      return failed(start + committed.error().index, std::move(committed.error().reason));
    }
    if (!written) return failed(start + written.error().index, std::move(written.error().reason));
    start += count;
    written = std::move(next_written);
    current.swap(next);
    flush = std::move(next_flush);
  }
  return {};
}

}  // namespace

std::expected<void, ReplaceFailure> replace_files(std::string_view directory, std::span<const FileText> files,
                                                  Durability durability) {
  if (durability == Durability::Flushed) return replace_flushed(directory, files);
  // Cached files go one at a time, exactly as a single store does: holding
  // them open would buy nothing.
  const std::vector<int> no_errors(1, 0);
  for (std::size_t i = 0; i < files.size(); ++i) {
    Group group;
    auto written = write_group(directory, files.subspan(i), 1, group);
    if (!written) return failed(i, std::move(written.error().reason));
    if (auto committed = commit_group(directory, files.subspan(i, 1), no_errors, group); !committed) {
      return failed(i, std::move(committed.error().reason));
    }
  }
  return {};
}

std::optional<std::string_view> temporary_target(std::string_view name) {
  constexpr std::string_view kSuffix = ".tmp";
  if (name.size() < 1 + kSuffix.size() || name.front() != '.' || !name.ends_with(kSuffix)) return std::nullopt;
  name.remove_prefix(1);
  name.remove_suffix(kSuffix.size());
  // What is left: target "." pid "." hex.
  const std::size_t hex_dot = name.rfind('.');
  if (hex_dot == std::string_view::npos) return std::nullopt;
  const std::string_view hex = name.substr(hex_dot + 1);
  const std::size_t pid_dot = name.rfind('.', hex_dot == 0 ? 0 : hex_dot - 1);
  if (pid_dot == std::string_view::npos || pid_dot == 0 || hex_dot == 0) return std::nullopt;
  const std::string_view pid = name.substr(pid_dot + 1, hex_dot - pid_dot - 1);
  auto all_of = [](std::string_view text, std::string_view alphabet, std::size_t most) {
    return !text.empty() && text.size() <= most && text.find_first_not_of(alphabet) == std::string_view::npos;
  };
  if (!all_of(pid, "0123456789", 10) || !all_of(hex, "0123456789abcdef", 16)) return std::nullopt;
  return name.substr(0, pid_dot);
}

}  // namespace tessary::storage
