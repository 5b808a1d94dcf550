// Plain reference kernels, written for clarity: the arithmetic every faster
// kernel must reproduce bit for bit. Single-threaded, no shortcuts; the same
// loops at both precisions.
#pragma once

#include <cstdint>
#include <span>

#include "sim/base/complex.h"

namespace vantrel::sim::reference {

// For each pair (a0, a1) differing in bit q: a0' = m00 a0 + m01 a1,
// a1' = m10 a0 + m11 a1 (each product rounded, then the two added).
void apply_mat2(std::span<Complex> amps, std::uint64_t q, const Complex m[4]);
void apply_mat2(std::span<ComplexD> amps, std::uint64_t q, const ComplexD m[4]);

// out[a] = sum over j = 0..d-1 (increasing) of M[r(a)][j] * in[idx(a, j)],
// a running sum from 0, where r(a) gathers the target bits of a (targets[0]
// the most significant) and idx(a, j) scatters the bits of j onto them.
void apply_matrix(std::span<Complex> amps, std::span<const std::uint64_t> targets,
                  std::span<const Complex> matrix);
void apply_matrix(std::span<ComplexD> amps, std::span<const std::uint64_t> targets,
                  std::span<const ComplexD> matrix);

// The controlled matrix: where every control bit of a is 1, out[a] is the
// sum of apply_matrix over `targets`; elsewhere out[a] = in[a] + 0.
void apply_controlled_matrix(std::span<Complex> amps, std::span<const std::uint64_t> controls,
                             std::span<const std::uint64_t> targets, std::span<const Complex> matrix);
void apply_controlled_matrix(std::span<ComplexD> amps, std::span<const std::uint64_t> controls,
                             std::span<const std::uint64_t> targets, std::span<const ComplexD> matrix);

// cos(phi/2) I - i sin(phi/2) P for the Pauli string with masks x (X or Y
// factors), z (Z or Y factors) and ny Y factors, given c = cos(phi/2) and
// s = sin(phi/2): out[i] = c in[i] + s (-i)^e in[i ^ x] with
// e = (ny + 2 popcount(i & z) + 1) mod 4, the second product formed from
// s * re and s * im by exact swaps and negations.
void apply_pauli_rotation(std::span<Complex> amps, std::uint64_t x, std::uint64_t z,
                          unsigned ny, float c, float s);
void apply_pauli_rotation(std::span<ComplexD> amps, std::uint64_t x, std::uint64_t z,
                          unsigned ny, double c, double s);

}  // namespace vantrel::sim::reference
