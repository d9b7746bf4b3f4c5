#include "receipts/field_formats.hpp"

#include <cstddef>
#include <cstdint>

namespace tessary::receipts {

namespace {

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ascii_lower(char c) { return c >= 'a' && c <= 'z'; }
bool is_ascii_upper(char c) { return c >= 'A' && c <= 'Z'; }
bool is_ascii_alnum(char c) { return is_ascii_digit(c) || is_ascii_lower(c) || is_ascii_upper(c); }

// Letters, digits, "-", "_", ".": the alphabet of policy namespaces and names.
bool is_policy_word(std::string_view text) {
  for (char c : text) {
    if (!(is_ascii_alnum(c) || c == '-' || c == '_' || c == '.')) return false;
  }
  return true;
}

// An unsigned 64-bit decimal: one optional "+", then at least one digit, no overflow.
bool is_u64_decimal(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return false;
  std::uint64_t value = 0;
  for (char c : text) {
    if (!is_ascii_digit(c)) return false;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

// A UTF-8 continuation byte does not start a character.
bool starts_character(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) != 0x80; }

}  // namespace

bool validate_version_format(std::string_view text) {
  std::string_view parts[3];
  std::size_t count = 0;
  for (std::size_t start = 0;;) {
    const std::size_t dot = text.find('.', start);
    if (count == 3) return false;
    parts[count++] = text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return count >= 2 && is_u64_decimal(parts[0]) && is_u64_decimal(parts[1]);
}

bool is_timestamp_format(std::string_view text) {
  if (text.size() < 20) return false;
  // Positions count characters, not bytes; every character looked for is ASCII.
  bool punctuation_ok = true;
  bool has_offset_sign = false;
  std::size_t index = 0;
  for (char byte : text) {
    if (!starts_character(byte)) continue;
    switch (index) {
      case 4:
      case 7: punctuation_ok &= byte == '-'; break;
      case 10: punctuation_ok &= byte == 'T'; break;
      case 13:
      case 16: punctuation_ok &= byte == ':'; break;
      default:
        if (index > 10 && (byte == '+' || byte == '-')) has_offset_sign = true;
    }
    ++index;
  }
  // Fewer than 17 characters leaves some position unchecked: not a timestamp.
  if (index < 17) return false;
  return punctuation_ok && (text.ends_with('Z') || has_offset_sign);
}

bool is_policy_ref_format(std::string_view text) {
  if (!text.starts_with("pol:")) return false;
  const std::string_view rest = text.substr(4);
  const std::size_t slash = rest.find('/');
  const std::size_t at = slash == std::string_view::npos ? std::string_view::npos : rest.find('@', slash + 1);
  if (at == std::string_view::npos) return !rest.empty() && is_policy_word(rest);
  return is_policy_word(rest.substr(0, slash)) && is_policy_word(rest.substr(slash + 1, at - slash - 1)) &&
         validate_version_format(rest.substr(at + 1));
}

bool is_did_uri_format(std::string_view text) {
  if (!text.starts_with("did:")) return false;
  const std::string_view rest = text.substr(4);
  const std::size_t colon = rest.find(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view method = rest.substr(0, colon);
  const std::string_view identifier = rest.substr(colon + 1);
  if (method.empty() || identifier.empty()) return false;
  for (char c : method) {
    if (!(is_ascii_lower(c) || is_ascii_digit(c))) return false;
  }
  for (char c : identifier) {
    if (!(is_ascii_alnum(c) || c == '.' || c == '-' || c == '_' || c == ':')) return false;
  }
  return true;
}

bool is_currency_code_format(std::string_view text) {
  return text.size() == 3 && is_ascii_upper(text[0]) && is_ascii_upper(text[1]) && is_ascii_upper(text[2]);
}

}  // namespace tessary::receipts
