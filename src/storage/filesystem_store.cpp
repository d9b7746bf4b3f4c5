#include "storage/filesystem_store.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "receipts/json_adapter.hpp"
#include "storage/directory_tree.hpp"
#include "storage/file_replace.hpp"
#include "storage/leftover_sweep.hpp"
#include "formats/interrupt.hpp"
#include "formats/os_error.hpp"
#include "storage/stderr_line.hpp"
#include "storage/store_lock.hpp"
#include "storage/store_paths.hpp"
#include "storage/utf8_text.hpp"
#include "storage/whole_file_reader.hpp"

namespace tessary::storage {

using formats::has_nul;
using formats::kNulInPath;
using formats::os_error_text;
namespace {

using receipts::Receipt;

std::unexpected<StorageError> io_error(std::string message) {
  return std::unexpected(StorageError{StorageError::Kind::Io, std::move(message)});
}

class DirectoryListing {
 public:
  explicit DirectoryListing(const std::string& path) : dir_(has_nul(path) ? nullptr : ::opendir(path.c_str())) {
    if (dir_ == nullptr) error_ = has_nul(path) ? -1 : errno;
  }
  DirectoryListing(const DirectoryListing&) = delete;
  DirectoryListing& operator=(const DirectoryListing&) = delete;
  ~DirectoryListing() {
    if (dir_ != nullptr) ::closedir(dir_);
  }

  // Why the directory could not be opened; empty when it was.
  std::string open_error() const {
    if (dir_ != nullptr) return {};
    return error_ < 0 ? std::string(kNulInPath) : os_error_text(error_);
  }

  // The next entry's name (NUL-terminated), other than "." and ".."; an
  // empty name at the end; the system's message when the listing fails.
  std::expected<std::string_view, std::string> next() {
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir_);
      if (entry == nullptr) {
        if (errno != 0) return std::unexpected(os_error_text(errno));
        return std::string_view{};
      }
      const std::string_view name(entry->d_name);
      if (name != "." && name != "..") return name;
    }
  }

  // For opening entries relative to the listed directory itself.
  int fd() const { return ::dirfd(dir_); }

 private:
  DIR* dir_;
  int error_ = 0;
};

void warn_skipped(const std::string& dir, std::string_view name, const std::string& reason) {
  write_stderr_line("Warning: Failed to parse receipt file " + lossy_utf8(join_path(dir, name)) + ": " + reason + "\n");
}

void warn_unparsable(const std::string& dir, std::string_view name, const receipts::AdapterError& error) {
  warn_skipped(dir, name, error.to_string());
}

