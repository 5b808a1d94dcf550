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
// Idle threads spin briefly on a shared counter of offered jobs, then yield,
// then sleep on a condition variable; offering a job wakes one sleeper.
//
// After fork() the child has none of the parent's workers: a fork handler
// drops the pool in the child (the old object is abandoned, never touched
// again) and the next parallel call builds a fresh one of the same size.
#include "sim/base/pool.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "sim/base/alloc.h"
#include "sim/base/interrupt.h"

namespace vantrel::sim {
namespace {

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// --- jobs -----------------------------------------------------------------

// Completion states of a job. A waiter that goes to sleep marks the job so
// the thread finishing it knows to wake it; the mark and the completion are
// one atomic word, so the finisher never touches the job after completing
// it (its owner may return and free the frame at once).
enum : std::uint32_t { kPending = 0, kDone = 1, kWaiterInPool = 2, kWaiterOutside = 3 };

struct Job {
  void (*run)(void* ctx, bool stolen) = nullptr;
  void* ctx = nullptr;
  std::atomic<std::uint32_t> state{kPending};
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

class Pool;

// A worker's deque of offered jobs: a fixed ring, the owner at the back,
// thieves at the front. When it is full the owner runs its halves itself.
struct Worker {
  static constexpr std::size_t kCapacity = 256;

  Pool* pool = nullptr;
  std::size_t index = 0;
  pthread_t thread{};
  std::mutex mutex;
  std::atomic<std::size_t> size{0};
  std::size_t head = 0;  // guarded by mutex
  Job* ring[kCapacity] = {};
  // An invitation to join a team, taken from the idle loop only.
  std::atomic<Team::Invitation*> invitation{nullptr};

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

thread_local Worker* tl_worker = nullptr;
// Inside a SoloScope.
thread_local bool tl_solo = false;

void run_team_helper(Team::Invitation* invitation);

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
      err = pthread_create(&w->thread, nullptr, &Pool::thread_main, w.get());
      if (err) break;
      workers_.push_back(std::move(w));  // reserved: cannot throw
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    {
      std::unique_lock<std::mutex> lock(start_mutex_);
      n_ = workers_.size();
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
    if (!w.push(job)) {
      pending_.fetch_sub(1);
      return false;
    }
    wake_one();
    return true;
  }

  bool take_back(Worker& w, Job* job) {
    if (!w.pop_back(job)) return false;
    pending_.fetch_sub(1, std::memory_order_relaxed);
    return true;
  }

  // Hands a job over from a thread outside the pool and blocks until done.
  void run_outside(Job* job) {
    pending_.fetch_add(1);
    {
      std::lock_guard<std::mutex> lock(inject_mutex_);
      job->next = nullptr;
      if (inject_tail_)
        inject_tail_->next = job;
      else
        inject_head_ = job;
      inject_tail_ = job;
    }
    wake_one();
    wait_outside(job);
  }

  // Posts a team invitation to worker w's mailbox unless one is there
  // already; wakes the worker if it sleeps. The mailbox store and the
  // sleeper count are sequentially consistent against the sleeper's
  // increment-then-check, as for offered jobs.
  std::atomic<Team::Invitation*>* post(std::size_t w, Team::Invitation* inv) {
    std::atomic<Team::Invitation*>& box = workers_[w]->invitation;
    Team::Invitation* expected = nullptr;
    if (!box.compare_exchange_strong(expected, inv)) return nullptr;
    if (sleepers_.load() > 0) wake_all();
    return &box;
  }

  std::size_t worker_count() const { return n_; }
  const Worker* worker(std::size_t w) const { return workers_[w].get(); }

  // Waits on a pool thread for an offered job another thread took, running
  // other offered work meanwhile.
  void wait_in_pool(Worker& self, Job* job) {
    unsigned spins = 0;
    for (;;) {
      if (job->state.load(std::memory_order_acquire) == kDone) return;
      if (Job* other = find_work(self)) {
        execute(other);
        spins = 0;
        continue;
      }
      if (++spins < kSpinRounds) {
        cpu_relax();
        continue;
      }
      if (spins < kSpinRounds + kYieldRounds) {
        sched_yield();
        continue;
      }
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
      spins = 0;
    }
  }

