// Data shape hashes of literal input, the document around them, and the file
// functions' failure texts.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "engine/data_shape.hpp"
#include "engine/data_shape_document.hpp"
#include "engine/data_shape_file.hpp"
#include "engine/file_reader.hpp"
#include "formats/jcs.hpp"
#include "formats/json_reader.hpp"
#include "test_support.hpp"

using namespace tessary::engine;
using support::bytes_of;

// Literal hashes, the empty manifest root and the document around it.
TEST(DataShape, LiteralHashesAndTheDocument) {
  // The empty input and four-byte fixed chunks are the Python tests'.
  EXPECT_EQ(compute_data_shape_hash_from_bytes(bytes_of("abc"), std::nullopt), "sha256:1b8a8a6b6ed7803a876f9a259827f8f536bb885fbe936f815e5bdc52dedc4e9f");
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

// Read failures carry errno, and the shape function gives the hash function's text.
using DataShapeFile = support::ScratchDir;

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
  EXPECT_EQ(debug_quoted(std::string("\0\x01\x1f\x7f\xc2\x85 caf\xc3\xa9 'x'\r", 17)), R"("\0\u{1}\u{1f}\u{7f}\u{85} caf)" "\xc3\xa9" R"( 'x'\r")");
  // An empty file is read to its end like any other; agreeing with the bytes function is the Python tests'.
  EXPECT_EQ(compute_data_shape_hash_from_file(write("empty", ""), std::nullopt), compute_data_shape_hash_from_bytes(bytes_of(""), std::nullopt));
  // The file is read before the scheme is used, so a read failure wins; a zero size is not a file failure.
  EXPECT_EQ(compute_data_shape_hash_from_file(missing, ChunkScheme::fixed(0)), compute_data_shape_hash_from_file(missing, std::nullopt));
  const std::string five = write("five", "12345");
  EXPECT_EQ(compute_data_shape_hash_from_file(five, ChunkScheme::fixed(0)).error().to_string(),
            "Serialization failed: Failed to build manifest: Chunking failed: Chunk size must be > 0. "
            "Context: data_size: 5, chunk_scheme: Fixed { size: 0 }");
  EXPECT_EQ(compute_data_shape_from_file(five, ChunkScheme::fixed(0), false).error().os_errno, 0);
}
