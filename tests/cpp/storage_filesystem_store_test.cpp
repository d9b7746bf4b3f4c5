// The filesystem receipt store: directory creation, the stored bytes, the
// atomic replacement of files, the directory scan with its skips, warnings
// and failures, and every query filter.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "formats/uuid.hpp"
#include "receipt_samples.hpp"
#include "receipts/json_adapter.hpp"
#include "storage/filesystem_store.hpp"

namespace samples = tessary::receipts::samples;
using namespace tessary::receipts;
using tessary::storage::FilesystemStore;
using tessary::storage::ReceiptQuery;
using tessary::storage::StorageError;
using tessary::storage::StoreFailure;

namespace {

Uuid rid_of(int n) {
  Uuid rid = samples::execution().rid;
  rid[15] = static_cast<std::uint8_t>(n);
  return rid;
}

std::string file_name(const Uuid& rid) { return tessary::formats::uuid::format(rid) + ".json"; }

void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string failure_text(const StoreFailure& failure) { return tessary::storage::to_string(failure); }

// Everything written to descriptor 2 while alive, read back by `text()`. A
// file rather than a pipe, so that a flood of output cannot block a test.
class StderrCapture {
 public:
  StderrCapture() : file_(std::tmpfile()) {
    std::fflush(stderr);
    saved_ = ::dup(2);
    ::dup2(::fileno(file_), 2);
  }
  ~StderrCapture() {
    restore();
    std::fclose(file_);
  }

  std::string text() {
    restore();
    std::string out;
    char buffer[4096];
    ssize_t got;
    for (off_t at = 0; (got = ::pread(::fileno(file_), buffer, sizeof buffer, at)) > 0; at += got) {
      out.append(buffer, static_cast<std::size_t>(got));
    }
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
  }
  std::FILE* file_;
  int saved_ = -1;
};

class FilesystemStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tessary-store-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    base_ = root_ + "/data";
    dir_ = base_ + "/receipts";
  }

  void TearDown() override {
    ::chmod(dir_.c_str(), 0700);
    ::nftw(
        root_.c_str(), [](const char* path, const struct stat*, int, FTW*) { return ::remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }

  std::shared_ptr<FilesystemStore> open_store() {
    auto store = FilesystemStore::open(base_);
    EXPECT_TRUE(store.has_value()) << (store ? "" : store.error().to_string());
    return store ? *store : nullptr;
  }

  void store(FilesystemStore& s, const Receipt& receipt) {
    auto stored = s.store_receipt(receipt);
    ASSERT_TRUE(stored.has_value()) << failure_text(stored.error());
  }

  std::vector<Receipt> query(FilesystemStore& s, ReceiptQuery q = {}) {
    auto found = s.query_receipts(std::move(q));
    EXPECT_TRUE(found.has_value()) << failure_text(found.error());
    return found ? *found : std::vector<Receipt>{};
  }

  std::string query_failure(FilesystemStore& s, ReceiptQuery q = {}) {
    auto found = s.query_receipts(std::move(q));
    return found ? "(succeeded)" : failure_text(found.error());
  }

  std::string root_, base_, dir_;
};

std::set<Uuid> rids(const std::vector<Receipt>& receipts) {
  std::set<Uuid> out;
  for (const Receipt& r : receipts) out.insert(r.rid);
  return out;
}

// ---- creation --------------------------------------------------------------

TEST_F(FilesystemStoreTest, CreatesMissingParentsAndKeepsFilesWhenOpenedAgain) {
  base_ = root_ + "/a/b/c";
  dir_ = base_ + "/receipts";
  auto first = open_store();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->receipts_dir(), dir_);
  store(*first, samples::execution());
  first.reset();

  auto second = open_store();
  ASSERT_TRUE(second);
  EXPECT_EQ(query(*second), std::vector<Receipt>{samples::execution()});
}

