#pragma once
// Creating a directory together with every missing parent, as `mkdir -p`
// does, with mode 0777 before the process's file-creation mask; and making
// a directory's entries durable.
#include <expected>
#include <string>
#include <string_view>

namespace tessary::storage {

// Succeeds when `path` ends up an existing directory (also when something
// else made it concurrently). Fails with the text of the first component
// that could not be made, e.g. "Not a directory (os error 20)" when a parent
// is a regular file, or "File exists (os error 17)" when `path` itself is.
// With `flush`, every directory it made is flushed, and so is the parent
// holding its entry, so that the tree survives a power failure.
std::expected<void, std::string> create_directory_all(std::string_view path, bool flush = false);

// fsync of the directory itself: entries created, renamed or removed in it
// before the call survive a power failure. Filesystems that cannot flush a
// directory (EINVAL) count as done. The system's message on failure.
std::expected<void, std::string> sync_directory(std::string_view path);

}  // namespace tessary::storage
