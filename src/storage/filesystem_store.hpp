#pragma once
// Receipts kept as JSON files, one per receipt, in the directory "receipts"
// under a storage path: "<rid>.json" holding exactly the adapter's compact
// JSON text. No index and no metadata: every query lists and reads the whole
// directory afresh.
//
// A store is shared through std::shared_ptr: every holder uses the same
// directory and the same lock, which each store and query operation holds
// from start to end. There is no locking between processes or between two
// stores on the same path.
#include <cstddef>
#include <expected>
#include <memory>
#include <span>
#include <atomic>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "receipts/receipt.hpp"
#include "storage/file_replace.hpp"
#include "storage/receipt_query.hpp"
#include "storage/receipt_cursor.hpp"
#include "storage/skipped_entry.hpp"
#include "storage/storage_error.hpp"

namespace tessary::storage {

class ReceiptCursor;

struct StoreOptions {
  // Flushed: a store returns only once its receipts' data and their
  // directory entries are on the disk; the directories it creates are
  // flushed too.
  Durability durability = Durability::Cached;
  // Whether writing also removes the temporary files that killed writers
  // left (see leftover_sweep.hpp): on the first write, then every so many.
  bool remove_leftovers = false;
  // Whether open() makes the receipts directory; otherwise the first write
  // that stores a receipt does, and reading a store never creates it.
  bool create_at_open = true;
};

class FilesystemStore {
 public:
  // Creates (unless options.create_at_open is false) "<base_path>/receipts" and any missing parent (mode 0777 before
  // the file-creation mask); an existing directory is fine and its files are
  // kept. Fails with Io: "Failed to create receipts directory <dir>: <reason>".
  // The path is used as given; a relative one resolves against the working
  // directory at each file operation.
  static std::expected<std::shared_ptr<FilesystemStore>, StorageError> open(std::string base_path,
                                                                            StoreOptions options = {});

  FilesystemStore(const FilesystemStore&) = delete;
  FilesystemStore& operator=(const FilesystemStore&) = delete;

  // Writes the receipt's JSON to "<rid>.json", replacing any earlier file of
  // that name whole. Fails with Serialization ("JSON serialization failed:
  // ..." from the adapter) or Io ("Failed to write receipt to <file>: <reason>"),
  // or StoreBroken.
  std::expected<void, StoreFailure> store_receipt(const receipts::Receipt& receipt);

  // store_receipt for each receipt in order, under one hold of the lock; a
  // flushed store flushes the directory once, after the last rename. Stops
  // at the first failure, which store_receipt would have met: every receipt
  // before it is stored, none after it is. Also fails with Io "Failed to
  // flush receipts directory <dir>: <reason>".
  std::expected<void, StoreFailure> store_receipts(std::span<const receipts::Receipt> receipts);

  // The receipts of the directory that pass `query`, in listing order (not
  // sorted), at most `query.limit` of them. A file whose name does not end
  // in ".json" is skipped; one that is not a receipt is skipped with a
  // warning line on descriptor 2. Fails, returning nothing, at the first
  // listing or reading failure (Io), or with StoreBroken. Polls for an
  // interrupt before each file and stops with StoreInterrupted when asked.
  // With `skipped`, no entry fails the query or warns: each ".json" entry
  // that yields no receipt (a dangling link, a directory, an unreadable
  // file, bytes that are not UTF-8 or not a receipt) is appended to it, and
  // only a failure to list the directory itself fails.
  std::expected<std::vector<receipts::Receipt>, StoreFailure> query_receipts(ReceiptQuery query,
                                                                              SkippedEntries* skipped = nullptr);

  // Starts a scan that hands out its matches in batches (see ReceiptCursor).
  // The directory is listed now, under the lock, and fails as a query's
  // listing does.
  static std::expected<ReceiptCursor, StoreFailure> open_cursor(std::shared_ptr<FilesystemStore> store, ReceiptQuery query);

  const std::string& base_path() const { return base_path_; }
  const std::string& receipts_dir() const { return receipts_dir_; }

 private:
  FilesystemStore(std::string base_path, std::string receipts_dir, StoreOptions options);

  template <typename T, typename Op>
  std::expected<T, StoreFailure> under_lock(Op&& op);
  std::expected<void, StorageError> store_locked(std::span<const receipts::Receipt> receipts);
  std::expected<void, StorageError> write_locked(std::span<const receipts::Receipt> receipts);
  void sweep_locked(std::size_t writes);
  std::expected<std::vector<receipts::Receipt>, StoreFailure> query_locked(const ReceiptQuery& query,
                                                                            SkippedEntries* skipped);
  std::expected<std::vector<std::string>, StorageError> list_names_locked();
  std::expected<std::vector<receipts::Receipt>, StoreFailure> read_batch(ReceiptCursor& cursor, std::size_t count,
                                                                          SkippedEntries* skipped);
  std::expected<std::vector<receipts::Receipt>, StoreFailure> read_batch_locked(ReceiptCursor& cursor,
                                                                                 std::size_t count,
                                                                                 SkippedEntries* skipped);

  friend class ReceiptCursor;

  const std::string base_path_;
  const std::string receipts_dir_;
  const StoreOptions options_;
  std::mutex mutex_;
  bool broken_ = false;  // guarded by mutex_
  std::size_t writes_until_sweep_ = 0;  // guarded by mutex_
  // The thread inside an operation: a signal handler run by the scan's
  // interrupt poll may start another operation on the same thread, which
  // must fail instead of waiting for ever on the mutex its thread holds.
  std::atomic<std::thread::id> owner_{};
};

}  // namespace tessary::storage
