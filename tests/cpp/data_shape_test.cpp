// Data shape hashes of literal inputs, their failure texts, and the file
// function held against the bytes function.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/chunker.hpp"
#include "engine/data_shape.hpp"
#include "engine/data_shape_document.hpp"
#include "engine/data_shape_file.hpp"
#include "engine/file_reader.hpp"
#include "formats/os_error.hpp"
#include "formats/jcs.hpp"
#include "formats/json_reader.hpp"

using namespace tessary::engine;

namespace {

std::span<const std::uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string hash_of(std::string_view s, std::optional<ChunkScheme> scheme = std::nullopt) {
  return compute_data_shape_hash_from_bytes(bytes_of(s), scheme).value();
}

class DataShapeFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tessary_data_shape_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string write(const std::string& name, const std::string& contents) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << contents;
    return dir_ + "/" + name;
  }
  std::string dir_;
};

}  // namespace

TEST(DataShape, LiteralHashes) {
  EXPECT_EQ(hash_of(""), "sha256:91842f979204361af2c7457f3d229db1f681b55579853983390c109fcb6a4335");
  EXPECT_EQ(hash_of("", ChunkScheme::cdc(65536)), hash_of(""));
  EXPECT_EQ(hash_of("abc"), "sha256:1b8a8a6b6ed7803a876f9a259827f8f536bb885fbe936f815e5bdc52dedc4e9f");
  EXPECT_EQ(hash_of("abcdefghij", ChunkScheme::fixed(4)),
            "sha256:d35378f7601f23b0b8ce1ea93600134522df75f1587312c2e7ee2c7bc65484d8");
}

TEST(DataShape, EmptyRootAndItsDocument) {
  const std::string empty_root = "sha256:6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d";
  EXPECT_EQ(tessary::formats::hash_string(merkle_root({})), empty_root);
  EXPECT_EQ(data_shape_document(kDefaultChunkScheme, 0, empty_root),
            R"({"chunk_scheme":{"avg_size":65536,"type":"cdc"},"kind":"bytestream","manifest_len":0,)"
            R"("manifest_root":"sha256:6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d"})");
}

// The document is written directly; it must be exactly the canonical JSON
// of the same object built as a value.
TEST(DataShape, DocumentIsCanonicalJson) {
  const std::string root = "sha256:" + std::string(64, 'a');
  for (ChunkScheme scheme : {ChunkScheme::cdc(1), ChunkScheme::fixed(~0ull)}) {
    const std::string text = data_shape_document(scheme, 18446744073709551615ull, root);
    const auto parsed = tessary::formats::json::parse(text);
    ASSERT_TRUE(parsed.has_value()) << text;
    EXPECT_EQ(tessary::formats::jcs::canonical(*parsed), text);
  }
}

TEST(DataShape, ErrorDisplayTexts) {
  EXPECT_EQ(compute_data_shape_hash_from_bytes(bytes_of(""), ChunkScheme::cdc(0)).error().to_string(),
            "Serialization failed: Failed to build manifest: Chunking failed: Average chunk size must be > 0. "
            "Context: data_size: 0, chunk_scheme: CDC { avg_size: 0 }");
  EXPECT_EQ((DataShapeError{DataShapeError::Kind::InvalidHashFormat, "a", "b"}).to_string(),
            "Invalid hash format: a. Expected format: sha256:<64hex>, got: b");
  EXPECT_EQ((CasError{CasError::Kind::ManifestBuildingFailed, "x"}).to_string(), "Manifest building failed: x");
  EXPECT_EQ((CasError{CasError::Kind::InvalidChunkScheme, "x"}).to_string(),
            "Invalid chunk scheme: x. Expected CDC { avg_size: >0 } or Fixed { size: >0 }");
  EXPECT_EQ(ChunkScheme::fixed(18446744073709551615ull).to_string(), "Fixed { size: 18446744073709551615 }");
}

TEST_F(DataShapeFile, SameHashAsBytes) {
  std::mt19937_64 rng(8);
  std::string big(3 * FileReader::kBufferSize + 12345, '\0');
  for (char& c : big) c = char(rng());
  for (const std::string& contents : {std::string(), std::string("abc"), big}) {
    const std::string path = write("f" + std::to_string(contents.size()), contents);
    for (std::optional<ChunkScheme> scheme : {std::optional<ChunkScheme>(), std::optional(ChunkScheme::cdc(64)),
                                              std::optional(ChunkScheme::fixed(4096))}) {
      EXPECT_EQ(compute_data_shape_hash_from_file(path, scheme), compute_data_shape_hash_from_bytes(bytes_of(contents), scheme));
    }
  }
}

TEST_F(DataShapeFile, ReadFailuresAndTheirOrder) {
  const std::string missing = dir_ + "/missing";
  auto message = [](const std::string& path, std::optional<ChunkScheme> scheme = std::nullopt) {
    return compute_data_shape_hash_from_file(path, scheme).error().to_string();
  };
  EXPECT_EQ(message(missing), "Serialization failed: Failed to read file: No such file or directory (os error 2). "
                              "Context: path: \"" + missing + "\"");
  // A directory opens but cannot be read.
  EXPECT_EQ(message(dir_), "Serialization failed: Failed to read file: Is a directory (os error 21). "
                           "Context: path: \"" + dir_ + "\"");
  // The file is read before the scheme is used, so a read failure wins.
  EXPECT_EQ(message(missing, ChunkScheme::fixed(0)), message(missing));
  const std::string five = write("five", "12345");
  EXPECT_EQ(message(five, ChunkScheme::fixed(0)),
            "Serialization failed: Failed to build manifest: Chunking failed: Chunk size must be > 0. "
            "Context: data_size: 5, chunk_scheme: Fixed { size: 0 }");
  EXPECT_EQ(message(std::string("a\0b", 3)),
            "Serialization failed: Failed to read file: file name contained an unexpected NUL byte. "
            "Context: path: \"a\\0b\"");
}

