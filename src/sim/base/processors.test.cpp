#include "sim/base/processors.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vantrel::sim {
namespace {

// Sets the two variables for its scope and restores what it found.
class Environment {
 public:
  Environment(const char* threads, const char* cpus) {
    set("RAYON_NUM_THREADS", threads);
    set("RAYON_RS_NUM_CPUS", cpus);
  }
  ~Environment() {
    for (auto& [name, value] : saved_) value ? setenv(name, value->c_str(), 1) : unsetenv(name);
  }

 private:
  void set(const char* name, const char* value) {
    const char* old = getenv(name);
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

TEST(Processors, AvailableWithinTheAffinityMask) {
  cpu_set_t set;
  CPU_ZERO(&set);
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  EXPECT_GE(available_processors(), 1u);
  EXPECT_LE(available_processors(), static_cast<std::size_t>(CPU_COUNT(&set)));
}

// RAYON_NUM_THREADS first (0: the processors), then a positive
// RAYON_RS_NUM_CPUS; anything but an optional '+' and digits is ignored.
TEST(Processors, DefaultPoolSizeFromTheEnvironment) {
  const std::size_t cpus = available_processors();
  struct Case {
    const char* threads;
    const char* cpus;
    std::size_t want;
  };
  const Case cases[] = {
      {"3", nullptr, 3},        {"+5", nullptr, 5},      {"3", "5", 3},
      {"0", "5", cpus},         {"many", "2", 2},        {"-1", "2", 2},
      {" 4", "+3", 3},          {"99999999999999999999999", nullptr, cpus},
      {"", "0", cpus},          {nullptr, "4", 4},       {nullptr, nullptr, cpus},
      {"18446744073709551615", nullptr, 18446744073709551615u},
  };
  for (const Case& c : cases) {
    const Environment env(c.threads, c.cpus);
    EXPECT_EQ(default_pool_size(), c.want) << (c.threads ? c.threads : "-") << " " << (c.cpus ? c.cpus : "-");
  }
}

}  // namespace
}  // namespace vantrel::sim
