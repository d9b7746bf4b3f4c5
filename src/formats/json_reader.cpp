#include "formats/json_reader.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <unordered_set>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "formats/json_utf8.hpp"

namespace tessary::formats::json {

namespace {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

constexpr bool is_whitespace(char c) noexcept {
  return c == ' ' || c == '\n' || c == '\t' || c == '\r';
}

// First byte in [p, end) that ends a plain run of string bytes: '"', '\\',
// a control character or any non-ASCII byte.
inline const char* skip_plain_string_bytes(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(0x20);
  while (end - p >= 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Compared as signed bytes, "below space" also takes in every byte >= 0x80.
    const __m128i hits = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash)),
        _mm_cmplt_epi8(chunk, space));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
    if (mask != 0) return p + std::countr_zero(mask);
    p += 16;
  }
#endif
  while (p < end) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) return p;
    ++p;
  }
  return p;
}

int hex_digit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::uint32_t cp, std::string& out) {
  char buf[4];
  std::size_t n;
  if (cp < 0x80) {
    buf[0] = static_cast<char>(cp);
    n = 1;
  } else if (cp < 0x800) {
    buf[0] = static_cast<char>(0xC0 | (cp >> 6));
    buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    buf[0] = static_cast<char>(0xE0 | (cp >> 12));
    buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    buf[0] = static_cast<char>(0xF0 | (cp >> 18));
    buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 4;
  }
  out.append(buf, n);
}

