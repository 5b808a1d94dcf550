#include "sim/base/pool.h"
#include "sim/testing/child.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/base/interrupt.h"
#include "sim/testing/sanitizers.h"

#if defined(__SANITIZE_THREAD__)
// The fork test starts the child's pool after a multi-threaded fork, which
// the race detector refuses by default.
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif

namespace vantrel::sim {
namespace {

using testing::env_size;

// The pool's size is fixed once per process, so tests that need a given size
// or environment run in a fresh copy of this test binary (PoolChild.*).
int run_child(const std::string& test, std::vector<std::pair<std::string, std::string>> env) {
  return testing::run_child("PoolChild." + test, std::move(env));
}

// Every item exactly once, pieces disjoint, for a spread of sizes and grains.
template <class Exec>
void check_coverage() {
  for (std::size_t n : {0u, 1u, 2u, 3u, 7u, 64u, 1000u, 4097u}) {
    for (std::size_t grain : {0u, 1u, 5u, 64u, 5000u}) {
      std::vector<std::atomic<int>> hits(n);
      Exec::parallel_for(n, grain, [&](std::size_t lo, std::size_t hi) {
        ASSERT_LT(lo, hi);
        for (std::size_t i = lo; i < hi; ++i) hits[i].fetch_add(1);
      });
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << n << " " << grain;
    }
  }
}

// Outer loop of rows, each running its own parallel loop and a join, as a
// batch row starting a kernel does.
void check_nested(std::size_t rows) {
  std::vector<std::atomic<std::size_t>> sums(rows);
  std::atomic<int> joins{0};
  parallel_for(rows, 1, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t r = lo; r < hi; ++r) {
      parallel_for(1000 + r, 1, [&](std::size_t a, std::size_t b) {
        std::size_t s = 0;
        for (std::size_t i = a; i < b; ++i) s += i;
        sums[r].fetch_add(s);
      });
      join([&] { joins.fetch_add(1); },
           [&] { parallel_for(50, 1, [&](std::size_t a, std::size_t b) { joins.fetch_add(int(b - a)); }); });
    }
  });
  for (std::size_t r = 0; r < rows; ++r) {
    const std::size_t n = 1000 + r;
    EXPECT_EQ(sums[r].load(), n * (n - 1) / 2);
  }
  EXPECT_EQ(joins.load(), int(rows * 51));
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

TEST(Pool, ParallelForCoversEveryItemOnce) {
  check_coverage<PoolExecutor>();
  check_coverage<SequentialExecutor>();
}

TEST(Pool, SmallRangesStayOnTheCallingThread) {
  const auto caller = std::this_thread::get_id();
  for (auto [n, grain] : {std::pair<std::size_t, std::size_t>{1, 1}, {1, 0}, {99, 100}}) {
    int calls = 0;
    parallel_for(n, grain, [&](std::size_t lo, std::size_t hi) {
      ++calls;
      EXPECT_EQ(std::this_thread::get_id(), caller);
      EXPECT_FALSE(in_pool_thread());
      EXPECT_EQ(lo, 0u);
      EXPECT_EQ(hi, n);
    });
    EXPECT_EQ(calls, 1);
  }
}

// In a SoloScope everything runs whole on the calling thread, as on a pool
// of one thread; the scopes nest and restore what they found.
TEST(Pool, SoloScopesKeepWorkOnTheCallingThread) {
  const auto caller = std::this_thread::get_id();
  const std::size_t threads = pool_num_threads();
  {
    const SoloScope solo;
    {
      const SoloScope inner;
      EXPECT_EQ(pool_num_threads(), 1u);
    }
    EXPECT_EQ(pool_num_threads(), 1u);
    int calls = 0;
    parallel_for(1 << 20, 1, [&](std::size_t lo, std::size_t hi) {
      ++calls;
      EXPECT_EQ(std::this_thread::get_id(), caller);
      EXPECT_EQ(hi - lo, std::size_t{1} << 20);
    });
    EXPECT_EQ(calls, 1);
    join([&] { EXPECT_EQ(std::this_thread::get_id(), caller); },
         [&] { EXPECT_EQ(std::this_thread::get_id(), caller); });
    Team team(8);
    EXPECT_EQ(team.size(), 1u);
  }
  EXPECT_EQ(pool_num_threads(), threads);
}

TEST(Pool, NestedCallsComplete) { check_nested(16); }

TEST(Pool, ExceptionsReachTheCaller) {
  for (std::size_t grain : {1u, 10u}) {
    EXPECT_THROW(parallel_for(1000, grain,
                              [](std::size_t lo, std::size_t hi) {
                                if (lo <= 637 && 637 < hi) throw std::bad_alloc();
                              }),
                 std::bad_alloc);
  }
  EXPECT_THROW(parallel_for(5, 10, [](std::size_t, std::size_t) { throw std::runtime_error("x"); }),
               std::runtime_error);
  EXPECT_THROW(join([] {}, [] { throw std::bad_alloc(); }), std::bad_alloc);
  // The first half's exception wins, after the second half has run.
  std::atomic<bool> b_ran{false};
  try {
    join([] { throw std::runtime_error("a"); },
         [&] {
           b_ran = true;
           throw std::runtime_error("b");
         });
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "a");
  }
  EXPECT_TRUE(b_ran.load());
  // Thrown from a nested loop inside a pool thread.
  EXPECT_THROW(parallel_for(8, 1,
                            [](std::size_t lo, std::size_t hi) {
                              for (std::size_t row = lo; row < hi; ++row)
                                parallel_for(100, 1, [&](std::size_t a, std::size_t b) {
                                  if (row == 3 && a <= 42 && 42 < b) throw std::bad_alloc();
                                });
                            }),
               std::bad_alloc);
  // And the pool still works.
  check_nested(4);
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
}

