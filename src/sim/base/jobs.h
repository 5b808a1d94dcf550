// The pool's jobs, the workers' deques and the queue of handed-over jobs
// (pool.cpp only; not an interface).
//
// Jobs live on the stack of the thread that offered them and are never
// copied: a deque holds pointers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>

namespace vantrel::sim::jobs {

// Completion states of a job. A waiter that goes to sleep marks the job so
// the thread finishing it knows to wake it; the mark and the completion are
// one atomic word, so the finisher never touches the job after completing
// it (its owner may return and free the frame at once).
enum : std::uint32_t { kPending = 0, kDone = 1, kWaiterInPool = 2, kWaiterOutside = 3 };

struct Job {
  void (*run)(void* ctx, bool stolen) = nullptr;
  void* ctx = nullptr;
  std::atomic<std::uint32_t> state{kPending};
  // A handed-over job was taken from the queue by a worker (set before the
  // job leaves the queue, so a child forked at any moment that sees it unset
  // knows no worker ever started the job).
  std::atomic<bool> taken{false};
  std::exception_ptr error;
  Job* next = nullptr;  // link in the queue of handed-over jobs
};

template <class F>
void run_closure(void* ctx, bool stolen) {
  (*static_cast<F*>(ctx))(stolen);
}

template <class F>
void bind(Job& job, F& f) {
  job.run = &run_closure<F>;
  job.ctx = &f;
}

// A worker's deque of offered jobs: a fixed ring, the owner at the back,
// thieves at the front. When it is full the owner runs its halves itself.
struct JobDeque {
  static constexpr std::size_t kCapacity = 256;

  std::mutex mutex;
  std::atomic<std::size_t> size{0};
  std::size_t head = 0;  // guarded by mutex
  Job* ring[kCapacity] = {};

  bool push(Job* job) {
    std::lock_guard<std::mutex> lock(mutex);
    const std::size_t n = size.load(std::memory_order_relaxed);
    if (n == kCapacity) return false;
    ring[(head + n) % kCapacity] = job;
    size.store(n + 1, std::memory_order_relaxed);
    return true;
  }
  // Takes `job` back if it is still the newest offered job.
  bool pop_back(Job* job) {
    std::lock_guard<std::mutex> lock(mutex);
    const std::size_t n = size.load(std::memory_order_relaxed);
    if (n == 0 || ring[(head + n - 1) % kCapacity] != job) return false;
    size.store(n - 1, std::memory_order_relaxed);
    return true;
  }
  Job* pop_newest() {
    if (size.load(std::memory_order_relaxed) == 0) return nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    const std::size_t n = size.load(std::memory_order_relaxed);
    if (n == 0) return nullptr;
    size.store(n - 1, std::memory_order_relaxed);
    return ring[(head + n - 1) % kCapacity];
  }
  Job* steal_front() {
    if (size.load(std::memory_order_relaxed) == 0) return nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    const std::size_t n = size.load(std::memory_order_relaxed);
    if (n == 0) return nullptr;
    Job* job = ring[head];
    head = (head + 1) % kCapacity;
    size.store(n - 1, std::memory_order_relaxed);
    return job;
  }
};

// Jobs handed over by threads outside the pool, oldest first.
class HandedOver {
 public:
  void push(Job* job) {
    std::lock_guard<std::mutex> lock(mutex_);
    job->next = nullptr;
    if (tail_)
      tail_->next = job;
    else
      head_.store(job, std::memory_order_relaxed);
    tail_ = job;
  }
  // The oldest job, marked taken, or null.
  Job* pop() {
    if (head_.load(std::memory_order_relaxed) == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    Job* job = head_.load(std::memory_order_relaxed);
    if (!job) return nullptr;
    job->taken.store(true, std::memory_order_release);
    head_.store(job->next, std::memory_order_relaxed);
    if (!job->next) tail_ = nullptr;
    return job;
  }
  // Takes `job` out if it is still queued.
  bool remove(Job* job) {
    std::lock_guard<std::mutex> lock(mutex_);
    Job* prev = nullptr;
    for (Job* j = head_.load(std::memory_order_relaxed); j; prev = j, j = j->next) {
      if (j != job) continue;
      if (prev)
        prev->next = job->next;
      else
        head_.store(job->next, std::memory_order_relaxed);
      if (tail_ == job) tail_ = prev;
      return true;
    }
    return false;
  }

 private:
  std::mutex mutex_;
  std::atomic<Job*> head_{nullptr};
  Job* tail_ = nullptr;  // guarded by mutex_
};

}  // namespace vantrel::sim::jobs
