// What the Python tests do not reach: the library's refusals (the package
// checks its arguments first) and the family's first coefficients, pinned so
// that a change to the documented derivation cannot pass unnoticed.
#include "engine/minhash.hpp"

#include <gtest/gtest.h>

#include <vector>

using namespace tessary::engine;

namespace {

TEST(MinHash, CoefficientsFollowTheDocumentedDerivation) {
  const MinHashCoefficients c = minhash_coefficients(0);
  EXPECT_EQ(c.a, 847180584204140857u);
  EXPECT_EQ(c.b, 2109880583088957777u);
  EXPECT_EQ(minhash_apply({2, 3}, kMinHashPrime - 1), 1u);  // 2(p - 1) + 3 = 2p + 1
}

TEST(MinHash, EmptySetIsThePrimeAndBadInputIsAnErrorValue) {
  const auto empty = minhash_signature({}, 3);
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(*empty, std::vector<std::uint64_t>(3, kMinHashPrime));
  const std::vector<std::uint8_t> odd(33);
  const auto bad_length = minhash_signature(odd, 4);
  ASSERT_FALSE(bad_length.has_value());
  EXPECT_EQ(bad_length.error().to_string(), "chunk digests must be 32 bytes each, got 33 bytes");
  const auto no_values = minhash_signature({}, 0);
  ASSERT_FALSE(no_values.has_value());
  EXPECT_EQ(no_values.error().to_string(), "a signature needs between 1 and 4194304 values, got 0");
  EXPECT_EQ(minhash_bytes(std::vector<std::uint64_t>{0x0102030405060708}), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

}  // namespace