TEST(Pool, ZeroThreadsIsRefused) {
  const Status s = init_global_pool(0);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind, ErrorKind::kInvalid);
  EXPECT_EQ(s.error().message, "number of threads must be greater than 0");
}

// --- sizing and lifecycle, each in a fresh process ---------------------------

TEST(PoolChild, Sizing) {
  CHILD_ONLY();
  const char* expect = std::getenv("EXPECT_THREADS");
  const std::size_t want = std::string(expect) == "cpus" ? available_processors() : env_size("EXPECT_THREADS");
  EXPECT_EQ(pool_num_threads(), want);
  // The default creation fixed the size.
  const Status s = init_global_pool(2);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message, "The global thread pool has already been initialized.");
  EXPECT_EQ(pool_num_threads(), want);
}

TEST(Pool, SizeFromEnvironment) {
  using Env = std::vector<std::pair<std::string, std::string>>;
  const std::vector<std::pair<Env, std::string>> cases = {
      {{{"RAYON_NUM_THREADS", "3"}}, "3"},
      {{{"RAYON_NUM_THREADS", "+5"}}, "5"},
      {{{"RAYON_NUM_THREADS", "3"}, {"RAYON_RS_NUM_CPUS", "5"}}, "3"},
      {{{"RAYON_NUM_THREADS", "0"}, {"RAYON_RS_NUM_CPUS", "5"}}, "cpus"},
      {{{"RAYON_NUM_THREADS", "many"}, {"RAYON_RS_NUM_CPUS", "2"}}, "2"},
      {{{"RAYON_NUM_THREADS", "-1"}, {"RAYON_RS_NUM_CPUS", "2"}}, "2"},
      {{{"RAYON_NUM_THREADS", " 4"}, {"RAYON_RS_NUM_CPUS", "+3"}}, "3"},
      {{{"RAYON_NUM_THREADS", "99999999999999999999999"}}, "cpus"},
      {{{"RAYON_NUM_THREADS", ""}, {"RAYON_RS_NUM_CPUS", "0"}}, "cpus"},
      {{{"RAYON_RS_NUM_CPUS", "4"}}, "4"},
      {{}, "cpus"},
  };
  for (const auto& [env, want] : cases) {
    Env e = env;
    e.emplace_back("EXPECT_THREADS", want);
    EXPECT_EQ(run_child("Sizing", e), 0) << (env.empty() ? "no env" : env[0].second);
  }
}

