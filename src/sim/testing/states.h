// Random unit states, unitaries and diagonal matrices, and a fixed generator
// stream, for bit-for-bit tests of runs (test code only); builds on the
// kernel tests' helpers.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "sim/base/complex.h"
#include "sim/testing/amps.h"
#include "sim/base/rng.h"

namespace vantrel::sim::testing {

// About unit norm, with exact zeros, negative zeros and subnormals among the
// components (and some whole amplitudes of zero).
template <class T = float>
AmpsOf<T> random_unit_state(std::size_t n, std::mt19937& rng) {
  AmpsOf<T> a = random_state<T>(n, rng);
  const T scale = T(1) / std::sqrt(static_cast<T>(a.size()));
  for (auto& c : a) {
    c = {c.re * scale, c.im * scale};
    if (rng() % 8 == 0) c = {rng() & 1 ? T(0) : -T(0), rng() & 1 ? T(0) : -T(0)};
  }
  return a;
}

// A d x d unitary (Gram-Schmidt in double precision, rounded to floats); with
// `real`, an orthogonal one whose imaginary parts are +-0.
template <class T = float>
AmpsOf<T> random_unitary(std::size_t d, std::mt19937& rng, bool real = false) {
  std::normal_distribution<double> g;
  std::vector<double> re(d * d), im(d * d);
  for (std::size_t i = 0; i < d * d; ++i) {
    re[i] = g(rng);
    im[i] = real ? 0.0 : g(rng);
  }
  for (std::size_t r = 0; r < d; ++r) {
    for (std::size_t p = 0; p < r; ++p) {
      double dr = 0, di = 0;  // <row p, row r>
      for (std::size_t j = 0; j < d; ++j) {
        dr += re[p * d + j] * re[r * d + j] + im[p * d + j] * im[r * d + j];
        di += re[p * d + j] * im[r * d + j] - im[p * d + j] * re[r * d + j];
      }
      for (std::size_t j = 0; j < d; ++j) {
        re[r * d + j] -= dr * re[p * d + j] - di * im[p * d + j];
        im[r * d + j] -= dr * im[p * d + j] + di * re[p * d + j];
      }
    }
    double norm = 0;
    for (std::size_t j = 0; j < d; ++j) norm += re[r * d + j] * re[r * d + j] + im[r * d + j] * im[r * d + j];
    norm = std::sqrt(norm);
    for (std::size_t j = 0; j < d; ++j) re[r * d + j] /= norm, im[r * d + j] /= norm;
  }
  AmpsOf<T> m(d * d);
  for (std::size_t i = 0; i < d * d; ++i)
    m[i] = {static_cast<T>(re[i]), real ? (g(rng) < 0 ? -T(0) : T(0)) : static_cast<T>(im[i])};
  return m;
}

// A diagonal d x d matrix of random phases (some exactly 1, -1, i) whose
// off-diagonal entries are +0 or -0.
template <class T = float>
AmpsOf<T> random_diagonal(std::size_t d, std::mt19937& rng) {
  using C = ComplexOf<T>;
  AmpsOf<T> m(d * d);
  for (auto& c : m) c = {rng() & 1 ? T(0) : -T(0), rng() & 1 ? T(0) : -T(0)};
  for (std::size_t r = 0; r < d; ++r) {
    const unsigned kind = rng() % 6;
    const T t = std::uniform_real_distribution<T>(T(-3.2f), T(3.2f))(rng);
    m[r * d + r] = kind == 0 ? C{1, 0} : kind == 1 ? C{-1, 0} : kind == 2 ? C{0, 1} : C{std::cos(t), std::sin(t)};
  }
  return m;
}

// A fixed key (all zero) makes the generator stream of a fresh thread
// predictable.
inline int zero_key_source(std::uint8_t* out, std::size_t len) {
  std::fill(out, out + len, std::uint8_t{0});
  return 0;
}

// Runs `body` on a fresh thread whose generator has the zero key, so that
// two such runs draw the same numbers.
template <class F>
void with_known_stream(F body) {
  std::thread t([&body] {
    detail::set_thread_seed_source(zero_key_source);
    body();
  });
  t.join();
}

}  // namespace vantrel::sim::testing
