// Random states and matrices, and byte-for-byte comparison, for the kernel
// tests (test code only).
#pragma once

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "sim/base/complex.h"
#include "sim/kernels/isa.h"

namespace vantrel::sim::testing {

// Amplitudes of either precision; Amps the single-precision ones.
template <class T>
using AmpsOf = std::vector<ComplexOf<T>>;
using Amps = AmpsOf<float>;

template <class T>
bool same_bits(const AmpsOf<T>& a, const AmpsOf<T>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(ComplexOf<T>)) == 0;
}

template <class T>
std::size_t first_difference(const AmpsOf<T>& a, const AmpsOf<T>& b) {
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::memcmp(&a[i], &b[i], sizeof(ComplexOf<T>)) != 0) return i;
  return a.size();
}

// Random finite values with every sign, a share of +0 and -0 and some
// subnormals: the values where a shortcut would first show.
template <class T = float>
T random_float(std::mt19937& rng) {
  const unsigned kind = rng() % 16;
  if (kind == 0) return T(0);
  if (kind == 1) return -T(0);
  if (kind == 2) return (rng() & 1 ? T(-1) : T(1)) * (sizeof(T) == 4 ? T(1e-40f) : T(1e-310));
  return std::uniform_real_distribution<T>(T(-1), T(1))(rng);
}

template <class T = float>
AmpsOf<T> random_state(std::size_t n, std::mt19937& rng) {
  AmpsOf<T> a(std::size_t{1} << n);
  for (auto& c : a) c = {random_float<T>(rng), random_float<T>(rng)};
  return a;
}

// About zero_share/8 of the entries are +-0.
template <class T = float>
AmpsOf<T> random_matrix(std::size_t d, std::mt19937& rng, unsigned zero_share = 4) {
  AmpsOf<T> m(d * d);
  for (auto& c : m) c = (rng() % 8 < zero_share) ? ComplexOf<T>{random_float<T>(rng) * T(0), -T(0)}
                                                 : ComplexOf<T>{random_float<T>(rng), random_float<T>(rng)};
  return m;
}

// Identity except the trailing block, as make_controlled_unitary_gate builds
// it, with an arbitrary block.
template <class T = float>
AmpsOf<T> controlled(std::size_t controls, const std::type_identity_t<AmpsOf<T>>& block, std::size_t bd) {
  const std::size_t d = bd << controls;
  AmpsOf<T> m(d * d);
  for (std::size_t r = 0; r < d; ++r) m[r * d + r] = {T(1), T(0)};
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
template <class T = float>
std::vector<AmpsOf<T>> mat2_cases(std::mt19937& rng) {
  const T h = T(0.70710678f), z = -T(0);
  std::vector<AmpsOf<T>> cases = {
      {{0, 0}, {1, 0}, {1, 0}, {0, 0}},                  // X
      {{h, 0}, {h, 0}, {h, 0}, {-h, 0}},                 // H
      {{1, 0}, {0, 0}, {0, 0}, {-1, 0}},                 // Z: diagonal
      {{1, 0}, {z, z}, {0, 0}, {T(0.6f), T(0.8f)}},      // diagonal with -0
      {{0, 0}, {0, -1}, {0, 1}, {0, 0}},                 // Y
      {{z, 0}, {1, z}, {1, 0}, {0, z}},                  // X with -0
      {{0, 0}, {T(0.6f), T(0.8f)}, {T(-0.8f), T(0.6f)}, {z, 0}},  // anti-diagonal phases
  };
  for (int i = 0; i < 4; ++i) cases.push_back(random_matrix<T>(2, rng, i));
  return cases;
}

// Every kernel table this processor runs (scalar reference and SSE2 at
// least), of either precision.
template <class T = float>
std::span<const kernels::KernelTableOf<T>* const> tables() {
  return kernels::supported_kernel_tables_of<T>();
}

// The precisions of the typed kernel tests, alone and with each executor.
using Precisions = ::testing::Types<float, double>;
template <class E, class T>
struct ExecAt {
  using Exec = E;
  using Scalar = T;
};
// Each precision with a pool executor and with a sequential one.
template <class Pool, class Sequential>
using ExecutorsAtPrecisions = ::testing::Types<ExecAt<Pool, float>, ExecAt<Sequential, float>,
                                               ExecAt<Pool, double>, ExecAt<Sequential, double>>;

}  // namespace vantrel::sim::testing
