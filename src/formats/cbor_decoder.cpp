#include "formats/cbor_decoder.hpp"

#include <algorithm>
#include <bit>

#include "formats/cbor_float.hpp"
#include "formats/utf8.hpp"

namespace tessary::formats::cbor {
namespace {

// Up-front reservations are capped so length heads cannot make us allocate
// far ahead of the elements actually present (256 nested heads each claiming
// thousands of elements fit in a few kilobytes); vectors grow past this normally.
constexpr std::size_t kMaxReserve = 64;
constexpr std::uint8_t kBreak = 0xFF;
constexpr std::uint8_t kIndefinite = 31;

struct Head {
  std::size_t offset;
  std::uint8_t major;
  std::uint8_t info;        // additional information, 0..31
  std::uint64_t argument;   // the value of the head (meaningless when indefinite)
  bool indefinite() const { return info == kIndefinite; }
};

template <class T>
using Result = std::expected<T, DecodeError>;

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> input) : in_(input) {}

  Result<Item> read_document() {
    auto item = read_item(0);
    if (!item) return item;
    if (pos_ != in_.size()) return fail(DecodeError::Kind::TrailingBytes, pos_);
    return item;
  }

 private:
  static std::unexpected<DecodeError> fail(DecodeError::Kind kind, std::size_t offset, std::uint64_t detail = 0) {
    return std::unexpected(DecodeError{kind, offset, detail});
  }

  std::size_t remaining() const { return in_.size() - pos_; }

  Result<std::uint64_t> read_be(int bytes) {
    if (remaining() < static_cast<std::size_t>(bytes)) return fail(DecodeError::Kind::UnexpectedEnd, in_.size());
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = (value << 8) | in_[pos_++];
    return value;
  }

  Result<Head> read_head() {
    if (remaining() == 0) return fail(DecodeError::Kind::UnexpectedEnd, in_.size());
    Head head{pos_, static_cast<std::uint8_t>(in_[pos_] >> 5), static_cast<std::uint8_t>(in_[pos_] & 0x1F), 0};
    ++pos_;
    if (head.info < 24) {
      head.argument = head.info;
    } else if (head.info <= 27) {
      auto value = read_be(1 << (head.info - 24));
      if (!value) return std::unexpected(value.error());
      head.argument = *value;
    } else if (head.info < kIndefinite) {
      return fail(DecodeError::Kind::ReservedInfo, head.offset, head.info);
    }
    return head;
  }

  // Content bytes of a definite-length string, checked against the input left.
  Result<std::span<const std::uint8_t>> take(const Head& head) {
    if (head.argument > remaining()) return fail(DecodeError::Kind::LengthTooLarge, head.offset, head.argument);
    auto bytes = in_.subspan(pos_, static_cast<std::size_t>(head.argument));
    pos_ += bytes.size();
    return bytes;
  }

  bool at_break() const { return remaining() > 0 && in_[pos_] == kBreak; }

  Result<Item> read_item(std::size_t depth) {
    auto head = read_head();
    if (!head) return std::unexpected(head.error());
    switch (head->major) {
      case 0:
      case 1:
        if (head->indefinite()) return fail(DecodeError::Kind::InvalidIndefinite, head->offset, head->major);
        return Item{Integer{head->major == 1, head->argument}};
      case 2:
        return read_bytes(*head);
      case 3:
        return read_text(*head);
      case 4:
      case 5:
      case 6:
        if (depth >= kMaxDecodeDepth) return fail(DecodeError::Kind::TooDeep, head->offset);
        if (head->major == 4) return read_array(*head, depth + 1);
        if (head->major == 5) return read_map(*head, depth + 1);
        return read_tag(*head, depth + 1);
      default:
        return read_simple_or_float(*head);
    }
  }

  // Definite strings are read whole; indefinite ones are the concatenation of
  // definite chunks of the same major type, ended by a break.
  template <class Append>
  Result<void> read_string(const Head& head, Append append) {
    if (!head.indefinite()) {
      auto bytes = take(head);
      if (!bytes) return std::unexpected(bytes.error());
      return append(*bytes);
    }
    while (!at_break()) {
      auto chunk = read_head();
      if (!chunk) return std::unexpected(chunk.error());
      if (chunk->major != head.major || chunk->indefinite()) return fail(DecodeError::Kind::InvalidChunk, chunk->offset);
      auto bytes = take(*chunk);
      if (!bytes) return std::unexpected(bytes.error());
      if (auto r = append(*bytes); !r) return r;
    }
    if (remaining() == 0) return fail(DecodeError::Kind::UnexpectedEnd, in_.size());
    ++pos_;  // the break
    return {};
  }

  Result<Item> read_bytes(const Head& head) {
    Bytes out;
    auto r = read_string(head, [&](std::span<const std::uint8_t> bytes) -> Result<void> {
      out.insert(out.end(), bytes.begin(), bytes.end());
      return {};
    });
    if (!r) return std::unexpected(r.error());
    return Item{std::move(out)};
  }

