// The canonical body written directly must be byte-identical to the generic
// route (build the CBOR tree, canonicalise, encode), also for items JSON cannot
// carry; the Python tests hold every kind's hash to a separate CBOR writer.
#include <gtest/gtest.h>

#include <limits>

#include "formats/cbor_item.hpp"
#include "receipt_samples.hpp"
#include "receipts/canonical_hash.hpp"

namespace tessary::receipts {
namespace {

namespace cbor = formats::cbor;
using cbor::Item;

TEST(ReceiptHashReference, DirectBodyEqualsGenericRouteForItemsJsonCannotCarry) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  const Item items[] = {
      Item{cbor::Array{Item{nan}, Item{-inf}, Item{-0.0}, Item{65505.0}, Item{1e-310}, Item{cbor::Simple{0}},
                       Item{cbor::Simple{255}}, Item{cbor::Integer{true, UINT64_MAX}}, Item{cbor::Bytes{0, 255}}}},
      Item{cbor::Map{{Item::text("b"), Item::uint(1)}, {Item::text("a"), Item::uint(2)}, {Item::text("b"), Item::uint(3)},
                     {Item::uint(10), Item::null()}, {Item{cbor::Array{}}, Item{true}},
                     {Item{cbor::Tagged{7, Item{cbor::Map{{Item::uint(2), Item::uint(0)}, {Item::uint(1), Item::uint(0)}}}}},
                      Item::text(std::string("nul\0byte", 8))}}},
  };
  const Receipt kinds[] = {samples::data_shape(), samples::method_shape(), samples::reasoning_shape(),
                           samples::execution(),  samples::spend(),        samples::settlement()};
  for (Receipt r : kinds) {
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

}  // namespace
}  // namespace tessary::receipts
