// Method shape hashes of literal documents and every failure text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/method_shape.hpp"
#include "formats/json_value.hpp"
#include "formats/sha256.hpp"

using namespace tessary::engine;
namespace json = tessary::formats::json;

namespace {

const std::string kZeros(64, '0');

std::string from_code(std::string_view code_hash, std::optional<json::Value> params = std::nullopt) {
  return compute_method_shape_hash_from_code(code_hash, std::move(params)).value();
}

std::string from_signature(std::string_view name, std::vector<std::string> types, std::string_view out) {
  return compute_method_shape_hash_from_signature(name, types, out).value();
}

}  // namespace

TEST(MethodShape, CodeHashLiterals) {
  const std::string bare = "sha256:9d3160cf399aaf1713fc2e22c312f0fe9be2dee556767decdac6bf776641d560";
  EXPECT_EQ(from_code("sha256:" + kZeros), bare);
  EXPECT_EQ(from_code(kZeros), bare);
  EXPECT_EQ(tessary::formats::sha256_prefixed(R"({"code_hash":"sha256:)" + kZeros + R"("})"), bare);
  EXPECT_EQ(from_code(kZeros, json::Value(json::Object{{"k", 1}})),
            "sha256:3224a81d117cb96c8635c891a485107604ef59c43d43846ff4f992aa40c38f0f");
  // An empty object is a parameter set, not an absent one.
  EXPECT_EQ(from_code(kZeros, json::Value(json::Object{})),
            tessary::formats::sha256_prefixed(R"({"code_hash":"sha256:)" + kZeros + R"(","params":{}})"));
}

TEST(MethodShape, BadCodeHashes) {
  for (const std::string& bad : {std::string("xyz"), std::string(""), std::string("sha256:"), "SHA256:" + kZeros,
                                 std::string(63, '0'), std::string(65, '0'), "sha256:" + std::string(63, '0') + "g",
                                 "sha256:sha256:" + kZeros}) {
    EXPECT_EQ(compute_method_shape_hash_from_code(bad, std::nullopt).error().to_string(), "Invalid hash format: Invalid code hash format: " + bad);
  }
}

TEST(MethodShape, SignatureLiterals) {
  EXPECT_EQ(from_signature("f", {"int"}, "str"),
            "sha256:8dec98e8ef39bb1067c1b018dc0d2b20eb99dc539fe8dba7c949395284a0575e");
  EXPECT_EQ(from_signature("f", {}, ""),
            tessary::formats::sha256_prefixed(R"({"function_name":"f","input_types":[],"output_type":""})"));
  EXPECT_NE(from_signature("f", {"a", "b"}, "c"), from_signature("f", {"b", "a"}, "c"));
  // Names are escaped as JSON strings; spaces are not trimmed.
  EXPECT_EQ(from_signature(" ", {"\"q\"\n"}, "é"),
            tessary::formats::sha256_prefixed("{\"function_name\":\" \",\"input_types\":[\"\\\"q\\\"\\n\"],"
                                              "\"output_type\":\"\xc3\xa9\"}"));
}

TEST(MethodShape, ErrorTexts) {
  EXPECT_EQ(compute_method_shape_hash_from_signature("", {}, "x").error().to_string(),
            "Invalid input: Function name cannot be empty");
}
