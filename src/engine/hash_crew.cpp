#include "engine/hash_crew.hpp"

#include <system_error>

#include "formats/sha256.hpp"

namespace tessary::engine {

HashCrew::HashCrew(ShapeOutput& output, unsigned helpers, std::size_t max_in_flight)
    : output_(output), max_in_flight_(max_in_flight < 1 ? 1 : max_in_flight) {
  threads_.reserve(helpers);
  for (unsigned i = 0; i < helpers; ++i) {
    try {
      threads_.emplace_back([this] { helper_loop(); });
    } catch (const std::system_error&) {
      break;  // out of threads: work on with those already running
    }
  }
}

HashCrew::~HashCrew() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void HashCrew::run(Job& job) noexcept {
  for (ChunkExtent& chunk : job.chunks) {
    const std::uint8_t* first = job.base + (chunk.offset - job.base_offset);
    chunk.digest = formats::sha256(std::span<const std::uint8_t>(first, static_cast<std::size_t>(chunk.length)));
  }
}

void HashCrew::helper_loop() noexcept {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_.wait(lock, [&] { return stopping_ || claimed_ < submitted_; });
    if (stopping_) return;
    Job& job = *jobs_[static_cast<std::size_t>(claimed_ - retired_)];
    ++claimed_;
    lock.unlock();
    run(job);
    lock.lock();
    job.done = true;
    done_.notify_one();
  }
}

std::uint64_t HashCrew::submit(const std::uint8_t* base, std::uint64_t base_offset, std::vector<ChunkExtent> chunks) {
  auto job = std::make_unique<Job>(Job{base, base_offset, std::move(chunks)});
  std::unique_lock<std::mutex> lock(mutex_);
  while (submitted_ - retired_ >= max_in_flight_) make_progress(lock);
  if (threads_.empty()) {
    // Nobody else would take it: digest it now, outside the lock.
    lock.unlock();
    run(*job);
    job->done = true;
    lock.lock();
  }
  jobs_.push_back(std::move(job));
  ++submitted_;
  if (threads_.empty()) {
    ++claimed_;
  } else {
    work_.notify_one();
  }
  return submitted_;
}

void HashCrew::retire_through(std::uint64_t sequence) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (retired_ < sequence) make_progress(lock);
}

void HashCrew::make_progress(std::unique_lock<std::mutex>& lock) {
  if (!jobs_.empty() && jobs_.front()->done) {
    std::unique_ptr<Job> job = std::move(jobs_.front());
    jobs_.pop_front();
    ++retired_;
    lock.unlock();
    for (const ChunkExtent& chunk : job->chunks) {
      output_.tree.add(chunk.digest);
      if (output_.keep) output_.chunks.push_back(chunk);
    }
    lock.lock();
    return;
  }
  if (claimed_ < submitted_) {
    Job& job = *jobs_[static_cast<std::size_t>(claimed_ - retired_)];
    ++claimed_;
    lock.unlock();
    run(job);
    lock.lock();
    job.done = true;
    return;
  }
  done_.wait(lock);
}

}  // namespace tessary::engine
