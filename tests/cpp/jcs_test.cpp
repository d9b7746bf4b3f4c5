#include <gtest/gtest.h>

#include <string>

#include "formats/jcs.hpp"
#include "formats/json_reader.hpp"
#include "formats/sha256.hpp"
#include "test_support.hpp"

namespace tessary::formats {
namespace {

json::Value parsed(std::string_view text) { return support::value_of(json::parse(text)); }

TEST(Jcs, HashStringsOfRawBytes) {
  EXPECT_EQ(sha256_prefixed(""), "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_prefixed(std::string(1, '\0')), "sha256:6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d");
}

// Expected text and hash from Python: json.dumps(sort_keys=True,
// separators=(",", ":"), ensure_ascii=False) and hashlib. Its key order is
// code-point order, as ours; U+FF5E before U+1F600, unlike UTF-16 order.
TEST(Jcs, AgreesWithPythonsSortedCompactJson) {
  const json::Value value = parsed(R"({"b":[{"z":1,"y":"\u00e9/\u007f"},[3,1,2]],"a":null,"B":true,"\ud83d\ude00":-5,"\uff5e":0})");
  EXPECT_EQ(jcs::canonical(value),
            "{\"B\":true,\"a\":null,\"b\":[{\"y\":\"\xc3\xa9/\x7f\",\"z\":1},[3,1,2]],\"\xef\xbd\x9e\":0,\"\xf0\x9f\x98\x80\":-5}");
  EXPECT_EQ(sha256_prefixed(jcs::canonical(value)), "sha256:d50fda443310c9999da76fff16d13d58027025496c04fdc52bbde1597ee321ae");
  // Number classes are part of the text: 1 and 1.0 commit differently.
  EXPECT_NE(jcs::canonical(parsed("[1]")), jcs::canonical(parsed("[1.0]")));
}

}  // namespace
}  // namespace tessary::formats
