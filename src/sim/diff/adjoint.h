// Adjoint differentiation: an expectation value and its derivative with
// respect to every parameter from one forward run and one backward sweep,
// whatever the number of parameters.
//
// With psi = U_L ... U_1 |0...0> the final state and H the observable, the
// derivative with respect to the angle of a parametric step k is
// 2 Re <lambda_k| dU_k/dangle U_k^dagger |psi_k>, where psi_k is the state
// just after step k and lambda_k = U_{k+1}^dagger ... U_L^dagger H psi. The
// sweep starts from psi and lambda = H psi and walks the plan backwards,
// taking each parametric step's derivative from the two states, then undoing
// the step on both with its conjugate transpose. Fixed gates are undone the
// same way; nothing requires them to be exact inverses of anything.
//
// Every step kind is a rotation exp(-i phi/2 G) by a Pauli string G (P up
// to a global phase) with phi = theta, or scale * theta for a Pauli-string
// rotation, so each derivative is Im <lambda|G|psi>, times the scale. That
// inner product never materialises G psi: kernels/adjoint_inner.h gives each
// amplitude's products and how a chunk of kAdjointChunk amplitudes sums
// them. Summation order, fixed so that results are the same bits on every
// run and for every pool size:
// - the amplitudes are cut into chunks in index order, each summed as
//   kernels/adjoint_inner.h says; the chunk values are added from +0 in
//   index order. (Chunks can be computed on any threads; only their
//   combination is ordered.)
// - a slot's gradient entry starts at +0 and adds the derivatives of the
//   steps that read it in reverse plan order (last step first); a slot that
//   no step reads stays +0.
// - H psi adds each amplitude's terms in list order (apply_observable).
// All arithmetic is in the scalar type T of the context, as in the rest of
// the engine.
#pragma once

#include <cstddef>
#include <span>

#include "sim/run/plan_run.h"
#include "sim/diff/gradient.h"
#include "sim/kernels/pauli.h"

namespace vantrel::sim {

// Writes the gradient into `gradient` (parameter_count() entries) and returns
// the value, which is bit for bit expectation_with_context's. Checks, in this
// order and before any work: "parameter vector has length {}, expected {}";
// "observable references qubit {} but state vector only has {} qubits";
// "adjoint differentiation does not support measurement or reset steps";
// then the width, as the context is set to the plan's (kOutOfMemory naming
// the state vector that could not be made, the forward or the backward one,
// 64 qubits or more included).
// Barriers are fine.
//
// The context's `state` is the forward state, and `backward` lambda; at most
// these two state vectors are used. After success `state` holds the state
// just after the plan's first parametric step as the sweep reconstructs it
// (the final state with the later steps undone), or the final state when no
// step is parametric. A context of the plan's width, used before by an
// adjoint call, makes the call allocate nothing (a fixed step on four or
// more qubits may need tables of its own, as it does in a run).
template <class T>
Result<T> adjoint_value_and_gradient_into(const CompiledCircuit& plan, ParamsOf<T> params,
                                          std::span<const PauliTerm> observable,
                                          ExecutionContextOf<T>& context,
                                          std::span<std::type_identity_t<T>> gradient);

template <class T>
Result<ValueAndGradientOf<T>> adjoint_value_and_gradient_with_context(
    const CompiledCircuit& plan, ParamsOf<T> params, std::span<const PauliTerm> observable,
    ExecutionContextOf<T>& context);

// With a context of its own for the call.
template <class T = float>
Result<ValueAndGradientOf<T>> adjoint_value_and_gradient(const CompiledCircuit& plan,
                                                         ParamsOf<T> params,
                                                         std::span<const PauliTerm> observable);

// Sets `out` to the conjugate transpose of `op` (same targets), both
// precisions' matrices, reusing its storage. The one place that knows how a
// fixed step is undone.
void adjoint_operation(const Operation& op, Operation& out);

namespace detail {

// Im <lambda|P|psi> over two states of one width, chunks spread over the pool.
template <class T>
T imag_pauli_inner(const StateVectorOf<T>& lambda, const StateVectorOf<T>& psi,
                   const kernels::PauliMasks& m);

}  // namespace detail

}  // namespace vantrel::sim
