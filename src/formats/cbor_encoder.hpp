#pragma once
// CBOR encoding with the shortest head for every integer and length and the
// shortest exact width for every float. `Writer` appends to a caller-owned
// buffer, so a caller can write a known structure item by item without first
// building an `Item` tree; `write_item` writes a whole tree.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "formats/cbor_float.hpp"
#include "formats/cbor_item.hpp"

namespace tessary::formats::cbor {

enum class Major : std::uint8_t {
  Unsigned = 0,
  Negative = 1,
  Bytes = 2,
  Text = 3,
  Array = 4,
  Map = 5,
  Tag = 6,
  Simple = 7,
};

// Trees nested deeper than this are refused rather than risking the stack.
// Well above the decoder's limit, so everything `decode` returns re-encodes.
inline constexpr std::size_t kMaxEncodeDepth = 1024;

struct EncodeError {
  enum class Kind : std::uint8_t {
    TooDeep,        // nesting beyond kMaxEncodeDepth
    EmptyTag,       // a `Tagged` whose inner item is missing
    InvalidSimple,  // simple values 24..31 have no well-formed encoding
    InvalidUtf8,    // a text string that is not UTF-8 would make the output invalid
  };
  Kind kind = Kind::TooDeep;
  std::uint64_t detail = 0;  // the simple value, the tag number, the offset into the text

  std::string to_string() const;
  friend bool operator==(const EncodeError&, const EncodeError&) = default;
};

// Buffer is std::string or std::vector<std::uint8_t>; bytes are appended to it.
template <class Buffer>
class BasicWriter {
 public:
  explicit BasicWriter(Buffer& out) noexcept : out_(out) {}

  // Initial byte plus 0, 1, 2, 4 or 8 big-endian argument bytes, whichever is shortest.
  void write_head(Major major, std::uint64_t argument) {
    const auto m = static_cast<std::uint8_t>(static_cast<std::uint8_t>(major) << 5);
    if (argument < 24) {
      put(static_cast<std::uint8_t>(m | argument));
    } else if (argument <= 0xFF) {
      put(static_cast<std::uint8_t>(m | 24));
      put_be(argument, 1);
    } else if (argument <= 0xFFFF) {
      put(static_cast<std::uint8_t>(m | 25));
      put_be(argument, 2);
    } else if (argument <= 0xFFFFFFFFu) {
      put(static_cast<std::uint8_t>(m | 26));
      put_be(argument, 4);
    } else {
      put(static_cast<std::uint8_t>(m | 27));
      put_be(argument, 8);
    }
  }

  void write_uint(std::uint64_t value) { write_head(Major::Unsigned, value); }
  void write_int(std::int64_t value) {
    if (value < 0) {
      write_head(Major::Negative, static_cast<std::uint64_t>(-(value + 1)));
    } else {
      write_head(Major::Unsigned, static_cast<std::uint64_t>(value));
    }
  }
  void write_integer(const Integer& value) { write_head(value.negative ? Major::Negative : Major::Unsigned, value.n); }

  // The text is written as given; callers pass UTF-8 (write_item checks it).
  void write_text(std::string_view text) {
    write_head(Major::Text, text.size());
    out_.insert(out_.end(), text.begin(), text.end());
  }
  void write_bytes(std::span<const std::uint8_t> bytes) {
    write_head(Major::Bytes, bytes.size());
    out_.insert(out_.end(), bytes.begin(), bytes.end());
  }
  void write_array_head(std::uint64_t count) { write_head(Major::Array, count); }
  void write_map_head(std::uint64_t count) { write_head(Major::Map, count); }
  void write_tag_head(std::uint64_t number) { write_head(Major::Tag, number); }
  void write_null() { put(0xF6); }
  void write_bool(bool value) { put(value ? 0xF5 : 0xF4); }

  // Half precision if the value survives the round trip bit for bit, else
  // single, else double. -0.0, infinities and NaN payloads are preserved.
  void write_float(double value) {
    if (auto half = narrow_to_half(value)) {
      put(0xF9);
      put_be(*half, 2);
    } else if (auto single = narrow_to_single(value)) {
      put(0xFA);
      put_be(*single, 4);
    } else {
      put(0xFB);
      put_be(std::bit_cast<std::uint64_t>(value), 8);
    }
  }

  // Writes a whole tree, tags as their head followed by the inner item, simple
  // values as major type 7. Fails on trees deeper than kMaxEncodeDepth, tags
  // without content, simple values 24..31 and text that is not UTF-8; the
  // buffer is then restored to its size before the call.
  std::expected<void, EncodeError> write_item(const Item& item);

  Buffer& buffer() noexcept { return out_; }

 private:
  std::expected<void, EncodeError> write_nested(const Item& item, std::size_t depth);

  void put(std::uint8_t byte) { out_.push_back(static_cast<typename Buffer::value_type>(byte)); }
  void put_be(std::uint64_t value, int bytes) {
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8) put(static_cast<std::uint8_t>(value >> shift));
  }

  Buffer& out_;
};

extern template class BasicWriter<std::string>;
extern template class BasicWriter<std::vector<std::uint8_t>>;

using Writer = BasicWriter<std::string>;
using ByteWriter = BasicWriter<std::vector<std::uint8_t>>;

// The encoding of one item, as is (no reordering; see cbor_canon for that).
std::expected<std::string, EncodeError> encode(const Item& item);

}  // namespace tessary::formats::cbor
