// Teams: the calling thread (its leader) and pool workers that join it,
// running a sequence of tasks for the price of one invitation per team
// instead of one hand-over per task.
//
// A task is cut into shares; participant r of a team of size t first claims
// shares r, r + t, ..., then any share still unclaimed, so each share is done
// by exactly one thread, and by the same one from task to task while the team
// keeps its members and pace (so the data a share touches stays in that
// thread's cache). The leader never waits for a helper to arrive or for a
// busy worker: it does every share nobody has claimed, so a team whose
// helpers never come is simply the leader alone. Tasks run strictly one after
// another: run() returns when every share of its task is done, which orders
// all of the task's writes before anything the leader does next.
//
// Invitations go to the mailboxes of idle workers, never to the leader's own
// worker; a worker takes one only from its idle loop. A team led from a pool
// thread is therefore safe (it never waits on anything but shares in
// progress), but costs an invitation per run that busy workers cannot take.
//
// The code of a share must not throw and must not call into the pool
// (parallel_for, join, PoolExecutor): it runs on the thread that claimed it.
// TeamExecutor below runs kernels over the team the calling thread leads.
//
// After fork() in a child, a team made in the parent has no helpers: its
// tasks run on the leader alone, and a task whose shares were claimed by the
// parent's helpers when the process forked (from a hook the leader ran
// inside a share) throws LostToFork (pool.h).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>

#include "sim/base/pool.h"

namespace vantrel::sim {

class Interrupt;

// A team's state shared with its helpers (team.cpp); not an interface.
struct TeamCore {
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

// What a worker is given to join a team: the team's shared state, its rank.
struct TeamInvitation {
  TeamCore* core = nullptr;
  std::uint32_t rank = 0;
  std::uint32_t size = 1;  // participants of the team
};

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


 private:
  // Made in another process than this one (before a fork): no helper exists.
  bool orphaned() const;

  std::size_t size_ = 1;
  std::uint32_t task_ = 0;
  bool running_ = false;
  Team* outer_ = nullptr;  // the team this thread led before this one
  std::uint64_t generation_ = 0;  // the process's fork generation at creation
  TeamCore core_;
  std::size_t posted_ = 0;
  TeamInvitation invitations_[kMaxSize];
  std::atomic<TeamInvitation*>* mailboxes_[kMaxSize] = {};  // where each invitation was posted
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