// from_chars reports both overflow and underflow as out of range; tell them
// apart by the decimal exponent of the literal's leading significant digit.
// Only magnitudes far beyond +-300 reach here, so saturating is harmless.
bool literal_overflows(const char* p, const char* end) noexcept {
  if (*p == '-') ++p;
  std::int64_t magnitude = 0;
  if (*p != '0') {
    while (p < end && is_digit(*p)) ++magnitude, ++p;
  } else {
    ++p;
    if (p < end && *p == '.') {
      ++p;
      while (p < end && *p == '0') --magnitude, ++p;
    }
  }
  while (p < end && *p != 'e' && *p != 'E') ++p;
  if (p == end) return magnitude > 0;
  ++p;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  std::int64_t exponent = 0;
  for (; p < end; ++p) {
    if (exponent < 1'000'000'000) exponent = exponent * 10 + (*p - '0');
  }
  return magnitude + (negative ? -exponent : exponent) > 0;
}

// What a reader that refuses repeated keys keeps: where the path to the
// repeated key goes, and the keys of each open object by depth (filled only
// for objects too large to search in place).
struct KeyCheck {
  std::vector<PathStep>* path = nullptr;
  std::vector<std::unordered_set<std::string>> seen;
};
struct NoKeyCheck {};

// The stacks of the open containers' elements and members (see Reader),
// kept by each thread from one read to the next, so that a read allocates
// only the values it returns. Stacks one large document grew past
// kKeptEntries are given back after it.
struct Stacks {
  static constexpr std::size_t kKeptEntries = 1024;

  std::vector<Value> items;
  std::vector<Object::Member> members;
  bool in_use = false;

  void release() noexcept {
    items.clear();
    members.clear();
    if (items.capacity() > kKeptEntries) std::vector<Value>().swap(items);
    if (members.capacity() > kKeptEntries) std::vector<Object::Member>().swap(members);
    in_use = false;
  }
};

// This thread's stacks, or `own` while they are taken (a read cannot start
// another, but nothing is lost if one ever does).
Stacks& take_stacks(Stacks& own) noexcept {
  thread_local Stacks kept;
  Stacks& stacks = kept.in_use ? own : kept;
  stacks.in_use = true;
  return stacks;
}

// kRefuseRepeats is a template argument rather than a flag, so the reader
// every other caller uses carries no trace of the check: not a branch in its
// loops, nor a byte in its state.
template <bool kRefuseRepeats>
class Reader {
 public:
  explicit Reader(std::string_view text) noexcept
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), stacks_(take_stacks(own_stacks_)),
        items_(stacks_.items), members_(stacks_.members) {}
  ~Reader() { stacks_.release(); }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // A key repeated within one object fails, and `path` collects the steps to
  // it while the failure unwinds (innermost first).
  Reader(std::string_view text, std::vector<PathStep>& path) requires kRefuseRepeats : Reader(text) {
    keys_.path = &path;
    keys_.seen.resize(kNestingBudget);
  }

  // Every parse_* returns the value read, or a placeholder once failed() is
  // set; callers check failed() before going on.
  Value parse_value();
  bool failed() const noexcept { return failed_; }
  std::size_t offset() const noexcept { return static_cast<std::size_t>(p_ - begin_); }
  ParseError error() const noexcept {
    return error_at(std::string_view(begin_, static_cast<std::size_t>(end_ - begin_)),
                    error_offset_, error_code_);
  }

 private:
  void skip_whitespace() noexcept {
    // Compact text, the common case, has none: every byte of whitespace is
    // at most ' ', so most calls end after one test.
    if (p_ < end_ && static_cast<unsigned char>(*p_) > ' ') return;
    while (p_ < end_ && is_whitespace(*p_)) ++p_;
  }

  // The position rules: an error about byte `at` counts it as consumed; an
  // error at the end counts the whole text; a few errors name an offset
  // directly (the end of a number, the end of a \u escape).
  void fail_at_byte(ErrorCode code, const char* at) noexcept {
    fail_at_offset(code, at < end_ ? at + 1 : end_);
  }
  void fail_at_end(ErrorCode code) noexcept { fail_at_offset(code, end_); }
  void fail_at_offset(ErrorCode code, const char* at) noexcept {
    failed_ = true;
    error_code_ = code;
    error_offset_ = static_cast<std::size_t>(at - begin_);
  }

  void parse_ident(std::string_view word);
  Value parse_number();
  // The failure unwinding through a member or element adds its step to the
  // path, when the failure is a repeated key.
  template <class Step>
  void note_step(Step&& make_step) {
    if constexpr (kRefuseRepeats) {
      if (error_code_ == ErrorCode::RepeatedKey) keys_.path->push_back(std::forward<Step>(make_step)());
    }
  }
  // Whether `key` is among the keys of the object whose members start at
  // `base`. Small objects, nearly all of them, are searched in place; a large
  // one gets a hash set, filled once it grows past them.
  bool is_repeated(std::string_view key, std::size_t base) {
    if constexpr (kRefuseRepeats) {
      constexpr std::size_t kSearched = 16;
      const std::size_t count = members_.size() - base;
      if (count < kSearched) {
        for (std::size_t i = base; i < members_.size(); ++i) {
          if (members_[i].first == key) return true;
        }
        return false;
      }
      auto& seen = keys_.seen[static_cast<std::size_t>(kNestingBudget - remaining_depth_)];
      if (count == kSearched) {
        seen.clear();
        for (std::size_t i = base; i < members_.size(); ++i) seen.insert(members_[i].first);
      }
      return !seen.emplace(key).second;
    } else {
      return false;
    }
  }
  // A string's text, its opening quote consumed. Plain text (no escape, all
  // ASCII: nearly every string) is a view of the input, and the value or key
  // is built from it in place; any other text is decoded into `decoded`,
  // which the view then shows.
  std::string_view parse_string(std::string& decoded);
  // The same for a value: `use` is given the view, or the decoded text as a
  // std::string to move from, and builds the value in its place with it.
  template <class Use>
  decltype(auto) read_string(Use&& use);
  std::string parse_escaped_string(const char* run);
  void parse_escape(std::string& out);
  void parse_unicode_escape(std::string& out);
  std::uint32_t read_hex4();
  Value parse_array();
  Value parse_object();

  // What follows an array element or an object member: the closing bracket,
  // or a comma and then another element (never the bracket: a trailing comma).
  enum class Next { Element, Close, Fail };
  Next after_element(char close, ErrorCode eof, ErrorCode expected) {
    skip_whitespace();
    if (p_ == end_) {
      fail_at_end(eof);
      return Next::Fail;
    }
    if (*p_ == close) return Next::Close;
    if (*p_ != ',') {
      fail_at_byte(expected, p_);
      return Next::Fail;
    }
    ++p_;
    skip_whitespace();
    if (p_ == end_) {
      fail_at_end(ErrorCode::EofWhileParsingValue);
      return Next::Fail;
    }
    if (*p_ == close) {
      fail_at_byte(ErrorCode::TrailingComma, p_);
      return Next::Fail;
    }
    return Next::Element;
  }

  const char* const begin_;
  const char* p_;
  const char* const end_;
  int remaining_depth_ = kNestingBudget;
  bool failed_ = false;
  ErrorCode error_code_ = ErrorCode::ExpectedValue;
  std::size_t error_offset_ = 0;
  // Elements and members of the open containers, stacked; each container
  // moves its own tail out when it closes, so every array and object is
  // allocated once at its final size.
  Stacks own_stacks_;
  Stacks& stacks_;
  std::vector<Value>& items_;
  std::vector<Object::Member>& members_;
  [[no_unique_address]] std::conditional_t<kRefuseRepeats, KeyCheck, NoKeyCheck> keys_;
};

