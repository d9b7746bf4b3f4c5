#pragma once
// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above
// U+10FFFF. The one validator behind CBOR text, the receipt writer's checks
// and the store's reading of receipt files.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tessary::formats::utf8 {

// What a lead byte allows, after RFC 3629's table of well-formed sequences:
// the sequence's length (0: the byte begins none) and the range of its second
// byte, which rules out overlong forms, surrogates and code points above
// U+10FFFF. Every later byte is a plain continuation byte, 80..BF.
struct Lead {
  std::uint8_t length;
  std::uint8_t second_low;
  std::uint8_t second_high;
};

constexpr Lead lead(std::uint8_t byte) noexcept {
  if (byte < 0x80) return {1, 0x80, 0xBF};
  if (byte >= 0xC2 && byte <= 0xDF) return {2, 0x80, 0xBF};
  if (byte == 0xE0) return {3, 0xA0, 0xBF};
  if (byte == 0xED) return {3, 0x80, 0x9F};
  if (byte >= 0xE1 && byte <= 0xEF) return {3, 0x80, 0xBF};
  if (byte == 0xF0) return {4, 0x90, 0xBF};
  if (byte == 0xF4) return {4, 0x80, 0x8F};
  if (byte >= 0xF1 && byte <= 0xF3) return {4, 0x80, 0xBF};
  return {0, 0x80, 0xBF};
}

constexpr bool is_continuation(std::uint8_t byte) noexcept { return byte >= 0x80 && byte <= 0xBF; }

// Offset of the first byte that does not begin a well-formed sequence, if any.
// Runs of ASCII, the bulk of receipt text, are checked a machine word at a time.
std::optional<std::size_t> first_invalid(std::string_view text) noexcept;

inline bool is_valid(std::string_view text) noexcept { return !first_invalid(text); }

}  // namespace tessary::formats::utf8
