// Operations (a unitary matrix on an ordered list of qubits) and gates (one
// step of a one-off circuit).
//
// Matrix index convention: the local row/column index of an operation's
// matrix is a k-bit number whose most significant bit is targets[0] and whose
// least significant bit is targets[k-1]. Matrices are dense and row-major.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sim/complex.h"
#include "sim/result.h"

namespace vantrel::sim {

struct Operation {
  std::vector<std::uint64_t> targets;
  std::vector<Complex> matrix;  // (2^k)^2 entries, row-major

  // Validates and takes both sequences over. Checks, in order: at least one
  // target; no duplicate target; fewer than 64 targets; exactly 4^k entries;
  // unitary within 1e-3. Requests of 32 or more targets can never carry a
  // matrix of the right size and are refused with the shape-mismatch message.
  static Result<Operation> create(std::vector<std::uint64_t> targets, std::vector<Complex> matrix);
};

// True when the rows of the d x d row-major matrix are orthonormal within the
// tolerance 1e-3 (inclusive). `matrix` must hold at least d*d entries.
bool is_unitary(std::span<const Complex> matrix, std::uint64_t d);

struct Gate {
  enum class Kind : std::uint8_t { kUnitary, kMeasure, kReset, kBarrier };

  Kind kind = Kind::kBarrier;
  Operation op;            // kUnitary only
  std::uint64_t qubit = 0;  // kMeasure and kReset only (validated when run)

  static Gate unitary(Operation op) { return Gate{Kind::kUnitary, std::move(op), 0}; }
  static Gate measure(std::uint64_t q) { return Gate{Kind::kMeasure, {}, q}; }
  static Gate reset(std::uint64_t q) { return Gate{Kind::kReset, {}, q}; }
  static Gate barrier() { return Gate{}; }

  // A unitary on exactly one target with a 2x2 matrix.
  bool is_single_qubit_unitary() const {
    return kind == Kind::kUnitary && op.targets.size() == 1 && op.matrix.size() == 4;
  }
};

// Builds the full controlled matrix of U (identity except the trailing
// 2^k x 2^k block, where every control bit is 1) on controls ++ targets.
// A failed allocation of the controlled matrix is reported as kOutOfMemory.
Result<Gate> make_controlled_unitary_gate(std::vector<std::uint64_t> controls,
                                          std::vector<std::uint64_t> targets,
                                          std::vector<Complex> matrix);

}  // namespace vantrel::sim
