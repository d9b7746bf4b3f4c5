#pragma once
// Digests chunks on several threads and hands them on in stream order.
//
// One thread (the caller's) finds the cuts and submits jobs: runs of
// consecutive chunks that lie in memory the caller keeps alive. Helper
// threads take jobs in turn and digest them; the caller digests too
// whenever it would otherwise wait. Finished jobs are retired strictly in
// submission order, so the Merkle tree and the chunk list see the same
// sequence as the single-threaded chunker. The helpers never touch the
// interpreter or poll for interrupts: only the caller does.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/data_shape.hpp"
#include "engine/merkle_root.hpp"

namespace tessary::engine {

// Where the digests go: the running root and, when kept, the chunk list.
struct ShapeOutput {
  MerkleAccumulator tree;
  bool keep = false;
  std::vector<ChunkExtent> chunks;
};

class HashCrew {
 public:
  // `helpers` threads besides the caller's; fewer when the system refuses
  // to start more (none at all still works: the caller digests everything).
  HashCrew(ShapeOutput& output, unsigned helpers, std::size_t max_in_flight);
  ~HashCrew();  // lets running jobs end, drops waiting ones, joins
  HashCrew(const HashCrew&) = delete;
  HashCrew& operator=(const HashCrew&) = delete;

  // Starts a job: chunks of `base`, whose first byte is at stream offset
  // `base_offset`. Returns the job's sequence number (from 1).
  std::uint64_t submit(const std::uint8_t* base, std::uint64_t base_offset, std::vector<ChunkExtent> chunks);
  // Waits (digesting meanwhile) until every job up to `sequence` is retired.
  void retire_through(std::uint64_t sequence);
  void retire_all() { retire_through(submitted_); }
  std::uint64_t submitted() const noexcept { return submitted_; }
  unsigned helpers() const noexcept { return static_cast<unsigned>(threads_.size()); }

 private:
  struct Job {
    const std::uint8_t* base;
    std::uint64_t base_offset;
    std::vector<ChunkExtent> chunks;
    bool done = false;
  };

  static void run(Job& job) noexcept;
  void helper_loop() noexcept;
  // Retires finished jobs at the front; otherwise digests a waiting job or
  // waits for one to finish. Called with the lock held.
  void make_progress(std::unique_lock<std::mutex>& lock);

  ShapeOutput& output_;
  const std::size_t max_in_flight_;
  std::mutex mutex_;
  std::condition_variable work_;   // a job waits, or the crew stops
  std::condition_variable done_;   // a job finished
  std::deque<std::unique_ptr<Job>> jobs_;  // submitted, not yet retired, in order
  std::uint64_t submitted_ = 0;
  std::uint64_t claimed_ = 0;
  std::uint64_t retired_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace tessary::engine
