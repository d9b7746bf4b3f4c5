#include <gtest/gtest.h>

#include <tuple>

#include "formats/rfc3339.hpp"
#include "test_support.hpp"

namespace rfc3339 = tessary::formats::rfc3339;

namespace {

// UTC with the shortest whole group of fraction digits and a numeric offset;
// that a fresh timestamp is the current one is the Python tests'.
TEST(Rfc3339, FormatsInstantsAndRefusesWhatFourDigitYearsCannotHold) {
  const std::tuple<std::int64_t, std::uint32_t, const char*> cases[] = {
      {0, 0, "1970-01-01T00:00:00+00:00"}, {951782400, 0, "2000-02-29T00:00:00+00:00"},
      {1709210096, 123000000, "2024-02-29T12:34:56.123+00:00"}, {1709210096, 123456789, "2024-02-29T12:34:56.123456789+00:00"},
      {1709210096, 1000, "2024-02-29T12:34:56.000001+00:00"}, {1709210096, 100, "2024-02-29T12:34:56.000000100+00:00"},
      {-1, 500000000, "1969-12-31T23:59:59.500+00:00"}, {-62167219200, 0, "0000-01-01T00:00:00+00:00"},
      {253402300799, 999999999, "9999-12-31T23:59:59.999999999+00:00"}};
  for (const auto& [seconds, nanos, text] : cases) EXPECT_EQ(rfc3339::format_utc(seconds, nanos), text) << seconds;
  EXPECT_FALSE(rfc3339::format_utc(253402300800, 0).has_value());
  EXPECT_FALSE(rfc3339::format_utc(-62167219201, 0).has_value());
  EXPECT_FALSE(rfc3339::format_utc(0, 1000000000).has_value());
}

TEST(Rfc3339, ParsesToUnixSecondsOrTheFirstFault) {
  const std::tuple<const char*, std::int64_t, std::uint32_t> accepted[] = {
      {"1970-01-01T00:00:00Z", 0, 0}, {"1970-01-01t00:00:00z", 0, 0}, {"1970-01-01 00:00:00-00:00", 0, 0},
      {"1969-12-31T23:00:00-01:00", 0, 0}, {"2000-01-01T23:59:00+23:59", 946684800, 0},
      {"2024-02-29T12:34:56.5Z", 1709210096, 500000000}, {"2024-02-29T12:34:56.123456789987Z", 1709210096, 123456789},
      {"1969-12-31T23:59:59.25Z", -1, 250000000},
      // A leap second counts as the second before it.
      {"2016-12-31T23:59:60Z", 1483228799, 0}, {"2016-12-31T23:59:60.9Z", 1483228799, 900000000}};
  for (const auto& [text, seconds, nanos] : accepted) {
    EXPECT_EQ(support::value_of(rfc3339::parse(text)), (rfc3339::ParsedTime{seconds, nanos})) << text;
  }
  const std::pair<const char*, const char*> rejected[] = {
      {"", "premature end of input at offset 0"}, {"2024-01-01T00:00:00", "premature end of input at offset 19"},
      {"2024-01-01T00:00:00.Z", "input contains invalid characters at offset 20"},
      {"2024-01-01x00:00:00Z", "input contains invalid characters at offset 10"},
      {"24-01-01T00:00:00Z", "input contains invalid characters at offset 2"},
      {"2024-01-01T00:00:00+0100", "input contains invalid characters at offset 22"},
      {"2024-01-01T00:00:00+01", "premature end of input at offset 22"},
      {"2023-02-29T00:00:00Z", "input is out of range at offset 8"}, {"1900-02-29T00:00:00Z", "input is out of range at offset 8"},
      {"2024-04-31T00:00:00Z", "input is out of range at offset 8"}, {"2024-13-01T00:00:00Z", "input is out of range at offset 5"},
      {"2024-01-01T24:00:00Z", "input is out of range at offset 11"}, {"2024-01-01T00:60:00Z", "input is out of range at offset 14"},
      {"2024-01-01T00:00:61Z", "input is out of range at offset 17"}, {"2024-01-01T00:00:00+24:00", "input is out of range at offset 20"},
      {"2024-01-01T00:00:00Z ", "trailing input at offset 20"}, {"2024-01-01T00:00:00+00:00Z", "trailing input at offset 25"}};
  for (const auto& [text, message] : rejected) EXPECT_EQ(support::error_text(rfc3339::parse(text)), message) << text;
}

}  // namespace
