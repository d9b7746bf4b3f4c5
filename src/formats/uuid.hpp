#pragma once
// UUIDs as 16 bytes in their standard order; text forms at the edges only.
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "formats/random.hpp"

namespace tessary::formats::uuid {

using Uuid = std::array<std::uint8_t, 16>;

// Why a text is not a UUID. Character positions count from 1 over the whole
// input (prefix or brace included); groups count from 0.
struct ParseError {
  enum class Kind : std::uint8_t {
    InvalidCharacter,  // not a hexadecimal digit or "-" (or a malformed prefix)
    SimpleLength,      // hexadecimal digits only, but not 32 of them
    GroupCount,        // not five hyphen-separated groups
    GroupLength,       // five groups, one of the wrong length
  };
  Kind kind = Kind::InvalidCharacter;
  std::string character;    // InvalidCharacter: the character as found
  std::size_t position = 0; // InvalidCharacter: where
  std::size_t group = 0;    // GroupLength: which group
  std::size_t expected = 0; // GroupCount, GroupLength: what was needed
  std::size_t found = 0;    // SimpleLength, GroupCount, GroupLength: what was there

  // "invalid character: expected an optional prefix of `urn:uuid:` followed by
  // [0-9a-fA-F-], found `z` at 3", "invalid length: expected length 32 for
  // simple format, found 31", "invalid group count: expected 5, found 4",
  // "invalid group length in group 4: expected 12, found 11".
  std::string to_string() const;
  friend bool operator==(const ParseError&, const ParseError&) = default;
};

// Accepts exactly: 32 hexadecimal digits; 8-4-4-4-12 digits joined by "-";
// the hyphenated form in braces "{...}"; "urn:uuid:" (lower case) followed by
// the hyphenated form. Hexadecimal digits may be of either case.
std::expected<Uuid, ParseError> parse(std::string_view text);

// 36 characters, lowercase, hyphenated 8-4-4-4-12.
std::string format(const Uuid& uuid);

// Stamps RFC 9562 version 4 and variant 10 onto 16 random bytes.
Uuid make_v4(Uuid random);

// A fresh version-4 UUID from the secure random generator.
std::expected<Uuid, RandomUnavailable> new_v4();

}  // namespace tessary::formats::uuid
