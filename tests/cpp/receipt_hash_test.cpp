// Literal bytes of the canonical body, and bodies that cannot be written.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <functional>
#include <string>
#include <tuple>
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

TEST(ReceiptHash, ValuesOfEachWireType) {
  Receipt reasoning = samples::reasoning_shape();
  auto& quality = *std::get<ReasoningShapePayload>(reasoning.payload).quality;
  quality.success_score = 0.1f;  // the single value, widened: needs single precision, not double
  EXPECT_EQ(after_key(body(reasoning), "success_score", 5), bytes({0xFA, 0x3D, 0xCC, 0xCC, 0xCD}));

  Receipt settlement = samples::settlement();
  std::get<SettlementPayload>(settlement.payload).net_positions = {{"b", 1.0}, {"a", 2.0}};
  EXPECT_EQ(after_key(body(settlement), "net_positions", 11),
            bytes({0xA2, 0x61, 'a', 0xF9, 0x40, 0x00, 0x61, 'b', 0xF9, 0x3C, 0x00}));

  Receipt execution = samples::execution();
  auto& ep = std::get<ExecutionPayload>(execution.payload);
  ep.pac = Digest32{0x17, 0x18};
  ep.hll_cardinality = 1000;
  ep.prev_execution_rid = execution.rid;
  ep.cdf_metadata = std::vector<CdfMetadata>{{-2, "u", "t"}};
  const std::string b = body(execution);
  EXPECT_EQ(after_key(b, "pac", 5), bytes({0x98, 0x20, 0x17, 0x18, 0x18}));
  EXPECT_EQ(after_key(b, "hll_cardinality", 3), bytes({0x19, 0x03, 0xE8}));
  EXPECT_EQ(after_key(b, "prev_execution_rid", 17), bytes({0x50}) + std::string(execution.rid.begin(), execution.rid.end()));
  EXPECT_EQ(after_key(b, "commit_version", 1), bytes({0x21}));
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
  const std::vector<std::tuple<const char*, std::function<void(Receipt&)>, const char*>> cases = {
      {"dom not UTF-8", [](Receipt& r) { r.dom = "\xff"; }, "invalid UTF-8"},
      {"kid not UTF-8", [](Receipt& r) { r.sig = Signature{"a", "\xc0\x80", "s"}; }, "invalid UTF-8"},
      {"attest key not UTF-8", [](Receipt& r) { r.attest = Item{cbor::Map{{Item::text("ok\xe6\x97"), Item::null()}}}; }, "invalid UTF-8"},
      {"attest simple 24", [](Receipt& r) { r.attest = Item{cbor::Array{Item{cbor::Simple{24}}}}; }, "simple value 24"},
      {"attest empty tag", [](Receipt& r) { r.attest = Item{cbor::Tagged{}}; }, "tag 0 has no content"},
      {"attest 255 levels", [](Receipt& r) { r.attest = nested_arrays(255); }, nullptr},
      {"attest 256 levels", [](Receipt& r) { r.attest = nested_arrays(256); }, "nesting deeper than 256"},
      {"attest 5000 levels", [](Receipt& r) { r.attest = nested_arrays(5000); }, "nesting deeper than 1024"},
      {"cash_instr 254 levels",
       [](Receipt& r) { std::get<SettlementPayload>(r.payload).cash_instr = nested_arrays(254); }, nullptr},
      {"cash_instr 255 levels",
       [](Receipt& r) { std::get<SettlementPayload>(r.payload).cash_instr = nested_arrays(255); }, "nesting deeper than 256"},
  };
  for (const auto& [name, edit, description] : cases) {
    Receipt r = samples::settlement();
    edit(r);
    auto direct = canonical::canonical_body(r);
    EXPECT_EQ(direct, canonical::generic_body(r)) << name;
    if (description == nullptr) {
      EXPECT_TRUE(r.compute_hash().has_value()) << name;
      continue;
    }
    ASSERT_FALSE(direct.has_value()) << name;
    EXPECT_EQ(direct.error().kind, canonical::CanonicalError::Kind::Body) << name;
    EXPECT_TRUE(direct.error().description.starts_with(description)) << name << ": " << direct.error().description;
    const std::string e = r.compute_hash().error().to_string();
    EXPECT_TRUE(e.starts_with("Serialization error: serde to Value failed: ")) << e;
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
