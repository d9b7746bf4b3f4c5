#pragma once
// The JSON adapter's error: which direction and format failed, and why. The
// display text is a fixed prefix per kind followed by the message; callers
// above add their own prefixes in front of it.
#include <cstdint>
#include <string>

namespace tessary::receipts {

struct AdapterError {
  enum class Kind : std::uint8_t {
    JsonDeserialize,  // "JSON deserialization failed: "
    JsonSerialize,    // "JSON serialization failed: "
    CborDeserialize,  // "CBOR deserialization failed: " (reserved: nothing produces it)
    CborSerialize,    // "CBOR serialization failed: " (reserved: nothing produces it)
  };

  Kind kind = Kind::JsonDeserialize;
  std::string message;

  std::string to_string() const;

  friend bool operator==(const AdapterError&, const AdapterError&) = default;
};

}  // namespace tessary::receipts
