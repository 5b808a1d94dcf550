// Pauli observables: real-weighted sums of Pauli strings.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "sim/kernels/isa.h"
#include "sim/kernels/pauli.h"
#include "sim/base/result.h"
#include "sim/state/state_vector.h"

namespace vantrel::sim {

enum class PauliLabel : std::uint8_t { kX = 0, kY = 1, kZ = 2 };

struct PauliFactor {
  std::uint64_t qubit;
  PauliLabel label;
};

struct PauliTerm {
  std::vector<PauliFactor> ops;  // distinct qubits, ascending
  float coefficient = 1.0f;

  // "duplicate qubit index: {}" (earliest factor with a later duplicate);
  // otherwise sorts the factors by qubit.
  static Result<PauliTerm> create(std::vector<PauliFactor> ops, float coefficient);
};

class Observable {
 public:
  // "observable must contain at least one term" for an empty list.
  static Result<Observable> create(std::vector<PauliTerm> terms);
  static Result<Observable> single(PauliLabel label, std::uint64_t qubit, float coefficient);

  const std::vector<PauliTerm>& terms() const { return terms_; }

 private:
  std::vector<PauliTerm> terms_;
};

// "observable references qubit {} but state vector only has {} qubits" for
// the first factor (terms in order, factors in order) at or above n.
Status validate_observable(std::span<const PauliTerm> terms, std::uint64_t num_qubits);

// The masks of a Pauli string (kernels/pauli.h says what they mean); every
// qubit below 64, no qubit twice.
kernels::PauliMasks pauli_masks(std::span<const PauliFactor> factors);

// <psi|H|psi> in single precision: terms in list order, amplitudes in
// ascending index order, plain running sums. Reads the state only. Checks the
// thread's Interrupt (interrupt.h) before each chunk of terms.
Result<float> expectation(const StateVector& state, std::span<const PauliTerm> terms);

// out = H psi. Each amplitude is a running complex sum from +0 over the
// terms in list order of coefficient * (P psi)[i], the product of a real and
// a complex number taken part by part: (c * re, c * im). (P psi)[i] =
// phi_i * psi[i ^ x_mask], with the masks and phases of kernels/pauli.h, only
// permutes and negates parts, exactly. `out` must have psi's width and be
// another buffer; every amplitude of it is written. The observable is
// checked first, as by expectation, and `out` is left untouched on error.
// Allocates nothing. Blocks of amplitudes may be spread over the worker
// pool; no amplitude's sum depends on the split.
Status apply_observable(const StateVector& psi, std::span<const PauliTerm> terms, StateVector& out);

namespace detail {

// apply_observable with the registers of a given instruction set the
// processor runs (kernels/isa.h; kScalar: the plain loop). Every form gives
// the same bits.
Status apply_observable_isa(kernels::Isa isa, const StateVector& psi,
                            std::span<const PauliTerm> terms, StateVector& out);

// A term as the register forms take it: the partner of amplitude i is
// psi[(i ^ x_high) + ((i mod 8) ^ x_low)] (i ^ x_mask, cut at bit 3), its
// parts swapped when swap_parts (imaginary phases); part k % 2 of amplitude
// k / 2 of a group of eight is multiplied by coef[parity of i & z_high][k],
// the coefficient with the phase's sign (and for imaginary phases the real
// part's minus) folded in.
struct TermLanes {
  std::uint64_t x_high;
  std::uint64_t x_low;
  std::uint64_t z_high;
  bool swap_parts;
  alignas(64) float coef[2][16];
};
TermLanes term_lanes(const kernels::PauliMasks& m, float coefficient);

// acc[k] += the term's value at amplitude base + k for k < count (base and
// count multiples of 8); in the files built for the instruction set, called
// only where the processor runs it.
void add_term_avx2(Complex* acc, const Complex* psi, std::size_t base, std::size_t count,
                   const TermLanes& t);
void add_term_avx512(Complex* acc, const Complex* psi, std::size_t base, std::size_t count,
                     const TermLanes& t);

}  // namespace detail

}  // namespace vantrel::sim
