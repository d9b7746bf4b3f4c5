#include "storage/directory_tree.hpp"

#include <sys/stat.h>

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

}  // namespace

std::expected<void, std::string> create_directory_all(std::string_view path) {
  if (path.empty()) return {};
  if (has_nul(path)) return std::unexpected(std::string(kNulInPath));

  // Climb while components are missing, then make them from the top down.
  // Only "missing parent" sends us further up; any other failure belongs to
  // the component that met it.
  std::vector<std::string> missing;
  std::string current(path);
  for (;;) {
    if (::mkdir(current.c_str(), 0777) == 0) break;
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
  }
  return {};
}

}  // namespace tessary::storage
