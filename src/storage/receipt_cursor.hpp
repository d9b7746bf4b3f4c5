#pragma once
// A query whose matches are handed out a batch at a time, for callers that
// page through a large store: memory holds the directory's file names and
// one batch, never every receipt at once.
//
// The names are listed once, when the cursor is opened; each batch then
// reads, parses and filters files in that listing order under the store's
// lock, with the same warnings and failures a query gives. Files added
// after the listing are not seen; a listed file that is gone by the time its
// batch reads it fails that batch as it would fail a query. Unlike a query,
// a cursor stops reading once `limit` matches have been handed out.
#include <cstddef>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "receipts/receipt.hpp"
#include "storage/receipt_query.hpp"
#include "storage/skipped_entry.hpp"
#include "storage/storage_error.hpp"

namespace tessary::storage {

class FilesystemStore;

class ReceiptCursor {
 public:
  // The next at most `count` matches; empty once the listing is used up (or
  // the limit reached). A failed batch (including an interrupt) leaves the
  // cursor where it was, so the same batch can be asked for again. With
  // `skipped`, the batch's entries that yield no receipt are appended to it
  // instead of warning or failing (see FilesystemStore::query_receipts).
  std::expected<std::vector<receipts::Receipt>, StoreFailure> next_batch(std::size_t count,
                                                                          SkippedEntries* skipped = nullptr);

  // Read without the store's lock: only for a cursor one thread uses.
  bool exhausted() const noexcept;

 private:
  friend class FilesystemStore;
  ReceiptCursor(std::shared_ptr<FilesystemStore> store, ReceiptQuery query, std::vector<std::string> names) noexcept;

  std::shared_ptr<FilesystemStore> store_;  // kept alive as long as the cursor
  ReceiptQuery query_;
  std::vector<std::string> names_;  // ".json" names in listing order
  std::size_t next_ = 0;            // the first name not yet read
  std::size_t handed_out_ = 0;      // matches returned so far, against query_.limit
};

}  // namespace tessary::storage
