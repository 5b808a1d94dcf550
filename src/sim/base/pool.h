// The process-wide worker pool and the parallel loops built on it.
//
// One pool per process, created by init_global_pool() or, with its default
// size, by the first parallel call. Work is divided by halving a range with a
// split budget that starts at the pool's thread count; the first half runs on
// the current thread, the second is offered to idle workers and run by the
// current thread itself if nobody took it. A caller outside the pool hands the
// whole job over and blocks until it is done, polling the Interrupt bound to
// it meanwhile (interrupt.h). Nested calls from pool threads
// join the same pool and never deadlock: a waiting thread runs pending work.
//
// Exceptions thrown by a body (std::bad_alloc in practice) are carried to the
// caller and rethrown there after every piece has finished.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

#include "sim/base/result.h"

namespace vantrel::sim {

class Interrupt;

// A non-owning reference to a callable; valid while the callable lives.
template <class Sig>
class FunctionRef;
template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef>>>
  FunctionRef(F&& f)  // NOLINT: implicit by design
      : obj_(const_cast<void*>(static_cast<const void*>(&f))),
        call_([](void* o, Args... a) -> R {
          return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<Args>(a)...);
        }) {}
  R operator()(Args... a) const { return call_(obj_, std::forward<Args>(a)...); }

 private:
  void* obj_;
  R (*call_)(void*, Args...);
};

// The most threads a pool may have. A size from the environment above it is
// clamped to it; init_global_pool refuses more. It bounds what a mistyped
// or hostile size (RAYON_NUM_THREADS=18446744073709551615) can cost: the
// pool is made in a fraction of a second either way.
inline constexpr std::size_t kMaxThreads = 4096;

// Threads of the pool, creating it with its default size when it does not
// exist yet: RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the processors
// available to the process (affinity and CPU quota), else 1; at most
// kMaxThreads. Threads are started one at a time; if one cannot be started,
// the pool keeps those that did (none: the callers run all work themselves).
std::size_t pool_num_threads();

// Creates the pool with exactly `n` threads and waits until every worker has
// started. Fails, checked in this order, with kInvalid "number of threads
// must be greater than 0" for n = 0, then with kInternal carrying "The
// current thread is already part of another thread pool." (called from a pool
// thread), "The global thread pool has already been initialized." (a pool
// exists: from an earlier call or a default creation; also in a child forked
// after the parent made its pool), "the worker pool is limited to 4096
// threads" (n > kMaxThreads) or the operating system's error text for the
// first thread that cannot be started (those started are stopped again and
// no pool is then in use).
Status init_global_pool(std::size_t n);

// Processors available to the process: the affinity mask, capped by the
// cgroup CPU quota (rounded up); 1 if unknown. The default pool size.
std::size_t available_processors();

// True on a worker thread of the pool.
bool in_pool_thread();

// While alive, parallel work started on this thread (parallel loops, joins,
// teams) runs on this thread alone, as on a pool of one thread, and
// pool_num_threads() says 1: for calls whose data are better kept in one
// core's caches than shared. Results are the same bits either way.
class SoloScope {
 public:
  SoloScope() noexcept;
  ~SoloScope();
  SoloScope(const SoloScope&) = delete;
  SoloScope& operator=(const SoloScope&) = delete;

 private:
  bool outer_;
};

// Runs body(lo, hi) on disjoint pieces covering [0, n), following the
// division rule. Each piece is processed by one thread; the body handles its
// items in increasing order. Pieces of fewer than `grain` items are not cut
// further, so small ranges run on the calling thread without any hand-over;
// grain = 1 is the plain division rule. Returns when every item is done.
void parallel_for(std::size_t n, std::size_t grain, FunctionRef<void(std::size_t, std::size_t)> body);

// Runs `a` and `b`, possibly in parallel; returns when both are done.
void join(FunctionRef<void()> a, FunctionRef<void()> b);

// Execution policies with one interface, so that a kernel written against a
// policy runs either on the pool or entirely on the calling thread. Both are
// stateless; the sequential twin keeps tests and nested callers free of any
// hand-over.
struct PoolExecutor {
  static std::size_t num_threads() { return pool_num_threads(); }
  static void parallel_for(std::size_t n, std::size_t grain,
                           FunctionRef<void(std::size_t, std::size_t)> body) {
    sim::parallel_for(n, grain, body);
  }
  static void join(FunctionRef<void()> a, FunctionRef<void()> b) { sim::join(a, b); }
};

struct SequentialExecutor {
  static std::size_t num_threads() { return 1; }
  static void parallel_for(std::size_t n, std::size_t,
                           FunctionRef<void(std::size_t, std::size_t)> body) {
    if (n) body(0, n);
  }
  static void join(FunctionRef<void()> a, FunctionRef<void()> b) {
    a();
    b();
  }
};


