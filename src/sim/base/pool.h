// The process-wide worker pool and the parallel loops built on it.
//
// One pool per process, created by init_global_pool() or, with its default
// size (processors.h), by the first parallel call. Work is divided by halving
// a range with a split budget that starts at the pool's thread count; the
// first half runs on the current thread, the second is offered to idle
// workers and run by the current thread itself if nobody took it. A caller
// outside the pool hands the whole job over and waits until it is done,
// polling the Interrupt bound to it meanwhile (interrupt.h); if no worker has
// taken the job within its first wait (the workers are busy with other
// callers' work), the caller takes it back and runs it itself, so that
// callers from several threads each make progress. Nested calls from pool
// threads join the same pool and never deadlock: a waiting thread runs
// pending work. Teams (team.h) are built on the pool's workers.
//
// Exceptions thrown by a body (std::bad_alloc in practice) are carried to the
// caller and rethrown there after every piece has finished.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "sim/base/result.h"

namespace vantrel::sim {

struct TeamInvitation;

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

// Each worker's stack. Work on the pool keeps its data on the heap and its
// frames hold at most some kilobytes each (the whole test suite passes on a
// quarter of this). The system's default (commonly 8 MiB) would make a pool
// of kMaxThreads reserve 32 GiB of address space; this makes it 2 GiB.
inline constexpr std::size_t kWorkerStackBytes = std::size_t{1} << 19;

// Threads of the pool, creating it with its default size when it does not
// exist yet (default_pool_size(), processors.h; at most kMaxThreads). Threads are started one at a time; if one cannot be started,
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


// Thrown by parallel_for, join and a team's run in a child process forked
// while the call waited (from the Interrupt's hook) when part of the call's
// work had been taken by the parent's workers: that work cannot be finished
// in the child, and the call's state is not to be used.
class LostToFork : public std::runtime_error {
 public:
  LostToFork();
};

// For teams (team.cpp); not an interface.
namespace detail {
// Threads a team led by the calling thread may have, the leader included:
// the pool's size, or 1 when the pool cannot run work beside the caller.
std::size_t team_capacity();
// The mailbox of the i-th worker other than the calling one, null past the
// last; a worker takes an invitation from it only in its idle loop.
std::atomic<TeamInvitation*>* team_mailbox(std::size_t i);
// Wakes sleeping workers after an invitation was posted. The post and this
// call's look at the sleeper count are sequentially consistent against a
// sleeper's increment-then-check, so no invitation is slept through.
void wake_for_invitation();
// A worker's life in the team it was invited to, run from its idle loop.
void run_team_helper(TeamInvitation* invitation);
// Counts the fork() children this process descends from, the current one
// included: work made in a parent has no threads left in a child.
std::uint64_t fork_generation();
}  // namespace detail

}  // namespace vantrel::sim