  Result<Item> read_text(const Head& head) {
    std::string out;
    // Each chunk must be valid UTF-8 on its own: a character may not straddle chunks.
    auto r = read_string(head, [&](std::span<const std::uint8_t> bytes) -> Result<void> {
      std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      if (auto bad = utf8::first_invalid(text)) {
        const auto content_start = static_cast<std::size_t>(bytes.data() - in_.data());
        return fail(DecodeError::Kind::InvalidUtf8, content_start + *bad);
      }
      out.append(text);
      return {};
    });
    if (!r) return std::unexpected(r.error());
    return Item{std::move(out)};
  }

  Result<Item> read_array(const Head& head, std::size_t depth) {
    Array out;
    if (!head.indefinite()) {
      // Every element takes at least one byte.
      if (head.argument > remaining()) return fail(DecodeError::Kind::LengthTooLarge, head.offset, head.argument);
      out.reserve(std::min<std::size_t>(static_cast<std::size_t>(head.argument), kMaxReserve));
      for (std::uint64_t i = 0; i < head.argument; ++i) {
        auto element = read_item(depth);
        if (!element) return element;
        out.push_back(std::move(*element));
      }
      return Item{std::move(out)};
    }
    while (!at_break()) {
      auto element = read_item(depth);
      if (!element) return element;
      out.push_back(std::move(*element));
    }
    ++pos_;
    return Item{std::move(out)};
  }

  Result<Item> read_map(const Head& head, std::size_t depth) {
    Map out;
    auto read_entry = [&]() -> Result<void> {
      auto key = read_item(depth);
      if (!key) return std::unexpected(key.error());
      auto value = read_item(depth);
      if (!value) return std::unexpected(value.error());
      out.emplace_back(std::move(*key), std::move(*value));
      return {};
    };
    if (!head.indefinite()) {
      // Every entry takes at least two bytes.
      if (head.argument > remaining() / 2) return fail(DecodeError::Kind::LengthTooLarge, head.offset, head.argument);
      out.reserve(std::min<std::size_t>(static_cast<std::size_t>(head.argument), kMaxReserve));
      for (std::uint64_t i = 0; i < head.argument; ++i) {
        if (auto r = read_entry(); !r) return std::unexpected(r.error());
      }
      return Item{std::move(out)};
    }
    while (!at_break()) {
      if (auto r = read_entry(); !r) return std::unexpected(r.error());
    }
    ++pos_;
    return Item{std::move(out)};
  }

  Result<Item> read_tag(const Head& head, std::size_t depth) {
    if (head.indefinite()) return fail(DecodeError::Kind::InvalidIndefinite, head.offset, head.major);
    auto inner = read_item(depth);
    if (!inner) return inner;
    return Item{Tagged{head.argument, std::move(*inner)}};
  }

  Result<Item> read_simple_or_float(const Head& head) {
    switch (head.info) {
      case 20:
        return Item{false};
      case 21:
        return Item{true};
      case 22:
        return Item{Null{}};
      case 24:
        // Values below 32 have a one-byte form; the two-byte form is not well-formed.
        if (head.argument < 32) return fail(DecodeError::Kind::InvalidSimple, head.offset, head.argument);
        return Item{Simple{static_cast<std::uint8_t>(head.argument)}};
      case 25:
        return Item{widen_half(static_cast<std::uint16_t>(head.argument))};
      case 26:
        return Item{widen_single(static_cast<std::uint32_t>(head.argument))};
      case 27:
        return Item{std::bit_cast<double>(head.argument)};
      case kIndefinite:
        return fail(DecodeError::Kind::UnexpectedBreak, head.offset);
      default:
        return Item{Simple{head.info}};
    }
  }

  std::span<const std::uint8_t> in_;
  std::size_t pos_ = 0;
};

}  // namespace

std::string DecodeError::to_string() const {
  const std::string at = " at offset " + std::to_string(offset);
  const std::string value = std::to_string(detail);
  switch (kind) {
    case Kind::UnexpectedEnd:
      return "unexpected end of input" + at;
    case Kind::TrailingBytes:
      return "trailing bytes after the item" + at;
    case Kind::ReservedInfo:
      return "reserved additional information " + value + at;
    case Kind::InvalidIndefinite:
      return "indefinite length is not allowed for major type " + value + at;
    case Kind::UnexpectedBreak:
      return "unexpected break" + at;
    case Kind::InvalidChunk:
      return "invalid chunk in an indefinite-length string" + at;
    case Kind::InvalidSimple:
      return "invalid two-byte simple value " + value + at;
    case Kind::LengthTooLarge:
      return "length " + value + " exceeds the remaining input" + at;
    case Kind::InvalidUtf8:
      return "invalid UTF-8 in text string" + at;
    case Kind::TooDeep:
      return "nesting deeper than " + std::to_string(kMaxDecodeDepth) + " levels" + at;
  }
  return "unknown decoding error" + at;
}

std::expected<Item, DecodeError> decode(std::span<const std::uint8_t> bytes) { return Reader(bytes).read_document(); }

std::expected<Item, DecodeError> decode(std::string_view bytes) {
  return decode(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

}  // namespace tessary::formats::cbor
