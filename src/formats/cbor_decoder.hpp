#pragma once
// Decoding of exactly one CBOR item that fills the whole input. Definite and
// indefinite lengths are read (indefinite ones come back as ordinary items);
// half and single floats widen to double exactly. Hostile input cannot make it
// recurse past kMaxDecodeDepth or allocate much more than the input's size.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "formats/cbor_item.hpp"

namespace tessary::formats::cbor {

// 256 nested arrays, maps or tags are accepted; a 257th level is refused.
inline constexpr std::size_t kMaxDecodeDepth = 256;

struct DecodeError {
  enum class Kind : std::uint8_t {
    UnexpectedEnd,       // the input stops inside an item
    TrailingBytes,       // bytes remain after the item
    ReservedInfo,        // additional information 28, 29 or 30
    InvalidIndefinite,   // indefinite length on a major type that has none
    UnexpectedBreak,     // 0xFF outside an indefinite-length item
    InvalidChunk,        // a piece of an indefinite string of another kind
    InvalidSimple,       // 0xF8 followed by a value below 32
    LengthTooLarge,      // a length that the rest of the input cannot hold
    InvalidUtf8,         // a text string that is not UTF-8
    TooDeep,             // more than kMaxDecodeDepth levels
  };
  Kind kind = Kind::UnexpectedEnd;
  std::size_t offset = 0;    // byte offset where the fault was found
  std::uint64_t detail = 0;  // the offending value, where there is one

  // E.g. "unexpected end of input at offset 3".
  std::string to_string() const;
  friend bool operator==(const DecodeError&, const DecodeError&) = default;
};

std::expected<Item, DecodeError> decode(std::span<const std::uint8_t> bytes);
std::expected<Item, DecodeError> decode(std::string_view bytes);

}  // namespace tessary::formats::cbor
