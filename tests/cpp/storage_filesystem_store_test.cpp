// The filesystem receipt store, for what the Python tests cannot reach: the
// system's error texts, temporary files left by failed stores, warnings for
// undecodable names and large files. Every filter and every kind of bad entry
// is covered end to end by the Python store tests.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "formats/uuid.hpp"
#include "receipt_samples.hpp"
#include "receipts/json_adapter.hpp"
#include "storage/filesystem_store.hpp"
#include "test_support.hpp"

namespace samples = tessary::receipts::samples;
using namespace tessary::receipts;
using tessary::storage::FilesystemStore;
using tessary::storage::ReceiptQuery;
using tessary::storage::StorageError;

namespace {

Uuid rid_of(int n) {
  Uuid rid = samples::execution().rid;
  rid[15] = static_cast<std::uint8_t>(n);
  return rid;
}

std::string file_name(const Uuid& rid) { return tessary::formats::uuid::format(rid) + ".json"; }

using support::write_file;

class FilesystemStoreTest : public support::ScratchDir {
 protected:
  std::shared_ptr<FilesystemStore> open_store() { return support::value_of(FilesystemStore::open(base_)); }

  void store(FilesystemStore& s, const Receipt& receipt) { EXPECT_EQ(support::error_text(s.store_receipt(receipt)), "(succeeded)"); }

  std::vector<Receipt> query(FilesystemStore& s, ReceiptQuery q = {}) { return support::value_of(s.query_receipts(std::move(q))); }

  std::string query_failure(FilesystemStore& s, ReceiptQuery q = {}) { return support::error_text(s.query_receipts(std::move(q))); }

  const std::string base_ = root_ + "/data", dir_ = base_ + "/receipts";
};

std::set<Uuid> rids(const std::vector<Receipt>& receipts) {
  std::set<Uuid> out;
  for (const Receipt& r : receipts) out.insert(r.rid);
  return out;
}

// ---- creation and storing ---------------------------------------------------

// A file in the way of the store's directory is the Python store tests'; here
// "receipts" itself is a regular file.
TEST_F(FilesystemStoreTest, CreationFailsWithTheErrorOfTheComponentInTheWay) {
  ::mkdir(base_.c_str(), 0777);
  write_file(dir_, "x");
  auto failed = FilesystemStore::open(base_);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().kind, StorageError::Kind::Io);
  EXPECT_EQ(failed.error().to_string(), "I/O error: Failed to create receipts directory " + dir_ + ": File exists (os error 17)");
}

TEST_F(FilesystemStoreTest, FailedStoreGivesTheSystemErrorForTheTarget) {
  auto s = open_store();
  Receipt receipt = samples::execution();
  // A receipt the adapter cannot write is a serialization error, and nothing is written.
  namespace cbor = tessary::formats::cbor;
  receipt.attest = cbor::Item{cbor::Map{{cbor::Item{1.5}, cbor::Item::uint(1)}}};
  EXPECT_EQ(support::error_text(s->store_receipt(receipt)),
            "Serialization error: JSON serialization failed: JSON serialization failed: key must be a string");
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
  receipt.attest.reset();
  // A directory holding the receipt's name makes the final rename fail,
  // also for root, who passes every permission check.
  const std::string target = dir_ + "/" + file_name(receipt.rid);
  ASSERT_EQ(::mkdir(target.c_str(), 0777), 0);
  EXPECT_EQ(support::error_text(s->store_receipt(receipt)),
            "I/O error: Failed to write receipt to " + target + ": Is a directory (os error 21)");

  // Without the directory the temporary file cannot even be made.
  ASSERT_EQ(::rmdir(target.c_str()), 0);
  ASSERT_EQ(::rmdir(dir_.c_str()), 0);
  EXPECT_EQ(support::error_text(s->store_receipt(receipt)),
            "I/O error: Failed to write receipt to " + target + ": No such file or directory (os error 2)");
}

// ---- scanning --------------------------------------------------------------

