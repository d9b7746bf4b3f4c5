#pragma once
// Path text as the store builds and shows it. Paths stay exactly as the
// caller gave them (a relative one is resolved by each system call), so
// these are purely lexical.
#include <optional>
#include <string>
#include <string_view>

#include "formats/uuid.hpp"

namespace tessary::storage {

// `base` + "/" + `name`, without doubling a separator `base` already ends
// with; an empty `base` gives `name` alone.
std::string join_path(std::string_view base, std::string_view name);

// The path without its last component, ignoring trailing separators and "."
// components: "a/b/" -> "a", "a/./b" -> "a", "a" -> "", "/a" -> "/",
// "./a" -> ".". Nothing for "" and "/", which have no parent.
std::optional<std::string_view> parent_path(std::string_view path);

// Whether a directory entry's name ends in the extension "json": the part
// after the last ".", where a name whose only "." leads it has none. Case
// matters, so "x.JSON" is not one.
bool has_json_extension(std::string_view name);

// "<hyphenated lowercase rid>.json".
std::string receipt_file_name(const formats::uuid::Uuid& rid);

// Whether `name` is a name receipt_file_name makes, for some rid.
bool is_receipt_file_name(std::string_view name);

}  // namespace tessary::storage
