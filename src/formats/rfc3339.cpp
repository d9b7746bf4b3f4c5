#include "formats/rfc3339.hpp"

#include <chrono>
#include <optional>

namespace tessary::formats::rfc3339 {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
// 0000-01-01T00:00:00Z and 9999-12-31T23:59:59Z.
constexpr std::int64_t kMinSeconds = -62167219200;
constexpr std::int64_t kMaxSeconds = 253402300799;

// Days since 1970-01-01 of a proleptic Gregorian date, and back (H. Hinnant's
// algorithms: count in 400-year eras that start on 1 March, so the leap day
// is the last day of each year).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
  std::int64_t year;
  unsigned month, day;
};

Civil civil_from_days(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

bool is_leap_year(unsigned year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

unsigned days_in_month(unsigned year, unsigned month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap_year(year) ? 29 : kDays[month - 1];
}

void append_digits(std::string& out, std::uint64_t value, int width) {
  std::string digits(static_cast<std::size_t>(width), '0');
  for (int i = width - 1; i >= 0; --i, value /= 10) digits[static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 10);
  out += digits;
}

// Cursor over the text with the few readers the grammar needs.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  std::expected<unsigned, ParseError> digits(int count) {
    unsigned value = 0;
    for (int i = 0; i < count; ++i) {
      if (pos_ >= text_.size()) return fail(ParseError::Kind::TooShort);
      const char c = text_[pos_];
      if (c < '0' || c > '9') return fail(ParseError::Kind::Invalid);
      value = value * 10 + static_cast<unsigned>(c - '0');
      ++pos_;
    }
    return value;
  }

  std::expected<char, ParseError> one_of(std::string_view allowed) {
    if (pos_ >= text_.size()) return fail(ParseError::Kind::TooShort);
    const char c = text_[pos_];
    if (allowed.find(c) == std::string_view::npos) return fail(ParseError::Kind::Invalid);
    ++pos_;
    return c;
  }

  // Whether the next character is `c`, consuming it if so.
  bool accept(char c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  bool at_digit() const { return pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9'; }
  bool at_end() const { return pos_ == text_.size(); }
  std::size_t position() const { return pos_; }

  std::unexpected<ParseError> fail(ParseError::Kind kind) const { return fail_at(kind, pos_); }
  static std::unexpected<ParseError> fail_at(ParseError::Kind kind, std::size_t at) {
    return std::unexpected(ParseError{kind, at});
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// Reads one or more fraction digits after the "."; the first nine count.
std::expected<std::uint32_t, ParseError> read_fraction(Scanner& in) {
  if (!in.at_digit()) return in.fail(in.at_end() ? ParseError::Kind::TooShort : ParseError::Kind::Invalid);
  std::uint32_t nanos = 0;
  int used = 0;
  while (in.at_digit()) {
    auto digit = in.digits(1);
    if (used < 9) {
      nanos = nanos * 10 + *digit;
      ++used;
    }
  }
  for (; used < 9; ++used) nanos *= 10;
  return nanos;
}

// Seconds east of UTC.
std::expected<std::int64_t, ParseError> read_offset(Scanner& in) {
  auto sign = in.one_of("Zz+-");
  if (!sign) return std::unexpected(sign.error());
  if (*sign == 'Z' || *sign == 'z') return 0;
  const std::size_t start = in.position();
  auto hours = in.digits(2);
  if (!hours) return std::unexpected(hours.error());
  if (auto colon = in.one_of(":"); !colon) return std::unexpected(colon.error());
  auto minutes = in.digits(2);
  if (!minutes) return std::unexpected(minutes.error());
  if (*hours > 23 || *minutes > 59) return Scanner::fail_at(ParseError::Kind::OutOfRange, start);
  const std::int64_t magnitude = std::int64_t{*hours} * 3600 + std::int64_t{*minutes} * 60;
  return *sign == '-' ? -magnitude : magnitude;
}

}  // namespace

std::string FormatError::to_string() const {
  switch (kind) {
    case Kind::OutOfRange:
      return "time outside the years 0000 to 9999";
    case Kind::BeforeEpoch:
      return "system clock reads before 1970-01-01T00:00:00Z";
  }
  return "time cannot be formatted";
}

std::string ParseError::to_string() const {
  const std::string at = " at offset " + std::to_string(offset);
  switch (kind) {
    case Kind::TooShort:
      return "premature end of input" + at;
    case Kind::Invalid:
      return "input contains invalid characters" + at;
    case Kind::OutOfRange:
      return "input is out of range" + at;
    case Kind::Trailing:
      return "trailing input" + at;
  }
  return "invalid date-time" + at;
}

std::expected<std::string, FormatError> format_utc(std::int64_t unix_seconds, std::uint32_t nanos) {
  if (unix_seconds < kMinSeconds || unix_seconds > kMaxSeconds || nanos >= 1'000'000'000) {
    return std::unexpected(FormatError{FormatError::Kind::OutOfRange});
  }
  // Floor division so times before the epoch land on the right day.
  std::int64_t days = unix_seconds / kSecondsPerDay;
  std::int64_t second_of_day = unix_seconds % kSecondsPerDay;
  if (second_of_day < 0) {
    second_of_day += kSecondsPerDay;
    --days;
  }
  const Civil date = civil_from_days(days);

  std::string out;
  out.reserve(35);
  append_digits(out, static_cast<std::uint64_t>(date.year), 4);
  out += '-';
  append_digits(out, date.month, 2);
  out += '-';
  append_digits(out, date.day, 2);
  out += 'T';
  append_digits(out, static_cast<std::uint64_t>(second_of_day / 3600), 2);
  out += ':';
  append_digits(out, static_cast<std::uint64_t>(second_of_day / 60 % 60), 2);
  out += ':';
  append_digits(out, static_cast<std::uint64_t>(second_of_day % 60), 2);
  if (nanos != 0) {
    out += '.';
    if (nanos % 1'000'000 == 0) {
      append_digits(out, nanos / 1'000'000, 3);
    } else if (nanos % 1'000 == 0) {
      append_digits(out, nanos / 1'000, 6);
    } else {
      append_digits(out, nanos, 9);
    }
  }
  out += "+00:00";
  return out;
}

std::expected<std::string, FormatError> format_utc_now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto nanos_total = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
  if (nanos_total < 0) return std::unexpected(FormatError{FormatError::Kind::BeforeEpoch});
  return format_utc(nanos_total / 1'000'000'000, static_cast<std::uint32_t>(nanos_total % 1'000'000'000));
}

std::expected<ParsedTime, ParseError> parse(std::string_view text) {
  using Kind = ParseError::Kind;
  Scanner in(text);
  // Each field is range-checked as soon as it is read, so the first fault
  // reported is the leftmost one.
  auto field = [&](int width, unsigned low, unsigned high, std::string_view then) -> std::expected<unsigned, ParseError> {
    const std::size_t start = in.position();
    auto value = in.digits(width);
    if (!value) return value;
    if (*value < low || *value > high) return Scanner::fail_at(Kind::OutOfRange, start);
    if (!then.empty()) {
      if (auto sep = in.one_of(then); !sep) return std::unexpected(sep.error());
    }
    return value;
  };

  auto year = field(4, 0, 9999, "-");
  if (!year) return std::unexpected(year.error());
  auto month = field(2, 1, 12, "-");
  if (!month) return std::unexpected(month.error());
  auto day = field(2, 1, days_in_month(*year, *month), "Tt ");
  if (!day) return std::unexpected(day.error());
  auto hour = field(2, 0, 23, ":");
  if (!hour) return std::unexpected(hour.error());
  auto minute = field(2, 0, 59, ":");
  if (!minute) return std::unexpected(minute.error());
  auto second = field(2, 0, 60, "");
  if (!second) return std::unexpected(second.error());

  std::uint32_t nanos = 0;
  if (in.accept('.')) {
    auto fraction = read_fraction(in);
    if (!fraction) return std::unexpected(fraction.error());
    nanos = *fraction;
  }
  auto offset = read_offset(in);
  if (!offset) return std::unexpected(offset.error());
  if (!in.at_end()) return in.fail(Kind::Trailing);

  const unsigned whole_second = *second == 60 ? 59 : *second;
  const std::int64_t local = days_from_civil(*year, *month, *day) * kSecondsPerDay + std::int64_t{*hour} * 3600 +
                             std::int64_t{*minute} * 60 + whole_second;
  return ParsedTime{local - *offset, nanos};
}

}  // namespace tessary::formats::rfc3339