// Why a listed entry could not be read, in the words a caller collecting
// skipped entries shows; nullopt for one that no longer exists at all (removed
// since the listing: not a bad entry, just not there).
std::optional<std::string> skip_reason(int dir_fd, std::string_view name, const ReadFailure& failure) {
  using Kind = ReadFailure::Kind;
  switch (failure.kind) {
    case Kind::Directory:
      return "a directory";
    case Kind::NotRegular:
      return failure.message;
    case Kind::TooLarge:
      return "larger than 64 MiB";
    case Kind::System:
      break;
  }
  if (failure.os_error == ELOOP) return "link loop";
  if (failure.os_error == ENOENT) {
    struct stat info {};
    if (::fstatat(dir_fd, name.data(), &info, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    if (S_ISLNK(info.st_mode)) return "dangling link";
  }
  return "unreadable: " + failure.message;
}

// The receipt in the listed file `name` (NUL-terminated) of the directory
// open as `dir_fd`; nullopt for a file passed over. Without `skipped`, a file
// that is not a receipt is passed over with a warning, and one that cannot be
// read, or holds bytes that are not UTF-8, fails the scan. With it, every
// entry that yields no receipt is added to it, by name and reason, instead.
std::expected<std::optional<Receipt>, StorageError> read_listed_file(WholeFileReader& reader, int dir_fd,
                                                                     const std::string& dir, std::string_view name,
                                                                     SkippedEntries* skipped) {
  auto bytes = reader.read_at(dir_fd, name.data());
  if (!bytes) {
    if (skipped != nullptr) {
      if (auto reason = skip_reason(dir_fd, name, bytes.error())) skipped->push_back({std::string(name), *reason});
      return std::nullopt;
    }
    if (!bytes.error().skipped) return io_error("Failed to read receipt file: " + bytes.error().message);
    warn_skipped(dir, name, bytes.error().message);
    return std::nullopt;
  }
  // The JSON reader accepts only well-formed UTF-8, so a text that parses
  // needs no separate check; only a failure must tell undecodable bytes
  // from text that is not a receipt.
  auto receipt = receipts::receipt_from_json(*bytes);
  if (!receipt) {
    const bool text = is_valid_utf8(*bytes);
    if (skipped != nullptr) {
      skipped->push_back({std::string(name), text ? "not a receipt: " + receipt.error().to_string() : "not UTF-8"});
      return std::nullopt;
    }
    if (!text) return io_error("Failed to read receipt file: stream did not contain valid UTF-8");
    warn_unparsable(dir, name, receipt.error());
    return std::nullopt;
  }
  return std::optional<Receipt>(std::move(*receipt));
}

std::expected<void, StorageError> create_receipts_directory(const std::string& receipts_dir, Durability durability) {
  if (auto created = create_directory_all(receipts_dir, durability == Durability::Flushed); !created) {
    return io_error("Failed to create receipts directory " + lossy_utf8(receipts_dir) + ": " + created.error());
  }
  return {};
}

std::string open_failure_text(const std::string& dir, const std::string& reason) {
  return "Failed to read receipts directory " + lossy_utf8(dir) + ": " + reason;
}

// The directory itself, for reading a batch of listed names relative to it.
class DirectoryHandle {
 public:
  explicit DirectoryHandle(const std::string& path)
      : fd_(has_nul(path) ? -1 : ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
        error_(fd_ < 0 ? (has_nul(path) ? std::string(kNulInPath) : os_error_text(errno)) : std::string()) {}
  DirectoryHandle(const DirectoryHandle&) = delete;
  DirectoryHandle& operator=(const DirectoryHandle&) = delete;
  ~DirectoryHandle() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }
  const std::string& error() const { return error_; }

 private:
  int fd_;
  std::string error_;
};

}  // namespace

// Runs one operation under the store's lock. Running out of memory is a
// failure of this operation alone, not a fault that leaves the store in an
// unknown state: it is caught while the lock is held (so the lock does not
// mark the store broken) and raised again once the lock is released. Any
// other exception still unwinds through the lock and breaks the store.
template <typename T, typename Op>
std::expected<T, StoreFailure> FilesystemStore::under_lock(Op&& op) {
  if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
    return std::unexpected(StorageError{StorageError::Kind::InvalidInput,
                                        "store operation started by a signal handler during another one"});
  }
  {
    const StoreLock lock(mutex_, broken_);
    if (lock.broken()) return std::unexpected(StoreBroken{});
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    struct ClearOwner {
      std::atomic<std::thread::id>& owner;
      ~ClearOwner() { owner.store(std::thread::id{}, std::memory_order_relaxed); }
    } clear_owner{owner_};
    try {
      auto result = op();
      if (!result) return std::unexpected(std::move(result.error()));
      if constexpr (std::is_void_v<T>) {
        return {};
      } else {
        return std::move(*result);
      }
    } catch (const std::bad_alloc&) {
    }
  }
  throw std::bad_alloc();
}

FilesystemStore::FilesystemStore(std::string base_path, std::string receipts_dir, StoreOptions options)
    : base_path_(std::move(base_path)), receipts_dir_(std::move(receipts_dir)), options_(options) {}

std::expected<std::shared_ptr<FilesystemStore>, StorageError> FilesystemStore::open(std::string base_path,
                                                                                   StoreOptions options) {
  std::string receipts_dir = join_path(base_path, "receipts");
  if (options.create_at_open) {
    auto created = create_receipts_directory(receipts_dir, options.durability);
    if (!created) return std::unexpected(std::move(created.error()));
  }
  return std::shared_ptr<FilesystemStore>(new FilesystemStore(std::move(base_path), std::move(receipts_dir), options));
}

