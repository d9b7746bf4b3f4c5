// The pieces of a durable store that the Python tests see only as a whole:
// which names count as a killed writer's temporary files, flushing many files
// at once, batches that run out of descriptors, and flushed directory trees.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/os_error.hpp"
#include "storage/data_flush.hpp"
#include "storage/directory_tree.hpp"
#include "storage/file_replace.hpp"
#include "storage/leftover_sweep.hpp"
#include "storage/store_paths.hpp"
#include "test_support.hpp"

using namespace tessary::storage;

namespace {

constexpr const char* kRid = "0b6c3a70-42a1-4c4e-9a3e-5f1d2b7c8e90";

TEST(TemporaryNames, OnlyOurPatternGivesItsTarget) {
  const std::string rid = kRid;
  const std::pair<std::string, std::string> ours[] = {
      {"." + rid + ".json.12.0123456789abcdef.tmp", rid + ".json"},
      {"." + rid + ".json.4194304.7.tmp", rid + ".json"},  // an older writer's counter
      {".a.b.1.f.tmp", "a.b"},
  };
  for (const auto& [name, target] : ours) EXPECT_EQ(temporary_target(name), std::optional<std::string_view>(target)) << name;
  const std::string others[] = {
      rid + ".json.12.abc.tmp",        "." + rid + ".json.12.abc.tmp.bak", "." + rid + ".json.12.ABC.tmp",
      "." + rid + ".json.x1.abc.tmp",  "." + rid + ".json..abc.tmp",       "." + rid + ".json.12..tmp",
      "." + rid + ".json.12.0123456789abcdef0.tmp", "." + rid + ".json.12345678901.a.tmp",
      ".12.abc.tmp", "..12.abc.tmp",   ".tmp", ".x.tmp", "",
  };
  for (const std::string& name : others) EXPECT_FALSE(temporary_target(name).has_value()) << name;
  EXPECT_TRUE(is_receipt_file_name(rid + ".json"));
  for (const std::string& name : {rid + ".JSON", "0B6C3A70" + rid.substr(8) + ".json", rid.substr(1) + "x.json",
                                  rid + "x.json", std::string(36, '-') + ".json", rid}) {
    EXPECT_FALSE(is_receipt_file_name(name)) << name;
  }
}

class DurableFilesTest : public support::ScratchDir {
 protected:
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(root_)) out.push_back(entry.path().filename());
    std::sort(out.begin(), out.end());
    return out;
  }
};

TEST_F(DurableFilesTest, FlushGivesEachDescriptorItsOwnResultWhateverTheWorkers) {
  const std::string path = root_ + "/f";
  const int file = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
  int pipe_ends[2];
  ASSERT_GE(file, 0);
  ASSERT_EQ(::pipe(pipe_ends), 0);
  const std::vector<int> fds = {file, -1, pipe_ends[0], file, -1, file};
  const std::vector<int> expected = {0, EBADF, EINVAL, 0, EBADF, 0};
  for (unsigned workers : {0u, 1u, 3u, 64u}) EXPECT_EQ(flush_data(fds, workers), expected) << workers;
  EXPECT_TRUE(flush_data({}, 4).empty());
  for (int fd : {file, pipe_ends[0], pipe_ends[1]}) ::close(fd);
}

// With descriptors for only a few files at once, a flushed batch commits
// smaller groups instead of failing.
TEST_F(DurableFilesTest, BatchShorterOfDescriptorsThanItsGroupStillStoresEveryFile) {
  std::vector<FileText> files;
  for (int i = 0; i < 300; ++i) files.push_back({"f" + std::to_string(1000 + i), std::to_string(i)});
  rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const auto open_now = static_cast<rlim_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
  rlimit tight = saved;
  tight.rlim_cur = open_now + 8;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  auto replaced = replace_files(root_, files, Durability::Flushed);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(replaced.has_value()) << replaced.error().index << ": " << replaced.error().reason;
  EXPECT_EQ(names().size(), 300u);
  EXPECT_EQ(support::read_file(root_ + "/f1299"), "299");
}

// In the first group, and in a later one written while the first is flushed.
TEST_F(DurableFilesTest, FailureNamesItsFileAndLeavesTheFilesBeforeItInPlace) {
  for (Durability durability : {Durability::Cached, Durability::Flushed}) {
    for (std::size_t bad : {2u, 300u}) {
      std::filesystem::remove_all(root_);
      std::filesystem::create_directory(root_);
      std::vector<FileText> files = {{"a", "1"}, {"a", "2"}};
      for (std::size_t i = files.size(); i < 400; ++i) files.push_back({"f" + std::to_string(1000 + i), "x"});
      files[bad].name = std::string("b\0", 2);
      auto replaced = replace_files(root_, files, durability);
      ASSERT_FALSE(replaced.has_value());
      EXPECT_EQ(replaced.error().index, bad);
      EXPECT_EQ(replaced.error().reason, tessary::formats::kNulInPath);
      const std::vector<std::string> in_place = names();  // no temporary file is left
      EXPECT_EQ(in_place.size(), bad - 1);
      EXPECT_EQ(in_place.front(), "a");
      EXPECT_EQ(support::read_file(root_ + "/a"), "2");
    }
  }
}

TEST_F(DurableFilesTest, SweepRemovesOnlyOldRegularTemporariesOfAcceptedTargets) {
  const std::string rid = kRid;
  const std::string ours = "." + rid + ".json.7.abc.tmp";
  const std::string other_target = ".notes.json.7.abc.tmp";
  write(ours, "x");
  write(other_target, "x");
  ASSERT_EQ(::mkdir((root_ + "/." + rid + ".json.8.abc.tmp").c_str(), 0777), 0);
  ASSERT_EQ(::symlink("nowhere", (root_ + "/." + rid + ".json.9.abc.tmp").c_str()), 0);
  // Too young at the usual age; removed once no age is asked for.
  EXPECT_EQ(remove_stale_temporaries(root_, is_receipt_file_name), 0u);
  EXPECT_EQ(remove_stale_temporaries(root_, is_receipt_file_name, std::chrono::seconds(0)), 1u);
  EXPECT_EQ(names().size(), 3u);
  EXPECT_FALSE(std::filesystem::exists(root_ + "/" + ours));
  EXPECT_EQ(remove_stale_temporaries(root_ + "/missing", is_receipt_file_name, std::chrono::seconds(0)), 0u);
}

TEST_F(DurableFilesTest, FlushedTreeCreationAndDirectorySyncReportTheSystemsError) {
  for (bool flush : {false, true}) {
    const std::string tree = root_ + (flush ? "/f/a/b" : "/c/a/b");
    EXPECT_TRUE(create_directory_all(tree, flush).has_value());
    EXPECT_TRUE(std::filesystem::is_directory(tree));
    EXPECT_TRUE(create_directory_all(tree, flush).has_value());  // existing already
  }
  write("file", "x");
  EXPECT_EQ(create_directory_all(root_ + "/file/x", true).error(), "Not a directory (os error 20)");
  EXPECT_TRUE(sync_directory(root_).has_value());
  EXPECT_EQ(sync_directory(root_ + "/missing").error(), "No such file or directory (os error 2)");
  EXPECT_EQ(sync_directory(root_ + "/file").error(), "Not a directory (os error 20)");
}

}  // namespace
