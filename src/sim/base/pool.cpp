// The worker pool: one deque of offered jobs per worker, a queue of jobs
// handed over by threads outside the pool, and one sleep/wake channel.
//
// Jobs live on the stack of the thread that offered them and are never
// copied. A worker offers the second half of a split at the back of its own
// deque, runs the first half, then takes the job back if it is still there;
// idle or waiting threads take the oldest job from the front of another
// deque. So a waiting thread's own deque is always empty, and whatever it
// picks up meanwhile is independent of what it waits for: no cycle of waits
// can form, whatever the pool size or the nesting of parallel calls.
//
// Workers look at the queue of handed-over jobs only when no deque has work,
// so a caller whose job nobody has taken within its first wait (wait.h) takes
// it back and runs it on its own thread: another caller's long work cannot
// hold it up, and it keeps polling its own Interrupt.
//
// Every wait polls, then sleeps (wait.h); offering a job wakes one sleeper.
//
// After fork() the child has none of the parent's workers: a fork handler
// drops the pool in the child (the old object is abandoned, never touched
// again) and the next parallel call builds a fresh one of the same size. A
// caller that forked from its Interrupt's hook while it waited finds that
// out when the hook returns: it runs its job itself if no worker had taken
// it, and throws LostToFork otherwise.
#include "sim/base/pool.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "sim/base/alloc.h"
#include "sim/base/interrupt.h"
#include "sim/base/jobs.h"
#include "sim/base/processors.h"
#include "sim/base/wait.h"

namespace vantrel::sim {
namespace {

using namespace jobs;

// What became of a job handed over from outside the pool.
enum class HandOver { kDone, kTakenBack, kLost };

class Pool;

// A pool thread: its deque of offered jobs and its team mailbox.
struct Worker {
  Pool* pool = nullptr;
  std::size_t index = 0;
  pthread_t thread{};
  JobDeque jobs;
  // An invitation to join a team, taken from the idle loop only.
  std::atomic<TeamInvitation*> invitation{nullptr};
};

thread_local Worker* tl_worker = nullptr;
// Inside a SoloScope.
thread_local bool tl_solo = false;

// Forks this process descends from (raised in the child by the fork handler).
std::atomic<std::uint64_t> g_fork_generation{0};

// --- the pool ---------------------------------------------------------------

class Pool {
 public:
  // Threads of the pool. A pool without workers (threads could not be
  // started at all) runs everything on the calling thread.
  std::size_t size() const { return n_ > 0 ? n_ : 1; }
  bool has_workers() const { return n_ > 0; }

