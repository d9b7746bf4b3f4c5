// Method shape hashes of literal documents and every failure text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/method_shape.hpp"
#include "formats/sha256.hpp"

using namespace tessary::engine;

namespace {

const std::string kZeros(64, '0');

std::string from_signature(std::string_view name, std::vector<std::string> types, std::string_view out) {
  return compute_method_shape_hash_from_signature(name, types, out).value();
}

}  // namespace

// Documents with and without parameters, digit case, the signature hash and
// the empty-name and bad-hash texts are also the Python tests'; here the
// cases they leave out.
TEST(MethodShape, BadCodeHashes) {
  for (const std::string& bad : {std::string("xyz"), std::string(""), std::string("sha256:"), "SHA256:" + kZeros,
                                 std::string(63, '0'), std::string(65, '0'), "sha256:" + std::string(63, '0') + "g",
                                 "sha256:sha256:" + kZeros}) {
    EXPECT_EQ(compute_method_shape_hash_from_code(bad, std::nullopt).error().to_string(), "Invalid hash format: Invalid code hash format: " + bad);
  }
}

TEST(MethodShape, SignatureOrderAndEscapes) {
  EXPECT_NE(from_signature("f", {"a", "b"}, "c"), from_signature("f", {"b", "a"}, "c"));
  // Names are escaped as JSON strings; spaces are not trimmed.
  EXPECT_EQ(from_signature(" ", {"\"q\"\n"}, "é"),
            tessary::formats::sha256_prefixed("{\"function_name\":\" \",\"input_types\":[\"\\\"q\\\"\\n\"],"
                                              "\"output_type\":\"\xc3\xa9\"}"));
}
