// The canonical body written directly must be byte-identical to the generic
// route (write, read back, canonicalise, encode) and fail exactly when it does.
// Field names, order and values JSON can carry are held against an independent
// writer by the Python property; here what JSON cannot carry: non-finite floats
// in typed fields, and structured items of every CBOR type, including ones the
// read-back refuses or that sit at its depth limit.
#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>

#include "formats/sha256.hpp"
#include "receipt_samples.hpp"
#include "receipts/canonical_hash.hpp"

namespace tessary::receipts {
namespace {

namespace cbor = formats::cbor;
using cbor::Item;

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}
  bool coin() { return std::bernoulli_distribution(0.5)(rng_); }
  std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
  template <class T>
  T pick(std::initializer_list<T> pool) { return pool.begin()[below(pool.size())]; }

  double real() {
    constexpr double inf = std::numeric_limits<double>::infinity();
    return coin() ? pick({0.0, -0.0, 1.5, 0.1, 65504.0, 65505.0, 1e300, 5.960464477539063e-08, 1e-310, inf, -inf,
                          std::numeric_limits<double>::quiet_NaN(), 3.4028234663852886e38, 1.0 / 3})
                  : std::uniform_real_distribution<double>(-1e6, 1e6)(rng_);
  }
  std::optional<double> maybe() { return coin() ? std::optional<double>(real()) : std::nullopt; }
  float single() {
    return pick({0.1f, 1.5f, -0.0f, 1e-40f, 3.4e38f, std::numeric_limits<float>::quiet_NaN(),
                 -std::numeric_limits<float>::infinity(), std::uniform_real_distribution<float>(-10.0f, 10.0f)(rng_)});
  }
  std::string text() { return pick<std::string>({"", "a", "b", "\xc3\xbc", std::string("nul\0", 4), "\xf0\x9f\x98\x80"}); }

  Item item(int depth) {
    switch (below(depth <= 0 ? 8 : 12)) {
      case 0: return Item::uint(rng_());
      case 1: return Item{cbor::Integer{true, pick<std::uint64_t>({0, 23, 24, UINT64_MAX, rng_()})}};
      case 2: return Item{real()};
      case 3: return Item::text(text());
      case 4: return Item{cbor::Bytes(below(30), static_cast<std::uint8_t>(rng_()))};
      case 5: return Item{coin()};
      case 6: return Item{cbor::Simple{pick<std::uint8_t>({0, 19, 20, 22, 23, 32, 255})}};
      case 7: return Item::null();
      case 8: {
        cbor::Map m;  // short text keys collide, other keys sort by their encoding
        for (std::size_t n = below(6); n > 0; --n) m.emplace_back(coin() ? Item::text(text()) : item(depth - 1), item(depth - 1));
        return Item{std::move(m)};
      }
      case 9: return Item{cbor::Tagged{rng_() % 1000, item(depth - 1)}};
      default: {
        cbor::Array a(below(5));
        for (auto& e : a) e = item(depth - 1);
        return Item{std::move(a)};
      }
    }
  }

  // Refused by the read-back, or near its depth limit, reached through arrays,
  // map values, map keys and tags alike.
  Item hostile() {
    Item item;
    switch (below(4)) {
      case 0: item = Item::text(pick<std::string>({"\xff", "\xed\xa0\x80", "\xc0\x80", "\xf4\x90\x80\x80", "ok\xe6\x97"})); break;
      case 1: item = Item{cbor::Simple{static_cast<std::uint8_t>(24 + below(8))}}; break;
      case 2: item = Item{cbor::Tagged{}}; break;
      default: item = this->item(1); break;
    }
    for (std::size_t levels = coin() ? 250 + below(10) : below(4); levels > 0; --levels) {
      switch (below(4)) {
        case 0: { cbor::Array a; a.push_back(std::move(item)); item = Item{std::move(a)}; break; }
        case 1: { cbor::Map m; m.emplace_back(Item::text("k"), std::move(item)); item = Item{std::move(m)}; break; }
        case 2: { cbor::Map m; m.emplace_back(std::move(item), Item::null()); item = Item{std::move(m)}; break; }
        default: item = Item{cbor::Tagged{6, std::move(item)}}; break;
      }
    }
    return item;
  }

  Receipt receipt() {
    Receipt r = pick<Receipt (*)()>({samples::data_shape, samples::method_shape, samples::reasoning_shape,
                                     samples::execution, samples::spend, samples::settlement})();
    if (auto* p = std::get_if<SpendPayload>(&r.payload)) {
      for (ResourceVector* v : {&p->meter, &p->unit_prices}) *v = {maybe(), maybe(), maybe(), maybe(), maybe()};
      p->total_value = real();
      if (coin()) p->justification = ReuseJustification{maybe(), maybe(), maybe(), maybe(), "d", "data", std::nullopt};
    } else if (auto* q = std::get_if<ReasoningShapePayload>(&r.payload)) {
      q->quality = ReasoningQuality{single(), std::nullopt, std::nullopt, single()};
    } else if (auto* s = std::get_if<SettlementPayload>(&r.payload)) {
      s->net_positions = {{text(), real()}, {text(), real()}};
      if (coin()) s->cash_instr = item(3);
    }
    if (coin()) r.attest = item(4);
    return r;
  }

 private:
  std::mt19937_64 rng_;
};

TEST(ReceiptHashReference, DirectRouteWritesAndFailsExactlyLikeGenericRoute) {
  Generator gen(20250117);
  int failures = 0;
  for (int round = 0; round < 1200; ++round) {
    Receipt r = gen.receipt();
    switch (gen.below(8)) {
      case 0: r.attest = gen.hostile(); break;
      case 1:
        r = samples::settlement();
        std::get<SettlementPayload>(r.payload).cash_instr = gen.hostile();
        break;
      case 2: r.hash = "sha256:\xff"; break;
      case 3: r.sig = Signature{"ed25519", "\xc3", "s"}; break;
      default: break;
    }
    auto direct = canonical::canonical_body(r);
    auto generic = canonical::generic_body(r);
    ASSERT_EQ(direct, generic) << "round " << round << ": "
                               << (generic ? std::string("generic succeeded") : generic.error().to_string());
    if (direct) ASSERT_EQ(r.compute_hash().value(), formats::sha256_prefixed(*direct)) << "round " << round;
    failures += !direct.has_value();
  }
  EXPECT_GT(failures, 150);  // both outcomes are exercised
  EXPECT_LT(failures, 600);
}

}  // namespace
}  // namespace tessary::receipts
