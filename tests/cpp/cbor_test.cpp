// CBOR encoding, decoding and canonical ordering, held against literal bytes
// (mostly RFC 8949's examples) and exact error texts.
#include <gtest/gtest.h>

#include <bit>
#include <limits>

#include "formats/cbor_canon.hpp"
#include "formats/cbor_decoder.hpp"
#include "formats/cbor_diagnostic.hpp"
#include "formats/cbor_encoder.hpp"
#include "test_support.hpp"

namespace cbor = tessary::formats::cbor;
namespace canon = tessary::formats::cbor_canon;
using cbor::Item;

namespace {

using support::hex;
using support::nested_arrays;

std::string encoded_hex(const Item& item) { return hex(cbor::encode(item).value()); }

std::string diag_of(std::string_view hex) {
  auto item = cbor::decode(support::unhex(hex));
  return item ? cbor::diagnostic(*item) : "error: " + item.error().to_string();
}

Item map(cbor::Map entries) { return Item{std::move(entries)}; }
Item array(cbor::Array elements) { return Item{std::move(elements)}; }

// Heads in their shortest form at each width boundary; floats in the shortest
// width that holds them exactly.
TEST(CborEncoder, LiteralBytes) {
  const std::pair<Item, const char*> cases[] = {
      {Item::uint(23), "17"}, {Item::uint(24), "1818"}, {Item::uint(255), "18ff"}, {Item::uint(256), "190100"},
      {Item::uint(65535), "19ffff"}, {Item::uint(65536), "1a00010000"}, {Item::uint(0xFFFFFFFFu), "1affffffff"},
      {Item::uint(0x100000000u), "1b0000000100000000"}, {Item::uint(UINT64_MAX), "1bffffffffffffffff"},
      {Item::sint(-1), "20"}, {Item::sint(-24), "37"}, {Item::sint(-25), "3818"}, {Item::sint(INT64_MIN), "3b7fffffffffffffff"},
      {Item{cbor::Integer{true, UINT64_MAX}}, "3bffffffffffffffff"},
      {Item{1.5}, "f93e00"}, {Item{0.1}, "fb3fb999999999999a"}, {Item{0.0}, "f90000"}, {Item{-0.0}, "f98000"},
      {Item{65504.0}, "f97bff"}, {Item{65520.0}, "fa477ff000"}, {Item{1e-7}, "fb3e7ad7f29abcaf48"},
      {Item{3.4028234663852886e+38}, "fa7f7fffff"}, {Item{1.0e+300}, "fb7e37e43c8800759c"},
      // Half subnormals: 2^-24 is the smallest, 1023 * 2^-24 the largest;
      // 2^-25 and 1.5 * 2^-24 fall between half values.
      {Item{0x1p-24}, "f90001"}, {Item{1023 * 0x1p-24}, "f903ff"}, {Item{0x1p-14}, "f90400"},
      {Item{0x1p-25}, "fa33000000"}, {Item{1.5 * 0x1p-24}, "fa33c00000"},
      // Single subnormals down to 2^-149; anything smaller needs a double.
      {Item{0x1p-149}, "fa00000001"}, {Item{0x1p-150}, "fb3690000000000000"},
      {Item{std::numeric_limits<double>::denorm_min()}, "fb0000000000000001"},
      {Item{-std::numeric_limits<double>::infinity()}, "f9fc00"}, {Item{std::numeric_limits<double>::quiet_NaN()}, "f97e00"},
      // NaN payloads decide the width like any other bits.
      {Item{std::bit_cast<double>(0x7FF4000000000000ull)}, "f97d00"}, {Item{std::bit_cast<double>(0x7FF8000020000000ull)}, "fa7fc00001"},
      {Item{std::bit_cast<double>(0x7FF8000000000001ull)}, "fb7ff8000000000001"},
      {Item::text(""), "60"}, {Item::text("\xc3\xbc"), "62c3bc"}, {Item{cbor::Bytes{1, 2, 3, 4}}, "4401020304"},
      {array({Item::uint(1), array({Item::uint(2), Item::uint(3)})}), "8201820203"},
      {map({{Item::uint(1), Item::uint(2)}, {Item::uint(3), Item::uint(4)}}), "a201020304"},
      {Item{cbor::Tagged{1, Item::uint(1363896240)}}, "c11a514b67b0"},
      {Item::null(), "f6"}, {Item{cbor::Simple{23}}, "f7"}, {Item{cbor::Simple{255}}, "f8ff"},
  };
  for (const auto& [item, expected] : cases) EXPECT_EQ(encoded_hex(item), expected);
  EXPECT_EQ(encoded_hex(Item{cbor::Array(25, Item::uint(1))}).substr(0, 6), "981901");
  EXPECT_EQ(encoded_hex(Item::text(std::string(256, 'x'))).substr(0, 8), "79010078");
}

TEST(CborEncoder, RefusesWhatHasNoWellFormedEncoding) {
  std::string out = "keep";
  cbor::Writer writer(out);
  auto bad = writer.write_item(array({Item::uint(1), Item{cbor::Simple{24}}}));
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().to_string(), "simple value 24 cannot be encoded");
  EXPECT_EQ(out, "keep") << "a failed write leaves the buffer as it was";