  // Starts up to n workers one at a time, allocating each worker's state
  // only when its thread is about to start, and stops at the first thread
  // that cannot be started. Waits until every started worker runs; returns
  // the error number of the thread that failed, or 0. The pool then has the
  // workers that started (see stop()). The workers look for work only once
  // the pool's size is final.
  int start(std::size_t n) {
    int err = 0;
    // n <= kMaxThreads: a small table of pointers
    if (!allocated([&] { workers_.reserve(n); })) return ENOMEM;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return ENOMEM;
    (void)pthread_attr_setstacksize(&attr, kWorkerStackBytes);  // above PTHREAD_STACK_MIN
    sigset_t all, old;
    sigfillset(&all);
    // Workers inherit a mask with every asynchronous signal blocked, so that
    // signals keep going to the application's own threads.
    pthread_sigmask(SIG_BLOCK, &all, &old);
    for (std::size_t i = 0; i < n; ++i) {
      std::unique_ptr<Worker> w(new (std::nothrow) Worker);
      if (!w) {
        err = ENOMEM;
        break;
      }
      w->pool = this;
      w->index = i;
      err = pthread_create(&w->thread, &attr, &Pool::thread_main, w.get());
      if (err) break;
      workers_.push_back(std::move(w));  // reserved: cannot throw
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    {
      std::unique_lock<std::mutex> lock(start_mutex_);
      n_ = workers_.size();
      idle_.store(n_);
      sized_ = true;
      start_cv_.notify_all();
      start_cv_.wait(lock, [&] { return running_ == n_; });
    }
    return err;
  }

  // Stops and joins every worker of a pool that is not kept.
  void stop() {
    stopping_.store(true);
    wake_all();
    for (const auto& w : workers_) pthread_join(w->thread, nullptr);
  }

  // Offers a job at the back of the current worker's deque.
  bool offer(Worker& w, Job* job) {
    pending_.fetch_add(1);
    if (!w.jobs.push(job)) {
      pending_.fetch_sub(1);
      return false;
    }
    wake_one();
    return true;
  }

  bool take_back(Worker& w, Job* job) {
    if (!w.jobs.pop_back(job)) return false;
    pending_.fetch_sub(1, std::memory_order_relaxed);
    return true;
  }

  // Hands a job over from a thread outside the pool and waits for it. If no
  // worker has taken it while every worker is busy (with other callers'
  // work), the caller takes it back (kTakenBack) and is to run it itself.
  HandOver run_outside(Job* job) {
    pending_.fetch_add(1);
    handed_over_.push(job);
    wake_one();
    PollThenSleep wait;
    while (wait.keep_polling())
      if (job->state.load(std::memory_order_acquire) == kDone) return HandOver::kDone;
    return sleep_outside(job);
  }

  std::size_t worker_count() const { return n_; }
  Worker& worker(std::size_t w) const { return *workers_[w]; }

  // Waits on a pool thread for an offered job another thread took, running
  // other offered work meanwhile.
  void wait_in_pool(Worker& self, Job* job) {
    PollThenSleep wait;
    for (;;) {
      if (job->state.load(std::memory_order_acquire) == kDone) return;
      if (Job* other = find_work(self)) {
        execute(other);
        wait.restart();
        continue;
      }
      if (wait.keep_polling()) continue;
      std::unique_lock<std::mutex> lock(sleep_mutex_);
      std::uint32_t expected = kPending;
      if (!job->state.compare_exchange_strong(expected, kWaiterInPool)) return;  // done
      sleepers_.fetch_add(1);
      sleep_cv_.wait(lock, [&] {
        return job->state.load(std::memory_order_acquire) == kDone || pending_.load() > 0;
      });
      sleepers_.fetch_sub(1);
      expected = kWaiterInPool;
      if (!job->state.compare_exchange_strong(expected, kPending)) return;  // done
      wait.restart();
    }
  }

  // Wakes sleeping workers, if there are any, so that they look at their
  // mailboxes.
  void wake_sleepers() {
    if (sleepers_.load() > 0) wake_all();
  }

 private:
  static void* thread_main(void* arg) {
    Worker& self = *static_cast<Worker*>(arg);
    tl_worker = &self;
    Pool& pool = *self.pool;
    {
      std::unique_lock<std::mutex> lock(pool.start_mutex_);
      ++pool.running_;
      pool.start_cv_.notify_all();
      pool.start_cv_.wait(lock, [&] { return pool.sized_; });
    }
    pool.idle_loop(self);
    tl_worker = nullptr;
    return nullptr;
  }

  void idle_loop(Worker& self) {
    PollThenSleep wait;
    bool idle = true;  // counted in idle_ from the start
    auto set_idle = [&](bool now) {
      if (now != idle) (idle = now) ? idle_.fetch_add(1) : idle_.fetch_sub(1);
    };
    while (!stopping_.load(std::memory_order_relaxed)) {
      if (self.invitation.load(std::memory_order_relaxed) != nullptr) {
        if (TeamInvitation* inv = self.invitation.exchange(nullptr, std::memory_order_acq_rel)) {
          set_idle(false);
          detail::run_team_helper(inv);
          wait.restart();
          continue;
        }
      }
      if (pending_.load(std::memory_order_relaxed) > 0) {
        if (Job* job = find_work(self)) {
          set_idle(false);
          execute(job, true);
          idle = true;
          wait.restart();
          continue;
        }
      }
      set_idle(true);
      if (wait.keep_polling()) continue;
      std::unique_lock<std::mutex> lock(sleep_mutex_);
      sleepers_.fetch_add(1);
      sleep_cv_.wait(lock, [&] {
        return pending_.load() > 0 || stopping_.load() || self.invitation.load() != nullptr;
      });
      sleepers_.fetch_sub(1);
      wait.restart();
    }
  }

  // Newest own job first, then the oldest job of another worker, then work
  // handed over from outside.
  Job* find_work(Worker& self) {
    if (Job* job = self.jobs.pop_newest()) {
      pending_.fetch_sub(1, std::memory_order_relaxed);
      return job;
    }
    for (std::size_t i = 1; i < n_; ++i) {
      Worker& victim = *workers_[(self.index + i) % n_];
      if (Job* job = victim.jobs.steal_front()) {
        pending_.fetch_sub(1, std::memory_order_relaxed);
        return job;
      }
    }
    if (Job* job = handed_over_.pop()) {
      pending_.fetch_sub(1, std::memory_order_relaxed);
      return job;
    }
    return nullptr;
  }

  // Takes a handed-over job out of the queue if no worker has taken it.
  bool withdraw(Job* job) {
    if (!handed_over_.remove(job)) return false;
    pending_.fetch_sub(1, std::memory_order_relaxed);
    return true;
  }

  // Runs a job taken from a queue (so on another thread than its offerer,
  // or at least not as a take-back) and reports its completion. A worker
  // going back to its idle loop (`then_idle`) counts itself idle first, so
  // that the job's owner, once it sees the job done, sees an idle worker.
  void execute(Job* job, bool then_idle = false) {
    try {
      job->run(job->ctx, true);
    } catch (...) {
      job->error = std::current_exception();
    }
    if (then_idle) idle_.fetch_add(1);
    const std::uint32_t prev = job->state.exchange(kDone, std::memory_order_acq_rel);
    // `job` may be gone from here on.
    if (prev == kWaiterInPool) {
      { std::lock_guard<std::mutex> lock(sleep_mutex_); }
      sleep_cv_.notify_all();
    } else if (prev == kWaiterOutside) {
      { std::lock_guard<std::mutex> lock(sleep_mutex_); }
      done_cv_.notify_all();
    }
  }

  // Wakes one sleeper, if there is any, after a job was offered. The job
  // counter was raised before the offer, and it and the sleeper count are
  // sequentially consistent against the sleeper's increment-then-check, so
  // no wake-up is lost. The counter is raised first so it never goes below
  // the number of jobs in the queues.
  void wake_one() {
    if (sleepers_.load() > 0) {
      { std::lock_guard<std::mutex> lock(sleep_mutex_); }
      sleep_cv_.notify_one();
    }
  }

  void wake_all() {
    { std::lock_guard<std::mutex> lock(sleep_mutex_); }
    sleep_cv_.notify_all();
  }

  // Sleeps until a worker has finished the job. While the job waits in the
  // queue, the caller looks every kQueuedSlice whether some worker is still
  // idle (and so about to take it) and otherwise withdraws it. A caller that
  // polls an Interrupt (interrupt.h) runs its hook every interval, without
  // the pool's lock; the hook may stop the call, but a job a worker took runs
  // to its end (its loops see the stop flag). Out of line, so that the
  // callers' own fast paths stay small.
  [[gnu::noinline]] HandOver sleep_outside(Job* job) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kQueuedSlice = std::chrono::milliseconds(1);
    const InterruptBinding binding = current_interrupt_binding();
    Interrupt* irq = binding.polls ? binding.interrupt : nullptr;
    const auto interval =
        irq ? std::max<Clock::duration>(irq->interval(), std::chrono::milliseconds(1)) : Clock::duration::max();
    const std::uint64_t generation = g_fork_generation.load();
    auto done = [&] { return job->state.load(std::memory_order_acquire) == kDone; };
    std::unique_lock<std::mutex> lock(sleep_mutex_);
    // The mark stays set until the end, through withdrawals that fail and
    // the hook: the finisher then notifies a condition nobody waits on, and
    // the next wait sees the job done.
    std::uint32_t expected = kPending;
    if (!job->state.compare_exchange_strong(expected, kWaiterOutside)) return HandOver::kDone;
    auto next_poll = irq ? Clock::now() + interval : Clock::time_point::max();
    for (;;) {
      const bool queued = !job->taken.load(std::memory_order_acquire);
      if (queued && idle_.load() == 0) {
        lock.unlock();
        if (withdraw(job)) return HandOver::kTakenBack;
        lock.lock();
        continue;
      }
      const auto until = queued ? std::min(next_poll, Clock::now() + kQueuedSlice) : next_poll;
      if (until == Clock::time_point::max()) {
        done_cv_.wait(lock, done);
        return HandOver::kDone;
      }
      if (done_cv_.wait_until(lock, until, done)) return HandOver::kDone;
      if (Clock::now() < next_poll) continue;
      lock.unlock();
      irq->poll_now();
      // The hook forked and this is the child: this pool is abandoned, its
      // locks may be held for good, and no worker will ever finish the job.
      if (g_fork_generation.load() != generation) {
        if (done()) return HandOver::kDone;
        return job->taken.load(std::memory_order_acquire) ? HandOver::kLost : HandOver::kTakenBack;
      }
      next_poll = Clock::now() + interval;
      lock.lock();
    }
  }

