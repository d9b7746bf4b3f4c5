#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "formats/json_reader.hpp"
#include "test_support.hpp"

namespace tessary::formats::json {
namespace {

std::string error_text(std::string_view text) { return support::error_text(parse(text)); }

TEST(JsonReader, ErrorsGiveTheMessageAndPosition) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"}, {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1,", "EOF while parsing a value at line 1 column 3"}, {"[1,]", "trailing comma at line 1 column 4"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"}, {"[,1]", "expected value at line 1 column 2"},
      {"{", "EOF while parsing an object at line 1 column 1"}, {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"}, {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{1:2}", "key must be a string at line 1 column 2"}, {"nul", "EOF while parsing a value at line 1 column 3"},
      {"nulx", "expected ident at line 1 column 4"}, {"+1", "expected value at line 1 column 1"},
      {"-Infinity", "invalid number at line 1 column 2"}, {"-", "EOF while parsing a value at line 1 column 1"},
      {"01", "invalid number at line 1 column 2"}, {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1.e5", "invalid number at line 1 column 3"}, {"[1ex]", "invalid number at line 1 column 4"},
      {"1e400", "number out of range at line 1 column 5"}, {"1.7976931348623159e308", "number out of range at line 1 column 22"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"}, {"\"a\\x\"", "invalid escape at line 1 column 4"},
      {"\"\\u12G4\"", "invalid escape at line 1 column 6"}, {"\"\\u12\"", "EOF while parsing a string at line 1 column 6"},
      {"\"\\ud800\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\udc00\\ud800\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\ud800", "EOF while parsing a string at line 1 column 7"},
      {"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {"\"\xff\"", "invalid unicode code point at line 1 column 2"}, {"\"ab\xc3(\"", "invalid unicode code point at line 1 column 4"},
      {"\"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 2"},
      {"\"\xe2\x82", "EOF while parsing a string at line 1 column 3"},
      {"\xef\xbb\xbf{}", "expected value at line 1 column 1"}, {"{}\n\n }", "trailing characters at line 3 column 2"},
      {"[\r\n1,\n2 3]", "expected `,` or `]` at line 3 column 3"},
      {"1" + std::string(400, '0') + "e-10", "number out of range at line 1 column 405"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(error_text(text), expected) << "input: " << text;
}

// Numbers keep their kind and bits; strings are unescaped.
TEST(JsonReader, ScalarsReadFromLiteralText) {
  constexpr auto u64_max = std::numeric_limits<std::uint64_t>::max();
  constexpr auto i64_min = std::numeric_limits<std::int64_t>::min();
  const std::pair<std::string, Value> cases[] = {  // literal text, expected kind and bits
      {"0", Value(0u)}, {"18446744073709551615", Value(u64_max)}, {"18446744073709551616", Value(18446744073709551616.0)},
      {"-1", Value(-1)}, {"-9223372036854775808", Value(i64_min)}, {"-9223372036854775809", Value(-9223372036854775809.0)},
      {"-0", Value(-0.0)}, {"1.0", Value(1.0)}, {"1E2", Value(100.0)}, {"25e-1", Value(2.5)}, {"1e-400", Value(0.0)},
      {"0e999999999999", Value(0.0)}, {"1.7976931348623158e308", Value(std::numeric_limits<double>::max())},
      {"2.4703282292062328e-324", Value(std::numeric_limits<double>::denorm_min())},
      {"1" + std::string(400, '0') + "e-300", Value(1e100)}, {"0." + std::string(400, '0') + "1e400", Value(0.1)},
      // Correct rounding where a naive multiply-by-power-of-ten is off by one ulp.
      {"2.2250738585072011e-308", Value(2.2250738585072011e-308)}, {"9007199254740993", Value(9007199254740993u)},
      {"9007199254740993.0", Value(9007199254740992.0)},
      {R"("\"\\\/\b\f\n\r\t")", Value("\"\\/\b\f\n\r\t")}, {R"("\u0041\u00e9\u20AC")", Value("A\xc3\xa9\xe2\x82\xac")},
      {R"("\u0000")", Value(std::string(1, '\0'))}, {R"("\ud83d\ude00")", Value("\xf0\x9f\x98\x80")},
      {R"("\uDBFF\uDFFF")", Value("\xf4\x8f\xbf\xbf")},
      {"\"raw \xf0\x9f\x98\x80 \xc3\xa9 \x7f\"", Value("raw \xf0\x9f\x98\x80 \xc3\xa9 \x7f")},
      {"\"0123456789abcdef\\n0123456789abcdef\"", Value("0123456789abcdef\n0123456789abcdef")},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(support::value_of(parse(text)), expected) << text;
}

std::string nested(int depth, std::string_view open, std::string_view inner, std::string_view close) {
  std::string text(inner);
  for (int i = 0; i < depth; ++i) text = std::string(open) + text + std::string(close);
  return text;
}

TEST(JsonReader, NestingBudget) {
  EXPECT_TRUE(parse(nested(127, "[", "", "]")));
  EXPECT_TRUE(parse(nested(127, "{\"a\":", "1", "}")));
  EXPECT_TRUE(parse(nested(63, "[{\"k\":", "[]", "}]") ));
  EXPECT_EQ(error_text(nested(128, "[", "", "]")), "recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(error_text(nested(128, "{\"a\":", "1", "}")), "recursion limit exceeded at line 1 column 636");
  // The budget is given back when a container closes: siblings do not add up.
  std::string wide = "[" + nested(126, "[", "", "]") + "," + nested(126, "[", "", "]") + "]";
  EXPECT_TRUE(parse(wide));
  // Far deeper input fails at the same place without exhausting the stack.
  EXPECT_EQ(error_text(std::string(1'000'000, '[')), "recursion limit exceeded at line 1 column 128");
}

TEST(JsonReader, ObjectsAreKeyOrderedAndLastDuplicateWins) {
  // Escaped keys are the same keys, also when their value holds more of them.
  auto parsed = parse(R"({"b":1,"a":2,"B":3,"\u0061":4,"\u0062":{"x":1,"\u0078":[2]}})");
  ASSERT_TRUE(parsed);
  const Object& object = parsed->as_object();
  ASSERT_EQ(object.size(), 3u);
  std::string keys;
  for (const auto& [key, value] : object) keys += key;
  EXPECT_EQ(keys, "Bab");
  EXPECT_EQ(*object.find("a"), Value(4));
  EXPECT_EQ(*object.find("b"), Value(Object{{"x", Array{2}}}));
}

TEST(JsonReader, PrefixLeavesTheRestToTheCaller) {
  const std::string text = " {\"a\":[1]}  }x";
  auto prefix = parse_prefix(text);
  ASSERT_TRUE(prefix);
  EXPECT_EQ(prefix->second, 10u);
  EXPECT_EQ(prefix->first, Value(Object{{"a", Array{1}}}));
  EXPECT_EQ(expect_end(text, prefix->second).error().to_string(), "trailing characters at line 1 column 13");
  EXPECT_TRUE(expect_end("[] \t\r\n", 2));
  EXPECT_EQ(trailing_characters_at("ab\ncd", 4).to_string(), "trailing characters at line 2 column 2");
}

// A thread's reads share their working stacks: what a failed read leaves on
// them, or a large read grows them to, never shows in the next read.
TEST(JsonReader, EachReadStartsClean) {
  const Value expected(Object{{"a", Array{1, Object{{"b", 2}}}}, {"c", 3}});
  const std::string text = R"({"c":3,"a":[1,{"b":2}]})";
  std::string large = "[";
  for (int i = 0; i < 5000; ++i) large += "{\"k\":[" + std::to_string(i) + "]},";
  large.back() = ']';
  std::vector<PathStep> path;
  for (const std::string& before : {std::string(R"({"x":[1,2,{"y":[3,{"z":)"), std::string(R"([[1,{"x":1,"x")"), large}) {
    (void)parse(before);
    (void)parse_prefix_unique_keys(before, path);
    auto parsed = parse(text);
    ASSERT_TRUE(parsed) << before;
    EXPECT_EQ(*parsed, expected) << before;
    auto unique = parse_prefix_unique_keys(text, path);
    ASSERT_TRUE(unique) << before;
    EXPECT_EQ(unique->first, expected) << before;
  }
  EXPECT_EQ(parse(large)->as_array().size(), 5000u);
}

}  // namespace
}  // namespace tessary::formats::json
