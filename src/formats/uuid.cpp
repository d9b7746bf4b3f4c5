#include "formats/uuid.hpp"

#include <optional>

#include "formats/utf8.hpp"

namespace tessary::formats::uuid {
namespace {

constexpr std::string_view kUrnPrefix = "urn:uuid:";
constexpr std::size_t kHyphenatedLength = 36;
constexpr std::size_t kGroupStarts[5] = {0, 9, 14, 19, 24};
constexpr std::size_t kGroupLengths[5] = {8, 4, 4, 4, 12};

std::optional<std::uint8_t> hex_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

bool is_hyphen_position(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

// Reads the hexadecimal digits of `text`, skipping the hyphens of the
// hyphenated form when `hyphenated` is set; nothing else is allowed.
std::optional<Uuid> read_digits(std::string_view text, bool hyphenated) {
  Uuid out{};
  std::size_t nibble = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (hyphenated && is_hyphen_position(i)) {
      if (text[i] != '-') return std::nullopt;
      continue;
    }
    auto value = hex_value(text[i]);
    if (!value || nibble >= 32) return std::nullopt;
    out[nibble / 2] = static_cast<std::uint8_t>(out[nibble / 2] | (*value << (nibble % 2 == 0 ? 4 : 0)));
    ++nibble;
  }
  if (nibble != 32) return std::nullopt;
  return out;
}

std::optional<Uuid> try_parse(std::string_view text) {
  switch (text.size()) {
    case 32:
      return read_digits(text, false);
    case kHyphenatedLength:
      return read_digits(text, true);
    case kHyphenatedLength + 2:
      if (text.front() != '{' || text.back() != '}') return std::nullopt;
      return read_digits(text.substr(1, kHyphenatedLength), true);
    case kHyphenatedLength + kUrnPrefix.size():
      if (!text.starts_with(kUrnPrefix)) return std::nullopt;
      return read_digits(text.substr(kUrnPrefix.size()), true);
    default:
      return std::nullopt;
  }
}

// The character starting at `i` as it appears in the text: a whole UTF-8
// sequence when one starts there, else the lone byte written as \xNN.
std::string character_at(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length = utf8::lead(lead).length;
  if (length > text.size() - i) length = 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) length = 0;
  }
  if (length > 0) return std::string(text.substr(i, length));
  static constexpr char digits[] = "0123456789abcdef";
  return std::string{'\\', 'x', digits[lead >> 4], digits[lead & 0xF]};
}

// Finds the first thing wrong with a text that did not parse, looking at it as
// the form its outside suggests.
ParseError diagnose(std::string_view text) {
  std::string_view inner = text;
  std::size_t offset = 0;
  bool simple = true;
  if (text.size() >= 2 && text.front() == '{' && text.back() == '}') {
    inner = text.substr(1, text.size() - 2);
    offset = 1;
    simple = false;
  } else if (text.starts_with(kUrnPrefix)) {
    inner = text.substr(kUrnPrefix.size());
    offset = kUrnPrefix.size();
    simple = false;
  }

  std::size_t hyphens = 0;
  std::size_t hyphen_at[4] = {};
  for (std::size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] == '-') {
      if (hyphens < 4) hyphen_at[hyphens] = i;
      ++hyphens;
    } else if (!hex_value(inner[i])) {
      ParseError error;
      error.kind = ParseError::Kind::InvalidCharacter;
      error.character = character_at(inner, i);
      error.position = offset + i + 1;
      return error;
    }
  }

  if (hyphens == 0 && simple) {
    ParseError error;
    error.kind = ParseError::Kind::SimpleLength;
    error.expected = 32;
    error.found = text.size();
    return error;
  }
  if (hyphens != 4) {
    ParseError error;
    error.kind = ParseError::Kind::GroupCount;
    error.expected = 5;
    error.found = hyphens + 1;
    return error;
  }
  ParseError error;
  error.kind = ParseError::Kind::GroupLength;
  for (std::size_t g = 0; g < 4; ++g) {
    if (hyphen_at[g] != kGroupStarts[g + 1] - 1) {
      error.group = g;
      error.expected = kGroupLengths[g];
      error.found = hyphen_at[g] - kGroupStarts[g];
      return error;
    }
  }
  // The first four groups are right, so the text fails on the last one's length.
  error.group = 4;
  error.expected = kGroupLengths[4];
  error.found = inner.size() - kGroupStarts[4];
  return error;
}

}  // namespace

std::string ParseError::to_string() const {
  switch (kind) {
    case Kind::InvalidCharacter:
      return "invalid character: expected an optional prefix of `urn:uuid:` followed by [0-9a-fA-F-], found `" +
             character + "` at " + std::to_string(position);
    case Kind::SimpleLength:
      return "invalid length: expected length 32 for simple format, found " + std::to_string(found);
    case Kind::GroupCount:
      return "invalid group count: expected 5, found " + std::to_string(found);
    case Kind::GroupLength:
      return "invalid group length in group " + std::to_string(group) + ": expected " + std::to_string(expected) +
             ", found " + std::to_string(found);
  }
  return "invalid UUID";
}

std::expected<Uuid, ParseError> parse(std::string_view text) {
  if (auto uuid = try_parse(text)) return *uuid;
  return std::unexpected(diagnose(text));
}

std::string format(const Uuid& uuid) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(kHyphenatedLength);
  for (std::size_t i = 0; i < uuid.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += digits[uuid[i] >> 4];
    out += digits[uuid[i] & 0xF];
  }
  return out;
}

Uuid make_v4(Uuid random) {
  random[6] = static_cast<std::uint8_t>((random[6] & 0x0F) | 0x40);
  random[8] = static_cast<std::uint8_t>((random[8] & 0x3F) | 0x80);
  return random;
}

std::expected<Uuid, RandomUnavailable> new_v4() {
  Uuid bytes{};
  if (!small_random_bytes(bytes)) return std::unexpected(RandomUnavailable{});
  return make_v4(bytes);
}

}  // namespace tessary::formats::uuid
