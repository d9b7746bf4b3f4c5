#include "receipts/strict_reader.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "formats/json_reader.hpp"
#include "formats/json_writer.hpp"
#include "receipts/json_adapter.hpp"
#include "receipts/json_decode_uuid.hpp"
#include "receipts/record_members.hpp"

namespace tessary::receipts {

namespace json = formats::json;

namespace {

bool is_plain_key(std::string_view key) {
  if (key.empty()) return false;
  for (const char c : key) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!plain) return false;
  }
  return true;
}

std::string path_text(std::span<const json::PathStep> path) {
  std::string out;
  for (const json::PathStep& step : path) {
    if (step.is_index) {
      out += '[' + std::to_string(step.index) + ']';
      continue;
    }
    if (!out.empty()) out += '.';
    if (is_plain_key(step.key)) {
      out += step.key;
    } else {
      json::write_string(step.key, out);
    }
  }
  return out;
}

template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {
  using Element = T;
};

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {
  using Inner = T;
};

template <class R, std::size_t I>
using MemberType = std::remove_cvref_t<decltype(std::declval<R&>().*std::get<I>(Members<R>::list))>;

// Walks a value tree along the records a receipt is made of, stopping at the
// first member that is not a field of its record.
class Walker {
 public:
  const std::optional<StrictError>& error() const { return error_; }

  template <class R>
  void record(const json::Value& value) {
    if (value.is_object()) {
      for (const auto& [key, member] : value.as_object()) {
        if (!member_of<R>(key, member)) return;
      }
    } else if (value.is_array()) {
      // The positional form: lenient reading already holds it to one value per field.
      const json::Array& elements = value.as_array();
      for (std::size_t i = 0; i < elements.size() && i < R::fields.size() && !error_; ++i) {
        path_.push_back(json::PathStep{{}, i, true});
        field_at<R>(i, elements[i]);
        path_.pop_back();
      }
    }
  }

  // Reports `key` as unknown unless R has it; walks it if so. False once failed.
  template <class R>
  bool member_of(std::string_view key, const json::Value& member) {
    path_.push_back(json::PathStep{std::string(key)});
    std::size_t index = 0;
    while (index < R::fields.size() && R::fields[index].name != key) ++index;
    if (index == R::fields.size()) {
      fail(StrictError::Kind::Unknown);
    } else {
      field_at<R>(index, member);
    }
    path_.pop_back();
    return !error_;
  }

  template <class T>
  void field(const json::Value& value) {
    if constexpr (IsOptional<T>::value) {
      if (!value.is_null()) field<typename IsOptional<T>::Inner>(value);
    } else if constexpr (ListedRecord<T>) {
      record<T>(value);
    } else if constexpr (IsVector<T>::value) {
      using Element = typename IsVector<T>::Element;
      if constexpr (ListedRecord<Element>) {
        if (!value.is_array()) return;
        const json::Array& elements = value.as_array();
        for (std::size_t i = 0; i < elements.size() && !error_; ++i) {
          path_.push_back(json::PathStep{{}, i, true});
          record<Element>(elements[i]);
          path_.pop_back();
        }
      }
    }
    // Anything else is a leaf: text, numbers, digests, byte lists, number
    // maps, and the free-form items sealed whole.
  }

  template <class P>
  void payload(const json::Value& value) {
    path_.push_back(json::PathStep{"payload"});
    record<P>(value);
    path_.pop_back();
  }

  void fail(StrictError::Kind kind) { error_ = StrictError{kind, path_text(path_)}; }
  // A failure at `steps` below the receipt object, outside any walk.
  void fail_at(StrictError::Kind kind, std::vector<json::PathStep> steps) {
    error_ = StrictError{kind, path_text(steps)};
  }

 private:
  template <class R>
  void field_at(std::size_t index, const json::Value& value) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      ((I == index ? field<MemberType<R, I>>(value) : void()), ...);
    }(std::make_index_sequence<member_count<R>>{});
  }

  std::vector<json::PathStep> path_;
  std::optional<StrictError> error_;
};

void walk_payload(Walker& walker, ReceiptKind kind, const json::Value& value) {
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((static_cast<std::size_t>(kind) == I ? walker.payload<std::variant_alternative_t<I, Payload>>(value) : void()),
     ...);
  }(std::make_index_sequence<std::variant_size_v<Payload>>{});
}

// The first `links` entry the lenient reading drops, if any.
void check_links(Walker& walker, const json::Value& links) {
  if (links.is_null()) return;
  if (!links.is_array()) return walker.fail_at(StrictError::Kind::Unsealed, {json::PathStep{"links"}});
  const json::Array& elements = links.as_array();
  for (std::size_t i = 0; i < elements.size(); ++i) {
    if (elements[i].is_string() && json_decode::parse_uuid(elements[i].as_string())) continue;
    return walker.fail_at(StrictError::Kind::Unsealed, {json::PathStep{"links"}, json::PathStep{{}, i, true}});
  }
}

// The envelope by hand: its payload depends on `kind`, and `links` and `sig`
// are read forgivingly by the lenient reading.
std::optional<StrictError> walk_receipt(const json::Object& top, const Receipt& receipt) {
  Walker walker;
  for (const auto& [key, member] : top) {
    if (key == "payload") {
      walk_payload(walker, receipt.kind, member);
    } else if (key == "links") {
      check_links(walker, member);
    } else if (key == "sig" && !member.is_null() && !receipt.sig) {
      walker.fail_at(StrictError::Kind::Unsealed, {json::PathStep{"sig"}});
    } else {
      walker.member_of<Receipt>(key, member);
    }
    if (walker.error()) return walker.error();
  }
  return std::nullopt;
}

StrictError unreadable(std::string_view text, std::string fallback) {
  // The adapter words every refusal of its own; the fallback is only there
  // should the two readers ever disagree.
  auto lenient = receipt_from_json(text);
  if (!lenient) return StrictError{StrictError::Kind::Unreadable, lenient.error().to_string()};
  return StrictError{StrictError::Kind::Unreadable, AdapterError{AdapterError::Kind::JsonDeserialize, std::move(fallback)}.to_string()};
}

}  // namespace

std::string StrictError::to_string() const {
  switch (kind) {
    case Kind::Unreadable: return text;
    case Kind::Repeated: return "repeated member " + text;
    case Kind::Unknown: return "unknown member " + text;
    case Kind::Unsealed: return "unsealed member " + text;
  }
  return text;
}

std::expected<void, StrictError> check_strict(std::string_view json_text) {
  std::vector<json::PathStep> repeated;
  auto parsed = json::parse_prefix_unique_keys(json_text, repeated);
  if (!parsed) {
    if (parsed.error().code == json::ErrorCode::RepeatedKey) {
      return std::unexpected(StrictError{StrictError::Kind::Repeated, path_text(repeated)});
    }
    return std::unexpected(unreadable(json_text, parsed.error().to_string()));
  }
  if (auto tail = json::expect_end(json_text, parsed->second); !tail) {
    return std::unexpected(unreadable(json_text, tail.error().to_string()));
  }
  auto receipt = deserialize_from_json_value(parsed->first);
  if (!receipt) return std::unexpected(unreadable(json_text, std::move(receipt.error())));
  if (auto error = walk_receipt(parsed->first.as_object(), *receipt)) return std::unexpected(std::move(*error));
  return {};
}

}  // namespace tessary::receipts
