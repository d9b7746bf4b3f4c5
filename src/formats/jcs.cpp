#include "formats/jcs.hpp"

#include <utility>
#include <vector>

#include "formats/json_writer.hpp"

namespace tessary::formats::jcs {

json::Value sort(const json::Value& value) {
  if (value.is_array()) {
    json::Array items;
    items.reserve(value.as_array().size());
    for (const json::Value& item : value.as_array()) items.push_back(sort(item));
    return json::Value(std::move(items));
  }
  if (value.is_object()) {
    std::vector<json::Object::Member> members;
    members.reserve(value.as_object().size());
    for (const auto& [key, member] : value.as_object()) members.emplace_back(key, sort(member));
    return json::Value(json::Object::from_members(std::move(members)));
  }
  return value;
}

std::string canonical(const json::Value& value) { return json::to_compact(value); }

}  // namespace tessary::formats::jcs