template <bool kRefuseRepeats>
Value Reader<kRefuseRepeats>::parse_value() {
  skip_whitespace();
  if (p_ == end_) {
    fail_at_end(ErrorCode::EofWhileParsingValue);
    return {};
  }
  switch (*p_) {
    case 'n': parse_ident("null"); return Value();
    case 't': parse_ident("true"); return Value(true);
    case 'f': parse_ident("false"); return Value(false);
    case '"': ++p_; return read_string([](auto&& text) { return Value(std::forward<decltype(text)>(text)); });
    case '[': return parse_array();
    case '{': return parse_object();
    default:
      if (*p_ == '-' || is_digit(*p_)) return parse_number();
      fail_at_byte(ErrorCode::ExpectedValue, p_);
      return {};
  }
}

template <bool kRefuseRepeats>
void Reader<kRefuseRepeats>::parse_ident(std::string_view word) {
  if (static_cast<std::size_t>(end_ - p_) >= word.size() &&
      std::memcmp(p_, word.data(), word.size()) == 0) {
    p_ += word.size();
    return;
  }
  for (std::size_t i = 1; i < word.size(); ++i) {
    const char* at = p_ + i;
    if (at == end_) return fail_at_end(ErrorCode::EofWhileParsingValue);
    if (*at != word[i]) return fail_at_byte(ErrorCode::ExpectedIdent, at);
  }
}