 private:
  // Rounds of pause (some tens of nanoseconds each) before yielding, and
  // of yields before sleeping. Measured on two processors: a wake-up through
  // the condition variable costs about as much as the whole hand-over
  // (2-3 us), while longer spinning, above all by the caller outside the
  // pool, takes processor time from the threads doing the work and made the
  // round trip several times slower.
  static constexpr unsigned kSpinRounds = 300;
  static constexpr unsigned kYieldRounds = 10;
  static constexpr unsigned kOutsideSpinRounds = 20;

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
    unsigned spins = 0;
    while (!stopping_.load(std::memory_order_relaxed)) {
      if (self.invitation.load(std::memory_order_relaxed) != nullptr) {
        if (Team::Invitation* inv = self.invitation.exchange(nullptr, std::memory_order_acq_rel)) {
          run_team_helper(inv);
          spins = 0;
          continue;
        }
      }
      if (pending_.load(std::memory_order_relaxed) > 0) {
        if (Job* job = find_work(self)) {
          execute(job);
          spins = 0;
          continue;
        }
      }
      if (++spins < kSpinRounds) {
        cpu_relax();
        continue;
      }
      if (spins < kSpinRounds + kYieldRounds) {
        sched_yield();
        continue;
      }
      std::unique_lock<std::mutex> lock(sleep_mutex_);
      sleepers_.fetch_add(1);
      sleep_cv_.wait(lock, [&] {
        return pending_.load() > 0 || stopping_.load() || self.invitation.load() != nullptr;
      });
      sleepers_.fetch_sub(1);
      spins = 0;
    }
  }

  // Newest own job first, then the oldest job of another worker, then work
  // handed over from outside.
  Job* find_work(Worker& self) {
    if (self.size.load(std::memory_order_relaxed) > 0) {
      std::lock_guard<std::mutex> lock(self.mutex);
      const std::size_t n = self.size.load(std::memory_order_relaxed);
      if (n > 0) {
        self.size.store(n - 1, std::memory_order_relaxed);
        pending_.fetch_sub(1, std::memory_order_relaxed);
        return self.ring[(self.head + n - 1) % Worker::kCapacity];
      }
    }
    for (std::size_t i = 1; i < n_; ++i) {
      Worker& victim = *workers_[(self.index + i) % n_];
      if (Job* job = victim.steal_front()) {
        pending_.fetch_sub(1, std::memory_order_relaxed);
        return job;
      }
    }
    if (inject_head_.load(std::memory_order_relaxed) != nullptr) {
      std::lock_guard<std::mutex> lock(inject_mutex_);
      Job* job = inject_head_.load(std::memory_order_relaxed);
      if (job) {
        inject_head_.store(job->next, std::memory_order_relaxed);
        if (!job->next) inject_tail_ = nullptr;
        pending_.fetch_sub(1, std::memory_order_relaxed);
        return job;
      }
    }
    return nullptr;
  }

