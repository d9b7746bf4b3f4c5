#include "receipts/json_encode_item.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <variant>

#include "formats/cbor_encoder.hpp"
#include "receipts/json_encode_text.hpp"

namespace tessary::receipts::json_encode {

namespace {

namespace cbor = formats::cbor;

std::expected<void, std::string> check_nested(const cbor::Item& item, std::size_t depth) {
  if (depth > cbor::kMaxEncodeDepth) return std::unexpected(std::string("recursion limit exceeded"));
  if (const auto* array = std::get_if<cbor::Array>(&item.v)) {
    for (const cbor::Item& element : *array) {
      if (auto status = check_nested(element, depth + 1); !status) return status;
    }
  } else if (const auto* map = std::get_if<cbor::Map>(&item.v)) {
    for (const auto& [key, value] : *map) {
      if (!key.is<std::string>() && !key.is<cbor::Integer>()) return std::unexpected(std::string("key must be a string"));
      if (auto status = check_nested(value, depth + 1); !status) return status;
    }
  } else if (const auto* tagged = std::get_if<cbor::Tagged>(&item.v)) {
    if (tagged->value) return check_nested(*tagged->value, depth + 1);
  }
  return {};
}

// -1 - n, which for n = 2^64 - 1 is one beyond what 64 bits hold.
void append_negative(std::uint64_t n, std::string& out) {
  if (n == std::numeric_limits<std::uint64_t>::max()) {
    out.append("-18446744073709551616");
    return;
  }
  out.push_back('-');
  append_integer(n + 1, out);
}

void append_integer_item(const cbor::Integer& integer, std::string& out) {
  if (integer.negative) {
    append_negative(integer.n, out);
  } else {
    append_integer(integer.n, out);
  }
}

void write_key(const cbor::Item& key, std::string& out) {
  if (const auto* text = std::get_if<std::string>(&key.v)) {
    write_string(*text, out);
    return;
  }
  out.push_back('"');
  append_integer_item(key.as<cbor::Integer>(), out);
  out.push_back('"');
}

struct ItemWriter {
  std::string& out;

  void operator()(const cbor::Integer& integer) const { append_integer_item(integer, out); }
  void operator()(const cbor::Bytes& bytes) const {
    out.push_back('[');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (i != 0) out.push_back(',');
      append_integer(bytes[i], out);
    }
    out.push_back(']');
  }
  void operator()(double value) const { append_f64(value, out); }
  void operator()(const std::string& text) const { write_string(text, out); }
  void operator()(bool value) const { out.append(value ? "true" : "false"); }
  void operator()(const cbor::Null&) const { out.append("null"); }
  void operator()(const cbor::Simple&) const { out.append("null"); }
  void operator()(const cbor::Array& array) const {
    out.push_back('[');
    for (std::size_t i = 0; i < array.size(); ++i) {
      if (i != 0) out.push_back(',');
      write_item(array[i], out);
    }
    out.push_back(']');
  }
  void operator()(const cbor::Map& map) const {
    out.push_back('{');
    for (std::size_t i = 0; i < map.size(); ++i) {
      if (i != 0) out.push_back(',');
      write_key(map[i].first, out);
      out.push_back(':');
      write_item(map[i].second, out);
    }
    out.push_back('}');
  }
  void operator()(const cbor::Tagged& tagged) const {
    out.append("{\"@@TAGGED@@\":[");
    append_integer(tagged.number, out);
    out.push_back(',');
    if (tagged.value) {
      write_item(*tagged.value, out);
    } else {
      out.append("null");
    }
    out.append("]}");
  }
};

}  // namespace

std::expected<void, std::string> check_item(const cbor::Item& item) { return check_nested(item, 1); }

void write_item(const cbor::Item& item, std::string& out) { std::visit(ItemWriter{out}, item.v); }

}  // namespace tessary::receipts::json_encode