template <bool kRefuseRepeats>
Value Reader<kRefuseRepeats>::parse_number() {
  const char* const start = p_;
  const bool negative = *p_ == '-';
  if (negative) ++p_;
  if (p_ == end_) {
    fail_at_end(ErrorCode::EofWhileParsingValue);
    return {};
  }

  std::uint64_t significand = 0;
  bool fits_u64 = true;
  if (*p_ == '0') {
    ++p_;
    if (p_ < end_ && is_digit(*p_)) {
      fail_at_byte(ErrorCode::InvalidNumber, p_);
      return {};
    }
  } else if (is_digit(*p_)) {
    for (; p_ < end_ && is_digit(*p_); ++p_) {
      const auto digit = static_cast<std::uint64_t>(*p_ - '0');
      if (significand > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) fits_u64 = false;
      significand = significand * 10 + digit;
    }
  } else {
    fail_at_byte(ErrorCode::InvalidNumber, p_);
    return {};
  }

  bool integral = true;
  if (p_ < end_ && *p_ == '.') {
    integral = false;
    ++p_;
    const char* digits = p_;
    while (p_ < end_ && is_digit(*p_)) ++p_;
    if (p_ == digits) {
      if (p_ == end_) {
        fail_at_end(ErrorCode::EofWhileParsingValue);
      } else {
        fail_at_byte(ErrorCode::InvalidNumber, p_);
      }
      return {};
    }
  }
  if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
    integral = false;
    ++p_;
    if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
    if (p_ == end_) {
      fail_at_end(ErrorCode::EofWhileParsingValue);
      return {};
    }
    if (!is_digit(*p_)) {
      fail_at_byte(ErrorCode::InvalidNumber, p_);
      return {};
    }
    while (p_ < end_ && is_digit(*p_)) ++p_;
  }

  if (integral && fits_u64) {
    constexpr std::uint64_t kMostNegative = std::uint64_t{1} << 63;  // |INT64_MIN|
    if (!negative) return Value(significand);
    if (significand == 0) return Value(-0.0);  // no integer holds a negative zero
    if (significand <= kMostNegative) return Value(static_cast<std::int64_t>(0 - significand));
    return Value(-static_cast<double>(significand));  // u64 to double rounds correctly
  }
  double value = 0;
  const auto [end, ec] = std::from_chars(start, p_, value);
  if (ec == std::errc::result_out_of_range) {
    if (literal_overflows(start, p_)) {
      fail_at_offset(ErrorCode::NumberOutOfRange, p_);
      return {};
    }
    value = negative ? -0.0 : 0.0;
  }
  return Value(value);
}

// Most strings hold no escapes: they are taken from the input in one piece,
// straight into their place (moving a short string costs a copy).
template <bool kRefuseRepeats>
std::string_view Reader<kRefuseRepeats>::parse_string(std::string& decoded) {
  const char* const run = p_;
  p_ = skip_plain_string_bytes(p_, end_);
  if (p_ < end_ && *p_ == '"') {
    ++p_;
    return {run, static_cast<std::size_t>(p_ - 1 - run)};
  }
  decoded = parse_escaped_string(run);
  return decoded;
}

template <bool kRefuseRepeats>
template <class Use>
decltype(auto) Reader<kRefuseRepeats>::read_string(Use&& use) {
  const char* const run = p_;
  p_ = skip_plain_string_bytes(p_, end_);
  if (p_ < end_ && *p_ == '"') {
    ++p_;
    return use(std::string_view(run, static_cast<std::size_t>(p_ - 1 - run)));
  }
  return use(parse_escaped_string(run));
}

template <bool kRefuseRepeats>
std::string Reader<kRefuseRepeats>::parse_escaped_string(const char* run) {
  std::string text;
  for (;;) {
    p_ = skip_plain_string_bytes(p_, end_);
    if (p_ == end_) {
      fail_at_end(ErrorCode::EofWhileParsingString);
      return text;
    }
    const auto c = static_cast<unsigned char>(*p_);
    if (c == '"') {
      text.append(run, p_);
      ++p_;
      return text;
    }
    if (c == '\\') {
      text.append(run, p_);
      ++p_;
      parse_escape(text);
      if (failed_) return text;
      run = p_;
    } else if (c < 0x20) {
      fail_at_byte(ErrorCode::ControlCharacterInString, p_);
      return text;
    } else {
      const int length = utf8_sequence_length(reinterpret_cast<const unsigned char*>(p_),
                                              reinterpret_cast<const unsigned char*>(end_));
      if (length <= 0) {
        if (length < 0) {
          fail_at_end(ErrorCode::EofWhileParsingString);
        } else {
          fail_at_byte(ErrorCode::InvalidUnicodeCodePoint, p_);
        }
        return text;
      }
      p_ += length;
    }
  }
}

