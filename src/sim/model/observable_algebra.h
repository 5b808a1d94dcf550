// Arithmetic on observables and their dense matrices: new observables made
// from existing ones, which stay unchanged.
#pragma once

#include <complex>
#include <cstdint>
#include <memory>

#include "sim/base/alloc.h"
#include "sim/base/result.h"
#include "sim/model/observable.h"

namespace vantrel::sim {

// a's terms, then b's, unmerged.
Observable sum(const Observable& a, const Observable& b);

// Every coefficient c becomes c * factor, the product taken in double
// precision. The factor is taken as it
// is; callers refuse factors that are not finite.
Observable scaled(const Observable& a, double factor);

// Terms with equal Pauli strings merged into the first of them, coefficients
// added in double precision in list order; then every term whose coefficient
// is zero dropped. When nothing is left, one identity term of coefficient 0
// (an observable has at least one term).
Observable simplified(const Observable& a);

// One more than the highest qubit any factor acts on; 0 when every term is
// the identity.
std::uint64_t num_qubits(const Observable& a);

// The 2^n x 2^n matrix sum_t c_t P_t, row-major, entries in double precision
// (each term added in list order): row i, column i ^ x_mask of a term holds
// c_t * phi_i (kernels/pauli.h). Qubit q is bit q of a row or column index.
// "observable references qubit {} but the matrix is for {} qubits" for the
// first factor at or above n; a matrix that cannot be allocated (4^n
// entries of 16 bytes) is kOutOfMemory naming its size. The buffer comes
// from calloc, for a caller that releases it with std::free.
using MatrixBuffer = std::unique_ptr<std::complex<double>[], FreeDeleter>;
Result<MatrixBuffer> dense_matrix(const Observable& a, std::uint64_t n);

}  // namespace vantrel::sim
