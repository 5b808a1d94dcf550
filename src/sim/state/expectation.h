// Expectation values of Pauli observables (model/observable.h) and H psi.
#pragma once

#include <span>

#include "sim/base/result.h"
#include "sim/kernels/isa.h"
#include "sim/model/observable.h"
#include "sim/state/state_vector.h"

namespace vantrel::sim {

// <psi|H|psi> in the state's precision T (each coefficient rounded to T):
// terms in list order, amplitudes in ascending index order, plain running
// sums. Reads the state only. Checks the thread's Interrupt (interrupt.h)
// before each chunk of terms.
template <class T>
Result<T> expectation(const StateVectorOf<T>& state, std::span<const PauliTerm> terms);

// out = H psi. Each amplitude is a running complex sum from +0 over the
// terms in list order of coefficient * (P psi)[i], the product of a real and
// a complex number taken part by part: (c * re, c * im). (P psi)[i] =
// phi_i * psi[i ^ x_mask], with the masks and phases of kernels/pauli.h, only
// permutes and negates parts, exactly. `out` must have psi's width and be
// another buffer; every amplitude of it is written. The observable is
// checked first, as by expectation, and `out` is left untouched on error.
// Allocates nothing. Blocks of amplitudes may be spread over the worker
// pool; no amplitude's sum depends on the split.
template <class T>
Status apply_observable(const StateVectorOf<T>& psi, std::span<const PauliTerm> terms,
                        StateVectorOf<T>& out);

namespace detail {

// apply_observable with the kernels of a given table (kernels/isa.h) that
// the processor runs. Every table gives the same bits.
template <class T>
Status apply_observable_with(const kernels::KernelTableOf<T>& table, const StateVectorOf<T>& psi,
                             std::span<const PauliTerm> terms, StateVectorOf<T>& out);

}  // namespace detail

}  // namespace vantrel::sim
