#include "sim/base/pool.h"
#include "sim/testing/child.h"

#include <gtest/gtest.h>
#include <pthread.h>
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
#include "sim/base/processors.h"
#include "sim/testing/parallel.h"
#include "sim/testing/sanitizers.h"

#if defined(__SANITIZE_THREAD__)
// The fork tests (the pool's and the teams') start the child's pool after a
// multi-threaded fork, which the race detector refuses by default.
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif

namespace vantrel::sim {
namespace {

using testing::check_coverage;
using testing::env_size;

// The pool's size is fixed once per process, so tests that need a given size
// or environment run in a fresh copy of this test binary (PoolChild.*).
int run_child(const std::string& test, std::vector<std::pair<std::string, std::string>> env) {
  return testing::run_child("PoolChild." + test, std::move(env));
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

// The pool takes its default size (processors.h) on first use.
TEST(Pool, DefaultSize) {
  EXPECT_EQ(run_child("Sizing", {{"RAYON_NUM_THREADS", "3"}, {"EXPECT_THREADS", "3"}}), 0);
  EXPECT_EQ(run_child("Sizing", {{"EXPECT_THREADS", "cpus"}}), 0);
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

// A pool of kMaxThreads fits in a few gigabytes of address space: each
// worker reserves kWorkerStackBytes of stack, not the system's default.
TEST(PoolChild, HugeSizeFromTheEnvironmentIsClamped) {
  CHILD_ONLY();
  if (!kSanitized) {
    const rlimit limit{(status_kib("VmSize:") + 6 * 1024 * 1024) * 1024, RLIM_INFINITY};
    ASSERT_EQ(setrlimit(RLIMIT_AS, &limit), 0);
  }
  const std::size_t n = pool_num_threads();
  EXPECT_GE(n, 1u);
  EXPECT_LE(n, kMaxThreads);
  if (!kSanitized) {
    EXPECT_EQ(n, kMaxThreads);
  }
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
  const rlimit limit{(status_kib("VmSize:") + 8 * kWorkerStackBytes / 1024) * 1024, RLIM_INFINITY};
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
  // Several threads outside the pool at once.
  std::vector<std::thread> callers;
  for (int t = 0; t < 3; ++t) callers.emplace_back([] { check_nested(8); });
  for (auto& c : callers) c.join();
  // Idle workers take offered halves: the two pieces of a loop, each waiting
  // (a minute at most) until it sees the other start, run at once on two
  // workers, with the pool's stack size.
  if (n > 1) {
    std::atomic<int> started{0};
    std::atomic<bool> met{true};
    std::thread::id ids[2];
    std::size_t stacks[2] = {};
    parallel_for(2, 1, [&](std::size_t lo, std::size_t) {
      ids[lo] = std::this_thread::get_id();
      pthread_attr_t attr;
      if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &stacks[lo]);
        pthread_attr_destroy(&attr);
      }
      started.fetch_add(1);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
      while (started.load() < 2 && met.load())
        if (std::chrono::steady_clock::now() > deadline) met = false;
    });
    EXPECT_TRUE(met.load());
    EXPECT_NE(ids[0], ids[1]);
    for (std::size_t stack : stacks) {
      EXPECT_GE(stack, kWorkerStackBytes);
      EXPECT_LT(stack, 2 * kWorkerStackBytes);
    }
  }
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
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  check_nested(4);  // the parent's pool is unaffected
}

TEST(Pool, ForkedChildRebuildsThePool) { EXPECT_EQ(run_child("ForkedChildRebuildsThePool", {}), 0); }

// A caller that forks from its Interrupt's hook while it waits for its job
// (as a signal handler run by the hook may): in the child the call either
// completes on the caller's thread (nobody had taken the job) or throws
// LostToFork, never waits for the parent's workers; the parent's call
// completes.
TEST(PoolChild, ForkFromTheHookWhileWaiting) {
  CHILD_ONLY();
  ASSERT_TRUE(init_global_pool(2).ok());
  std::atomic<pid_t> pid{-1};
  Interrupt irq(
      [](void* p) {
        auto& pid = *static_cast<std::atomic<pid_t>*>(p);
        if (pid.load() < 0) {
          pid = fork();
          if (pid.load() == 0) alarm(30);  // a hang fails instead of blocking
        }
        return false;
      },
      &pid, std::chrono::milliseconds(1));
  std::atomic<int> pieces{0};
  bool lost = false;
  try {
    const InterruptScope bound(irq);
    // The pieces end only once the hook has forked (or after a minute).
    parallel_for(2, 1, [&](std::size_t lo, std::size_t hi) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
      while (pid.load() < 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      pieces.fetch_add(static_cast<int>(hi - lo));
    });
  } catch (const LostToFork&) {
    lost = true;
  }
  if (pid.load() == 0) {
    int code = lost || pieces.load() == 2 ? 0 : 1;
    std::atomic<std::size_t> sum{0};
    parallel_for(10000, 1, [&](std::size_t lo, std::size_t hi) {
      for (std::size_t i = lo; i < hi; ++i) sum.fetch_add(i);
    });
    if (sum.load() != 10000u * 9999u / 2) code = 2;
    _exit(code);
  }
  ASSERT_GT(pid.load(), 0);
  EXPECT_FALSE(lost);
  EXPECT_EQ(pieces.load(), 2);
  int status = 0;
  ASSERT_EQ(waitpid(pid.load(), &status, 0), pid.load());
  ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Pool, ForkFromTheHookWhileWaiting) { EXPECT_EQ(run_child("ForkFromTheHookWhileWaiting", {}), 0); }

}  // namespace
}  // namespace vantrel::sim
