#include <gtest/gtest.h>

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
      {R"({"b":1,"a":2,"B":3})", R"({"B":3,"a":2,"b":1})"}, {R"({"a":1,"aa":2,"":3})", R"({"":3,"a":1,"aa":2})"},
      {R"([{"b":1,"a":2},[3,1,2]])", R"([{"a":2,"b":1},[3,1,2]])"}, {"[true,false,null,[],{},\"\"]", "[true,false,null,[],{},\"\"]"},
      {" [ 1 , 1.0 , 1e2 , 0.1 , 1e16 , 1e-6 ] ", "[1,1.0,100.0,0.1,1e16,1e-6]"},
      {"[-0,-0.0,0,18446744073709551616,-9223372036854775808]", "[-0.0,-0.0,0,1.8446744073709552e19,-9223372036854775808]"},
      {R"("a\/b\u00e9\u007f\ud83d\ude00")", "\"a/b\xc3\xa9\x7f\xf0\x9f\x98\x80\""},
      {R"("\"\\\b\f\n\r\t\u0000\u0001\u000b\u001f\u001F ")", R"("\"\\\b\f\n\r\t\u0000\u0001\u000b\u001f\u001f ")"},
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

}  // namespace
}  // namespace tessary::formats::json
