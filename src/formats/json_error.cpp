#include "formats/json_error.hpp"

#include <algorithm>
#include <array>

namespace tessary::formats::json {

namespace {

constexpr std::array<std::string_view, 21> kMessages = {
    "EOF while parsing a value",
    "EOF while parsing a string",
    "EOF while parsing a list",
    "EOF while parsing an object",
    "expected value",
    "expected ident",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "expected `:`",
    "key must be a string",
    "invalid escape",
    "invalid number",
    "number out of range",
    "invalid unicode code point",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "lone leading surrogate in hex escape",
    "unexpected end of hex escape",
    "trailing comma",
    "trailing characters",
    "recursion limit exceeded",
    "repeated key",
};
static_assert(kMessages.size() == static_cast<std::size_t>(ErrorCode::RepeatedKey) + 1);

}  // namespace

std::string_view message(ErrorCode code) noexcept {
  return kMessages[static_cast<std::size_t>(code)];
}

std::string ParseError::to_string() const {
  std::string text(message());
  text += " at line ";
  text += std::to_string(line);
  text += " column ";
  text += std::to_string(column);
  return text;
}

// Positions are computed only once an error exists, so the reader never
// tracks lines while it runs.
ParseError error_at(std::string_view text, std::size_t offset, ErrorCode code) noexcept {
  offset = std::min(offset, text.size());
  const std::string_view before = text.substr(0, offset);
  const std::size_t last_newline = before.rfind('\n');
  const std::size_t line_start = last_newline == std::string_view::npos ? 0 : last_newline + 1;
  const auto newlines = static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  return ParseError{code, newlines + 1, offset - line_start, offset};
}

ParseError trailing_characters_at(std::string_view text, std::size_t index) noexcept {
  return error_at(text, index + 1, ErrorCode::TrailingCharacters);
}

}  // namespace tessary::formats::json