TEST_F(FilesystemStoreTest, CreationFailsWithTheErrorOfTheComponentInTheWay) {
  // The storage path is a regular file: its "receipts" cannot be made.
  write_file(root_ + "/file", "x");
  auto on_file = FilesystemStore::open(root_ + "/file");
  ASSERT_FALSE(on_file.has_value());
  EXPECT_EQ(on_file.error().to_string(),
            "I/O error: Failed to create receipts directory " + root_ +
                "/file/receipts: Not a directory (os error 20)");
  EXPECT_EQ(on_file.error().kind, StorageError::Kind::Io);

  // Deeper below a regular file: still the same reason, never "not found".
  auto below_file = FilesystemStore::open(root_ + "/file/x/y");
  ASSERT_FALSE(below_file.has_value());
  EXPECT_EQ(below_file.error().message,
            "Failed to create receipts directory " + root_ + "/file/x/y/receipts: Not a directory (os error 20)");

  // "receipts" itself is a regular file.
  ::mkdir(base_.c_str(), 0777);
  write_file(dir_, "x");
  auto on_receipts_file = FilesystemStore::open(base_);
  ASSERT_FALSE(on_receipts_file.has_value());
  EXPECT_EQ(on_receipts_file.error().message,
            "Failed to create receipts directory " + dir_ + ": File exists (os error 17)");
}

// ---- storing ---------------------------------------------------------------

TEST_F(FilesystemStoreTest, StoresExactlyTheAdapterTextUnderTheReceiptIdentifier) {
  auto s = open_store();
  const Receipt receipt = samples::execution();
  store(*s, receipt);
  EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"12345678-9abc-4def-8001-020304050607.json"});
  const std::string bytes = read_file(dir_ + "/12345678-9abc-4def-8001-020304050607.json");
  EXPECT_EQ(bytes, receipt_to_json(receipt).value());
  EXPECT_NE(bytes.back(), '\n');
}

TEST_F(FilesystemStoreTest, StoringTheSameIdentifierTwiceLeavesOneFileWithTheSecond) {
  auto s = open_store();
  Receipt first = samples::execution();
  Receipt second = first;
  std::get<ExecutionPayload>(second.payload).trace_id = "trace:second";
  // The second text is shorter, so a replacement that did not truncate would show.
  std::get<ExecutionPayload>(first.payload).trace_id = "trace:first-and-much-longer";
  store(*s, first);
  store(*s, second);
  EXPECT_EQ(list_dir(dir_), std::vector<std::string>{file_name(first.rid)});
  EXPECT_EQ(read_file(dir_ + "/" + file_name(first.rid)), receipt_to_json(second).value());
  EXPECT_EQ(query(*s), std::vector<Receipt>{second});
}

TEST_F(FilesystemStoreTest, FailedStoreNamesTheTargetAndLeavesNoTemporaryFile) {
  auto s = open_store();
  const Receipt receipt = samples::execution();
  // A directory holding the receipt's name makes the final rename fail,
  // also for root, who passes every permission check.
  const std::string target = dir_ + "/" + file_name(receipt.rid);
  ASSERT_EQ(::mkdir(target.c_str(), 0777), 0);
  auto stored = s->store_receipt(receipt);
  ASSERT_FALSE(stored.has_value());
  EXPECT_EQ(failure_text(stored.error()),
            "I/O error: Failed to write receipt to " + target + ": Is a directory (os error 21)");
  EXPECT_EQ(list_dir(dir_), std::vector<std::string>{file_name(receipt.rid)});

  // Without the directory the temporary file cannot even be made.
  ASSERT_EQ(::rmdir(target.c_str()), 0);
  ASSERT_EQ(::rmdir(dir_.c_str()), 0);
  stored = s->store_receipt(receipt);
  ASSERT_FALSE(stored.has_value());
  EXPECT_EQ(failure_text(stored.error()),
            "I/O error: Failed to write receipt to " + target + ": No such file or directory (os error 2)");
}

TEST_F(FilesystemStoreTest, ReceiptTheAdapterCannotWriteIsASerializationError) {
  auto s = open_store();
  Receipt receipt = samples::execution();
  receipt.attest = tessary::formats::cbor::Item{tessary::formats::cbor::Map{{tessary::formats::cbor::Item{1.5},
                                                                             tessary::formats::cbor::Item::uint(1)}}};
  auto stored = s->store_receipt(receipt);
  ASSERT_FALSE(stored.has_value());
  EXPECT_EQ(failure_text(stored.error()),
            "Serialization error: JSON serialization failed: JSON serialization failed: key must be a string");
  EXPECT_TRUE(list_dir(dir_).empty());
}