template <bool kRefuseRepeats>
void Reader<kRefuseRepeats>::parse_escape(std::string& out) {
  if (p_ == end_) return fail_at_end(ErrorCode::EofWhileParsingString);
  const char c = *p_++;
  switch (c) {
    case '"': out.push_back('"'); return;
    case '\\': out.push_back('\\'); return;
    case '/': out.push_back('/'); return;
    case 'b': out.push_back('\b'); return;
    case 'f': out.push_back('\f'); return;
    case 'n': out.push_back('\n'); return;
    case 'r': out.push_back('\r'); return;
    case 't': out.push_back('\t'); return;
    case 'u': return parse_unicode_escape(out);
    default: return fail_at_offset(ErrorCode::InvalidEscape, p_);
  }
}

template <bool kRefuseRepeats>
std::uint32_t Reader<kRefuseRepeats>::read_hex4() {
  if (end_ - p_ < 4) {
    fail_at_end(ErrorCode::EofWhileParsingString);
    return 0;
  }
  std::uint32_t n = 0;
  for (int i = 0; i < 4; ++i, ++p_) {
    const int digit = hex_digit(*p_);
    if (digit < 0) {
      fail_at_byte(ErrorCode::InvalidEscape, p_);
      return 0;
    }
    n = n << 4 | static_cast<std::uint32_t>(digit);
  }
  return n;
}

// A leading surrogate must be followed at once by an escaped trailing one;
// anything else (including a trailing surrogate on its own) is rejected,
// because such a string has no UTF-8 form.
template <bool kRefuseRepeats>
void Reader<kRefuseRepeats>::parse_unicode_escape(std::string& out) {
  std::uint32_t n = read_hex4();
  if (failed_) return;
  if (n >= 0xDC00 && n <= 0xDFFF) return fail_at_offset(ErrorCode::LoneLeadingSurrogate, p_);
  if (n >= 0xD800 && n <= 0xDBFF) {
    for (const char expected : {'\\', 'u'}) {
      if (p_ == end_) return fail_at_end(ErrorCode::EofWhileParsingString);
      if (*p_ != expected) return fail_at_byte(ErrorCode::UnexpectedEndOfHexEscape, p_);
      ++p_;
    }
    const std::uint32_t low = read_hex4();
    if (failed_) return;
    if (low < 0xDC00 || low > 0xDFFF) return fail_at_offset(ErrorCode::LoneLeadingSurrogate, p_);
    n = 0x10000 + ((n - 0xD800) << 10) + (low - 0xDC00);
  }
  append_utf8(n, out);
}

template <bool kRefuseRepeats>
Value Reader<kRefuseRepeats>::parse_array() {
  if (--remaining_depth_ == 0) {
    fail_at_byte(ErrorCode::RecursionLimitExceeded, p_);
    return {};
  }
  ++p_;
  const std::size_t base = items_.size();
  skip_whitespace();
  if (p_ == end_) {
    fail_at_end(ErrorCode::EofWhileParsingList);
    return {};
  }
  if (*p_ != ']') {
    if (items_.capacity() == 0) items_.reserve(16);
    for (;;) {
      skip_whitespace();
      if (p_ < end_ && *p_ == '"') {
        ++p_;
        read_string([&](auto&& text) { items_.emplace_back(std::forward<decltype(text)>(text)); });
      } else {
        items_.push_back(parse_value());
      }
      if (failed_) {
        note_step([&] { return PathStep{{}, items_.size() - base - 1, true}; });
        return {};
      }
      const Next next = after_element(']', ErrorCode::EofWhileParsingList, ErrorCode::ExpectedListCommaOrEnd);
      if (next == Next::Fail) return {};
      if (next == Next::Close) break;
    }
  }
  ++p_;
  ++remaining_depth_;
  const auto first = items_.begin() + static_cast<std::ptrdiff_t>(base);
  Array array(std::make_move_iterator(first), std::make_move_iterator(items_.end()));
  items_.erase(first, items_.end());
  return Value(std::move(array));
}

