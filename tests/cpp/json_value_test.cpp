#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "formats/json_value.hpp"

namespace tessary::formats::json {
namespace {

TEST(JsonValue, ConstructionKeepsTheInvariants) {
  EXPECT_EQ(Value(std::int64_t{5}).kind(), Kind::UInt);  // non-negative is UInt
  EXPECT_EQ(Value(5), Value(std::uint64_t{5}));
  EXPECT_EQ(Value(-5).kind(), Kind::Int);
  EXPECT_EQ(Value(std::numeric_limits<double>::quiet_NaN()), Value(-std::numeric_limits<double>::infinity()));
  EXPECT_EQ(Value(-std::numeric_limits<double>::infinity()).kind(), Kind::Null);
  EXPECT_EQ(Value("text").kind(), Kind::String);  // not bool
  EXPECT_NE(Value(0.0), Value(-0.0));
  EXPECT_NE(Value(1), Value(1.0));
  EXPECT_EQ(Value(7).to_i64(), 7);
  EXPECT_EQ(Value(std::numeric_limits<std::uint64_t>::max()).to_i64(), std::nullopt);
  EXPECT_EQ(Value(2.0).to_u64(), std::nullopt);
  EXPECT_EQ(Value(-3).to_f64(), -3.0);
}

// Key order is the writer's and canonical JSON's tests'; replacing on insert,
// the strict check's; the last of equal keys winning, this one's.
TEST(JsonValue, LargeObjectsSortStably) {
  std::vector<Object::Member> members;
  for (int i = 0; i < 200; ++i) members.emplace_back(std::to_string(i % 50), i);
  const Object object = Object::from_members(std::move(members));
  ASSERT_EQ(object.size(), 50u);
  EXPECT_EQ(object.begin()->first, "0");
  EXPECT_EQ(*object.find("0"), Value(150));
  EXPECT_EQ(*object.find("49"), Value(199));
}

}  // namespace
}  // namespace tessary::formats::json
