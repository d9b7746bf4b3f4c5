#include "formats/cbor_canon.hpp"

#include <algorithm>
#include <numeric>
#include <vector>

namespace tessary::formats::cbor_canon {
namespace {

using cbor::Item;

void sort_entries(cbor::Map& map) {
  // Each key's sort key is derived once. Ties break on the original position,
  // which makes the sort stable: entries with equal keys keep their order.
  std::vector<std::string> keys;
  keys.reserve(map.size());
  for (const auto& entry : map) keys.push_back(format_key(entry.first));
  std::vector<std::size_t> order(map.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const int c = keys[a].compare(keys[b]);
    return c != 0 ? c < 0 : a < b;
  });
  if (std::is_sorted(order.begin(), order.end())) return;

  cbor::Map sorted;
  sorted.reserve(map.size());
  for (std::size_t i : order) sorted.push_back(std::move(map[i]));
  map = std::move(sorted);
}

void canon_at(Item& value, std::size_t depth) {
  if (depth >= cbor::kMaxEncodeDepth) return;
  if (auto* array = std::get_if<cbor::Array>(&value.v)) {
    for (Item& element : *array) canon_at(element, depth + 1);
  } else if (auto* map = std::get_if<cbor::Map>(&value.v)) {
    for (auto& entry : *map) canon_at(entry.second, depth + 1);
    if (map->size() > 1) sort_entries(*map);
  }
  // Tags and scalars are left as they are: only the contents of arrays and
  // maps take part in canonicalisation.
}

}  // namespace

void canon_value(Item& value) { canon_at(value, 0); }

std::string format_key(const Item& key) {
  if (const auto* text = std::get_if<std::string>(&key.v)) return *text;
  if (auto encoded = canonical_encode(key)) return std::move(*encoded);
  return cbor::diagnostic(key);
}

std::expected<std::string, cbor::EncodeError> canonical_encode(const Item& item) {
  Item copy = item;
  canon_value(copy);
  return cbor::encode(copy);
}

}  // namespace tessary::formats::cbor_canon
