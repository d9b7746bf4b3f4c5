#pragma once
// Replacing a file's contents all at once: readers of the final name see
// either the old bytes or the new ones, never a mix or an empty file.
#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tessary::storage {

// How far a replacement is pushed towards the disk before it counts as done.
//   Cached:  renamed into place; the kernel writes it back when it likes, so
//            a power failure can lose it (or, on some filesystems, leave the
//            final name holding an empty file).
//   Flushed: the file's data is on the disk before the rename. The rename
//            itself is durable only once the directory is flushed too
//            (sync_directory), which callers do once per batch.
enum class Durability { Cached, Flushed };

// Files a flushed batch holds open between writing and flushing: enough for
// the flushes in flight to share their commits, few enough to stay far below
// the usual limit of 1024 descriptors. Callers that build a batch piecewise
// gain nothing from pieces larger than this.
inline constexpr std::size_t kReplaceGroupFiles = 256;

struct FileText {
  std::string name;
  std::string text;
};

// Which file of a batch failed, and why.
struct ReplaceFailure {
  std::size_t index;
  std::string reason;
};

// For each file in order (so the last of two equal names wins): writes its
// text into a new temporary file in `directory`, then renames that over
// `directory`/name. The temporary file is named
// "." + name + "." + pid + "." + 16 hex digits + ".tmp", so it is hidden,
// never mistaken for a finished file, unique per writer and call, and
// recognisable as ours when a killed writer leaves it behind. A failed
// file's temporary file is removed; the reason is the system's message
// ("... (os error N)"), or "failed to write whole buffer" when the file
// accepts no more bytes.
//
// Flushed batches flush each file's data as soon as it is written, many
// files concurrently (the kernel merges concurrent journal commits and cache
// flushes, where one after another each pays a full device flush), and
// rename a group of files once all of its flushes are done, while the next
// group is written. Stops at the first failure: every file before it is in
// place, none after it is.
std::expected<void, ReplaceFailure> replace_files(std::string_view directory, std::span<const FileText> files,
                                                  Durability durability);

// If `name` is a temporary file name this module makes, the final name it
// was meant for; "." + target + "." + decimal pid + "." + 1 to 16 lowercase
// hex digits + ".tmp" (older writers used a decimal counter for the digits).
std::optional<std::string_view> temporary_target(std::string_view name);

}  // namespace tessary::storage
