#pragma once
// Strict RFC 8259 reader into the JSON value tree.
//
// - Numbers: an integer literal that fits is UInt (non-negative) or Int
//   (negative); "-0" and every other literal (fraction, exponent, or an
//   integer outside both 64-bit ranges) is a correctly rounded binary64.
//   A literal beyond the binary64 range is "number out of range"; one too
//   small for it becomes 0.0 of its sign.
// - Strings must be valid UTF-8 without raw control characters; \u escapes
//   must pair surrogates.
// - A repeated object key keeps its last value.
// - Nesting: the reader has a budget of 128 and spends one unit on entering
//   each array or object; reaching 0 fails, so 127 levels are accepted.
// Error texts and positions are described in json_error.hpp.
#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "formats/json_error.hpp"
#include "formats/json_value.hpp"

namespace tessary::formats::json {

inline constexpr int kNestingBudget = 128;

// One value after optional whitespace; `second` is the offset just past the
// value. Whatever follows is left to the caller.
std::expected<std::pair<Value, std::size_t>, ParseError> parse_prefix(std::string_view text);

// One step from a value into it: an object member's key or an array index.
struct PathStep {
  std::string key;
  std::size_t index = 0;
  bool is_index = false;

  friend bool operator==(const PathStep&, const PathStep&) = default;
};

// parse_prefix for readers that must see every member the text holds, since
// a repeated key hides its earlier values from the tree: the first key (in
// text order) repeated within one object fails with RepeatedKey, positioned
// just past that key, and `path` receives the steps from the root to it,
// the repeated key last. On success or any other failure `path` is empty.
std::expected<std::pair<Value, std::size_t>, ParseError> parse_prefix_unique_keys(std::string_view text,
                                                                                   std::vector<PathStep>& path);

// Succeeds when text[offset..] holds only space, tab, line feed and carriage
// return; otherwise "trailing characters" at the first other byte.
std::expected<void, ParseError> expect_end(std::string_view text, std::size_t offset);

// The whole text as one value, with nothing but whitespace after it.
std::expected<Value, ParseError> parse(std::string_view text);

}  // namespace tessary::formats::json
