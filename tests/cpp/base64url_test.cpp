#include <gtest/gtest.h>

#include "formats/base64url.hpp"
#include "test_support.hpp"

namespace b64 = tessary::formats::base64url;

namespace {

std::vector<std::uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

// SHA-256 of the empty string, the shape of every digest field. That such
// texts decode to 32 bytes is the Python property tests', which give digest
// fields as base64url text.
constexpr std::string_view kDigest = "47DEQpj8HBSa-_TImW-5JCeuQeRkm5NMpJWZG3hSuFU";

TEST(Base64Url, Rfc4648VectorsEncodeAndDecode) {
  const std::pair<std::vector<std::uint8_t>, const char*> cases[] = {
      {{}, ""}, {bytes_of("f"), "Zg"}, {bytes_of("fo"), "Zm8"}, {bytes_of("foo"), "Zm9v"}, {bytes_of("foob"), "Zm9vYg"},
      {bytes_of("fooba"), "Zm9vYmE"}, {bytes_of("foobar"), "Zm9vYmFy"},
      // The two symbols that differ from the standard alphabet.
      {{0xfb, 0xff}, "-_8"}, {{0xfb, 0xef, 0xbe}, "----"}, {{0xff, 0xff, 0xff}, "____"}};
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(b64::encode(bytes), text);
    EXPECT_EQ(b64::decode(text), bytes) << text;
  }
}

TEST(Base64Url, StrictDecodingRejectsWithTheDecoderMessage) {
  const std::pair<std::string, const char*> cases[] = {
      {std::string(kDigest) + "=", "Invalid padding"}, {"Zg==", "Invalid padding"}, {"Zg===", "Invalid padding"},
      // "=" where no padding can stand is a symbol outside the alphabet.
      {"Z===", "Invalid symbol 61, offset 1."}, {"=abc", "Invalid symbol 61, offset 0."},
      {"Zg=a", "Invalid symbol 61, offset 2."}, {"Zm9v+g", "Invalid symbol 43, offset 4."}, {"Zm9v Yg", "Invalid symbol 32, offset 4."},
      {"Zm\xc3\xa9", "Invalid symbol 195, offset 2."}, {std::string("Zm\0v", 4), "Invalid symbol 0, offset 2."},
      {"Z", "Invalid input length: 1"}, {"Zm9vY", "Invalid input length: 5"},
      // Unused low bits of the last symbol must be zero.
      {"Zh", "Invalid last symbol 104, offset 1."}, {"Zm9", "Invalid last symbol 57, offset 2."},
      {std::string(kDigest.substr(0, 42)) + "V", "Invalid last symbol 86, offset 42."}};
  for (const auto& [text, message] : cases) EXPECT_EQ(support::error_text(b64::decode(text)), message) << text;
}

}  // namespace