TEST(FileReader, TextsOfErrorsAndQuotedPaths) {
  EXPECT_EQ(tessary::formats::os_error_text(2), "No such file or directory (os error 2)");
  EXPECT_EQ(tessary::formats::os_error_text(13), "Permission denied (os error 13)");
  EXPECT_EQ(debug_quoted(""), "\"\"");
  EXPECT_EQ(debug_quoted("a\"b\\c\n\t\r"), R"("a\"b\\c\n\t\r")");
  EXPECT_EQ(debug_quoted(std::string("\x01\x1f\x7f", 3)), R"("\u{1}\u{1f}\u{7f}")");
  EXPECT_EQ(debug_quoted("\xc2\x85 caf\xc3\xa9 'x' /"), "\"\\u{85} caf\xc3\xa9 'x' /\"");
}

// ---- streaming: copies, kept chunks, errno -----------------------------------

namespace {

std::vector<ChunkExtent> extents_of(std::span<const std::uint8_t> data, ChunkScheme scheme) {
  const auto chunks = chunk_bytes(data, scheme);
  std::vector<ChunkExtent> out;
  for (const Chunk& c : chunks.value()) out.push_back({c.offset, c.length, c.digest});
  return out;
}

}  // namespace

class DataShapeStreaming : public ::testing::TestWithParam<ChunkScheme> {};

// A copy taken mid-stream must not share the SHA-256 contexts: feeding the
// copy and the original different tails gives each the hash of its own stream.
TEST_P(DataShapeStreaming, CopiesForkIndependentlyAndKeepTheChunkList) {
  std::mt19937_64 rng(21);
  std::vector<std::uint8_t> data(300000);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  const std::span<const std::uint8_t> all(data);
  std::vector<std::uint8_t> other(data.begin(), data.begin() + 100001);
  other.resize(data.size() - 7, 0x5a);

  DataShapeHasher original(GetParam(), true);
  original.update(all.first(100001));
  DataShapeHasher fork = original;  // mid-chunk for every scheme used
  original.update(all.subspan(100001));
  fork.update(std::span<const std::uint8_t>(other).subspan(100001));

  const auto shape = compute_data_shape_from_bytes(all, GetParam(), true).value();
  EXPECT_EQ(original.finish().value(), shape.hash);
  EXPECT_EQ(original.total_size(), data.size());
  EXPECT_EQ(original.chunks(), extents_of(all, GetParam()));
  EXPECT_EQ(shape.chunks, original.chunks());
  EXPECT_EQ(fork.finish().value(), compute_data_shape_hash_from_bytes(other, GetParam()).value());
  EXPECT_EQ(fork.chunks(), extents_of(other, GetParam()));
  // Without keep_chunks nothing is collected, and the hash is the same.
  EXPECT_TRUE(compute_data_shape_from_bytes(all, GetParam(), false).value().chunks.empty());
}

INSTANTIATE_TEST_SUITE_P(Schemes, DataShapeStreaming,
                         ::testing::Values(ChunkScheme::cdc(4096), ChunkScheme::cdc(65536), ChunkScheme::fixed(1000)));

TEST_F(DataShapeFile, FileShapeMatchesBytesAndFailuresCarryErrno) {
  std::mt19937_64 rng(3);
  std::string contents(2 * FileReader::kBufferSize + 99, '\0');
  for (char& c : contents) c = char(rng());
  const std::string path = write("data", contents);
  const auto from_file = compute_data_shape_from_file(path, ChunkScheme::cdc(8192), true).value();
  const auto from_bytes = compute_data_shape_from_bytes(bytes_of(contents), ChunkScheme::cdc(8192), true).value();
  EXPECT_EQ(from_file.hash, from_bytes.hash);
  EXPECT_EQ(from_file.total_size, contents.size());
  EXPECT_EQ(from_file.chunks, from_bytes.chunks);

  struct Case {
    std::string path;
    int os_errno;
  };
  for (const Case& c : {Case{dir_ + "/missing", ENOENT}, Case{dir_, EISDIR}, Case{std::string("a\0b", 3), 0}}) {
    auto failed = compute_data_shape_from_file(c.path, std::nullopt, false);
    ASSERT_FALSE(failed.has_value()) << c.path;
    EXPECT_EQ(failed.error().os_errno, c.os_errno) << failed.error().to_string();
    // The display text is the one the hash-only function gives.
    EXPECT_EQ(failed.error().to_string(), compute_data_shape_hash_from_file(c.path, std::nullopt).error().to_string());
  }
  // A zero size is not a file failure.
  EXPECT_EQ(compute_data_shape_from_file(path, ChunkScheme::fixed(0), false).error().os_errno, 0);
}
