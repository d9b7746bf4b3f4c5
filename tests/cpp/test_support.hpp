#pragma once
// Helpers shared by the C++ tests: byte views and hex, deeply nested CBOR
// arrays, files, and a scratch directory per test.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "formats/cbor_item.hpp"

namespace support {

inline std::span<const std::uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

inline std::string hex(std::string_view bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 0xF]};
  return out;
}

inline std::string unhex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return out;
}

inline std::vector<std::uint8_t> from_hex(std::string_view hex) {
  const std::string bytes = unhex(hex);
  return {bytes.begin(), bytes.end()};
}

// The error text of a failed result, or "(succeeded)".
template <class Result>
std::string error_text(const Result& result) {
  if (result) return "(succeeded)";
  if constexpr (requires { result.error().to_string(); }) return result.error().to_string(); else return to_string(result.error());
}

// The value of a result expected to succeed; a failure is reported with its text.
template <class Result>
typename Result::value_type value_of(Result result) {
  EXPECT_TRUE(result.has_value()) << error_text(result);
  return result ? std::move(*result) : typename Result::value_type{};
}

// `levels` arrays, one inside the other, around `leaf`.
inline tessary::formats::cbor::Item nested_arrays(std::size_t levels,
                                                  tessary::formats::cbor::Item leaf = tessary::formats::cbor::Item::uint(0)) {
  for (std::size_t i = 0; i < levels; ++i) {
    tessary::formats::cbor::Array wrapper;  // not an initializer list, which would copy the whole chain each time
    wrapper.push_back(std::move(leaf));
    leaf = tessary::formats::cbor::Item{std::move(wrapper)};
  }
  return leaf;
}

inline void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string read_file(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

// A fresh directory under $TMPDIR (or /tmp), removed with all it holds.
class ScratchDir : public ::testing::Test {
 protected:
  ScratchDir() : root_(make_root()) {}
  ~ScratchDir() override { std::filesystem::remove_all(root_); }
  static std::string make_root() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tessary-test-XXXXXX";
    EXPECT_NE(::mkdtemp(pattern.data()), nullptr) << pattern;
    return pattern;
  }
  std::string write(const std::string& name, std::string_view contents) const {
    write_file(root_ + "/" + name, contents);
    return root_ + "/" + name;
  }
  std::string root_;
};

}  // namespace support
