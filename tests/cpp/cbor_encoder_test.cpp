#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "formats/cbor_encoder.hpp"

namespace cbor = tessary::formats::cbor;
using cbor::Item;

namespace {

std::string hex(std::string_view bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 0xF];
  }
  return out;
}

std::string encoded_hex(const Item& item) {
  auto bytes = cbor::encode(item);
  EXPECT_TRUE(bytes.has_value()) << bytes.error().to_string();
  return bytes ? hex(*bytes) : "";
}

struct IntCase {
  Item item;
  const char* expected;
};

class CborIntegerHeads : public ::testing::TestWithParam<IntCase> {};

TEST_P(CborIntegerHeads, UseTheShortestForm) { EXPECT_EQ(encoded_hex(GetParam().item), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Boundaries, CborIntegerHeads,
    ::testing::Values(IntCase{Item::uint(0), "00"}, IntCase{Item::uint(23), "17"}, IntCase{Item::uint(24), "1818"},
                      IntCase{Item::uint(255), "18ff"}, IntCase{Item::uint(256), "190100"},
                      IntCase{Item::uint(65535), "19ffff"}, IntCase{Item::uint(65536), "1a00010000"},
                      IntCase{Item::uint(0xFFFFFFFFu), "1affffffff"},
                      IntCase{Item::uint(0x100000000u), "1b0000000100000000"},
                      IntCase{Item::uint(UINT64_MAX), "1bffffffffffffffff"}, IntCase{Item::sint(-1), "20"},
                      IntCase{Item::sint(-24), "37"}, IntCase{Item::sint(-25), "3818"},
                      IntCase{Item::sint(-1000), "3903e7"}, IntCase{Item::sint(INT64_MIN), "3b7fffffffffffffff"},
                      IntCase{Item{cbor::Integer{true, UINT64_MAX}}, "3bffffffffffffffff"}));

struct FloatCase {
  double value;
  const char* expected;
};

class CborFloatWidths : public ::testing::TestWithParam<FloatCase> {};

TEST_P(CborFloatWidths, PickTheShortestExactWidth) { EXPECT_EQ(encoded_hex(Item{GetParam().value}), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Values, CborFloatWidths,
    ::testing::Values(FloatCase{1.5, "f93e00"}, FloatCase{0.1, "fb3fb999999999999a"}, FloatCase{0.0, "f90000"},
                      FloatCase{-0.0, "f98000"}, FloatCase{1.0, "f93c00"}, FloatCase{-4.0, "f9c400"},
                      FloatCase{65504.0, "f97bff"}, FloatCase{65520.0, "fa477ff000"},
                      FloatCase{100000.0, "fa47c35000"}, FloatCase{1e-7, "fb3e7ad7f29abcaf48"},
                      FloatCase{3.4028234663852886e+38, "fa7f7fffff"}, FloatCase{1.0e+300, "fb7e37e43c8800759c"},
                      // Half subnormals: 2^-24 is the smallest, 1023 * 2^-24 the largest;
                      // 2^-25 and 1.5 * 2^-24 fall between half values.
                      FloatCase{0x1p-24, "f90001"}, FloatCase{1023 * 0x1p-24, "f903ff"},
                      FloatCase{0x1p-14, "f90400"}, FloatCase{0x1p-25, "fa33000000"},
                      FloatCase{1.5 * 0x1p-24, "fa33c00000"},
                      // Single subnormals down to 2^-149; anything smaller needs a double.
                      FloatCase{0x1p-149, "fa00000001"}, FloatCase{0x1p-150, "fb3690000000000000"},
                      FloatCase{std::numeric_limits<double>::denorm_min(), "fb0000000000000001"},
                      FloatCase{std::numeric_limits<double>::infinity(), "f97c00"},
                      FloatCase{-std::numeric_limits<double>::infinity(), "f9fc00"},
                      FloatCase{std::numeric_limits<double>::quiet_NaN(), "f97e00"},
                      // NaN payloads decide the width like any other bits.
                      FloatCase{std::bit_cast<double>(0x7FF4000000000000ull), "f97d00"},
                      FloatCase{std::bit_cast<double>(0x7FF8000020000000ull), "fa7fc00001"},
                      FloatCase{std::bit_cast<double>(0x7FF8000000000001ull), "fb7ff8000000000001"}));

TEST(CborEncoder, StringsContainersTagsAndSimpleValues) {
  EXPECT_EQ(encoded_hex(Item::text("")), "60");
  EXPECT_EQ(encoded_hex(Item::text("IETF")), "6449455446");
  EXPECT_EQ(encoded_hex(Item::text("\xc3\xbc")), "62c3bc");
  EXPECT_EQ(encoded_hex(Item{cbor::Bytes{1, 2, 3, 4}}), "4401020304");
  EXPECT_EQ(encoded_hex(Item{cbor::Array{}}), "80");
  EXPECT_EQ(encoded_hex(Item{cbor::Array{Item::uint(1), Item{cbor::Array{Item::uint(2), Item::uint(3)}}}}),
            "8201820203");
  EXPECT_EQ(encoded_hex(Item{cbor::Map{{Item::uint(1), Item::uint(2)}, {Item::uint(3), Item::uint(4)}}}),
            "a201020304");
  EXPECT_EQ(encoded_hex(Item{cbor::Tagged{1, Item::uint(1363896240)}}), "c11a514b67b0");
  EXPECT_EQ(encoded_hex(Item{false}), "f4");
  EXPECT_EQ(encoded_hex(Item{true}), "f5");
  EXPECT_EQ(encoded_hex(Item::null()), "f6");
  EXPECT_EQ(encoded_hex(Item{cbor::Simple{23}}), "f7");
  EXPECT_EQ(encoded_hex(Item{cbor::Simple{16}}), "f0");
  EXPECT_EQ(encoded_hex(Item{cbor::Simple{255}}), "f8ff");

  cbor::Array long_array(25, Item::uint(1));
  EXPECT_EQ(encoded_hex(Item{long_array}).substr(0, 6), "981901");
  EXPECT_EQ(encoded_hex(Item::text(std::string(256, 'x'))).substr(0, 8), "79010078");
}

TEST(CborEncoder, WriterAppendsToEitherBufferKind) {
  std::vector<std::uint8_t> bytes{0xAA};
  cbor::ByteWriter writer(bytes);
  writer.write_map_head(1);
  writer.write_text("rid");
  const std::uint8_t raw[] = {1, 2};
  writer.write_bytes(raw);
  writer.write_int(-2);
  EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0xAA, 0xA1, 0x63, 'r', 'i', 'd', 0x42, 1, 2, 0x21}));
}

