// The store's building blocks: error texts, path arithmetic, the extension
// rule, UTF-8 checks, and the lock that marks a store broken after a fault.
#include <gtest/gtest.h>

#include <mutex>
#include <random>
#include <stdexcept>
#include <string>

#include "formats/json_utf8.hpp"
#include "storage/storage_error.hpp"
#include "storage/store_lock.hpp"
#include "storage/store_paths.hpp"
#include "storage/utf8_text.hpp"

using namespace tessary::storage;

namespace {

TEST(StorageErrorText, IsTheKindPrefixThenTheMessage) {
  using Kind = StorageError::Kind;
  const std::pair<Kind, const char*> cases[] = {
      {Kind::Database, "Database error: m"},         {Kind::Serialization, "Serialization error: m"},
      {Kind::Compression, "Compression error: m"},   {Kind::NotFound, "Not found: m"},
      {Kind::InvalidInput, "Invalid input: m"},      {Kind::Io, "I/O error: m"},
  };
  for (const auto& [kind, text] : cases) {
    EXPECT_EQ(StorageError(kind, "m").to_string(), text);
    EXPECT_EQ(to_string(StoreFailure{StorageError(kind, "m")}), text);
  }
  EXPECT_EQ(to_string(StoreFailure{StoreBroken{}}), StoreBroken{}.to_string());
}

TEST(StorePaths, JoinAddsOneSeparatorAndParentIgnoresTrailingSeparatorsAndDots) {
  EXPECT_EQ(join_path("a/", "b"), "a/b");
  EXPECT_EQ(join_path("", "b"), "b");
  const std::pair<const char*, const char*> cases[] = {
      {"a/b", "a"},  {"a/b/", "a"}, {"a//b", "a"}, {"a/./b", "a"}, {"a/b/.", "a"}, {"/a", "/"},
      {"a", ""},     {"./a", "."},  {".", ""},     {"a/..", "a"},  {"/a/b//", "/a"},
  };
  for (const auto& [path, parent] : cases) EXPECT_EQ(parent_path(path), std::optional<std::string_view>(parent)) << path;
  for (const char* root : {"", "/", "//", "/."}) EXPECT_FALSE(parent_path(root).has_value()) << root;
}

TEST(StorePaths, JsonExtensionIsTheCaseSensitiveTextAfterTheLastDot) {
  for (const char* yes : {"a.json", "a.b.json", "..json", "x y.json"}) EXPECT_TRUE(has_json_extension(yes)) << yes;
  for (const char* no :
       {".json", "json", "a.JSON", "a.json.bak", "a.json.", "a.jsonx", "a", ".", "..", ".a.json.1.2.tmp"}) {
    EXPECT_FALSE(has_json_extension(no)) << no;
  }
}

TEST(Utf8Text, AgreesWithTheJsonReadersCheck) {
  std::mt19937 random(12345);
  const std::string alphabet = "aZ{\"\x7f\x80\xbf\xc2\xdf\xe0\xa0\xed\x9f\xf0\x90\xf4\x8f\xff\xc0";
  for (int round = 0; round < 20000; ++round) {
    std::string text(static_cast<std::size_t>(random() % 24), ' ');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    if (round % 3 == 0) text = std::string(random() % 17, 'a') + text;  // crosses the word-at-a-time path
    EXPECT_EQ(is_valid_utf8(text), tessary::formats::json::is_valid_utf8(text)) << ::testing::PrintToString(text);
  }
}

TEST(Utf8Text, LossyReplacesEachMaximalBadSubpartOnce) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain \xc3\xa9", "plain \xc3\xa9"},
      {"a\xffz", "a\xef\xbf\xbdz"},
      {"\xe2\x82z", "\xef\xbf\xbdz"},            // a cut-off sequence counts once
      {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // a surrogate is no prefix
      {"\xf0\x9f\x98", "\xef\xbf\xbd"},
      {"\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},  // overlong lead byte
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(lossy_utf8(in), out) << ::testing::PrintToString(in);
}

TEST(StoreLock, FaultWhileHeldBreaksTheStoreAndReleasesTheLock) {
  std::mutex mutex;
  bool broken = false;
  { const StoreLock ok(mutex, broken); }
  EXPECT_FALSE(broken);
  try {
    const StoreLock lock(mutex, broken);
    throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
  }
  EXPECT_TRUE(broken);
  ASSERT_TRUE(mutex.try_lock());
  mutex.unlock();
  const StoreLock later(mutex, broken);
  EXPECT_TRUE(later.broken());
}

// A lock taken and released inside a destructor that runs during unwinding
// saw no fault of its own.
TEST(StoreLock, UnwindingThatStartedOutsideDoesNotBreakTheStore) {
  std::mutex mutex;
  bool broken = false;
  struct UsesStoreInDestructor {
    std::mutex& mutex;
    bool& broken;
    ~UsesStoreInDestructor() { const StoreLock lock(mutex, broken); }
  };
  try {
    const UsesStoreInDestructor user{mutex, broken};
    throw std::runtime_error("elsewhere");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(broken);
}

}  // namespace
