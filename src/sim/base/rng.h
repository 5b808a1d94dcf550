// Per-thread random generator: ChaCha with 12 rounds, seeded from the
// operating system (getrandom, falling back to /dev/urandom), reseeded after
// 64 KiB of output and in a child process after fork.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/base/result.h"

namespace vantrel::sim {

// A handle on a generator's state: the calling thread's (thread_rng), which
// is thread-local, so the handle is used only on the thread that obtained it
// and not after that thread ends; or a SeededRng's, valid while it lives.
class Rng {
 public:
  std::uint32_t next_u32();
  // Two words, the first as the low half.
  std::uint64_t next_u64();

  // Words 0-3: the ChaCha constants; 4-11: the key; 12-13: the 64-bit block
  // counter (low word first); 14-15: stream number, always 0.
  struct State {
    std::uint32_t input[16] = {};
    std::uint32_t buffer[64] = {};  // four 64-byte blocks of output
    std::size_t index = 64;         // 64: nothing left to draw
    std::uint64_t bytes_since_seed = 0;
    std::uint64_t fork_generation = 0;
    std::uint64_t seed_count = 0;
    int (*source)(std::uint8_t* out, std::size_t len) = nullptr;
    bool seeded = false;
    // A key fixed by its owner: never replaced, not after 64 KiB of output
    // and not in a forked child.
    bool fixed_key = false;
  };
  explicit Rng(State* s) : s_(s) {}

 private:
  State* s_;
};

// A generator of its own with the thread generator's core (ChaCha with 12
// rounds, output drawn the same way) and a key derived from a 64-bit seed:
// the four 64-bit outputs of SplitMix64 started at the seed,
//   x += 0x9E3779B97F4A7C15; z = x;
//   z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
//   z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
//   output z ^ (z >> 31),
// each stored as two key words, low half first; block counter and stream 0.
// It never reseeds, so one seed gives one stream on every machine, in every
// process and on every thread. Used by one thread at a time.
class SeededRng {
 public:
  explicit SeededRng(std::uint64_t seed);
  SeededRng(const SeededRng&) = delete;
  SeededRng& operator=(const SeededRng&) = delete;
  Rng rng() { return Rng(&state_); }

 private:
  Rng::State state_;
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