// Files larger than the first read buffer are read whole; an undecodable file
// name shows as text in the warning for a file that is no receipt.
TEST_F(FilesystemStoreTest, ReadsLargeFilesAndWarnsAboutOthers) {
  auto s = open_store();
  Receipt big = samples::execution();
  std::get<ExecutionPayload>(big.payload).span_commitments.assign(3000, samples::hash_of("span"));
  Receipt small = samples::data_shape();
  small.rid = rid_of(2);
  store(*s, small);
  store(*s, big);
  ASSERT_GT(receipt_to_json(big)->size(), std::size_t{200000});
  write_file(dir_ + "/bad\xff\xe2\x82name.json", "{}");
  write_file(dir_ + "/notes.txt", "not a receipt name");  // not scanned: no warning
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(rids(query(*s)), (std::set<Uuid>{big.rid, small.rid}));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Warning: Failed to parse receipt file " + dir_ + "/bad\xef\xbf\xbd\xef\xbf\xbdname.json: JSON deserialization failed: missing field `kind`\n");
}

TEST_F(FilesystemStoreTest, ListingAndReadingFailuresEndTheQuery) {
  auto s = open_store();
  store(*s, samples::execution());
  ASSERT_EQ(::mkdir((dir_ + "/sub.json").c_str(), 0777), 0);
  ReceiptQuery none;
  none.limit = 0;  // the limit does not shorten the scan
  EXPECT_EQ(query_failure(*s, none), "I/O error: Failed to read receipt file: Is a directory (os error 21)");
  ASSERT_EQ(::rmdir((dir_ + "/sub.json").c_str()), 0);
  ASSERT_EQ(::symlink("missing", (dir_ + "/dangling.json").c_str()), 0);
  EXPECT_EQ(query_failure(*s), "I/O error: Failed to read receipt file: No such file or directory (os error 2)");
  ASSERT_EQ(::unlink((dir_ + "/dangling.json").c_str()), 0);
  ASSERT_EQ(::unlink((dir_ + "/" + file_name(samples::execution().rid)).c_str()), 0);
  ASSERT_EQ(::rmdir(dir_.c_str()), 0);
  EXPECT_EQ(query_failure(*s), "I/O error: Failed to read receipts directory " + dir_ + ": No such file or directory (os error 2)");
}

// ---- cursor ----------------------------------------------------------------

// A batch that fails leaves the cursor where it was; files that are not
// receipts warn as in a query; the listing is taken once. Batches of any size
// concatenating to the query, the limit counting across them, are the Python
// tests' (test_cursor_batches_equal_query).
TEST_F(FilesystemStoreTest, CursorFailuresWarningsAndListingSnapshot) {
  auto s = open_store();
  store(*s, samples::execution());
  write_file(dir_ + "/junk.json", "{}");
  auto cursor = FilesystemStore::open_cursor(s, {});
  ASSERT_TRUE(cursor.has_value());
  Receipt later = samples::spend();
  later.rid = rid_of(9);
  store(*s, later);  // after the listing: not seen

  ASSERT_EQ(::rename(dir_.c_str(), (base_ + "/moved").c_str()), 0);
  EXPECT_EQ(support::error_text(cursor->next_batch(10)),
            "I/O error: Failed to read receipts directory " + dir_ + ": No such file or directory (os error 2)");
  ASSERT_EQ(::rename((base_ + "/moved").c_str(), dir_.c_str()), 0);

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(rids(support::value_of(cursor->next_batch(10))), std::set<Uuid>{samples::execution().rid});
  EXPECT_TRUE(cursor->exhausted());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Warning: Failed to parse receipt file " + dir_ + "/junk.json: JSON deserialization failed: missing field `kind`\n");

  const std::string moved = base_ + "/elsewhere";
  ASSERT_EQ(::rename(dir_.c_str(), moved.c_str()), 0);
  EXPECT_EQ(support::error_text(FilesystemStore::open_cursor(s, {})),
            "I/O error: Failed to read receipts directory " + dir_ + ": No such file or directory (os error 2)");
}

}  // namespace
