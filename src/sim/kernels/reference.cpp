#include "sim/kernels/reference.h"

#include <bit>
#include <vector>

namespace vantrel::sim::reference {
namespace {

template <class T>
void mat2_of(std::span<ComplexOf<T>> amps, std::uint64_t q, const ComplexOf<T> m[4]) {
  const std::size_t s = std::size_t{1} << q;
  for (std::size_t block = 0; block < amps.size(); block += 2 * s) {
    for (std::size_t i = 0; i < s; ++i) {
      const ComplexOf<T> a0 = amps[block + i];
      const ComplexOf<T> a1 = amps[block + i + s];
      amps[block + i] = cadd(cmul(m[0], a0), cmul(m[1], a1));
      amps[block + i + s] = cadd(cmul(m[2], a0), cmul(m[3], a1));
    }
  }
}

template <class T>
void controlled_matrix_of(std::span<ComplexOf<T>> amps, std::span<const std::uint64_t> controls,
                          std::span<const std::uint64_t> targets, std::span<const ComplexOf<T>> matrix) {
  const std::size_t k = targets.size();
  const std::size_t d = std::size_t{1} << k;
  const std::vector<ComplexOf<T>> input(amps.begin(), amps.end());
  std::size_t mask = 0, on = 0;
  for (std::uint64_t t : targets) mask |= std::size_t{1} << t;
  for (std::uint64_t c : controls) on |= std::size_t{1} << c;
  for (std::size_t a = 0; a < amps.size(); ++a) {
    if ((a & on) != on) {
      amps[a] = cadd(input[a], ComplexOf<T>{});
      continue;
    }
    std::size_t r = 0;
    for (std::size_t t = 0; t < k; ++t) r |= ((a >> targets[t]) & 1) << (k - 1 - t);
    const std::size_t base = a & ~mask;
    ComplexOf<T> sum{};
    for (std::size_t j = 0; j < d; ++j) {
      std::size_t idx = base;
      for (std::size_t t = 0; t < k; ++t) idx |= ((j >> (k - 1 - t)) & 1) << targets[t];
      sum = cadd(sum, cmul(matrix[r * d + j], input[idx]));
    }
    amps[a] = sum;
  }
}

template <class T>
void pauli_rotation_of(std::span<ComplexOf<T>> amps, std::uint64_t x, std::uint64_t z, unsigned ny, T c, T s) {
  const std::vector<ComplexOf<T>> input(amps.begin(), amps.end());
  for (std::size_t i = 0; i < amps.size(); ++i) {
    const ComplexOf<T> a = input[i];
    const ComplexOf<T> b = input[i ^ x];
    const unsigned e = (ny + 2u * static_cast<unsigned>(std::popcount(i & z)) + 1u) % 4u;
    const T u = s * b.re;
    const T v = s * b.im;
    ComplexOf<T> t;
    switch (e) {
      case 0: t = {u, v}; break;
      case 1: t = {v, -u}; break;
      case 2: t = {-u, -v}; break;
      default: t = {-v, u}; break;
    }
    amps[i] = {c * a.re + t.re, c * a.im + t.im};
  }
}

}  // namespace

void apply_mat2(std::span<Complex> amps, std::uint64_t q, const Complex m[4]) { mat2_of(amps, q, m); }
void apply_mat2(std::span<ComplexD> amps, std::uint64_t q, const ComplexD m[4]) { mat2_of(amps, q, m); }

void apply_controlled_matrix(std::span<Complex> amps, std::span<const std::uint64_t> controls,
                             std::span<const std::uint64_t> targets, std::span<const Complex> matrix) {
  controlled_matrix_of(amps, controls, targets, matrix);
}
void apply_controlled_matrix(std::span<ComplexD> amps, std::span<const std::uint64_t> controls,
                             std::span<const std::uint64_t> targets, std::span<const ComplexD> matrix) {
  controlled_matrix_of(amps, controls, targets, matrix);
}

void apply_matrix(std::span<Complex> amps, std::span<const std::uint64_t> targets,
                  std::span<const Complex> matrix) {
  controlled_matrix_of(amps, {}, targets, matrix);
}
void apply_matrix(std::span<ComplexD> amps, std::span<const std::uint64_t> targets,
                  std::span<const ComplexD> matrix) {
  controlled_matrix_of(amps, {}, targets, matrix);
}

void apply_pauli_rotation(std::span<Complex> amps, std::uint64_t x, std::uint64_t z, unsigned ny, float c,
                          float s) {
  pauli_rotation_of(amps, x, z, ny, c, s);
}
void apply_pauli_rotation(std::span<ComplexD> amps, std::uint64_t x, std::uint64_t z, unsigned ny, double c,
                          double s) {
  pauli_rotation_of(amps, x, z, ny, c, s);
}

}  // namespace vantrel::sim::reference
