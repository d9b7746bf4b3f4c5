#include "formats/json_value.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <limits>
#include <memory>
#include <numeric>

namespace tessary::formats::json {

namespace {

using Member = Object::Member;

// A key's first 8 bytes as a big-endian number, zero-padded: comparing two
// of these orders keys as bytewise comparison does, except that equal
// prefixes need a look at the whole keys.
// Loaded whole when the key has 8 bytes, byte by byte when shorter: a copy
// of a variable length would be a call.
std::uint64_t key_prefix(const std::string& key) noexcept {
  std::uint64_t word = 0;
  if (key.size() >= 8) {
    std::memcpy(&word, key.data(), 8);
    if constexpr (std::endian::native == std::endian::little) word = std::byteswap(word);
    return word;
  }
  for (std::size_t i = 0; i < 8; ++i) {
    word <<= 8;
    if (i < key.size()) word |= static_cast<unsigned char>(key[i]);
  }
  return word;
}

struct Slot {
  std::uint64_t prefix;
  std::uint32_t index;
};

// Stable order of members by key: among equal keys the later member sorts
// later, so keeping the last of each run keeps the last duplicate. Sorting
// slots instead of members moves each member exactly once afterwards.
void order_by_key(std::span<const Member> members, std::span<Slot> slots) {
  for (std::uint32_t i = 0; i < slots.size(); ++i) slots[i] = {key_prefix(members[i].first), i};
  auto less = [&](const Slot& a, const Slot& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    const int c = members[a.index].first.compare(members[b.index].first);
    return c < 0 || (c == 0 && a.index < b.index);
  };
  constexpr std::size_t kInsertionLimit = 32;
  if (slots.size() > kInsertionLimit) {
    std::sort(slots.begin(), slots.end(), less);
    return;
  }
  for (std::size_t i = 1; i < slots.size(); ++i) {
    const Slot moving = slots[i];
    std::size_t j = i;
    for (; j > 0 && less(moving, slots[j - 1]); --j) slots[j] = slots[j - 1];
    slots[j] = moving;
  }
}

bool strictly_ascending(std::span<const Member> members) noexcept {
  for (std::size_t i = 1; i < members.size(); ++i) {
    if (!(members[i - 1].first < members[i].first)) return false;
  }
  return true;
}

auto lower_bound_key(auto& members, std::string_view key) noexcept {
  return std::lower_bound(members.begin(), members.end(), key,
                          [](const Member& m, std::string_view k) { return m.first < k; });
}

}  // namespace

Object::Object(std::initializer_list<Member> members)
    : Object(from_members(std::vector<Member>(members))) {}

Object Object::from_members(std::vector<Member> members) {
  if (strictly_ascending(members)) {
    Object object;
    object.members_ = std::move(members);
    return object;
  }
  return from_members(std::span<Member>(members));
}

Object Object::from_members(std::span<Member> members) {
  constexpr std::size_t kSmall = 32;
  Slot small[kSmall];
  std::vector<Slot> large;
  std::span<Slot> slots(small, std::min(members.size(), kSmall));
  if (members.size() > kSmall) {
    large.resize(members.size());
    slots = large;
  }
  order_by_key(members, slots);
  Object object;
  object.members_.reserve(members.size());
  for (std::size_t k = 0; k < slots.size(); ++k) {
    Member& member = members[slots[k].index];
    if (k + 1 < slots.size() && slots[k + 1].prefix == slots[k].prefix &&
        members[slots[k + 1].index].first == member.first) {
      continue;
    }
    object.members_.push_back(std::move(member));
  }
  return object;
}

void Object::insert(std::string key, Value value) {
  auto it = lower_bound_key(members_, key);
  if (it != members_.end() && it->first == key) {
    it->second = std::move(value);
    return;
  }
  members_.emplace(it, std::move(key), std::move(value));
}

bool Object::erase(std::string_view key) {
  auto it = lower_bound_key(members_, key);
  if (it == members_.end() || it->first != key) return false;
  members_.erase(it);
  return true;
}

const Value* Object::find(std::string_view key) const noexcept {
  auto it = lower_bound_key(members_, key);
  return it != members_.end() && it->first == key ? &it->second : nullptr;
}

Value* Object::find(std::string_view key) noexcept {
  auto it = lower_bound_key(members_, key);
  return it != members_.end() && it->first == key ? &it->second : nullptr;
}

bool operator==(const Object& a, const Object& b) noexcept { return a.members_ == b.members_; }

Value::Value(double d) noexcept : bits_(0) {
  if (std::isfinite(d)) {
    kind_ = Kind::Float;
    bits_ = std::bit_cast<std::uint64_t>(d);
  }
}

void Value::destroy_owned() noexcept {
  switch (kind_) {
    case Kind::String: string_.~basic_string(); break;
    case Kind::Array: array_.~Array(); break;
    case Kind::Object: object_.~Object(); break;
    default: break;
  }
  kind_ = Kind::Null;
}

// The source keeps its kind, holding an empty container or string.
void Value::take_owned(Value&& other) noexcept {
  switch (kind_) {
    case Kind::String: std::construct_at(&string_, std::move(other.string_)); break;
    case Kind::Array: std::construct_at(&array_, std::move(other.array_)); break;
    case Kind::Object: std::construct_at(&object_, std::move(other.object_)); break;
    default: break;
  }
}

void Value::copy_from(const Value& other) {
  switch (other.kind_) {
    case Kind::String: std::construct_at(&string_, other.string_); break;
    case Kind::Array: std::construct_at(&array_, other.array_); break;
    case Kind::Object: std::construct_at(&object_, other.object_); break;
    default: bits_ = other.bits_; break;
  }
  kind_ = other.kind_;
}

std::optional<std::uint64_t> Value::to_u64() const noexcept {
  if (is_uint()) return as_uint();
  return std::nullopt;  // Int is always negative
}

std::optional<std::int64_t> Value::to_i64() const noexcept {
  if (is_int()) return as_int();
  if (is_uint() && as_uint() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return static_cast<std::int64_t>(as_uint());
  }
  return std::nullopt;
}

std::optional<double> Value::to_f64() const noexcept {
  switch (kind()) {
    case Kind::UInt: return static_cast<double>(as_uint());
    case Kind::Int: return static_cast<double>(as_int());
    case Kind::Float: return as_float();
    default: return std::nullopt;
  }
}

const Value* Value::find(std::string_view key) const noexcept {
  return is_object() ? as_object().find(key) : nullptr;
}

bool operator==(const Value& a, const Value& b) noexcept {
  if (a.kind_ != b.kind_) return false;
  switch (a.kind_) {
    case Kind::Null: return true;
    case Kind::Bool:
    case Kind::UInt:
    case Kind::Int:
    case Kind::Float: return a.bits_ == b.bits_;  // floats by bit pattern
    case Kind::String: return a.string_ == b.string_;
    case Kind::Array: return a.array_ == b.array_;
    case Kind::Object: return a.object_ == b.object_;
  }
  return false;
}

}  // namespace tessary::formats::json
