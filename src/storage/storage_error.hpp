#pragma once
// Why a store operation failed. Every kind holds one message and displays as
// a fixed prefix followed by it; the filesystem store itself produces only
// Serialization and Io, the others belong to the storage interface as a whole.
#include <cstdint>
#include <string>
#include <variant>

namespace tessary::storage {

struct StorageError {
  enum class Kind : std::uint8_t {
    Database,       // "Database error: " + the database layer's text
    Serialization,  // "Serialization error: "
    Compression,    // "Compression error: "
    NotFound,       // "Not found: "
    InvalidInput,   // "Invalid input: "
    Io,             // "I/O error: "
  };

  Kind kind = Kind::Io;
  std::string message;

  std::string to_string() const;

  friend bool operator==(const StorageError&, const StorageError&) = default;
};

// The store can no longer be trusted: an earlier operation on it was torn
// down by an internal fault (an exception such as std::bad_alloc) while it
// held the store's lock, so the directory may be in a state that operation
// never meant to leave. Callers report this as an internal fault, not as a
// storage error.
struct StoreBroken {
  std::string to_string() const;
  friend bool operator==(const StoreBroken&, const StoreBroken&) = default;
};

// The caller asked a long operation to stop (see formats/interrupt.hpp) and
// holds the reason itself. Nothing was changed: a scan only reads.
struct StoreInterrupted {
  std::string to_string() const { return "interrupted"; }
  friend bool operator==(const StoreInterrupted&, const StoreInterrupted&) = default;
};

// What a store or query operation returns instead of its value.
using StoreFailure = std::variant<StorageError, StoreBroken, StoreInterrupted>;

// The failure's display text, whichever it is.
std::string to_string(const StoreFailure& failure);

}  // namespace tessary::storage
