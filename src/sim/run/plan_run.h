// Running a compiled plan for one parameter vector, in the scalar type T
// (float or double) of its state: parameters, matrices, angles and results
// are T's. The plan's numbers are kept in double and each run takes them in
// T (plan.h); callers run a plan at the precision it records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "sim/run/block_executor.h"
#include "sim/model/gate_table.h"
#include "sim/kernels/pauli_rotation.h"
#include "sim/model/observable.h"
#include "sim/model/plan.h"
#include "sim/base/pool.h"
#include "sim/base/result.h"
#include "sim/base/rng.h"
#include "sim/state/state_vector.h"

namespace vantrel::sim {

// A parameter vector of T. Spelt through type_identity so that T comes from
// the state or context of a call (or is named), never from the span.
template <class T>
using ParamsOf = std::span<const std::type_identity_t<T>>;

// A reusable scratch state; its contents between calls are the final state
// of the last run made with it (adjoint.h says what an adjoint call leaves).
// Used by one call at a time.
template <class T>
struct ExecutionContextOf {
  using Scalar = T;
  StateVectorOf<T> state;
  // Kept for adjoint differentiation only, so that repeated calls at one
  // width allocate nothing: the backward state, the conjugate transpose of
  // the fixed step being undone, and on large registers those of the fixed
  // steps between two parametric ones with the run that undoes them. Empty
  // until the first adjoint call.
  StateVectorOf<T> backward;
  Operation undo;
  std::vector<Operation> undos;
  std::vector<RunStepOf<T>> run;
};
using ExecutionContext = ExecutionContextOf<float>;

// The 2x2 row-major matrix of a rotation by theta (radians): that of the
// standard gate RX, RY, RZ or P (gate_table.h), in T.
template <class T>
void rotation_matrix(RotationKind kind, T theta, ComplexOf<T> out[4]);

// The angle a parametric step turns by for `params`: the value of its slot,
// times its scale rounded to T for a Pauli-string rotation (a product in T).
// Requires op.slot < params.size().
template <class T = float>
T step_angle(const CompiledOp& op, ParamsOf<T> params);

// The masks of the Pauli string (every qubit below 64).
kernels::RotationMasks rotation_masks(std::span<const PauliFactor> paulis);

// Which way a parametric step is applied: as a run turns it, or undone
// (its conjugate transpose), as the adjoint sweep walks the plan back.
enum class StepDirection : std::uint8_t { kForward, kUndo };

// The kernel work of parametric step `op` turned by `angle`: for a one-qubit
// rotation its 2x2 matrix (undone: the conjugate transpose); for a
// Pauli-string rotation exp(-i angle/2 P) the masks of P with (c, s) =
// half_angle_cos_sin(angle) (undone: c + i s P, the same kernel with s
// negated, exactly). Every route that runs or undoes a parametric step gets
// its work here, so all of them apply the same bits. Returns false, leaving
// `step` as it was, for a Pauli-string rotation without factors (the
// identity: nothing to apply). Qubits and slot are not checked.
template <class T>
bool parametric_run_step(const CompiledOp& op, std::type_identity_t<T> angle, StepDirection direction,
                         RunStepOf<T>& step);

// That work on the whole of `state`, spread over the pool.
template <class T>
void apply_parametric_step(const CompiledOp& op, std::type_identity_t<T> angle,
                           StepDirection direction, StateVectorOf<T>& state);

// "parameter vector has length {}, expected {}", then
// "state vector has {} qubits, compiled circuit expects {}"; then every step
// in order. On a failing step the state keeps what earlier steps made.
// Measurement and reset steps draw from the calling thread's generator, taken
// once per run (and only by plans that have such steps). A parametric step
// whose target or slot does not fit, possible only in a plan assembled by
// hand, fails like a fixed step instead of touching memory out of bounds.
template <class T>
Status run_into(const CompiledCircuit& plan, ParamsOf<T> params, StateVectorOf<T>& state);
// The same with measurement and reset steps drawing from `rng`.
template <class T>
Status run_into(const CompiledCircuit& plan, ParamsOf<T> params, StateVectorOf<T>& state,
                Rng& rng);

// Replaces the angle of one parametric step for a single run: step `step`
// (a position in plan.ops()) rotates by `angle` instead of step_angle (its
// slot's value, scaled for a Pauli-string rotation). The default names no
// step.
template <class T>
struct AngleOverrideOf {
  std::size_t step = SIZE_MAX;
  T angle = T(0);
};
using AngleOverride = AngleOverrideOf<float>;

// run_into with one step's angle overridden; checks and order as run_into.
template <class T>
Status run_into_overriding(const CompiledCircuit& plan, ParamsOf<T> params,
                           StateVectorOf<T>& state, AngleOverrideOf<T> override_angle);

// Applies steps [begin, end) of the plan to `state`, with the checks of a
// run's steps and step `override_angle.step` turned by its angle. Every run
// goes through here: before each step it checks the thread's Interrupt
// (interrupt.h) and returns interrupted() once the call is to stop. `rng`
// serves measurement and reset steps and may be null only when the range
// holds none. Neither the parameter length nor the state's width is checked:
// the caller has done so (for instance by a successful run of the same plan
// on a state of that width). For sweeps that share a prefix of the plan
// between runs; on a failing step the state keeps what earlier steps made.
template <class T>
Status apply_steps(const CompiledCircuit& plan, ParamsOf<T> params, StateVectorOf<T>& state,
                   std::size_t begin, std::size_t end, AngleOverrideOf<T> override_angle,
                   Rng* rng);

// Sets the context to |0...0> of the plan's width: in place, allocating
// nothing, when the width matches; otherwise with a fresh state (the old
// buffer is released only once the new one exists) and without the adjoint
// scratch of the old width.
template <class T>
Status prepare_context(const CompiledCircuit& plan, ExecutionContextOf<T>& context);

// A fresh |0...0> of the plan's width, run.
template <class T = float>
Result<StateVectorOf<T>> run_statevector(const CompiledCircuit& plan, ParamsOf<T> params);

// Runs the plan once on a fresh state and draws `shots` basis-state indices
// from the final state as `measure` draws them. Without a seed, measurement
// and reset steps and the draws use the calling thread's generator; with
// one, a SeededRng of that seed serves all of them in that order, so the
// samples depend only on the plan, the parameters and the seed (the run's
// state has the same bits on any pool size, and the draws are made on the
// calling thread). Errors of the run, then of `measure`.
template <class T = float>
Result<std::vector<std::uint64_t>> sample(const CompiledCircuit& plan, ParamsOf<T> params,
                                          std::uint64_t shots,
                                          std::optional<std::uint64_t> seed);

// A context holding a fresh state of the plan's width.
template <class T = float>
Result<ExecutionContextOf<T>> execution_context(const CompiledCircuit& plan);

// Resets the context in place (or re-sizes it to the plan's width), then runs.
// Allocates nothing when the width already matches.
template <class T>
Result<const StateVectorOf<T>*> run_statevector_with_context(const CompiledCircuit& plan,
                                                             ParamsOf<T> params,
                                                             ExecutionContextOf<T>& context);

template <class T>
Result<T> expectation_with_context(const CompiledCircuit& plan, ParamsOf<T> params,
                                   std::span<const PauliTerm> observable,
                                   ExecutionContextOf<T>& context);

// One run of the plan, then the expectation value of each observable in the
// final state, in list order: value k has the bits expectation() gives for
// observables[k] after that run (so those of expectation_with_context for a
// plan without measurement or reset steps). Errors of the run, then the first
// observable's error in list order. No observables: the run alone, no values.
using ObservableList = std::span<const std::span<const PauliTerm>>;
template <class T = float>
Result<std::vector<T>> expectations(const CompiledCircuit& plan, ParamsOf<T> params,
                                    ObservableList observables);
template <class T>
Result<std::vector<T>> expectations_with_context(const CompiledCircuit& plan, ParamsOf<T> params,
                                                 ObservableList observables,
                                                 ExecutionContextOf<T>& context);

// Each observable's expectation value in `state`, in list order.
template <class T>
Result<std::vector<T>> expectations_in(const StateVectorOf<T>& state, ObservableList observables);

}  // namespace vantrel::sim
