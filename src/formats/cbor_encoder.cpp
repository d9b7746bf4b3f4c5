#include "formats/cbor_encoder.hpp"

#include <type_traits>

#include "formats/utf8.hpp"

namespace tessary::formats::cbor {

std::string EncodeError::to_string() const {
  switch (kind) {
    case Kind::TooDeep:
      return "nesting deeper than " + std::to_string(kMaxEncodeDepth) + " levels";
    case Kind::EmptyTag:
      return "tag " + std::to_string(detail) + " has no content";
    case Kind::InvalidSimple:
      return "simple value " + std::to_string(detail) + " cannot be encoded";
    case Kind::InvalidUtf8:
      return "invalid UTF-8 in text string at byte " + std::to_string(detail);
  }
  return "unknown encoding error";
}

template <class Buffer>
std::expected<void, EncodeError> BasicWriter<Buffer>::write_item(const Item& item) {
  const auto start = out_.size();
  auto written = write_nested(item, 0);
  if (!written) out_.resize(start);
  return written;
}

template <class Buffer>
std::expected<void, EncodeError> BasicWriter<Buffer>::write_nested(const Item& item, std::size_t depth) {
  using Result = std::expected<void, EncodeError>;
  return std::visit(
      [&](const auto& v) -> Result {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, Integer>) {
          write_integer(v);
        } else if constexpr (std::is_same_v<T, Bytes>) {
          write_bytes(v);
        } else if constexpr (std::is_same_v<T, double>) {
          write_float(v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          if (auto bad = utf8::first_invalid(v)) return std::unexpected(EncodeError{EncodeError::Kind::InvalidUtf8, *bad});
          write_text(v);
        } else if constexpr (std::is_same_v<T, bool>) {
          write_bool(v);
        } else if constexpr (std::is_same_v<T, Null>) {
          write_null();
        } else if constexpr (std::is_same_v<T, Simple>) {
          if (v.value >= 24 && v.value < 32) return std::unexpected(EncodeError{EncodeError::Kind::InvalidSimple, v.value});
          write_head(Major::Simple, v.value);
        } else {
          if (depth >= kMaxEncodeDepth) return std::unexpected(EncodeError{EncodeError::Kind::TooDeep, 0});
          if constexpr (std::is_same_v<T, Array>) {
            write_array_head(v.size());
            for (const Item& element : v) {
              if (auto r = write_nested(element, depth + 1); !r) return r;
            }
          } else if constexpr (std::is_same_v<T, Map>) {
            write_map_head(v.size());
            for (const auto& [key, value] : v) {
              if (auto r = write_nested(key, depth + 1); !r) return r;
              if (auto r = write_nested(value, depth + 1); !r) return r;
            }
          } else {
            static_assert(std::is_same_v<T, Tagged>);
            if (!v.value) return std::unexpected(EncodeError{EncodeError::Kind::EmptyTag, v.number});
            write_tag_head(v.number);
            return write_nested(*v.value, depth + 1);
          }
        }
        return {};
      },
      item.v);
}

template class BasicWriter<std::string>;
template class BasicWriter<std::vector<std::uint8_t>>;

std::expected<std::string, EncodeError> encode(const Item& item) {
  std::string out;
  Writer writer(out);
  if (auto r = writer.write_item(item); !r) return std::unexpected(r.error());
  return out;
}

}  // namespace tessary::formats::cbor
