#include "formats/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace tessary::formats::utf8 {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// Length of the well-formed sequence starting at `i`, or 0.
std::size_t sequence_length(std::string_view s, std::size_t i) noexcept {
  auto at = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  const Lead rule = lead(at(i));
  const std::size_t length = rule.length;
  if (length <= 1) return length;
  if (s.size() - i < length) return 0;
  if (at(i + 1) < rule.second_low || at(i + 1) > rule.second_high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (!is_continuation(at(i + k))) return 0;
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
