#include "sim/base/rng.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <string>
#include <system_error>

namespace vantrel::sim {
namespace {

constexpr int kRounds = 12;
constexpr std::size_t kBufferWords = 64;  // four 64-byte blocks
constexpr std::uint64_t kReseedBytes = 65536;
static_assert(sizeof(Rng::State::buffer) == kBufferWords * sizeof(std::uint32_t));

// Incremented in the child after every fork; a generator whose recorded
// generation differs reseeds at its next refill.
std::atomic<std::uint64_t> g_fork_generation{0};

int read_urandom(std::uint8_t* out, std::size_t len) {
  int fd;
  do {
    fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  std::size_t got = 0;
  int err = 0;
  while (got < len) {
    const ssize_t r = ::read(fd, out + got, len - got);
    if (r > 0) {
      got += static_cast<std::size_t>(r);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      err = r < 0 ? errno : EIO;
      break;
    }
  }
  ::close(fd);
  return err;
}

// The operating system's random source: getrandom, or /dev/urandom where the
// system call does not exist or is forbidden (old kernels, seccomp filters).
int os_seed(std::uint8_t* out, std::size_t len) {
  std::size_t got = 0;
  while (got < len) {
    const ssize_t r = ::getrandom(out + got, len - got, 0);
    if (r > 0) {
      got += static_cast<std::size_t>(r);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else if (r < 0 && (errno == ENOSYS || errno == EPERM)) {
      return read_urandom(out, len);
    } else {
      return r < 0 ? errno : EIO;
    }
  }
  return 0;
}

std::string os_error_text(int err) {
  return std::system_category().message(err) + " (os error " + std::to_string(err) + ")";
}

thread_local Rng::State tls_state;

void set_constants(Rng::State& s) {
  s.input[0] = 0x61707865;
  s.input[1] = 0x3320646e;
  s.input[2] = 0x79622d32;
  s.input[3] = 0x6b206574;
}

// Takes a fresh key and restarts the block counter; on failure the state is
// left exactly as it was and the error number is returned.
int seed(Rng::State& s) {
  std::uint8_t key[32];
  const int err = s.source ? s.source(key, sizeof key) : os_seed(key, sizeof key);
  if (err != 0) return err;
  set_constants(s);
  for (int i = 0; i < 8; ++i)
    s.input[4 + i] = std::uint32_t{key[4 * i]} | std::uint32_t{key[4 * i + 1]} << 8 |
                     std::uint32_t{key[4 * i + 2]} << 16 | std::uint32_t{key[4 * i + 3]} << 24;
  for (int i = 12; i < 16; ++i) s.input[i] = 0;
  ++s.seed_count;
  return 0;
}

void refill(Rng::State& s) {
  const std::uint64_t generation = g_fork_generation.load(std::memory_order_relaxed);
  if (!s.fixed_key && (s.bytes_since_seed >= kReseedBytes || s.fork_generation != generation)) {
    // A failed reseed keeps the current key and counter; the next attempt
    // comes after another 64 KiB.
    (void)seed(s);
    s.bytes_since_seed = 0;
    s.fork_generation = generation;
  }
  for (std::size_t b = 0; b < kBufferWords / 16; ++b) {
    detail::chacha_block(s.input, s.buffer + 16 * b, kRounds);
    if (++s.input[12] == 0) ++s.input[13];
  }
  s.bytes_since_seed += kBufferWords * 4;
  s.index = 0;
}

// Runs in the child, on the thread that called fork (the only one there).
// Besides forcing a reseed, it drops the words the parent had buffered but
// not yet drawn, so that the child never repeats any of the parent's output.
void on_fork_child() {
  g_fork_generation.fetch_add(1, std::memory_order_relaxed);
  tls_state.index = kBufferWords;
}

}  // namespace

namespace detail {

void chacha_block(const std::uint32_t input[16], std::uint32_t output[16], int rounds) {
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = input[i];
  auto quarter = [&x](int a, int b, int c, int d) {
    x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 16);
    x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 12);
    x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 8);
    x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 7);
  };
  for (int r = 0; r < rounds; r += 2) {
    quarter(0, 4, 8, 12);
    quarter(1, 5, 9, 13);
    quarter(2, 6, 10, 14);
    quarter(3, 7, 11, 15);
    quarter(0, 5, 10, 15);
    quarter(1, 6, 11, 12);
    quarter(2, 7, 8, 13);
    quarter(3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) output[i] = x[i] + input[i];
}

void set_thread_seed_source(SeedSource source) { tls_state.source = source; }

std::uint64_t thread_rng_seed_count() { return tls_state.seed_count; }

}  // namespace detail

SeededRng::SeededRng(std::uint64_t seed) {
  set_constants(state_);
  std::uint64_t x = seed;
  for (int k = 0; k < 4; ++k) {
    x += 0x9E3779B97F4A7C15u;
    std::uint64_t z = x;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    z ^= z >> 31;
    state_.input[4 + 2 * k] = static_cast<std::uint32_t>(z);
    state_.input[5 + 2 * k] = static_cast<std::uint32_t>(z >> 32);
  }
  state_.seeded = true;
  state_.fixed_key = true;
}

std::uint32_t Rng::next_u32() {
  if (s_->index >= kBufferWords) refill(*s_);
  return s_->buffer[s_->index++];
}

std::uint64_t Rng::next_u64() {
  const std::uint64_t lo = next_u32();
  const std::uint64_t hi = next_u32();
  return hi << 32 | lo;
}

Result<Rng> thread_rng() {
  // If registration fails (only for lack of memory), a child keeps the
  // parent's key until its next periodic reseed.
  static const bool fork_handler_registered =
      pthread_atfork(nullptr, nullptr, on_fork_child) == 0;
  (void)fork_handler_registered;
  Rng::State& s = tls_state;
  if (!s.seeded) {
    const int err = seed(s);
    if (err != 0) return internal("could not initialize thread_rng: " + os_error_text(err));
    s.seeded = true;
    s.bytes_since_seed = 0;
    s.index = kBufferWords;
    s.fork_generation = g_fork_generation.load(std::memory_order_relaxed);
  }
  return Rng(&s);
}

}  // namespace vantrel::sim
