#pragma once
// Creating a directory together with every missing parent, as `mkdir -p`
// does, with mode 0777 before the process's file-creation mask.
#include <expected>
#include <string>
#include <string_view>

namespace tessary::storage {

// Succeeds when `path` ends up an existing directory (also when something
// else made it concurrently). Fails with the text of the first component
// that could not be made, e.g. "Not a directory (os error 20)" when a parent
// is a regular file, or "File exists (os error 17)" when `path` itself is.
std::expected<void, std::string> create_directory_all(std::string_view path);

}  // namespace tessary::storage
