// Plain reference kernels, written for clarity: the arithmetic every faster
// kernel must reproduce bit for bit. Single-threaded, no shortcuts.
#pragma once

#include <cstdint>
#include <span>

#include "sim/complex.h"

namespace vantrel::sim::reference {

// For each pair (a0, a1) differing in bit q: a0' = m00 a0 + m01 a1,
// a1' = m10 a0 + m11 a1 (each product rounded, then the two added).
void apply_mat2(std::span<Complex> amps, std::uint64_t q, const Complex m[4]);

// out[a] = sum over j = 0..d-1 (increasing) of M[r(a)][j] * in[idx(a, j)],
// a running sum from 0, where r(a) gathers the target bits of a (targets[0]
// the most significant) and idx(a, j) scatters the bits of j onto them.
void apply_matrix(std::span<Complex> amps, std::span<const std::uint64_t> targets,
                  std::span<const Complex> matrix);

// The controlled matrix: where every control bit of a is 1, out[a] is the
// sum of apply_matrix over `targets`; elsewhere out[a] = in[a] + 0.
void apply_controlled_matrix(std::span<Complex> amps, std::span<const std::uint64_t> controls,
                             std::span<const std::uint64_t> targets, std::span<const Complex> matrix);

}  // namespace vantrel::sim::reference