// Two stores on one path share no lock: a reader must still never meet a
// half-written receipt, because files appear under their name whole.
TEST_F(FilesystemStoreTest, ConcurrentReplacementNeverShowsATornFile) {
  auto writer = open_store();
  auto reader = open_store();
  Receipt small = samples::execution();
  Receipt large = small;
  std::get<ExecutionPayload>(large.payload).span_commitments.assign(200, samples::hash_of("span"));
  store(*writer, small);

  StderrCapture capture;
  std::atomic<bool> done{false};
  std::thread thread([&] {
    for (int i = 0; i < 300; ++i) (void)writer->store_receipt(i % 2 == 0 ? large : small);
    done = true;
  });
  int queries = 0;
  bool always_one = true;
  while (!done || queries < 10) {
    auto found = reader->query_receipts({});
    always_one = always_one && found.has_value() && found->size() == 1;
    ++queries;
  }
  thread.join();
  EXPECT_TRUE(always_one);
  const std::string warnings = capture.text();
  EXPECT_TRUE(warnings.empty()) << warnings.substr(0, 300);
  EXPECT_EQ(list_dir(dir_).size(), 1u);
}

// ---- scanning --------------------------------------------------------------

TEST_F(FilesystemStoreTest, ReadsOnlyFilesWhoseExtensionIsExactlyJson) {
  auto s = open_store();
  const std::string text = receipt_to_json(samples::execution()).value();
  for (const char* ignored : {"x.JSON", "x.json.bak", ".json", "notes.txt", "json", "x.Json", "x.json.", ".x.tmp"}) {
    write_file(dir_ + "/" + ignored, "not even JSON");
  }
  Receipt dotted = samples::data_shape();
  dotted.rid = rid_of(7);
  write_file(dir_ + "/a.b.json", receipt_to_json(dotted).value());
  Receipt hidden = samples::spend();
  hidden.rid = rid_of(8);
  write_file(dir_ + "/..json", receipt_to_json(hidden).value());  // two dots: the extension is "json"

  StderrCapture capture;
  const auto found = query(*s);
  EXPECT_EQ(capture.text(), "");
  EXPECT_EQ(rids(found), (std::set<Uuid>{dotted.rid, hidden.rid}));
}

TEST_F(FilesystemStoreTest, UnparsableFileGivesOneWarningLineAndIsSkipped) {
  auto s = open_store();
  store(*s, samples::execution());
  const std::string broken = R"({"rid": "not a receipt")";
  write_file(dir_ + "/broken.json", broken);

  StderrCapture capture;
  const auto found = query(*s);
  EXPECT_EQ(capture.text(), "Warning: Failed to parse receipt file " + dir_ + "/broken.json: " +
                                receipt_from_json(broken).error().to_string() + "\n");
  EXPECT_EQ(found, std::vector<Receipt>{samples::execution()});
}

TEST_F(FilesystemStoreTest, WarningShowsAnUndecodableFileNameAsText) {
  auto s = open_store();
  write_file(dir_ + "/bad\xff\xe2\x82name.json", "{}");
  StderrCapture capture;
  EXPECT_TRUE(query(*s).empty());
  EXPECT_EQ(capture.text(), "Warning: Failed to parse receipt file " + dir_ +
                                "/bad\xef\xbf\xbd\xef\xbf\xbdname.json: "
                                "JSON deserialization failed: missing field `kind`\n");
}

TEST_F(FilesystemStoreTest, BytesThatAreNotUtf8FailTheWholeQuery) {
  auto s = open_store();
  store(*s, samples::execution());
  const std::string prefix = "I/O error: Failed to read receipt file: ";
  write_file(dir_ + "/bad.json", "\xff\xfe{}");
  EXPECT_EQ(query_failure(*s), prefix + "stream did not contain valid UTF-8");

  // Also when the bytes sit inside a string of an otherwise sound receipt.
  Receipt inner = samples::execution();
  inner.version = "VERSION";
  std::string text = receipt_to_json(inner).value();
  text.replace(text.find("VERSION"), 7, "0.1\xc0\x80");
  write_file(dir_ + "/bad.json", text);
  EXPECT_EQ(query_failure(*s), prefix + "stream did not contain valid UTF-8");
}

