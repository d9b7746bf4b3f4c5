#pragma once
// Why a record could not be read from a JSON value, in the words of the
// established Rust serialisation stack ("missing field `x`", "invalid type:
// integer `5`, expected a string"), and where the reader of the value's
// compact text would have stopped. Receipt texts in circulation carry these
// messages, so their wording is kept exactly.
//
// A position names a node of the value tree and an anchor: its first byte
// (containers a reader refuses before entering them) or just past its last
// byte (scalars, which a reader consumes before judging them, and containers
// it has walked to the end). The column is computed from the tree only when
// a failure is reported (json_decode_position.hpp).
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "formats/json_value.hpp"

namespace tessary::receipts::json_decode {

namespace json = formats::json;

struct Position {
  enum class Anchor : std::uint8_t { Start, End };
  const json::Value* node = nullptr;
  Anchor anchor = Anchor::End;
  std::ptrdiff_t extra = 0;  // bytes after (or, negative, before) the anchor

  static Position start(const json::Value& node, std::ptrdiff_t extra = 0) { return {&node, Anchor::Start, extra}; }
  static Position end(const json::Value& node, std::ptrdiff_t extra = 0) { return {&node, Anchor::End, extra}; }
};

struct Failure {
  std::string message;
  Position position;
};

using Status = std::expected<void, Failure>;

// "null", "boolean `true`", "integer `5`", "floating point `1.5`",
// "string \"abc\"", "sequence", "map".
std::string describe(const json::Value& value);

// `text` in double quotes with the escapes of Rust's Debug for str: \" \\ \t
// \r \n \0, and \u{hex} for control, format, separator, private-use and
// combining characters.
std::string quoted(std::string_view text);

// "invalid type: <describe(found)>, expected <expected>": after a scalar,
// before an array or object.
Failure invalid_type(const json::Value& found, std::string_view expected);

// "invalid value: <describe(found)>, expected <expected>", after the value.
Failure invalid_value(const json::Value& found, std::string_view expected);

// "missing field `name`", after the closing brace of `object`.
Failure missing_field(std::string_view name, const json::Value& object);

// "invalid length <count>, expected <expectation>", after the closing bracket of `array`.
Failure invalid_length(std::size_t count, std::string_view expectation, const json::Value& array);

}  // namespace tessary::receipts::json_decode
