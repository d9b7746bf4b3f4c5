#include "storage/stderr_line.hpp"

#include <unistd.h>

#include <cerrno>

namespace tessary::storage {

void write_stderr_line(std::string_view line) noexcept {
  while (!line.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    line.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace tessary::storage
