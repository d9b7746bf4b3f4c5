#include <gtest/gtest.h>

#include "formats/base64url.hpp"

namespace b64 = tessary::formats::base64url;

namespace {

std::vector<std::uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

// SHA-256 of the empty string, the shape of every digest field.
constexpr std::string_view kDigest = "47DEQpj8HBSa-_TImW-5JCeuQeRkm5NMpJWZG3hSuFU";

struct Vector {
  std::vector<std::uint8_t> bytes;
  const char* text;
};

class Base64UrlVectors : public ::testing::TestWithParam<Vector> {};

TEST_P(Base64UrlVectors, EncodeAndDecode) {
  EXPECT_EQ(b64::encode(GetParam().bytes), GetParam().text);
  auto decoded = b64::decode(GetParam().text);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().to_string();
  EXPECT_EQ(*decoded, GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Rfc4648, Base64UrlVectors,
    ::testing::Values(Vector{{}, ""}, Vector{bytes_of("f"), "Zg"}, Vector{bytes_of("fo"), "Zm8"},
                      Vector{bytes_of("foo"), "Zm9v"}, Vector{bytes_of("foob"), "Zm9vYg"},
                      Vector{bytes_of("fooba"), "Zm9vYmE"}, Vector{bytes_of("foobar"), "Zm9vYmFy"},
                      // The two symbols that differ from the standard alphabet.
                      Vector{{0xfb, 0xff}, "-_8"}, Vector{{0xfb, 0xef, 0xbe}, "----"},
                      Vector{{0xff, 0xff, 0xff}, "____"}));

struct Bad {
  std::string text;
  const char* message;
};

class Base64UrlStrict : public ::testing::TestWithParam<Bad> {};

TEST_P(Base64UrlStrict, RejectsWithTheDecoderMessage) {
  auto decoded = b64::decode(GetParam().text);
  ASSERT_FALSE(decoded.has_value());
  EXPECT_EQ(decoded.error().to_string(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, Base64UrlStrict,
    ::testing::Values(Bad{std::string(kDigest) + "=", "Invalid padding"}, Bad{"Zg==", "Invalid padding"},
                      Bad{"Zg===", "Invalid padding"},
                      // "=" where no padding can stand is a symbol outside the alphabet.
                      Bad{"Z===", "Invalid symbol 61, offset 1."}, Bad{"=abc", "Invalid symbol 61, offset 0."},
                      Bad{"Zg=a", "Invalid symbol 61, offset 2."}, Bad{"Zm9v+g", "Invalid symbol 43, offset 4."},
                      Bad{"Zm9v Yg", "Invalid symbol 32, offset 4."},
                      Bad{"Zm\xc3\xa9", "Invalid symbol 195, offset 2."}, Bad{std::string("Zm\0v", 4), "Invalid symbol 0, offset 2."},
                      Bad{"Z", "Invalid input length: 1"}, Bad{"Zm9vY", "Invalid input length: 5"},
                      // Unused low bits of the last symbol must be zero.
                      Bad{"Zh", "Invalid last symbol 104, offset 1."}, Bad{"Zm9", "Invalid last symbol 57, offset 2."},
                      Bad{std::string(kDigest.substr(0, 42)) + "V", "Invalid last symbol 86, offset 42."}));

TEST(Base64Url, DigestsAreFortyThreeSymbols) {
  auto digest = b64::decode(kDigest);
  ASSERT_TRUE(digest.has_value());
  ASSERT_EQ(digest->size(), 32u);
  EXPECT_EQ(b64::encode(*digest), kDigest);

  auto short_digest = b64::decode("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHg");
  ASSERT_TRUE(short_digest.has_value());
  EXPECT_EQ(short_digest->size(), 31u);
}

}  // namespace