std::expected<void, StoreFailure> FilesystemStore::store_receipt(const Receipt& receipt) {
  return store_receipts(std::span<const Receipt>(&receipt, 1));
}

std::expected<void, StoreFailure> FilesystemStore::store_receipts(std::span<const Receipt> receipts) {
  return under_lock<void>([&] { return store_locked(receipts); });
}

std::expected<std::vector<Receipt>, StoreFailure> FilesystemStore::query_receipts(ReceiptQuery query,
                                                                                  SkippedEntries* skipped) {
  return under_lock<std::vector<Receipt>>([&] { return query_locked(query, skipped); });
}

namespace {

// Receipts serialised and written per call of replace_files: bounded memory
// (a few megabytes of text) for a batch of any size, and several of its
// groups per call, whose writing and flushing overlap.
constexpr std::size_t kWriteGroup = 8 * kReplaceGroupFiles;
// Writes between two sweeps for leftovers: a sweep lists the whole
// directory, which this many writes outweigh many times over.
constexpr std::size_t kWritesPerSweep = 100000;

}  // namespace

void FilesystemStore::sweep_locked(std::size_t writes) {
  if (!options_.remove_leftovers) return;
  if (writes_until_sweep_ == 0) {
    remove_stale_temporaries(receipts_dir_, is_receipt_file_name);
    writes_until_sweep_ = kWritesPerSweep;
  }
  writes_until_sweep_ -= std::min(writes, writes_until_sweep_);
}

std::expected<void, StorageError> FilesystemStore::store_locked(std::span<const Receipt> receipts) {
  if (!options_.create_at_open) {
    // One mkdir that finds the directory there is all this costs once it
    // exists. Storing no receipts makes an empty store.
    if (auto created = create_receipts_directory(receipts_dir_, options_.durability); !created) return created;
  }
  sweep_locked(receipts.size());
  auto written = write_locked(receipts);
  // Flushed even after a failure: what was renamed before it is stored.
  if (options_.durability == Durability::Flushed && !receipts.empty()) {
    auto synced = sync_directory(receipts_dir_);
    if (written && !synced) {
      return io_error("Failed to flush receipts directory " + lossy_utf8(receipts_dir_) + ": " + synced.error());
    }
  }
  return written;
}

std::expected<void, StorageError> FilesystemStore::write_locked(std::span<const Receipt> receipts) {
  std::vector<FileText> files;
  for (std::size_t start = 0; start < receipts.size(); start += kWriteGroup) {
    const auto group = receipts.subspan(start, std::min(kWriteGroup, receipts.size() - start));
    files.clear();
    std::optional<StorageError> unwritable;
    for (const Receipt& receipt : group) {
      auto text = receipts::receipt_to_json(receipt);
      if (!text) {
        // The adapter's text brings its own "JSON serialization failed: " prefix.
        unwritable = StorageError{StorageError::Kind::Serialization,
                                  "JSON serialization failed: " + text.error().to_string()};
        break;
      }
      files.push_back(FileText{receipt_file_name(receipt.rid), std::move(*text)});
    }
    // The receipts before one that cannot be written are stored all the same.
    if (auto replaced = replace_files(receipts_dir_, files, options_.durability); !replaced) {
      const std::string& name = files[replaced.error().index].name;
      return io_error("Failed to write receipt to " + lossy_utf8(join_path(receipts_dir_, name)) + ": " +
                      replaced.error().reason);
    }
    if (unwritable) return std::unexpected(std::move(*unwritable));
  }
  return {};
}

