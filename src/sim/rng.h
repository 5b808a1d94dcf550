// Per-thread random generator: ChaCha with 12 rounds, seeded from the
// operating system (getrandom, falling back to /dev/urandom), reseeded after
// 64 KiB of output and in a child process after fork.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/result.h"

namespace vantrel::sim {

// A handle on the calling thread's generator. It refers to thread-local state:
// use it only on the thread that obtained it, and not after that thread ends.
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

namespace detail {

// One ChaCha block: copies `input`, applies `rounds` rounds (an even number;
// 12 for the generator, 20 for the standard cipher) and adds the input back.
void chacha_block(const std::uint32_t input[16], std::uint32_t output[16], int rounds);

// Fills `out` with `len` bytes of seed material; returns 0 or an errno value.
using SeedSource = int (*)(std::uint8_t* out, std::size_t len);

// Replaces the operating system as the seed source of the calling thread's
// generator (nullptr restores it). For tests of seeding failures.
void set_thread_seed_source(SeedSource source);

// Number of successful seedings (the first one included) of the calling
// thread's generator; 0 before first use.
std::uint64_t thread_rng_seed_count();

}  // namespace detail

}  // namespace vantrel::sim
