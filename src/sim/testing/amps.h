// Random states and matrices, and byte-for-byte comparison, for the kernel
// tests (test code only).
#pragma once

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "sim/base/complex.h"
#include "sim/kernels/isa.h"

namespace vantrel::sim::testing {

using Amps = std::vector<Complex>;

inline bool same_bits(const Amps& a, const Amps& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Complex)) == 0;
}

inline std::size_t first_difference(const Amps& a, const Amps& b) {
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::memcmp(&a[i], &b[i], sizeof(Complex)) != 0) return i;
  return a.size();
}

// Random finite values with every sign, a share of +0 and -0 and some
// subnormals: the values where a shortcut would first show.
inline float random_float(std::mt19937& rng) {
  const unsigned kind = rng() % 16;
  if (kind == 0) return 0.0f;
  if (kind == 1) return -0.0f;
  if (kind == 2) return (rng() & 1 ? -1.0f : 1.0f) * 1e-40f;
  return std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
}

inline Amps random_state(std::size_t n, std::mt19937& rng) {
  Amps a(std::size_t{1} << n);
  for (auto& c : a) c = {random_float(rng), random_float(rng)};
  return a;
}

// About zero_share/8 of the entries are +-0.
inline Amps random_matrix(std::size_t d, std::mt19937& rng, unsigned zero_share = 4) {
  Amps m(d * d);
  for (auto& c : m) c = (rng() % 8 < zero_share) ? Complex{random_float(rng) * 0.0f, -0.0f}
                                                 : Complex{random_float(rng), random_float(rng)};
  return m;
}

// Identity except the trailing block, as make_controlled_unitary_gate builds
// it, with an arbitrary block.
inline Amps controlled(std::size_t controls, const Amps& block, std::size_t bd) {
  const std::size_t d = bd << controls;
  Amps m(d * d);
  for (std::size_t r = 0; r < d; ++r) m[r * d + r] = {1.0f, 0.0f};
  for (std::size_t i = 0; i < bd; ++i)
    for (std::size_t j = 0; j < bd; ++j) m[(d - bd + i) * d + (d - bd + j)] = block[i * bd + j];
  return m;
}

inline std::vector<std::uint64_t> random_targets(std::size_t n, std::size_t k, std::mt19937& rng) {
  std::vector<std::uint64_t> all(n);
  std::iota(all.begin(), all.end(), 0);
  std::shuffle(all.begin(), all.end(), rng);
  all.resize(k);
  return all;
}

// One-qubit matrices with the entries kernels take shortcuts on, and random
// ones with more and more zeros.
inline std::vector<Amps> mat2_cases(std::mt19937& rng) {
  const float h = 0.70710678f;
  std::vector<Amps> cases = {
      {{0, 0}, {1, 0}, {1, 0}, {0, 0}},                  // X
      {{h, 0}, {h, 0}, {h, 0}, {-h, 0}},                 // H
      {{1, 0}, {0, 0}, {0, 0}, {-1, 0}},                 // Z: diagonal
      {{1, 0}, {-0.0f, -0.0f}, {0, 0}, {0.6f, 0.8f}},    // diagonal with -0
      {{0, 0}, {0, -1}, {0, 1}, {0, 0}},                 // Y
  };
  for (int i = 0; i < 4; ++i) cases.push_back(random_matrix(2, rng, i));
  return cases;
}

// Every kernel table this processor runs (scalar reference and SSE2 at
// least).
inline std::span<const kernels::KernelTable* const> tables() { return kernels::supported_kernel_tables(); }

}  // namespace vantrel::sim::testing
