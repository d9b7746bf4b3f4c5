#include "formats/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace tessary::formats::utf8 {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// Length of the well-formed sequence starting at `i`, or 0. The ranges for
// the second byte are those of RFC 3629's table, which rule out overlong
// forms, surrogates and code points above U+10FFFF.
std::size_t sequence_length(std::string_view s, std::size_t i) noexcept {
  auto at = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  const std::uint8_t lead = at(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (s.size() - i < length) return 0;
  if (at(i + 1) < lo || at(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

std::optional<std::size_t> first_invalid(std::string_view text) noexcept {
  std::size_t i = 0;
  while (i < text.size()) {
    if (text.size() - i >= 8) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, sizeof word);
      if ((word & kHighBits) == 0) {
        i += 8;
        continue;
      }
    }
    const std::size_t length = sequence_length(text, i);
    if (length == 0) return i;
    i += length;
  }
  return std::nullopt;
}

}  // namespace tessary::formats::utf8
