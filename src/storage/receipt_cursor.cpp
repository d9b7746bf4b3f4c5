#include "storage/receipt_cursor.hpp"

#include "storage/filesystem_store.hpp"

namespace tessary::storage {

ReceiptCursor::ReceiptCursor(std::shared_ptr<FilesystemStore> store, ReceiptQuery query,
                             std::vector<std::string> names) noexcept
    : store_(std::move(store)), query_(std::move(query)), names_(std::move(names)) {}

bool ReceiptCursor::exhausted() const noexcept {
  return next_ >= names_.size() || (query_.limit && handed_out_ >= *query_.limit);
}

std::expected<std::vector<receipts::Receipt>, StoreFailure> ReceiptCursor::next_batch(std::size_t count,
                                                                                   SkippedEntries* skipped) {
  if (count == 0) return std::vector<receipts::Receipt>{};
  return store_->read_batch(*this, count, skipped);
}

}  // namespace tessary::storage
