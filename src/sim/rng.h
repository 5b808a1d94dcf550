// Per-thread random generator: ChaCha with 12 rounds, seeded from the
// operating system (getrandom, falling back to /dev/urandom), reseeded after
// 64 KiB of output and in a child process after fork.
#pragma once

#include <cstdint>

#include "sim/result.h"

namespace vantrel::sim {

class Rng {
 public:
  std::uint32_t next_u32();
  // Two words, the first as the low half.
  std::uint64_t next_u64();
  // Implementation state lives in rng.cpp.
  struct State;
  explicit Rng(State* s) : s_(s) {}

 private:
  State* s_;
};

// The calling thread's generator, seeded on first use. Failing to obtain the
// first seed is an internal failure: "could not initialize thread_rng: {}".
Result<Rng> thread_rng();

}  // namespace vantrel::sim
