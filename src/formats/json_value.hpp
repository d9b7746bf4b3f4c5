#pragma once
// The JSON value tree built by the reader and walked by the writers.
//
// Invariants that make the canonical text a plain walk of the tree:
// - objects keep their members in ascending bytewise order of the UTF-8 keys,
//   with unique keys (inserting an existing key replaces its value);
// - a signed integer is always negative: non-negative integers are UInt,
//   whatever type they were constructed from;
// - a float is always finite: constructing from NaN or an infinity gives null.
// With these, two values compare equal exactly when their compact texts are
// equal (floats compare by bit pattern, so 0.0 and -0.0 differ, as "0.0" and
// "-0.0" do).
//
// Strings are expected to hold valid UTF-8; the reader guarantees it, and
// builders from other sources can check with `is_valid_utf8` (json_utf8.hpp).
#include <bit>
#include <cassert>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessary::formats::json {

class Value;

enum class Kind : std::uint8_t { Null, Bool, UInt, Int, Float, String, Array, Object };

using Array = std::vector<Value>;

class Object {
 public:
  using Member = std::pair<std::string, Value>;
  using const_iterator = std::vector<Member>::const_iterator;

  Object() = default;
  // Members in any order; of repeated keys the last one wins.
  Object(std::initializer_list<Member> members);
  static Object from_members(std::vector<Member> members);
  // The same, moving the members out of `members` (left moved-from).
  static Object from_members(std::span<Member> members);

  // Keeps the order; replaces the value of an existing key.
  void insert(std::string key, Value value);
  bool erase(std::string_view key);

  const Value* find(std::string_view key) const noexcept;
  Value* find(std::string_view key) noexcept;
  bool contains(std::string_view key) const noexcept;

  std::size_t size() const noexcept;
  bool empty() const noexcept;
  const_iterator begin() const noexcept;
  const_iterator end() const noexcept;
  const std::vector<Member>& members() const noexcept;

  friend bool operator==(const Object& a, const Object& b) noexcept;

 private:
  std::vector<Member> members_;
};

class Value {
 public:
  Value() noexcept : bits_(0) {}  // null
  Value(std::nullptr_t) noexcept : Value() {}
  Value(bool b) noexcept : kind_(Kind::Bool), bits_(b ? 1 : 0) {}
  template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char>)
  Value(T n) noexcept {
    if constexpr (std::is_signed_v<T>) {
      if (n < 0) {
        kind_ = Kind::Int;
        bits_ = static_cast<std::uint64_t>(static_cast<std::int64_t>(n));
        return;
      }
    }
    kind_ = Kind::UInt;
    bits_ = static_cast<std::uint64_t>(n);
  }
  Value(double d) noexcept;
  Value(std::string s) noexcept : kind_(Kind::String), string_(std::move(s)) {}
  Value(std::string_view s) : kind_(Kind::String), string_(s) {}
  Value(const char* s) : kind_(Kind::String), string_(s) {}
  Value(Array a) noexcept : kind_(Kind::Array), array_(std::move(a)) {}
  Value(Object o) noexcept : kind_(Kind::Object), object_(std::move(o)) {}

  Value(const Value& other) { copy_from(other); }
  Value(Value&& other) noexcept { take(std::move(other)); }
  Value& operator=(const Value& other) {
    if (this != &other) *this = Value(other);
    return *this;
  }
  Value& operator=(Value&& other) noexcept {
    if (this != &other) {
      destroy();
      take(std::move(other));
    }
    return *this;
  }
  ~Value() { destroy(); }

  Kind kind() const noexcept { return kind_; }
  bool is_null() const noexcept { return kind_ == Kind::Null; }
  bool is_bool() const noexcept { return kind_ == Kind::Bool; }
  bool is_uint() const noexcept { return kind_ == Kind::UInt; }
  bool is_int() const noexcept { return kind_ == Kind::Int; }
  bool is_float() const noexcept { return kind_ == Kind::Float; }
  bool is_number() const noexcept { return is_uint() || is_int() || is_float(); }
  bool is_string() const noexcept { return kind_ == Kind::String; }
  bool is_array() const noexcept { return kind_ == Kind::Array; }
  bool is_object() const noexcept { return kind_ == Kind::Object; }

  // Each as_* requires the matching kind.
  bool as_bool() const noexcept { return assert(is_bool()), bits_ != 0; }
  std::uint64_t as_uint() const noexcept { return assert(is_uint()), bits_; }
  std::int64_t as_int() const noexcept { return assert(is_int()), static_cast<std::int64_t>(bits_); }
  double as_float() const noexcept { return assert(is_float()), std::bit_cast<double>(bits_); }
  const std::string& as_string() const noexcept { return assert(is_string()), string_; }
  std::string& as_string() noexcept { return assert(is_string()), string_; }
  const Array& as_array() const noexcept { return assert(is_array()), array_; }
  Array& as_array() noexcept { return assert(is_array()), array_; }
  const Object& as_object() const noexcept { return assert(is_object()), object_; }
  Object& as_object() noexcept { return assert(is_object()), object_; }

  // Number conversions across the three number kinds; empty when the value
  // is not a number or does not fit (floats never convert to integers).
  std::optional<std::uint64_t> to_u64() const noexcept;
  std::optional<std::int64_t> to_i64() const noexcept;
  std::optional<double> to_f64() const noexcept;

  // The member `key` of an object; null for a missing key or a non-object.
  const Value* find(std::string_view key) const noexcept;

  friend bool operator==(const Value& a, const Value& b) noexcept;

 private:
  // A tagged union rather than std::variant: moving and destroying the
  // scalar kinds, the bulk of any tree, stays a few inline instructions.
  bool owns_memory() const noexcept { return kind_ >= Kind::String; }
  // Strings, the most common owning kind, are handled inline.
  void destroy() noexcept {
    if (kind_ == Kind::String) {
      string_.~basic_string();
      kind_ = Kind::Null;
    } else if (owns_memory()) {
      destroy_owned();
    }
  }
  void destroy_owned() noexcept;
  void take(Value&& other) noexcept {
    kind_ = other.kind_;
    if (kind_ == Kind::String) {
      std::construct_at(&string_, std::move(other.string_));
    } else if (owns_memory()) {
      take_owned(std::move(other));
    } else {
      bits_ = other.bits_;
    }
  }
  void take_owned(Value&& other) noexcept;
  void copy_from(const Value& other);

  Kind kind_ = Kind::Null;
  union {
    std::uint64_t bits_;  // every scalar: bool as 0/1, Int as two's complement, Float's bits
    std::string string_;
    Array array_;
    Object object_;
  };
};

// Object's inline members need Value complete.
inline bool Object::contains(std::string_view key) const noexcept { return find(key) != nullptr; }
inline std::size_t Object::size() const noexcept { return members_.size(); }
inline bool Object::empty() const noexcept { return members_.empty(); }
inline Object::const_iterator Object::begin() const noexcept { return members_.begin(); }
inline Object::const_iterator Object::end() const noexcept { return members_.end(); }
inline const std::vector<Object::Member>& Object::members() const noexcept { return members_; }

}  // namespace tessary::formats::json
