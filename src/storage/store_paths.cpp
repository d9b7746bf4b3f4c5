#include "storage/store_paths.hpp"

namespace tessary::storage {
namespace {

// Drops trailing separators and trailing "." components, but never a
// leading "/" or a leading "." that is the whole path.
std::string_view trim_back(std::string_view path) {
  for (;;) {
    if (path.size() > 1 && path.back() == '/') {
      path.remove_suffix(1);
    } else if (path.size() >= 2 && path.back() == '.' && path[path.size() - 2] == '/') {
      path.remove_suffix(1);
    } else {
      return path;
    }
  }
}

}  // namespace

std::string join_path(std::string_view base, std::string_view name) {
  std::string path;
  path.reserve(base.size() + 1 + name.size());
  path += base;
  if (!base.empty() && base.back() != '/') path += '/';
  path += name;
  return path;
}

std::optional<std::string_view> parent_path(std::string_view path) {
  path = trim_back(path);
  if (path.empty() || path == "/") return std::nullopt;
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return std::string_view{};
  return trim_back(path.substr(0, slash + 1));
}

bool has_json_extension(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  return name.substr(dot + 1) == "json";
}

std::string receipt_file_name(const formats::uuid::Uuid& rid) { return formats::uuid::format(rid) + ".json"; }

bool is_receipt_file_name(std::string_view name) {
  constexpr std::string_view kExtension = ".json";
  constexpr std::size_t kUuidText = 36;
  if (name.size() != kUuidText + kExtension.size() || !name.ends_with(kExtension)) return false;
  for (std::size_t i = 0; i < kUuidText; ++i) {
    const char c = name[i];
    const bool hyphen_place = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen_place ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace tessary::storage