template <bool kRefuseRepeats>
Value Reader<kRefuseRepeats>::parse_object() {
  if (--remaining_depth_ == 0) {
    fail_at_byte(ErrorCode::RecursionLimitExceeded, p_);
    return {};
  }
  ++p_;
  const std::size_t base = members_.size();
  skip_whitespace();
  if (p_ == end_) {
    fail_at_end(ErrorCode::EofWhileParsingObject);
    return {};
  }
  if (*p_ != '}') {
    if (members_.capacity() == 0) members_.reserve(16);
    std::string decoded_key;  // the text of a key with escapes
    for (;;) {
      if (*p_ != '"') {
        fail_at_byte(ErrorCode::KeyMustBeAString, p_);
        return {};
      }
      ++p_;
      const std::string_view key = parse_string(decoded_key);
      if (failed_) return {};
      if (is_repeated(key, base)) {
        fail_at_offset(ErrorCode::RepeatedKey, p_);
        note_step([&] { return PathStep{std::string(key)}; });
        return {};
      }
      skip_whitespace();
      if (p_ == end_) {
        fail_at_end(ErrorCode::EofWhileParsingObject);
        return {};
      }
      if (*p_ != ':') {
        fail_at_byte(ErrorCode::ExpectedColon, p_);
        return {};
      }
      ++p_;
      skip_whitespace();
      if (p_ < end_ && *p_ == '"') {
        ++p_;
        read_string([&](auto&& text) {
          members_.emplace_back(std::piecewise_construct, std::forward_as_tuple(key),
                                std::forward_as_tuple(std::forward<decltype(text)>(text)));
        });
      } else {
        members_.emplace_back(std::piecewise_construct, std::forward_as_tuple(key), std::forward_as_tuple(parse_value()));
      }
      if (failed_) {
        note_step([&] { return PathStep{members_.back().first}; });
        return {};
      }
      const Next next = after_element('}', ErrorCode::EofWhileParsingObject, ErrorCode::ExpectedObjectCommaOrEnd);
      if (next == Next::Fail) return {};
      if (next == Next::Close) break;
    }
  }
  ++p_;
  ++remaining_depth_;
  const auto first = members_.begin() + static_cast<std::ptrdiff_t>(base);
  Object object = Object::from_members(std::span<Object::Member>(first, members_.end()));
  members_.erase(first, members_.end());
  return Value(std::move(object));
}

}  // namespace

std::expected<std::pair<Value, std::size_t>, ParseError> parse_prefix(std::string_view text) {
  Reader<false> reader(text);
  Value value = reader.parse_value();
  if (reader.failed()) return std::unexpected(reader.error());
  return std::pair<Value, std::size_t>(std::move(value), reader.offset());
}

std::expected<std::pair<Value, std::size_t>, ParseError> parse_prefix_unique_keys(std::string_view text,
                                                                                   std::vector<PathStep>& path) {
  path.clear();
  Reader<true> reader(text, path);
  Value value = reader.parse_value();
  if (reader.failed()) {
    const ParseError error = reader.error();
    if (error.code == ErrorCode::RepeatedKey) {
      std::reverse(path.begin(), path.end());
    } else {
      path.clear();
    }
    return std::unexpected(error);
  }
  return std::pair<Value, std::size_t>(std::move(value), reader.offset());
}

std::expected<void, ParseError> expect_end(std::string_view text, std::size_t offset) {
  for (std::size_t i = offset; i < text.size(); ++i) {
    if (!is_whitespace(text[i])) return std::unexpected(trailing_characters_at(text, i));
  }
  return {};
}

std::expected<Value, ParseError> parse(std::string_view text) {
  auto parsed = parse_prefix(text);
  if (!parsed) return std::unexpected(parsed.error());
  if (auto end = expect_end(text, parsed->second); !end) return std::unexpected(end.error());
  return std::move(parsed->first);
}

}  // namespace tessary::formats::json