  // Fixed by start() before any worker looks for work.
  std::size_t n_ = 0;
  std::vector<std::unique_ptr<Worker>> workers_;

  std::mutex start_mutex_;
  std::condition_variable start_cv_;
  std::size_t running_ = 0;  // guarded by start_mutex_
  bool sized_ = false;       // guarded by start_mutex_
  std::atomic<bool> stopping_{false};

  std::atomic<std::size_t> pending_{0};  // offered jobs not yet taken
  std::atomic<std::size_t> sleepers_{0};
  // Workers in their idle loop without work: a handed-over job still queued
  // while there are none waits behind other work.
  std::atomic<std::size_t> idle_{0};
  std::mutex sleep_mutex_;
  std::condition_variable sleep_cv_;  // idle workers and waiting pool threads
  std::condition_variable done_cv_;   // callers outside the pool

  HandedOver handed_over_;
};

// --- process-wide state -------------------------------------------------------

std::atomic<Pool*> g_pool{nullptr};
std::mutex g_create_mutex;
// Guarded by g_create_mutex:
std::size_t g_size = 0;        // size fixed once for the process (0: not yet)
bool g_atfork_installed = false;
std::vector<Pool*>* g_abandoned = nullptr;  // pools left behind by fork()

void before_fork() { g_create_mutex.lock(); }
void after_fork_parent() { g_create_mutex.unlock(); }
void after_fork_child() {
  // Only the forking thread exists here. The old pool's workers are gone and
  // its locks may be held by them forever: abandon it untouched.
  Pool* old = g_pool.exchange(nullptr);
  if (old) {
    if (!g_abandoned) g_abandoned = new (std::nothrow) std::vector<Pool*>;
    if (g_abandoned) {
      try {
        g_abandoned->push_back(old);
      } catch (...) {
      }
    }
  }
  tl_worker = nullptr;
  g_fork_generation.fetch_add(1);
  g_create_mutex.unlock();
}

// Creates and publishes a pool of up to n <= kMaxThreads threads. Called
// with g_create_mutex held. When a thread cannot be started, a pool that must
// have all n (`exactly`) is stopped and the error returned with no pool in
// use; otherwise the threads that started make the pool, and with none it is
// a pool without workers. Returns 0 when a pool was published.
int create_locked(std::size_t n, bool exactly) {
  if (!g_atfork_installed) {
    if (pthread_atfork(&before_fork, &after_fork_parent, &after_fork_child) != 0) return ENOMEM;
    g_atfork_installed = true;
  }
  std::unique_ptr<Pool> pool(new (std::nothrow) Pool);
  if (!pool) return ENOMEM;
  const int err = pool->start(n);
  if (err && exactly) {
    pool->stop();
    return err;
  }
  g_size = pool->size();
  g_pool.store(pool.release(), std::memory_order_release);
  return 0;
}

Pool* slow_get_pool() {
  std::lock_guard<std::mutex> lock(g_create_mutex);
  if (Pool* p = g_pool.load(std::memory_order_acquire)) return p;
  // A pool must exist for the parallel loops to run: if not every thread can
  // be started, the pool settles for those that did rather than fail a
  // kernel that has no way to report it.
  (void)create_locked(std::min(g_size ? g_size : default_pool_size(), kMaxThreads), false);
  return g_pool.load(std::memory_order_relaxed);
}

// The pool, created on first use; null only if not even an empty pool
// could be allocated, in which case callers run their work inline.
inline Pool* get_pool() {
  Pool* p = g_pool.load(std::memory_order_acquire);
  return p ? p : slow_get_pool();
}

// Whether handing work to the pool can make it run beside the caller. A pool
// of one thread cannot: the caller would only wait for the one worker to do
// the same items in the same order, paying two wake-ups (tens of
// microseconds on some machines) for nothing, so the caller runs them itself.
bool runs_beside_caller(const Pool& pool) {
  return pool.has_workers() && pool.size() > 1 && !tl_solo;
}

// --- the division rule --------------------------------------------------------

// Runs a and b (b told whether another thread took it) on the current pool
// thread; rethrows the first exception after both have finished.
template <class A, class B>
void join_on(Worker& self, A&& a, B&& b) {
  Pool& pool = *self.pool;
  Job job;
  bind(job, b);
  const bool offered = pool.offer(self, &job);
  std::exception_ptr ea;
  try {
    a();
  } catch (...) {
    ea = std::current_exception();
  }
  if (!offered || pool.take_back(self, &job)) {
    try {
      b(false);
    } catch (...) {
      if (!ea) ea = std::current_exception();
    }
  } else {
    pool.wait_in_pool(self, &job);
    if (!ea) ea = job.error;
  }
  if (ea) std::rethrow_exception(ea);
}

struct Range {
  std::size_t grain;
  std::size_t threads;
  FunctionRef<void(std::size_t, std::size_t)> body;
};

void divide(Worker& self, const Range& r, std::size_t lo, std::size_t hi, std::size_t budget) {
  const std::size_t len = hi - lo;
  if (len < 2 || budget == 0 || len < r.grain) {
    r.body(lo, hi);
    return;
  }
  const std::size_t mid = lo + len / 2;
  const std::size_t half = budget / 2;
  join_on(
      self, [&] { divide(self, r, lo, mid, half); },
      [&](bool stolen) {
        // A stolen half runs on a thread of its own: give it the whole pool
        // to spread over again.
        divide(*tl_worker, r, mid, hi, stolen ? std::max(half, r.threads) : half);
      });
}

// Runs on_worker(worker) on a pool thread: directly when the caller is one,
// else by handing it over. A caller outside the pool that takes its job back
// runs alone() instead, in a SoloScope: the workers are busy with other work.
template <class F, class G>
void on_pool(Pool* pool, F&& on_worker, G&& alone) {
  if (Worker* w = tl_worker; w && w->pool == pool) {
    on_worker(*w);
    return;
  }
  auto run = [&](bool) { on_worker(*tl_worker); };
  Job job;
  bind(job, run);
  switch (pool->run_outside(&job)) {
    case HandOver::kDone:
      if (job.error) std::rethrow_exception(job.error);
      return;
    case HandOver::kTakenBack: {
      const SoloScope solo;
      alone();
      return;
    }
    case HandOver::kLost:
      throw LostToFork();
  }
}

}  // namespace

LostToFork::LostToFork()
    : std::runtime_error(
          "the process forked during a parallel call, whose work was left with the parent's threads") {}

std::size_t pool_num_threads() {
  Pool* pool = get_pool();
  return pool && !tl_solo ? pool->size() : 1;
}

SoloScope::SoloScope() noexcept : outer_(tl_solo) { tl_solo = true; }
SoloScope::~SoloScope() { tl_solo = outer_; }

Status init_global_pool(std::size_t n) {
  if (n == 0) return invalid("number of threads must be greater than 0");
  if (tl_worker) return internal("The current thread is already part of another thread pool.");
  std::lock_guard<std::mutex> lock(g_create_mutex);
  if (g_pool.load(std::memory_order_acquire) || g_size)
    return internal("The global thread pool has already been initialized.");
  if (n > kMaxThreads) return internal("the worker pool is limited to " + dec(kMaxThreads) + " threads");
  if (const int err = create_locked(n, true)) return internal(std::strerror(err));
  return Status::Ok();
}

bool in_pool_thread() { return tl_worker != nullptr; }

void parallel_for(std::size_t n, std::size_t grain, FunctionRef<void(std::size_t, std::size_t)> body) {
  if (n == 0) return;
  Pool* pool = get_pool();
  if (grain == 0) grain = 1;
  if (n == 1 || n < grain || !pool || !runs_beside_caller(*pool)) {
    body(0, n);
    return;
  }
  const Range r{grain, pool->size(), body};
  on_pool(
      pool, [&](Worker& w) { divide(w, r, 0, n, r.threads); }, [&] { body(0, n); });
}

void join(FunctionRef<void()> a, FunctionRef<void()> b) {
  Pool* pool = get_pool();
  if (!pool || !runs_beside_caller(*pool)) {
    a();
    b();
    return;
  }
  on_pool(
      pool, [&](Worker& w) { join_on(w, [&] { a(); }, [&](bool) { b(); }); },
      [&] {
        a();
        b();
      });
}

namespace detail {

std::size_t team_capacity() {
  Pool* pool = get_pool();
  return pool && runs_beside_caller(*pool) ? pool->size() : 1;
}

std::atomic<TeamInvitation*>* team_mailbox(std::size_t i) {
  Pool* pool = g_pool.load(std::memory_order_acquire);
  if (!pool) return nullptr;
  if (Worker* self = tl_worker; self && self->pool == pool && i >= self->index) ++i;
  return i < pool->worker_count() ? &pool->worker(i).invitation : nullptr;
}

void wake_for_invitation() {
  if (Pool* pool = g_pool.load(std::memory_order_acquire)) pool->wake_sleepers();
}

std::uint64_t fork_generation() { return g_fork_generation.load(std::memory_order_relaxed); }

}  // namespace detail
}  // namespace vantrel::sim
