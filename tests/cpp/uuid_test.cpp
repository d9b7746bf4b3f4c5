#include <gtest/gtest.h>

#include "formats/uuid.hpp"
#include "test_support.hpp"

namespace uuid = tessary::formats::uuid;

namespace {

constexpr const char* kCharPrefix = "invalid character: expected an optional prefix of `urn:uuid:` followed by [0-9a-fA-F-], found ";

// The accepted spellings and the written form are the Python property tests'.
TEST(Uuid, RejectedTextsNameTheFirstFault) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "invalid length: expected length 32 for simple format, found 0"},
      {"67e5504410b1426f9247bb680e5fe0c", "invalid length: expected length 32 for simple format, found 31"},
      {"67e55044-10b1-426f-9247-bb680e5fe0c8a0b1", "invalid group length in group 4: expected 12, found 16"},
      {"67e5504-410b1-426f-9247-bb680e5fe0c8", "invalid group length in group 0: expected 8, found 7"},
      {"67e55044-10b1-426f9-247-bb680e5fe0c8", "invalid group length in group 2: expected 4, found 5"},
      {"67e55044-10b1-426f-9247bb680e5fe0c8", "invalid group count: expected 5, found 4"},
      {"67e55044-10b1-426f-9247-bb68-0e5fe0c8", "invalid group count: expected 5, found 6"},
      {"{67e5504410b1426f9247bb680e5fe0c8}", "invalid group count: expected 5, found 1"},
      {"67e5504410b1426f9247bb680e5fe0cz", std::string(kCharPrefix) + "`z` at 32"},
      {"{67e55044-10b1-426f-9247-bb680e5fe0c8", std::string(kCharPrefix) + "`{` at 1"},
      {"(67e55044-10b1-426f-9247-bb680e5fe0c8)", std::string(kCharPrefix) + "`(` at 1"},
      {"URN:UUID:67e55044-10b1-426f-9247-bb680e5fe0c8", std::string(kCharPrefix) + "`U` at 1"},
      {"urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0cg", std::string(kCharPrefix) + "`g` at 45"},
      {"67e55044-10b1-426f-9247-bb680e5fe0\xc3\xa7" "8", std::string(kCharPrefix) + "`\xc3\xa7` at 35"},
      {"\xff", std::string(kCharPrefix) + "`\\xff` at 1"}};
  for (const auto& [text, message] : cases) EXPECT_EQ(support::error_text(uuid::parse(text)), message) << text;
}

// That fresh identifiers carry the stamp is the Python tests' (test_timestamps_and_identifiers).
TEST(Uuid, VersionFourBitsAreStamped) {
  uuid::Uuid ones;
  ones.fill(0xFF);
  EXPECT_EQ(uuid::format(uuid::make_v4(ones)), "ffffffff-ffff-4fff-bfff-ffffffffffff");
  EXPECT_EQ(uuid::format(uuid::make_v4(uuid::Uuid{})), "00000000-0000-4000-8000-000000000000");
}

}  // namespace
