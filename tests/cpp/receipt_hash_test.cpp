// Bodies that cannot be written, and the direct body writer against the
// generic route (build the CBOR tree, canonicalise, encode) for items JSON
// cannot carry. The Python tests hold every kind's body bytes and hash, each
// field type included and the signature left out, to a separate CBOR writer.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "formats/cbor_item.hpp"
#include "receipt_samples.hpp"
#include "receipts/canonical_hash.hpp"
#include "test_support.hpp"

namespace tessary::receipts {
namespace {

namespace cbor = formats::cbor;
using cbor::Item;

// `levels` arrays deep, the innermost empty.
Item nested_arrays(std::size_t levels) { return support::nested_arrays(levels - 1, Item{cbor::Array{}}); }

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
      {"cash_instr 254 levels", [](Receipt& r) { std::get<SettlementPayload>(r.payload).cash_instr = nested_arrays(254); }, nullptr},
      {"cash_instr 255 levels", [](Receipt& r) { std::get<SettlementPayload>(r.payload).cash_instr = nested_arrays(255); }, "nesting deeper than 256"},
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

TEST(ReceiptHash, DirectBodyEqualsGenericRouteForItemsJsonCannotCarry) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  const Item items[] = {
      Item{cbor::Array{Item{nan}, Item{-inf}, Item{-0.0}, Item{65505.0}, Item{1e-310}, Item{cbor::Simple{0}},
                       Item{cbor::Simple{255}}, Item{cbor::Integer{true, UINT64_MAX}}, Item{cbor::Bytes{0, 255}}}},
      Item{cbor::Map{{Item::text("b"), Item::uint(1)}, {Item::text("a"), Item::uint(2)}, {Item::text("b"), Item::uint(3)},
                     {Item::uint(10), Item::null()}, {Item{cbor::Array{}}, Item{true}},
                     {Item{cbor::Tagged{7, Item{cbor::Map{{Item::uint(2), Item::uint(0)}, {Item::uint(1), Item::uint(0)}}}}},
                      Item::text(std::string("nul\0byte", 8))}}},
  };
  for (Receipt r : {samples::data_shape(), samples::method_shape(), samples::reasoning_shape(), samples::execution(),
                    samples::spend(), samples::settlement()}) {
    for (const Item& item : items) {
      r.attest = item;
      if (auto* s = std::get_if<SettlementPayload>(&r.payload)) s->cash_instr = item;
      if (auto* s = std::get_if<SpendPayload>(&r.payload)) s->total_value = nan;
      if (auto* q = std::get_if<ReasoningShapePayload>(&r.payload)) q->quality->success_score = -0.0f;
      r.sig = Signature{"ed25519", "\xe6\x97\xa5", ""};
      auto direct = canonical::canonical_body(r);
      ASSERT_TRUE(direct.has_value()) << direct.error().to_string();
      EXPECT_EQ(direct, canonical::generic_body(r)) << wire_string(r.kind);
    }
  }
}

TEST(ReceiptHash, HashFormat) {
  EXPECT_TRUE(canonical::validate_hash_format(samples::hash_of("x")));
  const std::string zeros(63, '0');
  for (const std::string& bad : {"sha256:" + zeros + "A", "sha256:" + zeros, "sha256:00" + zeros, "SHA256:0" + zeros, "sha256:" + zeros + "g",
                                 std::string("sha256:")}) {
    EXPECT_FALSE(canonical::validate_hash_format(bad)) << bad;
  }
}

}  // namespace
}  // namespace tessary::receipts
