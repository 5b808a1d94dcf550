#include "sim/base/processors.h"

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace vantrel::sim {
namespace {

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

std::size_t default_pool_size() {
  std::size_t n = 0;
  if (parse_count(std::getenv("RAYON_NUM_THREADS"), &n)) return n > 0 ? n : available_processors();
  if (parse_count(std::getenv("RAYON_RS_NUM_CPUS"), &n) && n > 0) return n;
  return available_processors();
}

}  // namespace vantrel::sim
