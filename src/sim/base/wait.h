// How every thread of the pool and its teams waits (pool.cpp, team.cpp): an
// idle worker for work, a pool thread for a job another thread took, a
// caller for the job it handed over, a team's helpers for the next task and
// its leader for shares in progress.
//
// A waiter polls its condition for about kPoll by the clock (work usually
// comes or ends within it), then sleeps on a condition variable until whoever
// changes the condition wakes it. Polling neither yields nor pauses: on a
// loaded machine a yield can hand the processor to another process for a
// whole time slice (seen on two virtual processors: a helper that yielded
// between tasks joined a run only near its end), and loops of pause
// instructions are what hypervisors watch for to take a virtual processor
// away. A count of polls would not do either: a poll takes a fraction of a
// nanosecond when nothing changes, so any count short enough to bound an idle
// wait ends before the next task on a register where a task takes some tens
// of microseconds.
#pragma once

#include <chrono>
#include <cstdint>

namespace vantrel::sim {

class PollThenSleep {
 public:
  static constexpr std::chrono::microseconds kPoll{50};

  // Called once per poll of the condition: true while the waiter should poll
  // again, false once it is time to sleep. Reads the clock every 64 calls
  // (the first read starts the budget).
  bool keep_polling() noexcept {
    __asm__ volatile("" ::: "memory");  // the condition is read afresh
    if (++polls_ & 63) return true;
    const auto now = std::chrono::steady_clock::now();
    if (polls_ == 64) start_ = now;
    return now - start_ < kPoll;
  }

  // After progress (work found, a wake-up): a full budget again.
  void restart() noexcept { polls_ = 0; }

 private:
  std::uint64_t polls_ = 0;
  std::chrono::steady_clock::time_point start_{};
};

}  // namespace vantrel::sim