TEST_F(FilesystemStoreTest, ListingAndReadingFailuresEndTheQuery) {
  auto s = open_store();
  ASSERT_EQ(::mkdir((dir_ + "/sub.json").c_str(), 0777), 0);
  EXPECT_EQ(query_failure(*s), "I/O error: Failed to read receipt file: Is a directory (os error 21)");
  ASSERT_EQ(::symlink("missing", (dir_ + "/dangling.json").c_str()), 0);
  ASSERT_EQ(::rmdir((dir_ + "/sub.json").c_str()), 0);
  EXPECT_EQ(query_failure(*s), "I/O error: Failed to read receipt file: No such file or directory (os error 2)");
  ASSERT_EQ(::unlink((dir_ + "/dangling.json").c_str()), 0);
  ASSERT_EQ(::rmdir(dir_.c_str()), 0);
  EXPECT_EQ(query_failure(*s),
            "I/O error: Failed to read receipts directory " + dir_ + ": No such file or directory (os error 2)");
}

TEST_F(FilesystemStoreTest, ReadsFilesLargerThanTheFirstBuffer) {
  auto s = open_store();
  Receipt big = samples::execution();
  std::get<ExecutionPayload>(big.payload).span_commitments.assign(3000, samples::hash_of("span"));
  Receipt small = samples::data_shape();
  small.rid = rid_of(2);
  store(*s, small);
  store(*s, big);
  ASSERT_GT(read_file(dir_ + "/" + file_name(big.rid)).size(), std::size_t{200000});
  EXPECT_EQ(rids(query(*s)), (std::set<Uuid>{big.rid, small.rid}));
}

// ---- filters ---------------------------------------------------------------

struct FilterCase {
  const char* name;
  ReceiptQuery query;
  std::set<int> expected;  // indexes into the corpus below
};

