// Tests that need a process of their own (a pool of a given size, an
// environment variable read once) run in a fresh copy of the test binary.
// Test code only.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vantrel::sim::testing {

// Runs test `name` (a full GoogleTest name, such as "PoolChild.Sizing") in a
// fresh copy of this binary with the pool's variables cleared and `env` set.
// Such tests skip themselves unless started this way (CHILD_ONLY). Returns
// the child's exit status, or -1 if it was killed or did not finish in time.
inline int run_child(const std::string& name, std::vector<std::pair<std::string, std::string>> env) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    unsetenv("RAYON_NUM_THREADS");
    unsetenv("RAYON_RS_NUM_CPUS");
    setenv("VANTREL_POOL_CHILD", "1", 1);
    for (auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    const std::string filter = "--gtest_filter=" + name;
    execl("/proc/self/exe", "sim_tests", filter.c_str(), "--gtest_brief=1", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  for (int waited_ms = 0; waited_ms < 240000; waited_ms += 10) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

inline bool in_child() { return std::getenv("VANTREL_POOL_CHILD") != nullptr; }

inline std::size_t env_size(const char* name) { return std::strtoull(std::getenv(name), nullptr, 10); }

}  // namespace vantrel::sim::testing

#define CHILD_ONLY() \
  if (!::vantrel::sim::testing::in_child()) GTEST_SKIP() << "runs in a child process started by another test"
