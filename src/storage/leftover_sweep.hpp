#pragma once
// Removing the temporary files of writers that were killed between creating
// a file and renaming it into place. Nothing else ever removes them.
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace tessary::storage {

// Younger temporary files may belong to a writer still at work: a live
// writer renames or removes its file within moments of creating it.
inline constexpr std::chrono::seconds kStaleTemporaryAge = std::chrono::minutes(5);

// Removes the regular files of `directory` that are temporary files of
// replace_files meant for a name `is_target` accepts and were last modified
// at least `min_age` ago. Anything else, even a name merely close to ours, is
// left alone. Best effort, as another writer may sweep the same directory at
// the same time: a file that cannot be examined or removed is passed over.
// How many files it removed.
std::size_t remove_stale_temporaries(const std::string& directory, bool (*is_target)(std::string_view),
                                     std::chrono::seconds min_age = kStaleTemporaryAge);

}  // namespace tessary::storage
