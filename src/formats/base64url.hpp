#pragma once
// Base64 with the URL-safe alphabet (RFC 4648 section 5), written without
// padding and read strictly: no "=", no whitespace, and the unused low bits of
// the last symbol must be zero, so every byte string has exactly one text form.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessary::formats::base64url {

struct DecodeError {
  enum class Kind : std::uint8_t {
    InvalidSymbol,      // a byte outside the alphabet
    InvalidLength,      // one symbol left over: it cannot hold a whole byte
    InvalidLastSymbol,  // the last symbol carries bits beyond the data
    InvalidPadding,     // "=" padding at the end
  };
  Kind kind = Kind::InvalidSymbol;
  std::size_t offset = 0;  // InvalidSymbol, InvalidLastSymbol: where; InvalidLength: the input length
  std::uint8_t symbol = 0;

  // "Invalid symbol 33, offset 4.", "Invalid input length: 5",
  // "Invalid last symbol 66, offset 42.", "Invalid padding".
  std::string to_string() const;
  friend bool operator==(const DecodeError&, const DecodeError&) = default;
};

std::string encode(std::span<const std::uint8_t> bytes);

std::expected<std::vector<std::uint8_t>, DecodeError> decode(std::string_view text);

}  // namespace tessary::formats::base64url
