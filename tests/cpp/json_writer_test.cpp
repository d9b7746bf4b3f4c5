#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "formats/json_reader.hpp"
#include "formats/json_writer.hpp"

namespace tessary::formats::json {
namespace {

std::string compact_of(std::string_view text) {
  auto parsed = parse(text);
  return parsed ? to_compact(*parsed) : "<error> " + parsed.error().to_string();
}

TEST(JsonWriter, TextsRewrittenCompactly) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"b":1,"a":2,"B":3})", R"({"B":3,"a":2,"b":1})"},
      {R"({"a":1,"aa":2,"":3})", R"({"":3,"a":1,"aa":2})"},
      {R"([{"b":1,"a":2},[3,1,2]])", R"([{"a":2,"b":1},[3,1,2]])"},
      {" [ 1 , 1.0 , 1e2 , 0.1 , 1e16 , 1e-6 ] ", "[1,1.0,100.0,0.1,1e16,1e-6]"},
      {"[-0,-0.0,0,18446744073709551616,-9223372036854775808]",
       "[-0.0,-0.0,0,1.8446744073709552e19,-9223372036854775808]"},
      {"[true,false,null,[],{},\"\"]", "[true,false,null,[],{},\"\"]"},
      {R"("a\/b\u00e9\u007f\ud83d\ude00")", "\"a/b\xc3\xa9\x7f\xf0\x9f\x98\x80\""},
      {R"("\"\\\b\f\n\r\t\u0000\u0001\u000b\u001f\u001F ")",
       R"("\"\\\b\f\n\r\t\u0000\u0001\u000b\u001f\u001f ")"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(compact_of(text), expected) << text;
}

TEST(JsonWriter, EveryControlCharacterEscaped) {
  std::string all;
  for (int c = 0; c < 0x20; ++c) all.push_back(static_cast<char>(c));
  std::string out;
  write_string(all + "\"\\/\x7f", out);
  EXPECT_EQ(out,
            "\"\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r"
            "\\u000e\\u000f\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018"
            "\\u0019\\u001a\\u001b\\u001c\\u001d\\u001e\\u001f\\\"\\\\/\x7f\"");
}

// A deterministic generator of values that the reader can produce.
class RandomValues {
 public:
  explicit RandomValues(std::uint64_t seed) : random_(seed) {}

  Value next(int depth) {
    switch (pick(depth > 0 ? 9 : 7)) {
      case 0: return Value();
      case 1: return Value(pick(2) == 1);
      case 2: return Value(random_() >> pick(64));
      case 3: return Value(-static_cast<std::int64_t>(random_() >> (1 + pick(63))) - 1);
      case 4: return Value(float_value());
      case 5:
      case 6: return Value(text());
      case 7: {
        Array items;
        for (int n = pick(5); n > 0; --n) items.push_back(next(depth - 1));
        return Value(std::move(items));
      }
      default: {
        Object object;
        for (int n = pick(5); n > 0; --n) object.insert(text(), next(depth - 1));
        return Value(std::move(object));
      }
    }
  }

 private:
  int pick(int n) { return static_cast<int>(random_() % static_cast<std::uint64_t>(n)); }

  double float_value() {
    for (;;) {
      const double d = pick(2) == 0 ? std::bit_cast<double>(random_())
                                    : static_cast<double>(pick(2000) - 1000) / 8.0;
      if (std::isfinite(d)) return d;
    }
  }

  // Mixes ASCII, characters that need escapes, and 2- to 4-byte UTF-8.
  std::string text() {
    static constexpr const char* kPieces[] = {"a", "B", "\"", "\\", "/", "\n", "\x01", "\x1f",
                                              "\x7f", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
                                              "plain text run "};
    std::string s;
    for (int n = pick(6); n > 0; --n) s += kPieces[pick(std::size(kPieces))];
    return s;
  }

  std::mt19937_64 random_;
};

TEST(JsonWriter, RandomValuesRoundTrip) {
  RandomValues values(42);
  for (int i = 0; i < 3000; ++i) {
    const Value value = values.next(4);
    const std::string text = to_compact(value);
    auto parsed = parse(text);
    ASSERT_TRUE(parsed) << text << ": " << parsed.error().to_string();
    ASSERT_EQ(*parsed, value) << text;
    ASSERT_EQ(to_compact(*parsed), text);
  }
}

}  // namespace
}  // namespace tessary::formats::json