std::expected<std::vector<Receipt>, StoreFailure> FilesystemStore::query_locked(const ReceiptQuery& query,
                                                                               SkippedEntries* skipped) {
  DirectoryListing listing(receipts_dir_);
  if (std::string error = listing.open_error(); !error.empty()) {
    return io_error(open_failure_text(receipts_dir_, error));
  }
  WholeFileReader reader;
  std::vector<Receipt> found;
  SkippedEntries passed_over;
  for (;;) {
    auto name = listing.next();
    if (!name) return io_error("Failed to read directory entry: " + name.error());
    if (name->empty()) break;
    if (!has_json_extension(*name)) continue;
    if (formats::interrupt_requested()) return std::unexpected(StoreInterrupted{});
    auto receipt = read_listed_file(reader, listing.fd(), receipts_dir_, *name, skipped ? &passed_over : nullptr);
    if (!receipt) return std::unexpected(std::move(receipt.error()));
    if (*receipt && matches(**receipt, query)) found.push_back(std::move(**receipt));
  }
  // The whole directory is read even when the limit is reached early, so a
  // bad file anywhere fails (or is reported by) every query alike.
  if (query.limit && *query.limit < found.size()) found.resize(*query.limit);
  if (skipped != nullptr) skipped->insert(skipped->end(), passed_over.begin(), passed_over.end());
  return found;
}

}  // namespace tessary::storage

namespace tessary::storage {

std::expected<ReceiptCursor, StoreFailure> FilesystemStore::open_cursor(std::shared_ptr<FilesystemStore> store,
                                                                        ReceiptQuery query) {
  FilesystemStore& self = *store;
  auto names = self.under_lock<std::vector<std::string>>([&] { return self.list_names_locked(); });
  if (!names) return std::unexpected(std::move(names.error()));
  return ReceiptCursor(std::move(store), std::move(query), std::move(*names));
}

std::expected<std::vector<std::string>, StorageError> FilesystemStore::list_names_locked() {
  DirectoryListing listing(receipts_dir_);
  if (std::string error = listing.open_error(); !error.empty()) return io_error(open_failure_text(receipts_dir_, error));
  std::vector<std::string> names;
  for (;;) {
    auto name = listing.next();
    if (!name) return io_error("Failed to read directory entry: " + name.error());
    if (name->empty()) break;
    if (has_json_extension(*name)) names.emplace_back(*name);
  }
  return names;
}

std::expected<std::vector<Receipt>, StoreFailure> FilesystemStore::read_batch(ReceiptCursor& cursor, std::size_t count,
                                                                             SkippedEntries* skipped) {
  return under_lock<std::vector<Receipt>>([&] { return read_batch_locked(cursor, count, skipped); });
}

std::expected<std::vector<Receipt>, StoreFailure> FilesystemStore::read_batch_locked(ReceiptCursor& cursor,
                                                                                     std::size_t count,
                                                                                     SkippedEntries* skipped) {
  const DirectoryHandle dir(receipts_dir_);
  if (dir.fd() < 0) return io_error(open_failure_text(receipts_dir_, dir.error()));
  // Read under the lock, which also keeps two threads paging one cursor
  // from interleaving.
  if (cursor.query_.limit) count = std::min(count, *cursor.query_.limit - cursor.handed_out_);
  WholeFileReader reader;
  std::vector<Receipt> found;
  // The cursor moves only when the batch succeeds: a failed or interrupted
  // batch can be asked for again without losing matches.
  std::size_t at = cursor.next_;
  SkippedEntries passed_over;  // handed on only with a batch that succeeds
  for (; at < cursor.names_.size() && found.size() < count; ++at) {
    if (formats::interrupt_requested()) return std::unexpected(StoreInterrupted{});
    auto receipt =
        read_listed_file(reader, dir.fd(), receipts_dir_, cursor.names_[at], skipped ? &passed_over : nullptr);
    if (!receipt) return std::unexpected(std::move(receipt.error()));
    if (*receipt && matches(**receipt, cursor.query_)) found.push_back(std::move(**receipt));
  }
  cursor.next_ = at;
  cursor.handed_out_ += found.size();
  if (skipped != nullptr) skipped->insert(skipped->end(), passed_over.begin(), passed_over.end());
  return found;
}

}  // namespace tessary::storage
