// Operations (a unitary matrix on an ordered list of qubits) and gates (one
// step of a one-off circuit).
//
// Matrix index convention: the local row/column index of an operation's
// matrix is a k-bit number whose most significant bit is the first of its
// qubits and whose least significant bit is the last. Matrices are dense and
// row-major.
//
// A controlled operation keeps its controls and the small matrix on its
// other qubits apart: it applies that matrix where every control is 1 and
// leaves the other amplitudes as they are (a + 0: a negative zero turns
// positive, as the identity rows of the full controlled matrix do). Its full
// matrix is built only on request.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "sim/base/complex.h"
#include "sim/model/gate_table.h"
#include "sim/base/result.h"

namespace vantrel::sim {

struct Operation {
  // Every qubit the operation acts on: the controls first, then the qubits
  // of `matrix` in its index order.
  std::vector<std::uint64_t> targets;
  // (2^k)^2 entries, row-major, on the last k = targets.size() - num_controls
  // qubits of `targets`: the matrix single-precision runs apply.
  std::vector<Complex> matrix;
  // How many leading entries of `targets` are controls (0: a plain matrix).
  std::uint64_t num_controls = 0;
  // The same matrix as double-precision runs apply it (same shape): the
  // entries as given in double, or as computed in double from double angles.
  // `matrix` is not always these entries rounded: a standard gate's single
  // matrix is computed in single precision from the rounded angles, and a
  // product of matrices is taken in each precision.
  std::vector<ComplexD> matrix_d;

  // The matrix a run in scalar type T applies.
  template <class T>
  const std::vector<ComplexOf<T>>& matrix_of() const {
    if constexpr (std::is_same_v<T, float>)
      return matrix;
    else
      return matrix_d;
  }

  std::span<const std::uint64_t> controls() const { return {targets.data(), num_controls}; }
  // The qubits of `matrix` (all of `targets` when there is no control).
  std::span<const std::uint64_t> matrix_targets() const {
    return std::span<const std::uint64_t>(targets).subspan(num_controls);
  }
  // True when matrix_of<T>() holds 4^k entries for k = the qubits after the
  // controls, 1 <= k < 32: what every constructor guarantees (for both), and
  // what a kernel needs before reading the matrix of a value assembled by hand.
  template <class T = float>
  bool has_matrix_shape() const {
    return shape_holds(matrix_of<T>().size());
  }
  // The dense matrix on all of `targets`: for a controlled operation the
  // identity except the trailing block (every control 1), which holds
  // `matrix`. kOutOfMemory when it cannot be allocated (32 qubits or more
  // can never be).
  Result<std::vector<Complex>> full_matrix() const;

  // Validates and takes both sequences over. Checks, in order: at least one
  // target; no duplicate target (in O(k log k)); fewer than 64 targets;
  // exactly 4^k entries; unitary within 1e-3. Requests of 32 or more targets can never carry a
  // matrix of the right size and are refused with the shape-mismatch message.
  // The double matrix is `matrix` widened (exactly its values).
  static Result<Operation> create(std::vector<std::uint64_t> targets, std::vector<Complex> matrix);
  // The same with the double matrix given: `matrix_d` must hold as many
  // entries as `matrix` (else the shape-mismatch message for its count); the
  // unitarity test is made on `matrix`, as above.
  static Result<Operation> create(std::vector<std::uint64_t> targets, std::vector<Complex> matrix,
                                  std::vector<ComplexD> matrix_d);

 private:
  bool shape_holds(std::size_t entries) const;
};

// Each part rounded to single precision (what converting complex128 to
// complex64 does), and each part widened to double.
std::vector<Complex> rounded_to_single(std::span<const ComplexD> m);
std::vector<ComplexD> widened_to_double(std::span<const Complex> m);

// True when the rows of the d x d row-major matrix are orthonormal within the
// tolerance 1e-3 (inclusive). `matrix` must hold at least d*d entries.
bool is_unitary(std::span<const Complex> matrix, std::uint64_t d);

struct Channel;  // channel.h

struct Gate {
  enum class Kind : std::uint8_t { kUnitary, kMeasure, kReset, kBarrier, kChannel };

  Kind kind = Kind::kBarrier;
  // kBarrier: how many barriers in a row this one value stands for (at least
  // 1). Lists keep a run of barriers as one value (append_gate), so that a
  // list of n barriers costs the memory of one; the run executes, draws and
  // encodes as that many separate barriers. (It fills the padding after
  // `kind`: the struct is no larger for it.)
  std::uint32_t barriers = 1;
  Operation op;            // kUnitary only
  std::uint64_t qubit = 0;  // kMeasure and kReset only (validated when run)
  // kUnitary built from the standard gate table (gate_table.h): which entry and
  // angles, for display only. Empty for custom unitaries and fusion results.
  std::optional<GateLabel> label;
  // kChannel only: the channel, shared by every copy of the gate.
  std::shared_ptr<const Channel> channel;

  static Gate unitary(Operation op, std::optional<GateLabel> label = std::nullopt) {
    Gate g;
    g.kind = Kind::kUnitary;
    g.op = std::move(op);
    g.label = label;
    return g;
  }
  static Gate measure(std::uint64_t q) { return with_qubit(Kind::kMeasure, q); }
  static Gate reset(std::uint64_t q) { return with_qubit(Kind::kReset, q); }
  static Gate barrier() { return Gate{}; }

  // A unitary on exactly one target with a 2x2 matrix (in both precisions).
  bool is_single_qubit_unitary() const {
    return kind == Kind::kUnitary && op.targets.size() == 1 && op.matrix.size() == 4 &&
           op.matrix_d.size() == 4;
  }
  // How many entries of a gate list this value stands for: its barriers for
  // a run of barriers, else 1.
  std::uint64_t multiplicity() const { return kind == Kind::kBarrier ? barriers : 1; }

 private:
  static Gate with_qubit(Kind kind, std::uint64_t q) {
    Gate g;
    g.kind = kind;
    g.qubit = q;
    return g;
  }
};

// Adds the barriers of `next` to `last` when both are barriers and the sum
// fits one value; false (nothing changed) otherwise.
bool join_barriers(Gate& last, const Gate& next);

// Appends `gate` to `gates`, a barrier joining the run of barriers that ends
// the list: what every builder of a gate list uses.
void append_gate(std::vector<Gate>& gates, Gate gate);

// The number of gates `gates` stands for (a run of barriers counting its
// barriers): the length of the list as written and drawn.
std::uint64_t listed_size(std::span<const Gate> gates);

// The operation U controlled by `controls`: targets controls ++ targets, U
// kept as it is (num_controls = controls.size()). Checks, in order: at
// least one control; at least one target; fewer than 64 targets; 4^k
// entries; U unitary; fewer than 64 qubits in all; no qubit twice among
// controls ++ targets (the first duplicate in the order of Operation::create).
// Nothing larger than the inputs is allocated.
Result<Gate> make_controlled_unitary_gate(std::vector<std::uint64_t> controls,
                                          std::vector<std::uint64_t> targets,
                                          std::vector<Complex> matrix);
// The same with U's double matrix given (as many entries as `matrix`).
Result<Gate> make_controlled_unitary_gate(std::vector<std::uint64_t> controls,
                                          std::vector<std::uint64_t> targets,
                                          std::vector<Complex> matrix,
                                          std::vector<ComplexD> matrix_d);

}  // namespace vantrel::sim
