#include "receipts/json_decode_failure.hpp"

#include <utility>

#include "formats/float_text.hpp"
#include "formats/json_utf8.hpp"

namespace tessary::receipts::json_decode {

namespace {

struct Range {
  char32_t first;
  char32_t last;
};

// Code points shown escaped even though they are valid text: separators other
// than the ASCII space, format characters, private use, non-characters and
// the common combining blocks. A fixed approximation of the Unicode tables a
// Debug formatter consults; it only changes how odd characters look in a
// message.
constexpr Range kEscapedRanges[] = {
    {0x00A0, 0x00A0}, {0x00AD, 0x00AD},   {0x0300, 0x036F},   {0x0483, 0x0489},   {0x0591, 0x05BD},
    {0x0600, 0x0605}, {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x1680, 0x1680},
    {0x180E, 0x180E}, {0x1AB0, 0x1AFF},   {0x1DC0, 0x1DFF},   {0x2000, 0x200F},   {0x2028, 0x202F},
    {0x205F, 0x2064}, {0x2066, 0x206F},   {0x20D0, 0x20FF},   {0x3000, 0x3000},   {0xE000, 0xF8FF},
    {0xFDD0, 0xFDEF}, {0xFE00, 0xFE0F},   {0xFE20, 0xFE2F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},
    {0xFFFE, 0xFFFF}, {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3},
    {0x1D173, 0x1D17A}, {0x1FFFE, 0x1FFFF}, {0x2FFFE, 0x2FFFF}, {0x3FFFE, 0x3FFFF}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F}, {0xE0100, 0xE01EF}, {0xEFFFE, 0xEFFFF}, {0xF0000, 0xFFFFF}, {0x100000, 0x10FFFF},
    {0x0080, 0x009F}, {0x007F, 0x007F},   {0x0000, 0x001F},
};

bool shown_escaped(char32_t cp) {
  for (const Range& r : kEscapedRanges) {
    if (cp >= r.first && cp <= r.last) return true;
  }
  return false;
}

void append_hex_escape(char32_t cp, std::string& out) {
  constexpr char kHex[] = "0123456789abcdef";
  out += "\\u{";
  int shift = 20;
  while (shift > 0 && ((cp >> shift) & 0xF) == 0) shift -= 4;
  for (; shift >= 0; shift -= 4) out.push_back(kHex[(cp >> shift) & 0xF]);
  out.push_back('}');
}

// Decodes one well-formed sequence (the caller checked it with utf8_sequence_length).
char32_t code_point(const unsigned char* p, int length) {
  char32_t cp = length == 2 ? (p[0] & 0x1F) : length == 3 ? (p[0] & 0x0F) : (p[0] & 0x07);
  for (int i = 1; i < length; ++i) cp = (cp << 6) | (p[i] & 0x3F);
  return cp;
}

std::string integer_text(std::string_view kind_word, const std::string& digits) {
  std::string text(kind_word);
  text += " `";
  text += digits;
  text += '`';
  return text;
}

bool is_container(const json::Value& value) { return value.is_array() || value.is_object(); }

}  // namespace

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\0': out += "\\0"; break;
        default:
          if (c < 0x20 || c == 0x7F) {
            append_hex_escape(c, out);
          } else {
            out.push_back(static_cast<char>(c));
          }
      }
      ++p;
      continue;
    }
    const int length = formats::json::utf8_sequence_length(p, end);
    if (length <= 0) {  // not text at all: show the byte rather than guess
      append_hex_escape(c, out);
      ++p;
      continue;
    }
    const char32_t cp = code_point(p, length);
    if (shown_escaped(cp)) {
      append_hex_escape(cp, out);
    } else {
      out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(length));
    }
    p += length;
  }
  out.push_back('"');
  return out;
}

std::string describe(const json::Value& value) {
  switch (value.kind()) {
    case json::Kind::Null: return "null";
    case json::Kind::Bool: return value.as_bool() ? "boolean `true`" : "boolean `false`";
    case json::Kind::UInt: return integer_text("integer", std::to_string(value.as_uint()));
    case json::Kind::Int: return integer_text("integer", std::to_string(value.as_int()));
    case json::Kind::Float: return integer_text("floating point", formats::f64_text(value.as_float()));
    case json::Kind::String: return "string " + quoted(value.as_string());
    case json::Kind::Array: return "sequence";
    case json::Kind::Object: return "map";
  }
  return "null";
}

Failure invalid_type(const json::Value& found, std::string_view expected) {
  std::string message = "invalid type: " + describe(found);
  message += ", expected ";
  message += expected;
  return {std::move(message), is_container(found) ? Position::start(found) : Position::end(found)};
}

Failure invalid_value(const json::Value& found, std::string_view expected) {
  std::string message = "invalid value: " + describe(found);
  message += ", expected ";
  message += expected;
  return {std::move(message), Position::end(found)};
}

Failure missing_field(std::string_view name, const json::Value& object) {
  std::string message = "missing field `";
  message += name;
  message += '`';
  return {std::move(message), Position::end(object)};
}

Failure invalid_length(std::size_t count, std::string_view expectation, const json::Value& array) {
  std::string message = "invalid length " + std::to_string(count);
  message += ", expected ";
  message += expectation;
  return {std::move(message), Position::end(array)};
}

}  // namespace tessary::receipts::json_decode
