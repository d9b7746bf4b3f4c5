#include "formats/json_utf8.hpp"

namespace tessary::formats::json {

bool is_valid_utf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    const int length = utf8_sequence_length(p, end);
    if (length <= 0) return false;
    p += length;
  }
  return true;
}

}  // namespace tessary::formats::json
