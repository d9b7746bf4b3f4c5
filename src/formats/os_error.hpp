#pragma once
// How the store words operating-system failures: the system's message and
// the error number, "No such file or directory (os error 2)".
#include <string>
#include <string_view>

namespace tessary::formats {

std::string os_error_text(int err);

// A path holding a NUL byte cannot be handed to the system at all.
inline constexpr std::string_view kNulInPath = "file name contained an unexpected NUL byte";
inline bool has_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

}  // namespace tessary::formats
