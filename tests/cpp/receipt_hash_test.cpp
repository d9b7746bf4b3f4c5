// Literal bytes of the canonical body, and bodies that cannot be written.
#include <gtest/gtest.h>

#include <limits>
#include <functional>
#include <string>
#include <vector>

#include "formats/cbor_item.hpp"
#include "receipt_samples.hpp"
#include "receipts/canonical_hash.hpp"

namespace tessary::receipts {
namespace {

namespace cbor = formats::cbor;
using cbor::Item;

std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}

std::string body(const Receipt& r) { return canonical::canonical_body(r).value(); }

// The encoded value that follows `key` (as a CBOR text head and bytes) in the body.
std::string after_key(const std::string& encoded, const std::string& key, std::size_t length) {
  const std::string needle = bytes({0x60 | static_cast<int>(key.size())}) + key;
  const auto at = encoded.find(needle);
  if (at == std::string::npos) return "<key missing>";
  return encoded.substr(at + needle.size(), length);
}

TEST(ReceiptHash, WholeBodyOfASmallReceiptByteForByte) {
  Receipt r = samples::envelope(ReceiptKind::DataShape, DataShapePayload{"s", std::nullopt});
  r.ctx = Context{std::nullopt, "2025-01-17T12:00:00Z", std::nullopt, std::nullopt, std::nullopt};
  r.sig = Signature{"ed25519", "k1", "zzz"};
  r.hash = "ignored";
  const std::string expected =
      bytes({0xA9}) + "\x66" "attest" "\xF6"                                     //
      + "\x63" "cod" + bytes({0x78, 0x47}) + r.cod                               //
      + "\x63" "ctx" + bytes({0xA5})                                             //
      + "\x6B" "determinism" "\xF6" "\x6C" "identity_ref" "\xF6"                 //
      + "\x65" "nonce" "\xF6" "\x6A" "policy_ref" "\xF6"                         //
      + "\x69" "timestamp" "\x74" "2025-01-17T12:00:00Z"                         //
      + "\x63" "dom" + bytes({0x78, 0x47}) + r.dom                               //
      + "\x64" "kind" "\x6A" "data_shape"                                        //
      + "\x65" "links" + bytes({0x80})                                           //
      + "\x67" "payload" + bytes({0xA2}) + "\x6B" "schema_hash" "\x61" "s"       //
      + "\x6B" "sketch_hash" "\xF6"                                              //
      + "\x63" "rid" "\x50" + std::string(r.rid.begin(), r.rid.end())            //
      + "\x67" "version" "\x65" "0.1.0";
  EXPECT_EQ(body(r), expected);
  EXPECT_EQ(r.compute_hash().value(), formats::sha256_prefixed(expected));
}

// Values JSON can carry are held against an independent writer by the Python
// property; here float widths, and the non-finite floats JSON cannot carry.
TEST(ReceiptHash, FloatsTakeTheirShortestExactWidth) {
  Receipt spend = samples::spend();
  // Non-finite doubles stay floats (no null in CBOR), in their shortest exact width.
  for (const auto& [value, expected] : std::vector<std::pair<double, std::string>>{
           {1.5, bytes({0xF9, 0x3E, 0x00})}, {0.1, bytes({0xFB, 0x3F, 0xB9, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9A})},
           {std::numeric_limits<double>::quiet_NaN(), bytes({0xF9, 0x7E, 0x00})},
           {-std::numeric_limits<double>::infinity(), bytes({0xF9, 0xFC, 0x00})}}) {
    std::get<SpendPayload>(spend.payload).total_value = value;
    EXPECT_EQ(after_key(body(spend), "total_value", expected.size()), expected) << value;
  }
  Receipt reasoning = samples::reasoning_shape();
  std::get<ReasoningShapePayload>(reasoning.payload).quality->success_score = 0.1f;  // a single, not its double
  EXPECT_EQ(after_key(body(reasoning), "success_score", 5), bytes({0xFA, 0x3D, 0xCC, 0xCC, 0xCD}));
}

TEST(ReceiptHash, AttestMapsSortByKeyBytes) {
  Receipt r = samples::data_shape();
  r.attest = Item{cbor::Map{{Item::uint(10), Item::text("x")}, {Item::uint(2), Item::text("y")}}};
  EXPECT_EQ(after_key(body(r), "attest", 7), bytes({0xA2, 0x02, 0x61, 'y', 0x0A, 0x61, 'x'}));
  r.attest = Item{cbor::Map{{Item::text("a"), Item::uint(1)}, {Item::uint(1), Item::uint(2)}}};
  EXPECT_EQ(after_key(body(r), "attest", 6), bytes({0xA2, 0x01, 0x02, 0x61, 'a', 0x01}));
  r.attest = Item{cbor::Map{{Item::text("b"), Item::uint(1)}, {Item::text("aa"), Item::uint(2)}}};  // bytes, not length first
  EXPECT_EQ(after_key(body(r), "attest", 8), bytes({0xA2, 0x62, 'a', 'a', 0x02, 0x61, 'b', 0x01}));
}

Item nested_arrays(std::size_t levels) {
  Item item{cbor::Array{}};
  for (std::size_t i = 1; i < levels; ++i) {
    cbor::Array outer;  // not an initializer list, which would copy the whole chain each time
    outer.push_back(std::move(item));
    item = Item{std::move(outer)};
  }
  return item;
}

// A body that cannot be read back fails the same way whichever route writes
// it; one level less than the depth limit still hashes.
TEST(ReceiptHash, UnreadableBodiesFailLikeTheGenericRoute) {
  auto cash = [](Receipt& r) -> auto& { return std::get<SettlementPayload>(r.payload).cash_instr; };
  const std::vector<std::pair<std::function<void(Receipt&)>, std::string>> cases = {
      {[](Receipt& r) { r.dom = "\xff"; }, "invalid UTF-8"},
      {[](Receipt& r) { r.sig = Signature{"a", "\xc0\x80", "s"}; }, "invalid UTF-8"},
      {[](Receipt& r) { r.attest = nested_arrays(255); }, ""},
      {[](Receipt& r) { r.attest = nested_arrays(256); }, "nesting deeper than 256"},
      {[](Receipt& r) { r.attest = nested_arrays(5000); }, "nesting deeper than 1024"},
      {[&](Receipt& r) { cash(r) = nested_arrays(254); }, ""},  // one level deeper than attest
      {[&](Receipt& r) { cash(r) = nested_arrays(255); }, "nesting deeper than 256"},
  };
  for (const auto& [edit, description] : cases) {
    Receipt r = samples::settlement();
    edit(r);
    auto direct = canonical::canonical_body(r);
    EXPECT_EQ(direct, canonical::generic_body(r)) << description;
    if (description.empty()) {
      EXPECT_TRUE(r.compute_hash().has_value());
      continue;
    }
    ASSERT_FALSE(direct.has_value()) << description;
    EXPECT_EQ(direct.error().kind, canonical::CanonicalError::Kind::Body);
    EXPECT_TRUE(direct.error().description.starts_with(description)) << direct.error().description;
    EXPECT_TRUE(r.compute_hash().error().to_string().starts_with("Serialization error: serde to Value failed: "));
  }
}

TEST(ReceiptHash, HashFormat) {
  EXPECT_TRUE(canonical::validate_hash_format(samples::hash_of("x")));
  for (const std::string& bad : {"sha256:" + std::string(63, 'a') + "A", "sha256:" + std::string(63, '0'),
                                 "sha256:" + std::string(65, '0'), "SHA256:" + std::string(64, '0'),
                                 "sha256:" + std::string(63, '0') + "g", std::string("sha256:")}) {
    EXPECT_FALSE(canonical::validate_hash_format(bad)) << bad;
  }
}

}  // namespace
}  // namespace tessary::receipts
