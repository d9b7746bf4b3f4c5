#pragma once
// RFC 3339 date-times: the UTC form written into receipts, and the reader the
// receipt store uses for its time filters. Proleptic Gregorian calendar,
// years 0000 to 9999.
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace tessary::formats::rfc3339 {

struct FormatError {
  enum class Kind : std::uint8_t {
    OutOfRange,   // outside years 0000..9999, or nanoseconds of 1e9 or more
    BeforeEpoch,  // the system clock reads earlier than 1970-01-01T00:00:00Z
  };
  Kind kind = Kind::OutOfRange;
  std::string to_string() const;
  friend bool operator==(const FormatError&, const FormatError&) = default;
};

// "YYYY-MM-DDTHH:MM:SS", then a fraction of 3, 6 or 9 digits (the fewest
// that hold `nanos` exactly; none when it is zero), then "+00:00" (never "Z").
std::expected<std::string, FormatError> format_utc(std::int64_t unix_seconds, std::uint32_t nanos);

// The system clock's UTC reading in the form of format_utc.
std::expected<std::string, FormatError> format_utc_now();

struct ParsedTime {
  // Whole seconds since 1970-01-01T00:00:00Z, the fraction dropped (so the
  // floor for instants before the epoch). A leap second (:60) counts as the
  // second before it (:59).
  std::int64_t unix_seconds = 0;
  // The fraction as nanoseconds; digits past the ninth are ignored.
  std::uint32_t nanos = 0;
  friend bool operator==(const ParsedTime&, const ParsedTime&) = default;
};

struct ParseError {
  enum class Kind : std::uint8_t {
    TooShort,    // the text ends where more is required
    Invalid,     // a character that does not belong where it is
    OutOfRange,  // a field beyond its range (month 13, 30 February, hour 24, offset 24:00)
    Trailing,    // something after the offset
  };
  Kind kind = Kind::Invalid;
  std::size_t offset = 0;  // where the fault was found

  // E.g. "input contains invalid characters at offset 10".
  std::string to_string() const;
  friend bool operator==(const ParseError&, const ParseError&) = default;
};

// Accepts "YYYY-MM-DD", then "T", "t" or a space, then "HH:MM:SS" (hours 0-23,
// minutes 0-59, seconds 0-60), an optional "." with one or more digits, then
// "Z", "z" or "+HH:MM" / "-HH:MM" under 24 hours; nothing may follow.
std::expected<ParsedTime, ParseError> parse(std::string_view text);

}  // namespace tessary::formats::rfc3339
