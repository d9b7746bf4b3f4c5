#include "storage/storage_error.hpp"

#include <string_view>

namespace tessary::storage {
namespace {

std::string_view prefix(StorageError::Kind kind) {
  switch (kind) {
    case StorageError::Kind::Database:
      return "Database error: ";
    case StorageError::Kind::Serialization:
      return "Serialization error: ";
    case StorageError::Kind::Compression:
      return "Compression error: ";
    case StorageError::Kind::NotFound:
      return "Not found: ";
    case StorageError::Kind::InvalidInput:
      return "Invalid input: ";
    case StorageError::Kind::Io:
      return "I/O error: ";
  }
  return "Storage error: ";
}

}  // namespace

std::string StorageError::to_string() const {
  std::string text(prefix(kind));
  text += message;
  return text;
}

std::string StoreBroken::to_string() const {
  return "receipt store is unusable: an earlier operation on it was aborted by an internal fault";
}

std::string to_string(const StoreFailure& failure) {
  return std::visit([](const auto& error) { return error.to_string(); }, failure);
}

}  // namespace tessary::storage
