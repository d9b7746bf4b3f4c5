#pragma once
// A directory entry that a scan passed over instead of failing on, for
// callers that want to keep working around bad entries and say which ones.
#include <string>
#include <vector>

namespace tessary::storage {

struct SkippedEntry {
  std::string name;    // the entry's name in the receipts directory, bytes as listed
  std::string reason;  // "dangling link", "link loop", "a directory", "not UTF-8",
                       // "unreadable: <system text>", "not a receipt: <adapter text>",
                       // "larger than 64 MiB", "not a regular file"

  friend bool operator==(const SkippedEntry&, const SkippedEntry&) = default;
};

using SkippedEntries = std::vector<SkippedEntry>;

}  // namespace tessary::storage