  // Runs a job taken from a queue (so on another thread than its offerer,
  // or at least not as a take-back) and reports its completion.
  void execute(Job* job) {
    try {
      job->run(job->ctx, true);
    } catch (...) {
      job->error = std::current_exception();
    }
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

  // A caller outside the pool spins only very briefly: it would otherwise
  // take a processor from the workers doing its job. A caller that polls an
  // Interrupt (interrupt.h) sleeps in slices of its interval and runs its
  // hook between them, without the pool's lock; the hook may stop the call,
  // but the job itself runs to its end (its loops see the stop flag).
  void wait_outside(Job* job) {
    for (unsigned spins = 0; spins < kOutsideSpinRounds; ++spins) {
      if (job->state.load(std::memory_order_acquire) == kDone) return;
      cpu_relax();
    }
    sleep_outside(job);
  }

  // Out of line, so that the callers' own fast paths stay as small as they
  // were.
  [[gnu::noinline]] void sleep_outside(Job* job) {
    const InterruptBinding binding = current_interrupt_binding();
    std::unique_lock<std::mutex> lock(sleep_mutex_);
    std::uint32_t expected = kPending;
    if (!job->state.compare_exchange_strong(expected, kWaiterOutside)) return;
    if (binding.polls)
      wait_polling(job, *binding.interrupt, lock);
    else
      done_cv_.wait(lock, [&] { return job->state.load(std::memory_order_acquire) == kDone; });
  }

  // The mark stays set while the hook runs: the finisher then notifies a
  // condition nobody waits on, and the next wait sees the job done.
  void wait_polling(Job* job, Interrupt& irq,
                                      std::unique_lock<std::mutex>& lock) {
    auto done = [&] { return job->state.load(std::memory_order_acquire) == kDone; };
    const auto slice =
        std::max<std::chrono::nanoseconds>(irq.interval(), std::chrono::milliseconds(1));
    while (!done_cv_.wait_for(lock, slice, done)) {
      lock.unlock();
      irq.poll_now();
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
  std::mutex sleep_mutex_;
  std::condition_variable sleep_cv_;  // idle workers and waiting pool threads
  std::condition_variable done_cv_;   // callers outside the pool

  std::mutex inject_mutex_;
  std::atomic<Job*> inject_head_{nullptr};
  Job* inject_tail_ = nullptr;  // guarded by inject_mutex_
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
  g_create_mutex.unlock();
}

// Parses an unsigned decimal with an optional leading '+'.
bool parse_count(const char* text, std::size_t* out) {
  if (!text) return false;
  if (*text == '+') ++text;
  if (!*text) return false;
  std::size_t v = 0;
  for (; *text; ++text) {
    if (*text < '0' || *text > '9') return false;
    const std::size_t digit = static_cast<std::size_t>(*text - '0');
    if (v > (SIZE_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *out = v;
  return true;
}

// ceil(quota / period) of one cgroup's CPU bandwidth limit, 0 if none.
std::size_t read_cpu_limit(const std::string& dir) {
  auto ceil_div = [](long long q, long long p) -> std::size_t {
    if (q <= 0 || p <= 0) return 0;
    return static_cast<std::size_t>((q + p - 1) / p);
  };
  {
    std::ifstream f(dir + "/cpu.max");  // cgroup v2: "max 100000" or "200000 100000"
    std::string quota;
    long long period = 0;
    if (f >> quota >> period) {
      if (quota == "max") return 0;
      try {
        return ceil_div(std::stoll(quota), period);
      } catch (...) {
        return 0;
      }
    }
  }
  std::ifstream q(dir + "/cpu.cfs_quota_us");  // cgroup v1
  std::ifstream p(dir + "/cpu.cfs_period_us");
  long long quota = 0, period = 0;
  if (q >> quota && p >> period) return ceil_div(quota, period);
  return 0;
}

// The tightest CPU bandwidth limit on the process's cgroup and its
// ancestors (rounded up), or 0 when unlimited or unknown.
std::size_t cgroup_cpu_limit() {
  std::vector<std::string> dirs;
  std::ifstream self("/proc/self/cgroup");
  std::string line;
  while (std::getline(self, line)) {
    // "0::/path" (v2) or "N:cpu,cpuacct:/path" (v1).
    const std::size_t a = line.find(':'), b = line.find(':', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    const std::string controllers = line.substr(a + 1, b - a - 1);
    std::string path = line.substr(b + 1);
    std::string root;
    if (controllers.empty()) {
      root = "/sys/fs/cgroup";
    } else if (("," + controllers + ",").find(",cpu,") != std::string::npos) {
      root = "/sys/fs/cgroup/" + controllers;
      if (!std::ifstream(root + "/cpu.cfs_quota_us")) root = "/sys/fs/cgroup/cpu";
    } else {
      continue;
    }
    for (;;) {
      dirs.push_back(root + (path == "/" ? "" : path));
      if (path.empty() || path == "/") break;
      path = path.substr(0, path.rfind('/'));
      if (path.empty()) path = "/";
    }
  }
  if (dirs.empty()) dirs = {"/sys/fs/cgroup", "/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"};
  std::size_t best = 0;
  for (const std::string& dir : dirs) {
    const std::size_t limit = read_cpu_limit(dir);
    if (limit > 0 && (best == 0 || limit < best)) best = limit;
  }
  return best;
}

}  // namespace

std::size_t available_processors() {
  std::size_t count = 0;
  for (int cpus = 1024; cpus <= (1 << 20) && count == 0; cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (!set) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    if (sched_getaffinity(0, bytes, set) == 0) {
      count = static_cast<std::size_t>(CPU_COUNT_S(bytes, set));
      CPU_FREE(set);
      break;
    }
    const int err = errno;
    CPU_FREE(set);
    if (err != EINVAL) break;
  }
  if (count == 0) {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online > 0) count = static_cast<std::size_t>(online);
  }
  const std::size_t limit = cgroup_cpu_limit();
  if (limit > 0 && (count == 0 || limit < count)) count = limit;
  return count > 0 ? count : 1;
}

namespace {

std::size_t default_size() {
  std::size_t n = 0;
  if (parse_count(std::getenv("RAYON_NUM_THREADS"), &n)) return n > 0 ? n : available_processors();
  if (parse_count(std::getenv("RAYON_RS_NUM_CPUS"), &n) && n > 0) return n;
  return available_processors();
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
  (void)create_locked(std::min(g_size ? g_size : default_size(), kMaxThreads), false);
  return g_pool.load(std::memory_order_relaxed);
}

// The pool, created on first use; null only if not even an empty pool
// could be allocated, in which case callers run their work inline.
inline Pool* get_pool() {
  Pool* p = g_pool.load(std::memory_order_acquire);
  return p ? p : slow_get_pool();
}

// --- the division rule --------------------------------------------------------

// Runs a and b (b told whether another thread took it) on the current pool
// thread; rethrows the first exception after both have finished.
template <class A, class B>
void join_on(Worker& self, A&& a, B&& b) {
  Pool& pool = *self.pool;
  Job job;
  bind(job, b);
  if (!pool.offer(self, &job)) {
    std::exception_ptr ea;
    try {
      a();
    } catch (...) {
      ea = std::current_exception();
    }
    b(false);
    if (ea) std::rethrow_exception(ea);
    return;
  }
  std::exception_ptr ea;
  try {
    a();
  } catch (...) {
    ea = std::current_exception();
  }
  if (pool.take_back(self, &job)) {
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

// Runs f(worker) on a pool thread: directly when the caller is one, else by
// handing it over and blocking.
template <class F>
void on_pool(Pool* pool, F&& f) {
  if (Worker* w = tl_worker; w && w->pool == pool) {
    f(*w);
    return;
  }
  auto run = [&](bool) { f(*tl_worker); };
  Job job;
  bind(job, run);
  pool->run_outside(&job);
  if (job.error) std::rethrow_exception(job.error);
}

}  // namespace

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

namespace {

// Whether handing work to the pool can make it run beside the caller. A pool
// of one thread cannot: the caller would only wait for the one worker to do
// the same items in the same order, paying two wake-ups (tens of
// microseconds on some machines) for nothing, so the caller runs them itself.
bool runs_beside_caller(const Pool& pool) {
  return pool.has_workers() && pool.size() > 1 && !tl_solo;
}

}  // namespace

void parallel_for(std::size_t n, std::size_t grain, FunctionRef<void(std::size_t, std::size_t)> body) {
  if (n == 0) return;
  Pool* pool = get_pool();
  if (grain == 0) grain = 1;
  if (n == 1 || n < grain || !pool || !runs_beside_caller(*pool)) {
    body(0, n);
    return;
  }
  const Range r{grain, pool->size(), body};
  on_pool(pool, [&](Worker& w) { divide(w, r, 0, n, r.threads); });
}

void join(FunctionRef<void()> a, FunctionRef<void()> b) {
  Pool* pool = get_pool();
  if (!pool || !runs_beside_caller(*pool)) {
    a();
    b();
    return;
  }
  on_pool(pool, [&](Worker& w) { join_on(w, [&] { a(); }, [&](bool) { b(); }); });
}

// --- teams ----------------------------------------------------------------------

namespace {

thread_local Team* tl_team = nullptr;
thread_local unsigned tl_share_depth = 0;
thread_local std::uint32_t tl_rank = 0;

// Runs one share as participant `rank`, marking the thread as inside a
// team's task meanwhile.
inline void run_share(const FunctionRef<void(std::size_t)>& fn, std::size_t share, std::uint32_t rank) {
  ++tl_share_depth;
  const std::uint32_t outer_rank = tl_rank;
  tl_rank = rank;
  struct Leave {
    std::uint32_t rank;
    ~Leave() {
      --tl_share_depth;
      tl_rank = rank;
    }
  } leave{outer_rank};
  fn(share);
}

// Waiting in a team: a helper between tasks, or the leader for shares in
// progress, polls for about kTeamPoll (tasks and shares usually come and
// end within it), then sleeps until woken. A count of polls would not do:
// a poll takes a fraction of a nanosecond when nothing changes, so any
// count short enough to bound an idle wait ends before the leader's next
// task on a register where a task takes some tens of microseconds, and the
// helper then sleeps through most tasks. Polling neither yields nor pauses:
// on a loaded machine a yield can hand the processor to another process for
// a whole time slice (seen on two virtual processors: a helper that yielded
// between tasks joined a run only near its end), and loops of pause
// instructions are what hypervisors watch for to take a virtual processor
// away; a sleeper is woken as soon as there is work.
constexpr std::chrono::microseconds kTeamPoll{50};

// True while a wait that started at `start` (set on first use) should keep
// polling; reads the clock every 64 calls.
class PollBudget {
 public:
  bool more() {
    if (++polls_ & 63) return true;
    const auto now = std::chrono::steady_clock::now();
    if (polls_ == 64) start_ = now;
    return now - start_ < kTeamPoll;
  }
  void reset() { polls_ = 0; }

 private:
  std::uint64_t polls_ = 0;
  std::chrono::steady_clock::time_point start_{};
};

inline void team_poll() { __asm__ volatile("" ::: "memory"); }

// After a helper's progress (a share done, leaving the team).
void wake_leader(Team::Core& c) {
  if (!c.leader_asleep.load()) return;
  { std::lock_guard<std::mutex> lock(c.mutex); }
  c.leader_cv.notify_one();
}

// Claims and runs shares of `task` for participant `rank` of `size`: its
// own shares first (those equal to rank modulo size, in increasing order),
// then any other still unclaimed, until none is left or the leader has
// moved on. With more shares than participants, a participant slowed down
// (by other processes on its processor) leaves some of its shares to the
// others, while each share still goes to the same thread whenever all keep
// pace. The task's fields were published before its number
// (release) and the caller has read that number (acquire); a share is run
// only after a claim that saw the same number, so the fields read are that
// task's, and the leader cannot publish the next one before the share is done.
void claim_shares(Team::Core& c, std::uint32_t rank, std::uint32_t size, std::uint32_t task) {
  const std::uint32_t n = c.shares.load(std::memory_order_relaxed);
  const FunctionRef<void(std::size_t)>* fn = c.fn.load(std::memory_order_relaxed);
  // A helper runs the leader's shares bound to the leader's Interrupt, so
  // that work checking for a stop (runs, rows) sees it.
  std::optional<InterruptScope::Worker> bound;
  if (Interrupt* irq = c.interrupt.load(std::memory_order_relaxed); irq != nullptr && rank != 0)
    bound.emplace(irq);
  // Runs `share` if it is still free; false once the task has moved on.
  auto claim = [&](std::uint32_t share) {
    const std::uint64_t bit = std::uint64_t{1} << share;
    std::uint64_t cur = c.state.load(std::memory_order_relaxed);
    for (;;) {
      if ((cur >> 32) != task) return false;
      if (cur & bit) return true;
      if (c.state.compare_exchange_weak(cur, cur | bit, std::memory_order_acq_rel,
                                        std::memory_order_relaxed)) {
        try {
          run_share(*fn, share, rank);
        } catch (...) {
          if (!c.failed.exchange(true, std::memory_order_acq_rel)) c.error = std::current_exception();
        }
        c.done.fetch_add(1);
        if (rank != 0) wake_leader(c);
        return true;
      }
    }
  };
  for (std::uint32_t share = rank; share < n; share += size)
    if (!claim(share)) return;
  for (std::uint32_t j = 1; j < n; ++j) {
    const std::uint32_t share = (rank + j) % n;
    if (share % size != rank && !claim(share)) return;
  }
}

// The leader's wait for work in progress (shares being run, helpers
// leaving): it polls, then sleeps until a helper that finishes a share or
// leaves wakes it. Sleeping also matters when a helper shares its processor
// with other work: a leader polling on that processor would take the time
// the helper needs. The flag and the progress counters are sequentially
// consistent against the helper's update-then-check, so no wake-up is lost.
template <class Pred>
void wait_until(Team::Core& c, Pred done) {
  PollBudget budget;
  while (!done()) {
    if (budget.more()) {
      team_poll();
      continue;
    }
    std::unique_lock<std::mutex> lock(c.mutex);
    c.leader_asleep.store(true);
    c.leader_cv.wait(lock, done);
    c.leader_asleep.store(false);
    return;
  }
}

void wake_sleepers(Team::Core& c) {
  if (c.sleepers.load() == 0) return;
  { std::lock_guard<std::mutex> lock(c.mutex); }
  c.cv.notify_all();
}

// A worker's life in a team it joined through `inv`, from its idle loop.
void run_team_helper(Team::Invitation* inv) {
  Team::Core& c = *inv->core;
  const std::uint32_t rank = inv->rank;
  const std::uint32_t size = inv->size;
  std::uint32_t seen = 0;  // tasks are numbered from 1
  PollBudget budget;
  for (;;) {
    const std::uint32_t task = static_cast<std::uint32_t>(c.state.load(std::memory_order_acquire) >> 32);
    if (task != seen) {
      claim_shares(c, rank, size, task);
      seen = task;
      budget.reset();
      continue;
    }
    if (c.finished.load(std::memory_order_acquire)) break;
    if (budget.more()) {
      team_poll();
      continue;
    }
    std::unique_lock<std::mutex> lock(c.mutex);
    c.sleepers.fetch_add(1);
    c.cv.wait(lock, [&] { return (c.state.load() >> 32) != seen || c.finished.load(); });
    c.sleepers.fetch_sub(1);
    budget.reset();
  }
  // The leader may return as soon as it sees this: the wake-up takes the
  // lock first, and the leader cannot be asleep past it (it waits under that
  // lock with this count in its condition).
  std::lock_guard<std::mutex> lock(c.mutex);
  c.left.fetch_add(1);
  c.leader_cv.notify_one();
}

}  // namespace

Team::Team(std::size_t size) : outer_(tl_team) {
  tl_team = this;
  Pool* pool = get_pool();
  if (!pool || !runs_beside_caller(*pool) || size <= 1) return;
  size_ = std::min({size, pool->size(), kMaxSize});
  const Worker* self = tl_worker && tl_worker->pool == pool ? tl_worker : nullptr;
  std::uint32_t rank = 1;
  for (std::size_t w = 0; w < pool->worker_count() && rank < size_; ++w) {
    if (pool->worker(w) == self) continue;
    Invitation& inv = invitations_[posted_];
    inv.core = &core_;
    inv.rank = rank++;
    inv.size = static_cast<std::uint32_t>(size_);
    if (std::atomic<Invitation*>* box = pool->post(w, &inv)) mailboxes_[posted_++] = box;
  }
}

Team::~Team() {
  tl_team = outer_;
  if (posted_ == 0) return;
  core_.finished.store(true);
  wake_sleepers(core_);
  std::uint32_t taken = 0;
  for (std::size_t i = 0; i < posted_; ++i) {
    auto* box = static_cast<std::atomic<Invitation*>*>(mailboxes_[i]);
    Invitation* expected = &invitations_[i];
    if (!box->compare_exchange_strong(expected, nullptr)) ++taken;
  }
  // Helpers that took an invitation see `finished` and leave promptly.
  wait_until(core_, [&] { return core_.left.load() == taken; });
  // The last helper counted itself under the lock: once the lock is free it
  // has let go of the team.
  { std::lock_guard<std::mutex> lock(core_.mutex); }
}

Team* Team::current() { return tl_team && !tl_team->running_ ? tl_team : nullptr; }

bool in_team_share() { return tl_share_depth > 0; }

std::size_t Team::participant() { return tl_rank; }

void Team::run(std::size_t shares, FunctionRef<void(std::size_t)> fn) {
  if (shares == 0) return;
  running_ = true;
  if (posted_ == 0 || shares == 1) {
    struct Done {
      bool& running;
      ~Done() { running = false; }
    } done{running_};
    for (std::size_t s = 0; s < shares; ++s) run_share(fn, s, 0);
    return;
  }
  const std::uint32_t task = ++task_;
  core_.fn.store(&fn, std::memory_order_relaxed);
  core_.shares.store(static_cast<std::uint32_t>(shares), std::memory_order_relaxed);
  core_.done.store(0, std::memory_order_relaxed);
  core_.interrupt.store(current_interrupt(), std::memory_order_relaxed);
  const std::uint64_t unused = shares >= 32 ? 0 : ~((std::uint64_t{1} << shares) - 1) & 0xFFFFFFFFu;
  core_.state.store(std::uint64_t{task} << 32 | unused);
  wake_sleepers(core_);
  claim_shares(core_, 0, static_cast<std::uint32_t>(size_), task);
  wait_until(core_, [&] { return core_.done.load() == shares; });
  running_ = false;
  if (core_.failed.load(std::memory_order_acquire)) {
    core_.failed.store(false, std::memory_order_relaxed);
    std::rethrow_exception(std::exchange(core_.error, nullptr));
  }
}

void TeamExecutor::parallel_for(std::size_t n, std::size_t grain,
                                FunctionRef<void(std::size_t, std::size_t)> body) {
  if (n == 0) return;
  Team* team = Team::current();
  const std::size_t pieces = std::max<std::size_t>(1, n / std::max<std::size_t>(1, grain));
  const std::size_t shares = team ? std::min(team->size(), pieces) : 1;
  if (shares <= 1) {
    body(0, n);
    return;
  }
  const std::size_t base = n / shares, extra = n % shares;
  team->run(shares, [&](std::size_t s) {
    const std::size_t lo = s * base + std::min(s, extra);
    body(lo, lo + base + (s < extra ? 1 : 0));
  });
}

void TeamExecutor::join(FunctionRef<void()> a, FunctionRef<void()> b) {
  Team* team = Team::current();
  if (!team || team->size() == 1) {
    a();
    b();
    return;
  }
  team->run(2, [&](std::size_t s) {
    if (s == 0) {
      a();
    } else {
      b();
    }
  });
}

}  // namespace vantrel::sim
