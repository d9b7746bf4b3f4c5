#include "formats/os_error.hpp"

#include <cstring>

namespace tessary::formats {
namespace {

// strerror_r comes in two flavours: the XSI one returns a status and fills
// the buffer, the GNU one returns the message (which may not be the buffer).
[[maybe_unused]] const char* pick_message(int status, const char* buffer) noexcept {
  return status == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* pick_message(const char* message, const char*) noexcept { return message; }

}  // namespace

std::string os_error_text(int err) {
  char buffer[256] = {};
  const char* message = pick_message(strerror_r(err, buffer, sizeof buffer), buffer);
  std::string text = message != nullptr ? message : "Unknown error " + std::to_string(err);
  return text + " (os error " + std::to_string(err) + ")";
}

}  // namespace tessary::formats
