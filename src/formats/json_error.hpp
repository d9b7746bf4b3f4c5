#pragma once
// Why a JSON text was rejected, and where.
//
// Positions count bytes, not characters: `line` starts at 1 and `column` is
// the number of bytes of that line consumed when the reader gave up, which is
// the 1-based column of the offending byte, or the length of the last line
// when the text ended too early. A raw line feed that is itself the offending
// byte therefore reports the start of the next line (column 0).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessary::formats::json {

enum class ErrorCode : std::uint8_t {
  EofWhileParsingValue,
  EofWhileParsingString,
  EofWhileParsingList,
  EofWhileParsingObject,
  ExpectedValue,
  ExpectedIdent,
  ExpectedListCommaOrEnd,
  ExpectedObjectCommaOrEnd,
  ExpectedColon,
  KeyMustBeAString,
  InvalidEscape,
  InvalidNumber,
  NumberOutOfRange,
  InvalidUnicodeCodePoint,
  ControlCharacterInString,
  LoneLeadingSurrogate,
  UnexpectedEndOfHexEscape,
  TrailingComma,
  TrailingCharacters,
  RecursionLimitExceeded,
  RepeatedKey,  // only from parse_prefix_unique_keys
};

// The fixed text of each code, e.g. "expected `,` or `]`".
std::string_view message(ErrorCode code) noexcept;

struct ParseError {
  ErrorCode code;
  std::size_t line;    // from 1
  std::size_t column;  // bytes into the line, see above
  std::size_t offset;  // byte offset in the whole text the position was taken at

  std::string_view message() const noexcept { return json::message(code); }
  // message + " at line " + line + " column " + column
  std::string to_string() const;

  friend bool operator==(const ParseError&, const ParseError&) = default;
};

// The error `code` at byte offset `offset` of `text` (offset <= text.size()),
// with line and column counted as described above.
ParseError error_at(std::string_view text, std::size_t offset, ErrorCode code) noexcept;

// "trailing characters" for the unexpected byte at index `index` of `text`.
ParseError trailing_characters_at(std::string_view text, std::size_t index) noexcept;

}  // namespace tessary::formats::json
