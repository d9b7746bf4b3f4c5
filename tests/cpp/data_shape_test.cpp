// Data shape hashes of literal inputs, their failure texts, and the file
// function held against the bytes function.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "engine/chunker.hpp"
#include "engine/data_shape.hpp"
#include "engine/data_shape_document.hpp"
#include "engine/data_shape_file.hpp"
#include "engine/file_reader.hpp"
#include "formats/os_error.hpp"
#include "formats/jcs.hpp"
#include "formats/json_reader.hpp"
#include "test_support.hpp"

using namespace tessary::engine;

namespace {

using support::bytes_of;

std::string hash_of(std::string_view s, std::optional<ChunkScheme> scheme = std::nullopt) {
  return compute_data_shape_hash_from_bytes(bytes_of(s), scheme).value();
}

using DataShapeFile = support::ScratchDir;

}  // namespace

// Literal hashes, the empty manifest root and the document around it.
TEST(DataShape, LiteralHashesAndTheDocument) {
  EXPECT_EQ(hash_of(""), "sha256:91842f979204361af2c7457f3d229db1f681b55579853983390c109fcb6a4335");
  EXPECT_EQ(hash_of("abc"), "sha256:1b8a8a6b6ed7803a876f9a259827f8f536bb885fbe936f815e5bdc52dedc4e9f");
  EXPECT_EQ(hash_of("abcdefghij", ChunkScheme::fixed(4)),
            "sha256:d35378f7601f23b0b8ce1ea93600134522df75f1587312c2e7ee2c7bc65484d8");
  const std::string empty_root = "sha256:6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d";
  EXPECT_EQ(tessary::formats::hash_string(merkle_root({})), empty_root);
  EXPECT_EQ(data_shape_document(kDefaultChunkScheme, 0, empty_root),
            R"({"chunk_scheme":{"avg_size":65536,"type":"cdc"},"kind":"bytestream","manifest_len":0,)"
            R"("manifest_root":"sha256:6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d"})");
  // The document is written directly; it must be exactly the canonical JSON
  // of the same object built as a value.
  for (ChunkScheme scheme : {ChunkScheme::cdc(1), ChunkScheme::fixed(~0ull)}) {
    const std::string text = data_shape_document(scheme, 18446744073709551615ull, "sha256:" + std::string(64, 'a'));
    const auto parsed = tessary::formats::json::parse(text);
    ASSERT_TRUE(parsed.has_value()) << text;
    EXPECT_EQ(tessary::formats::jcs::canonical(*parsed), text);
  }
}

// The default scheme and the zero-average text are the Python tests' (test_shapes.py).
TEST(DataShape, ErrorDisplayTexts) {
  EXPECT_EQ((DataShapeError{DataShapeError::Kind::InvalidHashFormat, "a", "b"}).to_string(),
            "Invalid hash format: a. Expected format: sha256:<64hex>, got: b");
  EXPECT_EQ((CasError{CasError::Kind::ManifestBuildingFailed, "x"}).to_string(), "Manifest building failed: x");
  EXPECT_EQ((CasError{CasError::Kind::InvalidChunkScheme, "x"}).to_string(),
            "Invalid chunk scheme: x. Expected CDC { avg_size: >0 } or Fixed { size: >0 }");
  EXPECT_EQ(ChunkScheme::fixed(18446744073709551615ull).to_string(), "Fixed { size: 18446744073709551615 }");
}

// Both file functions agree with their bytes counterparts, chunk list included.
TEST_F(DataShapeFile, SameShapeAsBytes) {
  for (const std::string& contents : {std::string(), std::string("abc"), support::random_bytes(3 * FileReader::kBufferSize + 12345, 8)}) {
    const std::string path = write("f" + std::to_string(contents.size()), contents);
    for (std::optional<ChunkScheme> scheme : {std::optional<ChunkScheme>(), std::optional(ChunkScheme::cdc(64)),
                                              std::optional(ChunkScheme::fixed(4096))}) {
      EXPECT_EQ(compute_data_shape_hash_from_file(path, scheme), compute_data_shape_hash_from_bytes(bytes_of(contents), scheme));
      const auto from_file = compute_data_shape_from_file(path, scheme, true).value();
      const auto from_bytes = compute_data_shape_from_bytes(bytes_of(contents), scheme, true).value();
      EXPECT_EQ(from_file.hash, from_bytes.hash);
      EXPECT_EQ(from_file.total_size, contents.size());
      EXPECT_EQ(from_file.chunks, from_bytes.chunks);
    }
  }
}

