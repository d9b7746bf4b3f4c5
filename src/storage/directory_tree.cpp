#include "storage/directory_tree.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "formats/os_error.hpp"
#include "storage/store_paths.hpp"

namespace tessary::storage {

using formats::has_nul;
using formats::kNulInPath;
using formats::os_error_text;
namespace {

bool is_directory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// 0 when `path` is now a directory, else the errno of the failed mkdir.
int make_one(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0) return 0;
  const int err = errno;
  return is_directory(path) ? 0 : err;
}

// Flushes the directories made (top down, all of them made already) and
// the existing parent holding the top one's entry; each made directory
// holds the entry of the next.
std::expected<void, std::string> flush_made(const std::vector<std::string>& made) {
  if (made.empty()) return {};
  if (const auto parent = parent_path(made.front())) {
    if (auto synced = sync_directory(parent->empty() ? std::string_view(".") : *parent); !synced) return synced;
  }
  for (const std::string& dir : made) {
    if (auto synced = sync_directory(dir); !synced) return synced;
  }
  return {};
}

}  // namespace

std::expected<void, std::string> sync_directory(std::string_view path) {
  const std::string text(path);
  if (has_nul(text)) return std::unexpected(std::string(kNulInPath));
  const int fd = ::open(text.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(os_error_text(errno));
  int err = 0;
  while (::fsync(fd) != 0) {
    if (errno == EINTR) continue;
    if (errno != EINVAL) err = errno;
    break;
  }
  ::close(fd);
  if (err != 0) return std::unexpected(os_error_text(err));
  return {};
}

std::expected<void, std::string> create_directory_all(std::string_view path, bool flush) {
  if (path.empty()) return {};
  if (has_nul(path)) return std::unexpected(std::string(kNulInPath));

  // Climb while components are missing, then make them from the top down.
  // Only "missing parent" sends us further up; any other failure belongs to
  // the component that met it.
  std::vector<std::string> missing;
  std::vector<std::string> made;  // top down
  std::string current(path);
  for (;;) {
    if (::mkdir(current.c_str(), 0777) == 0) {
      made.push_back(std::move(current));
      break;
    }
    const int err = errno;
    if (err != ENOENT) {
      if (is_directory(current)) break;
      return std::unexpected(os_error_text(err));
    }
    const auto parent = parent_path(current);
    if (!parent) return std::unexpected(std::string("failed to create whole tree"));
    std::string next(*parent);  // copied before `current` moves away under it
    missing.push_back(std::move(current));
    if (next.empty()) break;
    current = std::move(next);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (const int err = make_one(*it); err != 0) return std::unexpected(os_error_text(err));
    made.push_back(std::move(*it));
  }
  return flush ? flush_made(made) : std::expected<void, std::string>{};
}

}  // namespace tessary::storage
