#include "sim/base/team.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "sim/base/interrupt.h"
#include "sim/base/wait.h"

namespace vantrel::sim {
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

// After a helper's progress (a share done, leaving the team).
void wake_leader(TeamCore& c) {
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
void claim_shares(TeamCore& c, std::uint32_t rank, std::uint32_t size, std::uint32_t task) {
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
void wait_until(TeamCore& c, Pred done) {
  PollThenSleep wait;
  while (!done()) {
    if (wait.keep_polling()) continue;
    std::unique_lock<std::mutex> lock(c.mutex);
    c.leader_asleep.store(true);
    c.leader_cv.wait(lock, done);
    c.leader_asleep.store(false);
    return;
  }
}

void wake_sleepers(TeamCore& c) {
  if (c.sleepers.load() == 0) return;
  { std::lock_guard<std::mutex> lock(c.mutex); }
  c.cv.notify_all();
}

}  // namespace

// A worker's life in a team it joined through `inv`, from its idle loop.
void detail::run_team_helper(TeamInvitation* inv) {
  TeamCore& c = *inv->core;
  const std::uint32_t rank = inv->rank;
  const std::uint32_t size = inv->size;
  std::uint32_t seen = 0;  // tasks are numbered from 1
  PollThenSleep wait;
  for (;;) {
    const std::uint32_t task = static_cast<std::uint32_t>(c.state.load(std::memory_order_acquire) >> 32);
    if (task != seen) {
      claim_shares(c, rank, size, task);
      seen = task;
      wait.restart();
      continue;
    }
    if (c.finished.load(std::memory_order_acquire)) break;
    if (wait.keep_polling()) continue;
    std::unique_lock<std::mutex> lock(c.mutex);
    c.sleepers.fetch_add(1);
    c.cv.wait(lock, [&] { return (c.state.load() >> 32) != seen || c.finished.load(); });
    c.sleepers.fetch_sub(1);
    wait.restart();
  }
  // The leader may return as soon as it sees this: the wake-up takes the
  // lock first, and the leader cannot be asleep past it (it waits under that
  // lock with this count in its condition).
  std::lock_guard<std::mutex> lock(c.mutex);
  c.left.fetch_add(1);
  c.leader_cv.notify_one();
}

Team::Team(std::size_t size) : outer_(tl_team), generation_(detail::fork_generation()) {
  tl_team = this;
  const std::size_t capacity = detail::team_capacity();
  if (capacity <= 1 || size <= 1) return;
  size_ = std::min({size, capacity, kMaxSize});
  for (std::uint32_t rank = 1; rank < size_; ++rank) {
    std::atomic<TeamInvitation*>* box = detail::team_mailbox(rank - 1);
    if (!box) break;
    TeamInvitation& inv = invitations_[posted_];
    inv.core = &core_;
    inv.rank = rank;
    inv.size = static_cast<std::uint32_t>(size_);
    TeamInvitation* expected = nullptr;  // a worker holds one invitation at a time
    if (box->compare_exchange_strong(expected, &inv)) mailboxes_[posted_++] = box;
  }
  if (posted_ > 0) detail::wake_for_invitation();
}

Team::~Team() {
  tl_team = outer_;
  // In a child forked while the team lived, the helpers (and the pool whose
  // mailboxes hold the invitations) stayed in the parent.
  if (posted_ == 0 || orphaned()) return;
  core_.finished.store(true);
  wake_sleepers(core_);
  std::uint32_t taken = 0;
  for (std::size_t i = 0; i < posted_; ++i) {
    TeamInvitation* expected = &invitations_[i];
    if (!mailboxes_[i]->compare_exchange_strong(expected, nullptr)) ++taken;
  }
  // Helpers that took an invitation see `finished` and leave promptly.
  wait_until(core_, [&] { return core_.left.load() == taken; });
  // The last helper counted itself under the lock: once the lock is free it
  // has let go of the team.
  { std::lock_guard<std::mutex> lock(core_.mutex); }
}

bool Team::orphaned() const { return detail::fork_generation() != generation_; }

Team* Team::current() { return tl_team && !tl_team->running_ ? tl_team : nullptr; }

bool in_team_share() { return tl_share_depth > 0; }

std::size_t Team::participant() { return tl_rank; }

void Team::run(std::size_t shares, FunctionRef<void(std::size_t)> fn) {
  if (shares == 0) return;
  running_ = true;
  if (posted_ == 0 || shares == 1 || orphaned()) {
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
  if (orphaned() && core_.done.load() != shares) {
    // A hook the leader ran inside its share forked: shares the parent's
    // helpers claimed will never be done here.
    running_ = false;
    throw LostToFork();
  }
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