// Read failures carry errno, and the shape function gives the hash function's text.
TEST_F(DataShapeFile, ReadFailuresAndTheirOrder) {
  const std::string missing = root_ + "/missing";
  const std::tuple<std::string, int, std::string> cases[] = {
      {missing, ENOENT, "No such file or directory (os error 2)"},
      {root_, EISDIR, "Is a directory (os error 21)"},  // a directory opens but cannot be read
      {std::string("a\0b", 3), 0, "file name contained an unexpected NUL byte"}};
  for (const auto& [path, os_errno, reason] : cases) {
    const std::string message = compute_data_shape_hash_from_file(path, std::nullopt).error().to_string();
    EXPECT_EQ(message, "Serialization failed: Failed to read file: " + reason + ". Context: path: " + debug_quoted(path));
    auto failed = compute_data_shape_from_file(path, std::nullopt, false);
    ASSERT_FALSE(failed.has_value()) << path;
    EXPECT_EQ(failed.error().os_errno, os_errno) << message;
    EXPECT_EQ(failed.error().to_string(), message);
  }
  EXPECT_EQ(debug_quoted(std::string("a\0b", 3)), R"("a\0b")");
  // The file is read before the scheme is used, so a read failure wins; a zero size is not a file failure.
  EXPECT_EQ(compute_data_shape_hash_from_file(missing, ChunkScheme::fixed(0)), compute_data_shape_hash_from_file(missing, std::nullopt));
  const std::string five = write("five", "12345");
  EXPECT_EQ(compute_data_shape_hash_from_file(five, ChunkScheme::fixed(0)).error().to_string(),
            "Serialization failed: Failed to build manifest: Chunking failed: Chunk size must be > 0. "
            "Context: data_size: 5, chunk_scheme: Fixed { size: 0 }");
  EXPECT_EQ(compute_data_shape_from_file(five, ChunkScheme::fixed(0), false).error().os_errno, 0);
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

// A copy taken mid-stream must not share the SHA-256 contexts: feeding the
// copy and the original different tails gives each the hash and the chunk
// list of its own stream.
TEST(DataShapeStreaming, CopiesForkIndependentlyAndKeepTheChunkList) {
  const std::string data = support::random_bytes(300000, 21);
  const std::span<const std::uint8_t> all = bytes_of(data);
  std::vector<std::uint8_t> other(all.begin(), all.begin() + 100001);
  other.resize(data.size() - 7, 0x5a);
  for (const ChunkScheme scheme : {ChunkScheme::cdc(4096), ChunkScheme::cdc(65536), ChunkScheme::fixed(1000)}) {
    DataShapeHasher original(scheme, true);
    original.update(all.first(100001));
    DataShapeHasher fork = original;  // mid-chunk for every scheme used
    original.update(all.subspan(100001));
    fork.update(std::span<const std::uint8_t>(other).subspan(100001));

    const auto shape = compute_data_shape_from_bytes(all, scheme, true).value();
    EXPECT_EQ(original.finish().value(), shape.hash);
    EXPECT_EQ(original.chunks(), extents_of(all, scheme));
    EXPECT_EQ(shape.chunks, original.chunks());
    EXPECT_EQ(fork.finish().value(), compute_data_shape_hash_from_bytes(other, scheme).value());
    EXPECT_EQ(fork.chunks(), extents_of(other, scheme));
    // Without keep_chunks nothing is collected.
    EXPECT_TRUE(compute_data_shape_from_bytes(all, scheme, false).value().chunks.empty());
  }
}
