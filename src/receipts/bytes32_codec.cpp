#include "receipts/bytes32_codec.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "formats/base64url.hpp"

namespace tessary::receipts {

namespace {

using formats::json::Value;
using json_decode::Failure;
using json_decode::Position;

constexpr std::string_view kExpecting = "a base64url string or array of 32 numbers";

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::uint8_t kNotSymbol = 0xFF;
constexpr std::array<std::uint8_t, 256> kSymbolValue = [] {
  std::array<std::uint8_t, 256> table{};
  table.fill(kNotSymbol);
  for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  return table;
}();

// 32 bytes are ten groups of three bytes (four symbols each) and a last pair
// of bytes (three symbols, whose final two bits are zero): 43 symbols.
constexpr std::size_t kTextLength = 43;

// The well-formed case, decoded in place without the general decoder's
// allocation; empty for anything else, which the general decoder then words.
std::optional<Digest32> decode_well_formed(std::string_view text) {
  if (text.size() != kTextLength) return std::nullopt;
  std::uint8_t v[kTextLength];
  std::uint8_t any_bad = 0;
  for (std::size_t i = 0; i < kTextLength; ++i) {
    v[i] = kSymbolValue[static_cast<unsigned char>(text[i])];
    any_bad |= v[i] & 0xC0;
  }
  if (any_bad != 0 || (v[42] & 0x03) != 0) return std::nullopt;
  Digest32 digest;
  for (std::size_t g = 0; g < 10; ++g) {
    const std::uint32_t bits = std::uint32_t{v[4 * g]} << 18 | std::uint32_t{v[4 * g + 1]} << 12 |
                               std::uint32_t{v[4 * g + 2]} << 6 | v[4 * g + 3];
    digest[3 * g] = static_cast<std::uint8_t>(bits >> 16);
    digest[3 * g + 1] = static_cast<std::uint8_t>(bits >> 8);
    digest[3 * g + 2] = static_cast<std::uint8_t>(bits);
  }
  const std::uint32_t tail = std::uint32_t{v[40]} << 10 | std::uint32_t{v[41]} << 4 | v[42] >> 2;
  digest[30] = static_cast<std::uint8_t>(tail >> 8);
  digest[31] = static_cast<std::uint8_t>(tail);
  return digest;
}

std::expected<std::optional<Digest32>, Failure> fail(std::string message, Position position) {
  return std::unexpected(Failure{std::move(message), position});
}

std::expected<std::optional<Digest32>, Failure> from_text(const Value& value) {
  if (auto digest = decode_well_formed(value.as_string())) return digest;
  auto bytes = formats::base64url::decode(value.as_string());
  if (!bytes) return fail("Invalid base64url string: " + bytes.error().to_string(), Position::end(value));
  if (bytes->size() != 32) {
    return fail("Expected 32 bytes, got " + std::to_string(bytes->size()) + " bytes", Position::end(value));
  }
  Digest32 digest;
  for (std::size_t i = 0; i < 32; ++i) digest[i] = (*bytes)[i];
  return digest;
}

std::expected<std::uint8_t, Failure> byte_of(const Value& element) {
  if (element.is_uint() && element.as_uint() <= 0xFF) return static_cast<std::uint8_t>(element.as_uint());
  if (element.is_uint() || element.is_int()) return std::unexpected(json_decode::invalid_value(element, "u8"));
  return std::unexpected(json_decode::invalid_type(element, "u8"));
}

std::expected<std::optional<Digest32>, Failure> from_array(const Value& value) {
  const formats::json::Array& elements = value.as_array();
  Digest32 digest{};
  for (std::size_t i = 0; i < elements.size() && i < 32; ++i) {
    auto byte = byte_of(elements[i]);
    if (!byte) return std::unexpected(std::move(byte.error()));
    digest[i] = *byte;
  }
  if (elements.size() < 32) {
    return fail("Array too short, expected 32 bytes, got " + std::to_string(elements.size()), Position::end(value));
  }
  if (elements.size() > 32) {
    // A reader that consumed the 33rd element stops at the closing bracket
    // when that was the last one, else at the start of the 34th.
    const Position where = elements.size() == 33 ? Position::end(value) : Position::start(elements[33]);
    return fail("Array too long, expected 32 bytes", where);
  }
  return digest;
}

}  // namespace

void append_digest32_json(const Digest32& digest, std::string& out) {
  char text[kTextLength + 2];
  std::size_t at = 0;
  text[at++] = '"';
  for (std::size_t g = 0; g < 10; ++g) {
    const std::uint32_t bits = std::uint32_t{digest[3 * g]} << 16 | std::uint32_t{digest[3 * g + 1]} << 8 | digest[3 * g + 2];
    text[at++] = kAlphabet[bits >> 18];
    text[at++] = kAlphabet[bits >> 12 & 0x3F];
    text[at++] = kAlphabet[bits >> 6 & 0x3F];
    text[at++] = kAlphabet[bits & 0x3F];
  }
  const std::uint32_t tail = std::uint32_t{digest[30]} << 8 | digest[31];
  text[at++] = kAlphabet[tail >> 10];
  text[at++] = kAlphabet[tail >> 4 & 0x3F];
  text[at++] = kAlphabet[(tail & 0x0F) << 2];
  text[at++] = '"';
  out.append(text, at);
}

std::expected<std::optional<Digest32>, Failure> decode_digest32(const Value& value) {
  if (value.is_null()) return std::optional<Digest32>{};
  if (value.is_string()) return from_text(value);
  if (value.is_array()) return from_array(value);
  Failure failure = json_decode::invalid_type(value, kExpecting);
  if (value.is_object()) {
    // Refused on entry; the reader then stops just inside a non-empty object,
    // or past the closing brace of an empty one.
    failure.position = value.as_object().empty() ? Position::end(value) : Position::start(value, 1);
  }
  return std::unexpected(std::move(failure));
}

void write_digest32_cbor(formats::cbor::Writer& writer, const std::optional<Digest32>& digest) {
  if (!digest) {
    writer.write_null();
    return;
  }
  writer.write_array_head(digest->size());
  for (const std::uint8_t byte : *digest) writer.write_uint(byte);
}

}  // namespace tessary::receipts
