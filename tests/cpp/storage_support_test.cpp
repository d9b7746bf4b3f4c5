// The store's building blocks: path arithmetic, the extension
// rule, UTF-8 checks, and the lock that marks a store broken after a fault.
#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

#include "formats/json_utf8.hpp"
#include "storage/storage_error.hpp"
#include "storage/store_lock.hpp"
#include "storage/store_paths.hpp"
#include "storage/utf8_text.hpp"

using namespace tessary::storage;

namespace {

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

// Well-formed UTF-8 from first principles: every sequence is the shortest
// encoding of a scalar value (not a surrogate, at most U+10FFFF). Knows nothing
// of lead-byte ranges, so it checks the one table every validator shares.
std::string encode_scalar(std::uint32_t cp) {
  if (cp < 0x80) return std::string(1, static_cast<char>(cp));
  if (cp < 0x800) return {static_cast<char>(0xC0 | cp >> 6), static_cast<char>(0x80 | (cp & 0x3F))};
  if (cp < 0x10000) {
    return {static_cast<char>(0xE0 | cp >> 12), static_cast<char>(0x80 | (cp >> 6 & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
  }
  return {static_cast<char>(0xF0 | cp >> 18), static_cast<char>(0x80 | (cp >> 12 & 0x3F)),
          static_cast<char>(0x80 | (cp >> 6 & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
}

bool shortest_form_text(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    bool matched = false;
    for (std::size_t n = 1; n <= 4 && i + n <= s.size() && !matched; ++n) {
      std::uint32_t cp = static_cast<unsigned char>(s[i]) & (n == 1 ? 0x7F : 0x3F >> (n - 1));
      for (std::size_t k = 1; k < n; ++k) cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
      const bool scalar = cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
      matched = scalar && encode_scalar(cp) == s.substr(i, n);
      if (matched) i += n;
    }
    if (!matched) return false;
  }
  return true;
}

// Every lead byte, every second byte, then zero to two continuation bytes
// (or an ASCII one), behind a run of ASCII long enough to cross the
// word-at-a-time path.
TEST(Utf8Text, EveryValidatorAcceptsExactlyTheShortestForms) {
  const std::string tails[] = {"", "\x80", "\xbf\x80", "\x80z"};
  for (unsigned lead = 0; lead < 256; ++lead) {
    for (unsigned second = 0; second < 256; ++second) {
      for (const std::string& tail : tails) {
        const std::string text = std::string("abcdefgh") + static_cast<char>(lead) + static_cast<char>(second) + tail;
        const bool expected = shortest_form_text(text);
        ASSERT_EQ(is_valid_utf8(text), expected) << ::testing::PrintToString(text);
        ASSERT_EQ(tessary::formats::json::is_valid_utf8(text), expected) << ::testing::PrintToString(text);
        ASSERT_EQ(lossy_utf8(text) == text, expected) << ::testing::PrintToString(text);
      }
    }
  }
}

TEST(Utf8Text, LossyReplacesEachMaximalBadSubpartOnce) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain \xc3\xa9", "plain \xc3\xa9"}, {"a\xffz", "a\xef\xbf\xbdz"},
      {"\xe2\x82z", "\xef\xbf\xbdz"},  // a cut-off sequence counts once
      {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // a surrogate is no prefix
      {"\xf0\x9f\x98", "\xef\xbf\xbd"},
      {"\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},  // overlong lead byte
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(lossy_utf8(in), out) << ::testing::PrintToString(in);
}

// A fault while the lock is held breaks the store and lets the lock go; a lock
// taken and released inside a destructor that runs during unwinding saw no
// fault of its own.
TEST(StoreLock, OnlyAFaultWhileHeldBreaksTheStore) {
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
  try {
    const StoreLock lock(mutex, broken);
    throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
  }
  EXPECT_TRUE(broken);
  ASSERT_TRUE(mutex.try_lock());
  mutex.unlock();
  EXPECT_TRUE(StoreLock(mutex, broken).broken());
}

}  // namespace
