#include "receipts/json_decode_uuid.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace tessary::receipts::json_decode {

namespace {

constexpr std::uint8_t kNotHex = 0xFF;

constexpr std::array<std::uint8_t, 256> kHexValue = [] {
  std::array<std::uint8_t, 256> table{};
  table.fill(kNotHex);
  for (int c = 0; c < 10; ++c) table['0' + c] = static_cast<std::uint8_t>(c);
  for (int c = 0; c < 6; ++c) {
    table['a' + c] = static_cast<std::uint8_t>(10 + c);
    table['A' + c] = static_cast<std::uint8_t>(10 + c);
  }
  return table;
}();

std::optional<Uuid> parse_hyphenated(std::string_view text) {
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return std::nullopt;
  Uuid uuid;
  std::size_t at = 0;
  for (std::size_t i = 0; i < uuid.size(); ++i) {
    if (at == 8 || at == 13 || at == 18 || at == 23) ++at;
    const std::uint8_t high = kHexValue[static_cast<unsigned char>(text[at])];
    const std::uint8_t low = kHexValue[static_cast<unsigned char>(text[at + 1])];
    if (high == kNotHex || low == kNotHex) return std::nullopt;
    uuid[i] = static_cast<std::uint8_t>(high << 4 | low);
    at += 2;
  }
  return uuid;
}

}  // namespace

std::expected<Uuid, formats::uuid::ParseError> parse_uuid(std::string_view text) {
  if (auto uuid = parse_hyphenated(text)) return *uuid;
  return formats::uuid::parse(text);
}

}  // namespace tessary::receipts::json_decode
