// Long work stops when the installed poll asks it to, and only then.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/data_shape.hpp"
#include "engine/data_shape_file.hpp"
#include "formats/interrupt.hpp"
#include "receipt_samples.hpp"
#include "storage/filesystem_store.hpp"
#include "test_support.hpp"

using namespace tessary;

namespace {

int polls_left = 0;
int polls_made = 0;
bool stop_when_counted_out() noexcept {
  ++polls_made;
  return --polls_left < 0;
}

// Installs the counting poll for one test and removes it afterwards.
struct CountingPoll {
  explicit CountingPoll(int allowed) {
    polls_left = allowed;
    polls_made = 0;
    formats::set_interrupt_poll(stop_when_counted_out);
  }
  ~CountingPoll() { formats::set_interrupt_poll(nullptr); }
};

}  // namespace

TEST(Interrupt, HashingStopsAtThePollAndOnlyThere) {
  {
    const CountingPoll poll(40);  // 40 buffers of /dev/zero, then stop
    auto hash = engine::compute_data_shape_hash_from_file("/dev/zero", std::nullopt);
    EXPECT_EQ(hash.error().kind, engine::DataShapeError::Kind::Interrupted);
    EXPECT_EQ(polls_made, 41);
  }
  // A large buffer is polled between strides, and hashed in them alike.
  const std::vector<std::uint8_t> data(3 * formats::kInterruptStride + 5, 7);
  const auto whole = engine::compute_data_shape_hash_from_bytes(data, std::nullopt);
  {
    const CountingPoll poll(3);
    EXPECT_EQ(engine::compute_data_shape_hash_from_bytes(data, std::nullopt), whole);
    EXPECT_EQ(polls_made, 3);
  }
  const CountingPoll poll(1);
  EXPECT_EQ(engine::compute_data_shape_hash_from_bytes(data, std::nullopt).error().kind, engine::DataShapeError::Kind::Interrupted);
}

namespace {
storage::FilesystemStore* reentered_store = nullptr;
std::string reentry_error;
bool reenter_store() noexcept {
  reentry_error = support::error_text(reentered_store->query_receipts({}));
  return false;
}
}  // namespace

using InterruptStore = support::ScratchDir;

TEST_F(InterruptStore, ScanStopsAndRefusesReentryFromThePoll) {
  auto store = storage::FilesystemStore::open(root_).value();
  ASSERT_TRUE(store->store_receipt(receipts::samples::execution()));
  {
    const CountingPoll poll(0);
    auto found = store->query_receipts({});
    ASSERT_FALSE(found);
    EXPECT_TRUE(std::holds_alternative<storage::StoreInterrupted>(found.error()));
  }
  // A handler run by the poll that uses the same store gets an error, not a
  // deadlock, and the outer scan carries on.
  reentered_store = store.get();
  formats::set_interrupt_poll(reenter_store);
  auto found = store->query_receipts({});
  formats::set_interrupt_poll(nullptr);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->size(), 1u);
  EXPECT_EQ(reentry_error, "Invalid input: store operation started by a signal handler during another one");
  EXPECT_TRUE(store->store_receipt(receipts::samples::execution()));
}
