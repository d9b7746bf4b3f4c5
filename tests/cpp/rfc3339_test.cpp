#include <gtest/gtest.h>

#include <chrono>

#include "formats/rfc3339.hpp"

namespace rfc3339 = tessary::formats::rfc3339;

namespace {

struct FormatCase {
  std::int64_t seconds;
  std::uint32_t nanos;
  const char* text;
};

class Rfc3339Formats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(Rfc3339Formats, UtcWithTheShortestWholeFractionAndNumericOffset) {
  auto text = rfc3339::format_utc(GetParam().seconds, GetParam().nanos);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Instants, Rfc3339Formats,
    ::testing::Values(FormatCase{0, 0, "1970-01-01T00:00:00+00:00"},
                      FormatCase{951782400, 0, "2000-02-29T00:00:00+00:00"},
                      FormatCase{1709210096, 123000000, "2024-02-29T12:34:56.123+00:00"},
                      FormatCase{1709210096, 123456789, "2024-02-29T12:34:56.123456789+00:00"},
                      FormatCase{1709210096, 1000, "2024-02-29T12:34:56.000001+00:00"},
                      FormatCase{1709210096, 100, "2024-02-29T12:34:56.000000100+00:00"},
                      FormatCase{-1, 500000000, "1969-12-31T23:59:59.500+00:00"},
                      FormatCase{-62167219200, 0, "0000-01-01T00:00:00+00:00"},
                      FormatCase{253402300799, 999999999, "9999-12-31T23:59:59.999999999+00:00"}));

TEST(Rfc3339, FormatRefusesWhatFourDigitYearsCannotHold) {
  EXPECT_FALSE(rfc3339::format_utc(253402300800, 0).has_value());
  EXPECT_FALSE(rfc3339::format_utc(-62167219201, 0).has_value());
  EXPECT_FALSE(rfc3339::format_utc(0, 1000000000).has_value());
}

TEST(Rfc3339, NowIsTheCurrentUtcSecond) {
  // The system clock, not time(): time() reads a coarse clock that can trail
  // the precise one across a second boundary.
  const auto seconds_now = [] {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  };
  const std::int64_t before = seconds_now();
  const std::string now = rfc3339::format_utc_now().value();
  const std::int64_t after = seconds_now(), parsed = rfc3339::parse(now)->unix_seconds;
  EXPECT_TRUE(now.ends_with("+00:00"));
  EXPECT_TRUE(before <= parsed && parsed <= after) << now;
}

struct ParseCase {
  const char* text;
  std::int64_t seconds;
  std::uint32_t nanos;
};

class Rfc3339ParsesTo : public ::testing::TestWithParam<ParseCase> {};

TEST_P(Rfc3339ParsesTo, UnixSeconds) {
  auto parsed = rfc3339::parse(GetParam().text);
  ASSERT_TRUE(parsed.has_value()) << parsed.error().to_string();
  EXPECT_EQ(*parsed, (rfc3339::ParsedTime{GetParam().seconds, GetParam().nanos}));
}

INSTANTIATE_TEST_SUITE_P(
    Accepted, Rfc3339ParsesTo,
    ::testing::Values(ParseCase{"1970-01-01T00:00:00Z", 0, 0}, ParseCase{"1970-01-01t00:00:00z", 0, 0},
                      ParseCase{"1970-01-01 00:00:00-00:00", 0, 0},
                      ParseCase{"1969-12-31T23:00:00-01:00", 0, 0},
                      ParseCase{"2000-01-01T23:59:00+23:59", 946684800, 0},
                      ParseCase{"2024-02-29T12:34:56.5Z", 1709210096, 500000000},
                      ParseCase{"2024-02-29T12:34:56.123456789987Z", 1709210096, 123456789},
                      ParseCase{"1969-12-31T23:59:59.25Z", -1, 250000000},
                      // A leap second counts as the second before it.
                      ParseCase{"2016-12-31T23:59:60Z", 1483228799, 0},
                      ParseCase{"2016-12-31T23:59:60.9Z", 1483228799, 900000000}));

struct BadCase {
  const char* text;
  const char* message;
};

class Rfc3339Rejected : public ::testing::TestWithParam<BadCase> {};

TEST_P(Rfc3339Rejected, WithTheFirstFault) {
  auto parsed = rfc3339::parse(GetParam().text);
  ASSERT_FALSE(parsed.has_value());
  EXPECT_EQ(parsed.error().to_string(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Rfc3339Rejected,
    ::testing::Values(
        BadCase{"", "premature end of input at offset 0"},
        BadCase{"2024-01-01T00:00:00", "premature end of input at offset 19"},
        BadCase{"2024-01-01T00:00:00.Z", "input contains invalid characters at offset 20"},
        BadCase{"2024-01-01x00:00:00Z", "input contains invalid characters at offset 10"},
        BadCase{"24-01-01T00:00:00Z", "input contains invalid characters at offset 2"},
        BadCase{"2024-01-01T00:00:00+0100", "input contains invalid characters at offset 22"},
        BadCase{"2024-01-01T00:00:00+01", "premature end of input at offset 22"},
        BadCase{"2023-02-29T00:00:00Z", "input is out of range at offset 8"},
        BadCase{"1900-02-29T00:00:00Z", "input is out of range at offset 8"},
        BadCase{"2024-04-31T00:00:00Z", "input is out of range at offset 8"},
        BadCase{"2024-13-01T00:00:00Z", "input is out of range at offset 5"},
        BadCase{"2024-01-01T24:00:00Z", "input is out of range at offset 11"},
        BadCase{"2024-01-01T00:60:00Z", "input is out of range at offset 14"},
        BadCase{"2024-01-01T00:00:61Z", "input is out of range at offset 17"},
        BadCase{"2024-01-01T00:00:00+24:00", "input is out of range at offset 20"},
        BadCase{"2024-01-01T00:00:00Z ", "trailing input at offset 20"},
        BadCase{"2024-01-01T00:00:00+00:00Z", "trailing input at offset 25"}));

}  // namespace
