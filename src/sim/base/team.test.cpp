#include "sim/base/team.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/testing/child.h"
#include "sim/testing/parallel.h"

namespace vantrel::sim {
namespace {

using testing::check_coverage;
using testing::env_size;

int run_child(const std::string& test, std::vector<std::pair<std::string, std::string>> env) {
  return testing::run_child("TeamChild." + test, std::move(env));
}

// A team's tasks: every share of every task exactly once, each task complete
// before the next starts (a share of task t reads what task t - 1 wrote),
// and the executor's loops covering their ranges.
void check_team(std::size_t size) {
  const bool inside_share = in_team_share();
  Team team(size);
  EXPECT_GE(team.size(), 1u);
  EXPECT_LE(team.size(), std::min(size, Team::kMaxSize));
  EXPECT_EQ(Team::current(), &team);
  std::vector<std::size_t> slots(Team::kMaxSize, 0);
  std::atomic<int> wrong{0};
  // A participant runs one share at a time: its rank names its scratch.
  std::vector<std::atomic<bool>> busy(team.size());
  for (std::size_t task = 1; task <= 300; ++task) {
    const std::size_t shares = 1 + task % Team::kMaxSize;
    std::vector<std::atomic<int>> hits(shares);
    team.run(shares, [&](std::size_t s) {
      EXPECT_TRUE(in_team_share());
      EXPECT_EQ(Team::current(), nullptr);  // no task inside a task
      hits[s].fetch_add(1);
      const std::size_t me = Team::participant();
      if (me >= team.size() || busy[me].exchange(true)) wrong.fetch_add(1);
      // Every slot still holds the previous task's number.
      for (std::size_t i = s; i < slots.size(); i += shares)
        if (slots[i] + 1 != task) wrong.fetch_add(1);
      for (std::size_t i = s; i < slots.size(); i += shares) slots[i] = task;
      if (me < team.size()) busy[me] = false;
    });
    for (auto& h : hits) ASSERT_EQ(h.load(), 1) << task;
  }
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(in_team_share(), inside_share);
  check_coverage<TeamExecutor>();
}

TEST(Team, TasksRunEveryShareOnceInOrder) {
  check_team(pool_num_threads());
  check_team(Team::kMaxSize + 5);
  check_team(1);
  check_coverage<TeamExecutor>();  // no team: the calling thread
  // Teams led from pool threads (rows of a batch) and a team inside a team's
  // share (a run inside a gradient's share) complete.
  parallel_for(6, 1, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t r = lo; r < hi; ++r) check_team(4);
  });
  Team outer(2);
  outer.run(2, [&](std::size_t) { check_team(2); });
  // In a SoloScope a team is the leader alone.
  const SoloScope solo;
  Team alone(8);
  EXPECT_EQ(alone.size(), 1u);
}

TEST(TeamChild, WithBusyWorkers) {
  CHILD_ONLY();
  alarm(60);  // waiting for a busy worker would hang: fail instead
  const std::size_t n = env_size("POOL_SIZE");
  ASSERT_TRUE(init_global_pool(n).ok());
  check_team(n);
  // Every worker held inside a job until the team below has finished.
  std::atomic<std::size_t> inside{0};
  std::atomic<bool> release{false};
  std::thread holder([&] {
    parallel_for(n, 1, [&](std::size_t lo, std::size_t hi) {
      inside.fetch_add(hi - lo);
      while (!release.load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
    });
  });
  while (inside.load() < n) std::this_thread::sleep_for(std::chrono::microseconds(100));
  check_team(n);  // the leader does every share itself
  release = true;
  holder.join();
  check_team(n);
  // A helper's share far longer than the leader's: the leader goes to sleep
  // waiting for it and is woken when it finishes; the team then ends after
  // its helpers. (The leader's own share leaves the helpers time to come.)
  std::atomic<int> by_helpers{0};
  for (int round = 0; round < 3; ++round) {
    Team team(n);
    std::atomic<int> done{0};
    for (int task = 0; task < 3; ++task)
      team.run(team.size(), [&](std::size_t) {
        const bool helper = Team::participant() != 0;
        by_helpers.fetch_add(helper);
        std::this_thread::sleep_for(std::chrono::milliseconds(helper ? 60 : 20));
        done.fetch_add(1);
      });
    EXPECT_EQ(done.load(), 3 * static_cast<int>(team.size()));
  }
}

TEST(Team, NeverWaitsForBusyWorkers) {
  for (const char* size : {"1", "2", "3", "8"})
    EXPECT_EQ(run_child("WithBusyWorkers", {{"POOL_SIZE", size}}), 0) << size;
}


// A hook the leader runs inside its share forks while a helper is inside
// another share: in the child that task throws LostToFork instead of
// waiting for the parent's helper, the team ends without waiting for it, and
// new teams work; in the parent the task completes.
TEST(TeamChild, ForkInsideAShare) {
  CHILD_ONLY();
  ASSERT_TRUE(init_global_pool(2).ok());
  std::atomic<pid_t> pid{-1};
  std::atomic<bool> helper_in{false};
  bool lost = false;
  {
    Team team(2);
    ASSERT_EQ(team.size(), 2u);
    auto wait_for = [](auto ready) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
      while (!ready() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    };
    try {
      team.run(2, [&](std::size_t) {
        if (Team::participant() != 0) {
          helper_in = true;
          wait_for([&] { return pid.load() >= 0; });
          return;
        }
        wait_for([&] { return helper_in.load(); });
        pid = fork();
        if (pid.load() == 0) alarm(30);  // a hang fails instead of blocking
      });
    } catch (const LostToFork&) {
      lost = true;
    }
  }
  if (pid.load() == 0) {
    int code = lost ? 0 : 1;
    Team team(2);
    std::atomic<int> shares{0};
    for (int task = 0; task < 50; ++task) team.run(2, [&](std::size_t) { shares.fetch_add(1); });
    if (shares.load() != 100) code = 2;
    _exit(code);
  }
  ASSERT_GT(pid.load(), 0);
  EXPECT_TRUE(helper_in.load());
  EXPECT_FALSE(lost);
  int status = 0;
  ASSERT_EQ(waitpid(pid.load(), &status, 0), pid.load());
  ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Team, ForkInsideAShare) { EXPECT_EQ(run_child("ForkInsideAShare", {}), 0); }

}  // namespace
}  // namespace vantrel::sim
