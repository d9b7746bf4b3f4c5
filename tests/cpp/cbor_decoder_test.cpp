#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "formats/cbor_decoder.hpp"
#include "formats/cbor_diagnostic.hpp"
#include "formats/cbor_encoder.hpp"

namespace cbor = tessary::formats::cbor;
using cbor::Item;

namespace {

std::string unhex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return out;
}

std::string diag_of(std::string_view hex) {
  auto item = cbor::decode(unhex(hex));
  if (!item) return "error: " + item.error().to_string();
  return cbor::diagnostic(*item);
}

struct DiagCase {
  const char* hex;
  const char* diagnostic;
};

class CborDecodesTo : public ::testing::TestWithParam<DiagCase> {};

TEST_P(CborDecodesTo, Diagnostic) { EXPECT_EQ(diag_of(GetParam().hex), GetParam().diagnostic); }

INSTANTIATE_TEST_SUITE_P(
    Rfc8949Examples, CborDecodesTo,
    ::testing::Values(
        DiagCase{"1bffffffffffffffff", "18446744073709551615"}, DiagCase{"3bffffffffffffffff", "-18446744073709551616"},
        DiagCase{"3903e7", "-1000"}, DiagCase{"f90001", "5.960464477539063e-08"}, DiagCase{"f97bff", "65504.0"},
        DiagCase{"fa47c35000", "100000.0"}, DiagCase{"f9c400", "-4.0"}, DiagCase{"f98000", "-0.0"},
        DiagCase{"fb3ff199999999999a", "1.1"}, DiagCase{"f97c00", "Infinity"}, DiagCase{"fa7fc00000", "NaN"},
        DiagCase{"f7", "undefined"}, DiagCase{"f0", "simple(16)"}, DiagCase{"f8ff", "simple(255)"},
        DiagCase{"d74401020304", "23(h'01020304')"}, DiagCase{"62225c", "\"\\\"\\\\\""},
        DiagCase{"a26161016162820203", "{\"a\": 1, \"b\": [2, 3]}"},
        // Indefinite lengths are read and come back as ordinary items.
        DiagCase{"5f42010243030405ff", "h'0102030405'"}, DiagCase{"7f657374726561646d696e67ff", "\"streaming\""},
        DiagCase{"9fff", "[]"}, DiagCase{"9f018202039f0405ffff", "[1, [2, 3], [4, 5]]"},
        DiagCase{"bf61610161629f0203ffff", "{\"a\": 1, \"b\": [2, 3]}"},
        // Duplicate keys and unusual key types are kept as they come.
        DiagCase{"a2f4010102", "{false: 1, 1: 2}"}, DiagCase{"a201010102", "{1: 1, 1: 2}"}));

struct ErrorCase {
  const char* hex;
  const char* message;
};

class CborRejects : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(CborRejects, WithAClearMessage) { EXPECT_EQ(diag_of(GetParam().hex), std::string("error: ") + GetParam().message); }

INSTANTIATE_TEST_SUITE_P(
    Malformed, CborRejects,
    ::testing::Values(
        ErrorCase{"", "unexpected end of input at offset 0"}, ErrorCase{"1901", "unexpected end of input at offset 2"},
        ErrorCase{"8319010201", "unexpected end of input at offset 5"}, ErrorCase{"9f01", "unexpected end of input at offset 2"},
        ErrorCase{"0000", "trailing bytes after the item at offset 1"},
        ErrorCase{"1c", "reserved additional information 28 at offset 0"},
        ErrorCase{"811e", "reserved additional information 30 at offset 1"},
        ErrorCase{"1f", "indefinite length is not allowed for major type 0 at offset 0"},
        ErrorCase{"df00", "indefinite length is not allowed for major type 6 at offset 0"},
        ErrorCase{"ff", "unexpected break at offset 0"}, ErrorCase{"8201ff", "unexpected break at offset 2"},
        ErrorCase{"5f6161ff", "invalid chunk in an indefinite-length string at offset 1"},
        ErrorCase{"5f5f4101ffff", "invalid chunk in an indefinite-length string at offset 1"},
        ErrorCase{"f810", "invalid two-byte simple value 16 at offset 0"},
        ErrorCase{"9b100000000000000000", "length 1152921504606846976 exceeds the remaining input at offset 0"},
        ErrorCase{"5bffffffffffffffff", "length 18446744073709551615 exceeds the remaining input at offset 0"},
        ErrorCase{"a20102", "length 2 exceeds the remaining input at offset 0"},
        ErrorCase{"4301", "length 3 exceeds the remaining input at offset 0"},
        // Overlong, truncated, surrogate, beyond U+10FFFF, split across chunks.
        ErrorCase{"6261c080", "invalid UTF-8 in text string at offset 2"},
        ErrorCase{"61c3", "invalid UTF-8 in text string at offset 1"},
        ErrorCase{"63eda080", "invalid UTF-8 in text string at offset 1"},
        ErrorCase{"64f4908080", "invalid UTF-8 in text string at offset 1"},
        ErrorCase{"7f61c361bcff", "invalid UTF-8 in text string at offset 2"}));

TEST(CborDecoder, NestingIsLimitedTo256Levels) {
  const std::string ok = std::string(256, '\x81') + '\x00';
  EXPECT_TRUE(cbor::decode(ok).has_value());
  const std::string tags_ok = std::string(256, '\xc1') + '\x00';
  EXPECT_TRUE(cbor::decode(tags_ok).has_value());

  const std::string too_deep = std::string(257, '\x81') + '\x00';
  auto result = cbor::decode(too_deep);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().to_string(), "nesting deeper than 256 levels at offset 256");

  const std::string maps_too_deep = std::string(257, '\xa1') + '\x00';
  EXPECT_FALSE(cbor::decode(maps_too_deep).has_value());
}

TEST(CborDecoder, NarrowFloatsWidenExactly) {
  auto half_nan = cbor::decode(unhex("f97d00"));
  ASSERT_TRUE(half_nan.has_value());
  EXPECT_EQ(std::bit_cast<std::uint64_t>(half_nan->as<double>()), 0x7FF4000000000000ull);
  auto single_subnormal = cbor::decode(unhex("fa00000001"));
  ASSERT_TRUE(single_subnormal.has_value());
  EXPECT_EQ(single_subnormal->as<double>(), 0x1p-149);
  auto half_negative_subnormal = cbor::decode(unhex("f98001"));
  ASSERT_TRUE(half_negative_subnormal.has_value());
  EXPECT_EQ(half_negative_subnormal->as<double>(), -0x1p-24);
}

TEST(CborDecoder, RoundTripsEncodedItems) {
  const Item samples[] = {
      Item{cbor::Map{{Item::text("a"), Item{cbor::Array{Item::uint(1), Item{2.5}, Item::sint(-300)}}},
                     {Item::uint(7), Item{cbor::Bytes{0, 255}}},
                     {Item{cbor::Array{}}, Item{cbor::Tagged{42, Item::text("x")}}}}},
      Item{cbor::Array{Item{true}, Item::null(), Item{cbor::Simple{0}}, Item{cbor::Simple{200}}, Item{1e300},
                       Item{cbor::Integer{true, UINT64_MAX}}, Item::text("\xf0\x9f\x98\x80")}},
  };
  for (const Item& item : samples) {
    auto bytes = cbor::encode(item);
    ASSERT_TRUE(bytes.has_value());
    auto back = cbor::decode(*bytes);
    ASSERT_TRUE(back.has_value()) << back.error().to_string();
    EXPECT_EQ(*back, item) << cbor::diagnostic(item);
  }
}

}  // namespace
