#include "storage/leftover_sweep.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include "formats/os_error.hpp"
#include "storage/file_replace.hpp"

namespace tessary::storage {

std::size_t remove_stale_temporaries(const std::string& directory, bool (*is_target)(std::string_view),
                                     std::chrono::seconds min_age) {
  if (formats::has_nul(directory)) return 0;
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return 0;
  const std::time_t cutoff = std::time(nullptr) - static_cast<std::time_t>(min_age.count());
  std::size_t removed = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    const auto target = temporary_target(name);
    if (!target || !is_target(*target)) continue;
    struct stat info;
    if (::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    // A clock set back makes files look young, never old: they wait.
    if (!S_ISREG(info.st_mode) || info.st_mtime > cutoff) continue;
    if (::unlinkat(::dirfd(dir), entry->d_name, 0) == 0) ++removed;
  }
  ::closedir(dir);
  return removed;
}

}  // namespace tessary::storage