// 0: execution "wl-a", trace "t-1", policy, epoch "e1", pac of 7s, 12:00:00.900Z
// 1: execution "wl-b", trace "t-1", no policy, no epoch, 12:00:01+00:00
// 2: execution "wl-a", trace "t-2", 14:00:00+02:00 (= 12:00:00Z)
// 3: spend whose pointers name trace "t-1", same policy, 11:59:59.999Z
// 4: data_shape with an unparsable timestamp
std::vector<Receipt> filter_corpus() {
  auto execution = [](int n, const char* workload, const char* trace, const char* timestamp) {
    Receipt r = samples::execution();
    r.rid = rid_of(n);
    auto& p = std::get<ExecutionPayload>(r.payload);
    p.method_ref.method_id = workload;
    p.trace_id = trace;
    r.ctx.timestamp = timestamp;
    return r;
  };
  std::vector<Receipt> corpus;
  corpus.push_back(execution(0, "wl-a", "t-1", "2025-01-17T12:00:00.900Z"));
  corpus[0].ctx.policy_ref = "pol:acme/default@1.0.0";
  std::get<ExecutionPayload>(corpus[0].payload).change_epoch = "e1";
  std::get<ExecutionPayload>(corpus[0].payload).pac = Digest32{7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
                                                               7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
  corpus.push_back(execution(1, "wl-b", "t-1", "2025-01-17T12:00:01+00:00"));
  corpus.push_back(execution(2, "wl-a", "t-2", "2025-01-17 14:00:00+02:00"));
  Receipt spend = samples::spend();
  spend.rid = rid_of(3);
  std::get<SpendPayload>(spend.payload).pointers.trace_id = "t-1";
  spend.ctx.policy_ref = "pol:acme/default@1.0.0";
  spend.ctx.timestamp = "2025-01-17t11:59:59.999z";
  corpus.push_back(spend);
  Receipt shape = samples::data_shape();
  shape.rid = rid_of(4);
  shape.ctx.timestamp = "yesterday";
  corpus.push_back(shape);
  return corpus;
}

constexpr std::int64_t kNoon = 1737115200;  // 2025-01-17T12:00:00Z

Digest32 filled(std::uint8_t byte) {
  Digest32 d;
  d.fill(byte);
  return d;
}

class QueryFilters : public FilesystemStoreTest, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(QueryFilters, ReturnExactlyTheReceiptsPassingEveryFilter) {
  auto s = open_store();
  const auto corpus = filter_corpus();
  for (const Receipt& r : corpus) store(*s, r);
  std::set<Uuid> expected;
  for (int i : GetParam().expected) expected.insert(corpus[static_cast<std::size_t>(i)].rid);
  EXPECT_EQ(rids(query(*s, GetParam().query)), expected);
}

ReceiptQuery make(auto set) {
  ReceiptQuery q;
  set(q);
  return q;
}

INSTANTIATE_TEST_SUITE_P(
    Store, QueryFilters,
    ::testing::Values(
        FilterCase{"none", {}, {0, 1, 2, 3, 4}},
        FilterCase{"trace_skips_other_kinds", make([](auto& q) { q.trace_id = "t-1"; }), {0, 1}},
        FilterCase{"trace_is_case_sensitive", make([](auto& q) { q.trace_id = "T-1"; }), {}},
        FilterCase{"workload", make([](auto& q) { q.workload_id = "wl-a"; }), {0, 2}},
        FilterCase{"workload_and_trace", make([](auto& q) { q.workload_id = "wl-a"; q.trace_id = "t-1"; }), {0}},
        FilterCase{"policy_any_kind", make([](auto& q) { q.policy_ref = "pol:acme/default@1.0.0"; }), {0, 3}},
        FilterCase{"change_epoch", make([](auto& q) { q.change_epoch = "e1"; }), {0}},
        FilterCase{"change_epoch_other", make([](auto& q) { q.change_epoch = "e2"; }), {}},
        FilterCase{"pac", make([](auto& q) { q.pac = filled(7); }), {0}},
        FilterCase{"pac_other", make([](auto& q) { q.pac = filled(8); }), {}},
        // Whole seconds, the fraction dropped, offsets applied; bounds inclusive.
        FilterCase{"start_inclusive_with_fraction", make([](auto& q) { q.start_time = kNoon; }), {0, 1, 2}},
        FilterCase{"start_after", make([](auto& q) { q.start_time = kNoon + 1; }), {1}},
        FilterCase{"end_inclusive", make([](auto& q) { q.end_time = kNoon; }), {0, 2, 3}},
        FilterCase{"end_before", make([](auto& q) { q.end_time = kNoon - 1; }), {3}},
        FilterCase{"exact_second", make([](auto& q) { q.start_time = kNoon; q.end_time = kNoon; }), {0, 2}},
        FilterCase{"empty_range", make([](auto& q) { q.start_time = kNoon + 1; q.end_time = kNoon; }), {}},
        FilterCase{"wide_range", make([](auto& q) { q.start_time = INT64_MIN; q.end_time = INT64_MAX; }),
                   {0, 1, 2, 3}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FilesystemStoreTest, LimitKeepsTheFirstMatchesInListingOrder) {
  auto s = open_store();
  for (int i = 0; i < 5; ++i) {
    Receipt r = samples::execution();
    r.rid = rid_of(i);
    store(*s, r);
  }
  const auto all = query(*s);
  ASSERT_EQ(all.size(), 5u);
  for (std::size_t limit : {0u, 1u, 3u, 5u, 6u, 1000u}) {
    ReceiptQuery q;
    q.limit = limit;
    const auto limited = query(*s, q);
    ASSERT_EQ(limited.size(), std::min<std::size_t>(limit, 5)) << limit;
    EXPECT_TRUE(std::equal(limited.begin(), limited.end(), all.begin())) << limit;
  }
}

TEST_F(FilesystemStoreTest, LimitDoesNotShortenTheScan) {
  auto s = open_store();
  store(*s, samples::execution());
  write_file(dir_ + "/bad.json", "\xff");
  ReceiptQuery q;
  q.limit = 0;
  EXPECT_EQ(query_failure(*s, q), "I/O error: Failed to read receipt file: stream did not contain valid UTF-8");
}

}  // namespace