// A team: the calling thread (its leader) and pool workers that join it,
// running a sequence of tasks for the price of one invitation per team
// instead of one hand-over per task. A task is cut into shares; participant
// r of a team of size t first claims shares r, r + t, ..., then any share
// still unclaimed, so each share is done by exactly one thread, and by the
// same one from task to task while the team keeps its members and pace (so
// the data a share touches stays in that thread's cache). The leader never waits for a helper to arrive or for a busy worker:
// it does every share nobody has claimed, so a team whose helpers never come
// is simply the leader alone. Tasks run strictly one after another: run()
// returns when every share of its task is done, which orders all of the
// task's writes before anything the leader does next.
//
// Invitations go to the mailboxes of idle workers, never to the leader's own
// worker; a worker takes one only from its idle loop. A team led from a pool
// thread is therefore safe (it never waits on anything but shares in
// progress), but costs an invitation per run that busy workers cannot take.
//
// The code of a share must not throw and must not call into the pool
// (parallel_for, join, PoolExecutor): it runs on the thread that claimed it.
// TeamExecutor below runs kernels over the team the calling thread leads.
class Team {
 public:
  static constexpr std::size_t kMaxSize = 32;

  // A team of up to `size` participants, the leader included: capped by the
  // pool's threads and kMaxSize; 1 when the pool cannot run work beside the
  // caller. Invitations are posted here; helpers join when they see them.
  explicit Team(std::size_t size);
  // Retracts the invitations nobody took and waits until every helper that
  // joined has left.
  ~Team();
  Team(const Team&) = delete;
  Team& operator=(const Team&) = delete;

  // Participants the team may have (the leader and its invited workers).
  std::size_t size() const { return size_; }

  // Runs fn(share) for every share in [0, shares) across the participants
  // and returns when all are done. Leader only; shares <= kMaxSize.
  void run(std::size_t shares, FunctionRef<void(std::size_t)> fn);

  // The team the calling thread leads and is not running a task of, or null.
  static Team* current();

  // Inside a share: the rank of the participant running it (0 for the
  // leader, below size()), so that a share can use that participant's
  // scratch whichever share it is.
  static std::size_t participant();

  // Shared with helpers. Public for the pool's workers; not an interface.
  struct Core {
    // Task number (high 32 bits) and the shares claimed (low 32 bits; shares
    // beyond the task's count are marked claimed from the start).
    std::atomic<std::uint64_t> state{0};
    std::atomic<std::uint32_t> done{0};  // shares of the current task finished
    std::atomic<const FunctionRef<void(std::size_t)>*> fn{nullptr};
    std::atomic<std::uint32_t> shares{0};
    std::atomic<bool> finished{false};
    std::atomic<std::uint32_t> left{0};  // helpers that joined and have left
    std::atomic<std::uint32_t> sleepers{0};
    std::mutex mutex;
    std::condition_variable cv;
    // The leader asleep until the shares in progress are done (or the
    // helpers have left): whoever finishes one then wakes it.
    std::atomic<bool> leader_asleep{false};
    std::condition_variable leader_cv;
    std::atomic<bool> failed{false};  // a share threw: `error` holds the first exception
    std::exception_ptr error;
    // The leader's Interrupt for the current task (interrupt.h): helpers
    // running its shares check its stop flag.
    std::atomic<Interrupt*> interrupt{nullptr};
  };
  struct Invitation {
    Core* core = nullptr;
    std::uint32_t rank = 0;
    std::uint32_t size = 1;  // participants of the team
  };

 private:
  std::size_t size_ = 1;
  std::uint32_t task_ = 0;
  bool running_ = false;
  Team* outer_ = nullptr;  // the team this thread led before this one
  Core core_;
  std::size_t posted_ = 0;
  Invitation invitations_[kMaxSize];
  void* mailboxes_[kMaxSize] = {};  // where each invitation was posted
};

// True while the calling thread runs a share of a team's task.
bool in_team_share();

// Kernels written against an execution policy run under this one on the
// team the calling thread leads (Team::current()), each parallel loop being
// one task of the team; without a team they run on the calling thread.
struct TeamExecutor {
  static std::size_t num_threads() {
    const Team* t = Team::current();
    return t ? t->size() : 1;
  }
  static void parallel_for(std::size_t n, std::size_t grain,
                           FunctionRef<void(std::size_t, std::size_t)> body);
  static void join(FunctionRef<void()> a, FunctionRef<void()> b);
};

}  // namespace vantrel::sim