  cbor::Tagged empty;
  empty.number = 5;
  const std::pair<Item, const char*> cases[] = {
      {map({{Item::text("ok"), Item::text("a\xff")}}), "invalid UTF-8 in text string at byte 1"}, {Item{empty}, "tag 5 has no content"},
      {nested_arrays(cbor::kMaxEncodeDepth + 1), "nesting deeper than 1024 levels"},
  };
  for (const auto& [item, message] : cases) EXPECT_EQ(cbor::encode(item).error().to_string(), message);
  EXPECT_TRUE(cbor::encode(nested_arrays(cbor::kMaxEncodeDepth)).has_value());
}

// What the decoder makes of each input, as diagnostic notation, or its error.
TEST(CborDecoder, ReadsRfc8949ExamplesAndRejectsMalformedInput) {
  const std::pair<const char*, const char*> cases[] = {
      {"1bffffffffffffffff", "18446744073709551615"}, {"3bffffffffffffffff", "-18446744073709551616"},
      {"f90001", "5.960464477539063e-08"}, {"f97bff", "65504.0"}, {"fa47c35000", "100000.0"}, {"f98000", "-0.0"},
      {"fb3ff199999999999a", "1.1"}, {"f97c00", "Infinity"}, {"fa7fc00000", "NaN"},
      {"f7", "undefined"}, {"f0", "simple(16)"}, {"f8ff", "simple(255)"}, {"d74401020304", "23(h'01020304')"}, {"62225c", "\"\\\"\\\\\""},
      // Indefinite lengths are read and come back as ordinary items.
      {"5f42010243030405ff", "h'0102030405'"}, {"7f657374726561646d696e67ff", "\"streaming\""},
      {"9fff", "[]"}, {"9f018202039f0405ffff", "[1, [2, 3], [4, 5]]"}, {"bf61610161629f0203ffff", "{\"a\": 1, \"b\": [2, 3]}"},
      // Duplicate keys and unusual key types are kept as they come.
      {"a2f4010102", "{false: 1, 1: 2}"}, {"a201010102", "{1: 1, 1: 2}"},
      {"", "error: unexpected end of input at offset 0"}, {"1901", "error: unexpected end of input at offset 2"},
      {"9f01", "error: unexpected end of input at offset 2"}, {"0000", "error: trailing bytes after the item at offset 1"},
      {"1c", "error: reserved additional information 28 at offset 0"},
      {"1f", "error: indefinite length is not allowed for major type 0 at offset 0"},
      {"ff", "error: unexpected break at offset 0"}, {"8201ff", "error: unexpected break at offset 2"},
      {"5f6161ff", "error: invalid chunk in an indefinite-length string at offset 1"},
      {"f810", "error: invalid two-byte simple value 16 at offset 0"},
      {"9b100000000000000000", "error: length 1152921504606846976 exceeds the remaining input at offset 0"},
      {"5bffffffffffffffff", "error: length 18446744073709551615 exceeds the remaining input at offset 0"},
      {"4301", "error: length 3 exceeds the remaining input at offset 0"},
      // Overlong, surrogate, beyond U+10FFFF, split across chunks.
      {"6261c080", "error: invalid UTF-8 in text string at offset 2"}, {"63eda080", "error: invalid UTF-8 in text string at offset 1"},
      {"64f4908080", "error: invalid UTF-8 in text string at offset 1"},
      {"7f61c361bcff", "error: invalid UTF-8 in text string at offset 2"},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(diag_of(input), expected) << input;
}

TEST(CborDecoder, NestingIsLimitedTo256Levels) {
  EXPECT_TRUE(cbor::decode(std::string(256, '\x81') + '\x00').has_value());
  EXPECT_TRUE(cbor::decode(std::string(256, '\xc1') + '\x00').has_value());
  EXPECT_EQ(cbor::decode(std::string(257, '\x81') + '\x00').error().to_string(), "nesting deeper than 256 levels at offset 256");
  EXPECT_FALSE(cbor::decode(std::string(257, '\xa1') + '\x00').has_value());
}

TEST(CborCanon, MapKeysSortByTheirEncodedBytes) {
  // Integer 10 (0a) after 2 (02); integer 1 (01) before text "a" (61, compared without its head).
  EXPECT_EQ(hex(*canon::canonical_encode(map({{Item::uint(10), Item::text("x")}, {Item::uint(2), Item::text("y")}}))), "a2026179" "0a6178");
  EXPECT_EQ(hex(*canon::canonical_encode(map({{Item::text("a"), Item::uint(1)}, {Item::uint(1), Item::uint(2)}}))), "a2010261610" "1");
  // A key with no encoding sorts by its diagnostic text.
  EXPECT_EQ(canon::format_key(Item{cbor::Simple{24}}), "simple(24)");
  // canon_value orders every map below the item.
  const std::pair<Item, const char*> cases[] = {
      // Bytewise, not length first as RFC 8949's core order would have it.
      {map({{Item::text("b"), Item::uint(1)}, {Item::text("aa"), Item::uint(2)}, {Item::text("a"), Item::uint(3)}}),
       "{\"a\": 3, \"aa\": 2, \"b\": 1}"},
      {array({map({{Item::text("z"), Item::uint(1)}, {Item::text("a"), Item::uint(2)}}), Item::uint(9),
              map({{Item::text("k"), map({{Item::uint(3), Item::null()}, {Item::uint(1), Item::null()}})}})}),
       "[{\"a\": 2, \"z\": 1}, 9, {\"k\": {1: null, 3: null}}]"},
      // Stable: equal keys keep their relative order.
      {map({{Item::text("b"), Item::uint(1)}, {Item::text("a"), Item::uint(2)}, {Item::text("b"), Item::uint(3)},
            {Item::text("a"), Item::uint(4)}}), "{\"a\": 2, \"a\": 4, \"b\": 1, \"b\": 3}"},
      // A map key sorts by its canonical encoding (a2 01 00 02 00) but is not itself rewritten.
      {map({{map({{Item::uint(2), Item::uint(0)}, {Item::uint(1), Item::uint(0)}}), Item::uint(1)},
            {Item::text("x"), Item::uint(2)}, {Item::null(), Item::uint(3)}}), "{\"x\": 2, {2: 0, 1: 0}: 1, null: 3}"},
      {Item{cbor::Tagged{7, map({{Item::text("b"), Item::uint(1)}, {Item::text("a"), Item::uint(2)}})}}, "7({\"b\": 1, \"a\": 2})"},
  };
  for (auto [item, expected] : cases) {
    canon::canon_value(item);
    EXPECT_EQ(canon::diagnostic(item), expected);
  }
}

}  // namespace