TEST(PoolChild, InitOnce) {
  CHILD_ONLY();
  ASSERT_TRUE(init_global_pool(4).ok());
  EXPECT_EQ(pool_num_threads(), 4u);
  const Status s = init_global_pool(2);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind, ErrorKind::kInternal);
  EXPECT_EQ(s.error().message, "The global thread pool has already been initialized.");
  EXPECT_EQ(pool_num_threads(), 4u);
  // From a pool thread.
  std::vector<std::string> messages(8);
  parallel_for(8, 1, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) {
      const Status t = init_global_pool(3);
      messages[i] = t.ok() ? "ok" : t.error().message;
    }
  });
  for (const auto& m : messages) EXPECT_EQ(m, "The current thread is already part of another thread pool.");
}

TEST(Pool, InitOnlyOnce) { EXPECT_EQ(run_child("InitOnce", {}), 0); }


std::size_t status_kib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::strtoull(line.c_str() + std::strlen(field), nullptr, 10);
  return 0;
}

TEST(PoolChild, HugeSizeFromTheEnvironmentIsClamped) {
  CHILD_ONLY();
  const std::size_t n = pool_num_threads();
  EXPECT_GE(n, 1u);
  EXPECT_LE(n, kMaxThreads);
  // Nothing is allocated for threads that never start: the old halving
  // reached gigabytes here.
  if (!kSanitized) {
    EXPECT_LT(status_kib("VmHWM:"), 1024u * 1024u);
  }
  const Status s = init_global_pool(kMaxThreads + 1);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message, "The global thread pool has already been initialized.");
}

// With an address-space limit that leaves room for a few thread stacks only,
// creation stops at the first thread that cannot start.
TEST(PoolChild, StopsAtTheFirstThreadThatCannotStart) {
  CHILD_ONLY();
  if (kSanitized) GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
  const Status over = init_global_pool(kMaxThreads + 1);
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error().message, "the worker pool is limited to 4096 threads");
  const rlimit limit{(status_kib("VmSize:") + 40 * 1024) * 1024, RLIM_INFINITY};
  ASSERT_EQ(setrlimit(RLIMIT_AS, &limit), 0);
  const Status s = init_global_pool(64);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind, ErrorKind::kInternal);
  EXPECT_TRUE(s.error().message == std::strerror(EAGAIN) ||
              s.error().message == std::strerror(ENOMEM))
      << s.error().message;
  // No pool is in use: the default creation keeps what it can start.
  setenv("RAYON_NUM_THREADS", "64", 1);
  const std::size_t n = pool_num_threads();
  EXPECT_GE(n, 1u);
  EXPECT_LT(n, 64u);
  check_nested(8);
}

TEST(Pool, CreationStopsAtTheLimitOrTheFirstFailure) {
  EXPECT_EQ(run_child("HugeSizeFromTheEnvironmentIsClamped",
                      {{"RAYON_NUM_THREADS", "18446744073709551615"}}),
            0);
  EXPECT_EQ(run_child("StopsAtTheFirstThreadThatCannotStart", {}), 0);
}

