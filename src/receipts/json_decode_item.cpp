#include "receipts/json_decode_item.hpp"

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

namespace tessary::receipts::json_decode {

namespace cbor = formats::cbor;
namespace json = formats::json;

template <class V>
cbor::Item to_item(V& value) {
  switch (value.kind()) {
    case json::Kind::Null: return cbor::Item::null();
    case json::Kind::Bool: return cbor::Item{value.as_bool()};
    case json::Kind::UInt: return cbor::Item::uint(value.as_uint());
    case json::Kind::Int: return cbor::Item::sint(value.as_int());
    case json::Kind::Float: return cbor::Item{value.as_float()};
    case json::Kind::String:
      if constexpr (std::is_const_v<V>) {
        return cbor::Item::text(value.as_string());
      } else {
        return cbor::Item::text(std::move(value.as_string()));
      }
    case json::Kind::Array: {
      cbor::Array elements;
      elements.reserve(value.as_array().size());
      for (auto& element : value.as_array()) elements.push_back(to_item(element));
      return cbor::Item{std::move(elements)};
    }
    case json::Kind::Object: {
      cbor::Map entries;
      entries.reserve(value.as_object().size());
      for (const auto& [key, member] : value.as_object()) {
        // The tree only hands out const members; when V is mutable the whole
        // tree is ours to take apart.
        auto& source = const_cast<V&>(member);
        entries.emplace_back(cbor::Item::text(key), to_item(source));
      }
      return cbor::Item{std::move(entries)};
    }
  }
  return cbor::Item::null();
}

template cbor::Item to_item(const json::Value&);
template cbor::Item to_item(json::Value&);

}  // namespace tessary::receipts::json_decode
