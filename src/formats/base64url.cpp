#include "formats/base64url.hpp"

#include <array>

namespace tessary::formats::base64url {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::uint8_t kNotInAlphabet = 0xFF;

constexpr std::array<std::uint8_t, 256> make_decode_table() {
  std::array<std::uint8_t, 256> table{};
  for (auto& entry : table) entry = kNotInAlphabet;
  for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  return table;
}
constexpr auto kDecode = make_decode_table();

std::uint8_t byte_at(std::string_view text, std::size_t i) { return static_cast<std::uint8_t>(text[i]); }

// "=" where padding would sit (after at least two symbols of the last group)
// and nothing but "=" after it reads as padding; anywhere else it is just a
// byte outside the alphabet.
bool is_trailing_padding(std::string_view text, std::size_t first_pad) {
  if (first_pad % 4 < 2) return false;
  return text.find_first_not_of('=', first_pad) == std::string_view::npos;
}

std::expected<void, DecodeError> check_symbols(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (kDecode[byte_at(text, i)] != kNotInAlphabet) continue;
    if (text[i] == '=' && is_trailing_padding(text, i)) {
      return std::unexpected(DecodeError{DecodeError::Kind::InvalidPadding, i, '='});
    }
    return std::unexpected(DecodeError{DecodeError::Kind::InvalidSymbol, i, byte_at(text, i)});
  }
  return {};
}

}  // namespace

std::string DecodeError::to_string() const {
  switch (kind) {
    case Kind::InvalidSymbol:
      return "Invalid symbol " + std::to_string(symbol) + ", offset " + std::to_string(offset) + ".";
    case Kind::InvalidLength:
      return "Invalid input length: " + std::to_string(offset);
    case Kind::InvalidLastSymbol:
      return "Invalid last symbol " + std::to_string(symbol) + ", offset " + std::to_string(offset) + ".";
    case Kind::InvalidPadding:
      return "Invalid padding";
  }
  return "Invalid base64url input";
}

std::string encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() * 4 + 2) / 3);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) out += kAlphabet[(group >> shift) & 0x3F];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t group = std::uint32_t{bytes[i]} << 16;
    if (rest == 2) group |= std::uint32_t{bytes[i + 1]} << 8;
    out += kAlphabet[(group >> 18) & 0x3F];
    out += kAlphabet[(group >> 12) & 0x3F];
    if (rest == 2) out += kAlphabet[(group >> 6) & 0x3F];
  }
  return out;
}

std::expected<std::vector<std::uint8_t>, DecodeError> decode(std::string_view text) {
  if (auto symbols = check_symbols(text); !symbols) return std::unexpected(symbols.error());
  const std::size_t tail = text.size() % 4;
  if (tail == 1) return std::unexpected(DecodeError{DecodeError::Kind::InvalidLength, text.size(), 0});
  if (tail != 0) {
    // 2 symbols carry 12 bits for 1 byte, 3 carry 18 bits for 2 bytes: the low
    // 4 or 2 bits of the last symbol must be zero.
    const std::uint8_t unused_mask = tail == 2 ? 0x0F : 0x03;
    const std::size_t last = text.size() - 1;
    if ((kDecode[byte_at(text, last)] & unused_mask) != 0) {
      return std::unexpected(DecodeError{DecodeError::Kind::InvalidLastSymbol, last, byte_at(text, last)});
    }
  }

  std::vector<std::uint8_t> out;
  out.reserve(text.size() / 4 * 3 + 2);
  std::uint32_t bits = 0;
  int pending = 0;
  for (char c : text) {
    bits = (bits << 6) | kDecode[static_cast<unsigned char>(c)];
    pending += 6;
    if (pending >= 8) {
      pending -= 8;
      out.push_back(static_cast<std::uint8_t>(bits >> pending));
      bits &= (1u << pending) - 1;
    }
  }
  return out;
}

}  // namespace tessary::formats::base64url