TEST(PoolChild, Nested) {
  CHILD_ONLY();
  const std::size_t n = env_size("POOL_SIZE");
  (void)init_global_pool(n);  // already made by an earlier repetition
  ASSERT_EQ(pool_num_threads(), n);
  // A caller outside the pool hands its work over, except to a pool of one
  // thread, where it runs the work itself.
  std::atomic<int> outside{0};
  parallel_for(64, 1, [&](std::size_t, std::size_t) {
    if (!in_pool_thread()) outside.fetch_add(1);
  });
  EXPECT_EQ(outside.load(), n > 1 ? 0 : 1);
  EXPECT_FALSE(in_pool_thread());
  // While it waits for the workers, it polls its Interrupt on its own thread.
  struct Polls {
    std::thread::id caller = std::this_thread::get_id();
    std::atomic<int> count{0}, elsewhere{0};
  } polls;
  Interrupt irq(
      [](void* p) {
        auto& self = *static_cast<Polls*>(p);
        self.count.fetch_add(1);
        if (std::this_thread::get_id() != self.caller) self.elsewhere.fetch_add(1);
        return false;
      },
      &polls, std::chrono::milliseconds(1));
  {
    InterruptScope bound(irq);
    parallel_for(16, 1, [](std::size_t lo, std::size_t hi) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5) * (hi - lo));
    });
  }
  EXPECT_EQ(polls.elsewhere.load(), 0);
  if (n > 1) {
    EXPECT_GE(polls.count.load(), 1);
  }
  check_coverage<PoolExecutor>();
  check_nested(32);
  check_team(n);
  // Several threads outside the pool at once.
  std::vector<std::thread> callers;
  for (int t = 0; t < 3; ++t) callers.emplace_back([] { check_nested(8); });
  for (auto& c : callers) c.join();
  // Idle workers pick up offered halves: with more than one thread, some
  // piece of a long loop runs on a different worker than the first.
  if (n > 1) {
    std::atomic<int> distinct{0};
    for (int attempt = 0; attempt < 50 && distinct.load() < 2; ++attempt) {
      std::vector<std::atomic<std::thread::id>> ids(64);
      parallel_for(64, 1, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) {
          ids[i] = std::this_thread::get_id();
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
      });
      int d = 1;
      for (auto& id : ids)
        if (id.load() != ids[0].load()) d = 2;
      distinct = d;
    }
    EXPECT_EQ(distinct.load(), 2);
  }
}

TEST(PoolChild, TeamWithBusyWorkers) {
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

TEST(Pool, TeamsNeverWaitForBusyWorkers) {
  for (const char* size : {"2", "3"}) EXPECT_EQ(run_child("TeamWithBusyWorkers", {{"POOL_SIZE", size}}), 0) << size;
}

TEST(Pool, NestedCallsAtEverySize) {
  for (const char* size : {"1", "2", "8"}) EXPECT_EQ(run_child("Nested", {{"POOL_SIZE", size}}), 0) << size;
}

TEST(PoolChild, ForkedChildRebuildsThePool) {
  CHILD_ONLY();
  ASSERT_TRUE(init_global_pool(2).ok());
  check_nested(4);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(30);  // a hang fails instead of blocking
    std::atomic<std::size_t> sum{0};
    parallel_for(10000, 1, [&](std::size_t lo, std::size_t hi) {
      for (std::size_t i = lo; i < hi; ++i) sum.fetch_add(i);
    });
    int code = sum.load() == 10000u * 9999u / 2 ? 0 : 1;
    if (pool_num_threads() != 2) code = 2;
    const Status s = init_global_pool(3);
    if (s.ok() || s.error().message != "The global thread pool has already been initialized.") code = 3;
    std::atomic<bool> on_worker{false};
    parallel_for(2, 1, [&](std::size_t, std::size_t) { on_worker = in_pool_thread(); });
    if (!on_worker.load()) code = 4;
    {
      Team team(2);
      std::atomic<int> shares{0};
      for (int task = 0; task < 50; ++task) team.run(2, [&](std::size_t) { shares.fetch_add(1); });
      if (shares.load() != 100) code = 5;
    }
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  check_nested(4);  // the parent's pool is unaffected
}

TEST(Pool, ForkedChildRebuildsThePool) { EXPECT_EQ(run_child("ForkedChildRebuildsThePool", {}), 0); }

}  // namespace
}  // namespace vantrel::sim