TEST(CborEncoder, RefusesWhatHasNoWellFormedEncodingAndRestoresTheBuffer) {
  std::string out = "keep";
  cbor::Writer writer(out);
  auto bad = writer.write_item(Item{cbor::Array{Item::uint(1), Item{cbor::Simple{24}}}});
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().to_string(), "simple value 24 cannot be encoded");
  EXPECT_EQ(out, "keep");

  auto not_utf8 = cbor::encode(Item{cbor::Map{{Item::text("ok"), Item::text("a\xff")}}});
  ASSERT_FALSE(not_utf8.has_value());
  EXPECT_EQ(not_utf8.error().to_string(), "invalid UTF-8 in text string at byte 1");

  cbor::Tagged empty;
  empty.number = 5;
  auto no_content = cbor::encode(Item{empty});
  ASSERT_FALSE(no_content.has_value());
  EXPECT_EQ(no_content.error().to_string(), "tag 5 has no content");
}

Item nested_arrays(std::size_t levels) {
  Item item = Item::uint(0);
  for (std::size_t i = 0; i < levels; ++i) item = Item{cbor::Array{std::move(item)}};
  return item;
}

TEST(CborEncoder, DepthIsBoundedInsteadOfExhaustingTheStack) {
  EXPECT_TRUE(cbor::encode(nested_arrays(cbor::kMaxEncodeDepth)).has_value());
  auto too_deep = cbor::encode(nested_arrays(cbor::kMaxEncodeDepth + 1));
  ASSERT_FALSE(too_deep.has_value());
  EXPECT_EQ(too_deep.error().to_string(), "nesting deeper than 1024 levels");
}

}  // namespace
