#include "sim/diff/adjoint.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>

#include "sim/base/messages.h"
#include "sim/base/alloc.h"
#include "sim/run/block_executor.h"
#include "sim/model/gate_table.h"
#include "sim/base/interrupt.h"
#include "sim/kernels/adjoint_inner.h"
#include "sim/kernels/grain.h"
#include "sim/kernels/isa.h"
#include "sim/kernels/pauli_rotation.h"
#include "sim/base/pool.h"
#include "sim/base/team.h"
#include "sim/state/expectation.h"

namespace vantrel::sim {

namespace {

// Chunks per piece of parallel work (kernels/grain.h).
constexpr std::size_t kInnerGrainChunks = kernels::kGrainAmps / kernels::kAdjointChunk;
// Chunk values held at once (on the stack); larger states take several
// rounds, each added in order before the next starts.
constexpr std::size_t kInnerRound = 1024;

}  // namespace

namespace detail {

// Chunks are evaluated in parallel, each into its own slot, and added in
// index order in double on the calling thread: the same bits for every pool
// size and for every way of sharing the chunks.
template <class Exec, class T>
T imag_pauli_inner_on(const StateVectorOf<T>& lambda, const StateVectorOf<T>& psi,
                      const kernels::PauliMasks& m) {
  const std::size_t size = psi.size();
  const std::size_t chunks = (size + kernels::kAdjointChunk - 1) / kernels::kAdjointChunk;
  const auto chunk = kernels::active_kernels_of<T>().imag_pauli_chunk;
  double values[kInnerRound];
  double total = 0.0;
  for (std::size_t first = 0; first < chunks; first += kInnerRound) {
    const std::size_t count = std::min(kInnerRound, chunks - first);
    Exec::parallel_for(count, kInnerGrainChunks, [&](std::size_t lo, std::size_t hi) {
      for (std::size_t c = lo; c < hi; ++c) {
        const std::size_t begin = (first + c) * kernels::kAdjointChunk;
        values[c] = chunk(lambda.data(), psi.data(), m, begin, std::min(size, begin + kernels::kAdjointChunk));
      }
    });
    for (std::size_t c = 0; c < count; ++c) total = total + values[c];
  }
  return static_cast<T>(total);
}

template <class T>
T imag_pauli_inner(const StateVectorOf<T>& lambda, const StateVectorOf<T>& psi, const kernels::PauliMasks& m) {
  return imag_pauli_inner_on<PoolExecutor>(lambda, psi, m);
}

}  // namespace detail

namespace {

// The conjugate transpose of a d x d row-major matrix.
template <class T>
void conjugate_transpose(const ComplexOf<T>* m, std::size_t d, ComplexOf<T>* out) {
  for (std::size_t r = 0; r < d; ++r)
    for (std::size_t c = 0; c < d; ++c) out[c * d + r] = conj(m[r * d + c]);
}

// The derivative of <H> with respect to the parameter read by step `op`,
// from psi (the state just after the step) and lambda (the backward state
// there). One case per step kind: its generator and its inner product.
template <class Exec = PoolExecutor, class T>
T step_derivative(const CompiledOp& op, const StateVectorOf<T>& lambda, const StateVectorOf<T>& psi) {
  if (op.kind == CompiledOp::Kind::kPauliRotation) {
    // exp(-i phi/2 P) with phi = scale * theta: Im <lambda|P|psi> per unit of
    // phi, times d(phi)/d(theta) = scale. Without factors the step is a
    // global phase, which cannot change <H>.
    if (op.paulis.empty()) return T(0);
    return detail::imag_pauli_inner_on<Exec>(lambda, psi, pauli_masks(op.paulis)) * static_cast<T>(op.scale);
  }
  // RX, RY, RZ = exp(-i theta/2 G) with G = X, Y, Z: dU/dtheta = (-i/2) G U,
  // so the derivative is 2 Re <lambda|(-i/2) G|psi> = Im <lambda|G|psi>.
  // P = diag(1, e^{i theta}) = e^{i theta/2} RZ(theta): dP/dtheta = i Pi1 P
  // (Pi1 = (1 - Z)/2 projecting onto the target's |1>) gives 2 Re
  // <lambda|i Pi1|psi> = Im <lambda|Z|psi> - Im <lambda|psi>, and
  // <lambda|psi> = <psi_final|H|psi_final> is real: the derivative is RZ's,
  // as a global phase cannot change <H>.
  static constexpr PauliLabel kGenerator[] = {PauliLabel::kX, PauliLabel::kY, PauliLabel::kZ,
                                              PauliLabel::kZ};
  const PauliFactor g{op.target, kGenerator[static_cast<int>(op.rotation)]};
  return detail::imag_pauli_inner_on<Exec>(lambda, psi, pauli_masks(std::span<const PauliFactor>(&g, 1)));
}

// The backward sweep over steps [first, L) from the end, with psi in
// context.state and lambda in context.backward; `first` is the plan's first
// parametric step, whose derivative is the last one taken and which is not
// undone.
template <class T>
Status sweep(const CompiledCircuit& plan, ParamsOf<T> params,
             ExecutionContextOf<T>& context, std::size_t first, std::span<T> gradient) {
  StateVectorOf<T>& psi = context.state;
  StateVectorOf<T>& lambda = context.backward;
  const std::vector<CompiledOp>& ops = plan.ops();
  StopCheck stop;
  const std::uint64_t step_work = 3 * psi.size();  // a derivative and two undos
  for (std::size_t k = ops.size(); k-- > first;) {
    if (stop(step_work)) return interrupted();
    const CompiledOp& op = ops[k];
    if (op.is_parametric()) {
      gradient[op.slot] = gradient[op.slot] + step_derivative(op, lambda, psi);
      if (k == first) break;
      apply_parametric_step(op, step_angle<T>(op, params), StepDirection::kUndo, psi);
      apply_parametric_step(op, step_angle<T>(op, params), StepDirection::kUndo, lambda);
      continue;
    }
    if (op.gate.kind != Gate::Kind::kUnitary) continue;  // barriers
    adjoint_operation(op.gate.op, context.undo);
    VANTREL_TRY(psi.apply_operation(context.undo));
    VANTREL_TRY(lambda.apply_operation(context.undo));
  }
  return Status::Ok();
}

// The backward sweep of `sweep` on registers the executor runs: the undos
// between two derivatives (the parametric step just differentiated, then the
// fixed steps down to the next parametric one) form one run, applied to psi
// and to lambda as placed: kPaired, psi by the calling thread and lambda by
// a helper, the derivatives' chunks shared by the two; otherwise one after
// the other (each shared by the executor's team when kShared), the
// derivatives on this thread (kAlone) or over the pool. The executor gives every amplitude
// the operations of the step-by-step loop in the same order, and the
// derivatives add their chunks in index order whoever computes them, so the
// bits are those of `sweep` on every pool size. Returns no status, having
// done nothing, when the undo storage cannot be allocated: the caller then
// sweeps step by step, which needs none.
template <class T>
std::optional<Status> sweep_in_runs(const CompiledCircuit& plan, ParamsOf<T> params,
                                    ExecutionContextOf<T>& context, std::size_t first,
                                    std::span<T> gradient, Placement where) {
  StateVectorOf<T>& psi = context.state;
  StateVectorOf<T>& lambda = context.backward;
  const std::vector<CompiledOp>& ops = plan.ops();
  // The most fixed unitary steps between two parametric ones: the undos a
  // run needs at once.
  std::size_t most = 0;
  for (std::size_t k = ops.size(), fixed = 0; k-- > first;) {
    if (ops[k].is_parametric()) {
      fixed = 0;
    } else if (ops[k].gate.kind == Gate::Kind::kUnitary) {
      most = std::max(most, ++fixed);
    }
  }
  if (!allocated([&] {
        if (context.undos.size() < most) context.undos.resize(most);
        context.run.reserve(most + 1);
      }))
    return std::nullopt;

  const bool alone = where == Placement::kAlone;
  std::optional<Team> pair;
  if (where == Placement::kPaired) pair.emplace(2);
  const bool paired = pair && pair->size() == 2;
  std::vector<RunStepOf<T>>& run = context.run;
  run.clear();
  std::size_t used = 0;  // undos of the pending run
  auto flush = [&]() -> Status {
    if (run.empty()) return Status::Ok();
    Status done[2];
    if (paired) {
      pair->run(2, [&](std::size_t share) {
        done[share] = execute_run(share == 0 ? psi : lambda, run, nullptr, nullptr);
      });
    } else {
      done[0] = execute_run(psi, run, nullptr, nullptr);
      if (done[0].ok()) done[1] = execute_run(lambda, run, nullptr, nullptr);
    }
    run.clear();
    used = 0;
    VANTREL_TRY(std::move(done[0]));
    return std::move(done[1]);
  };

  StopCheck stop;
  for (std::size_t k = ops.size(); k-- > first;) {
    const CompiledOp& op = ops[k];
    if (op.is_parametric()) {
      VANTREL_TRY(flush());
      if (stop(psi.size())) return interrupted();
      const T d = paired  ? step_derivative<TeamExecutor>(op, lambda, psi)
                      : alone ? step_derivative<SequentialExecutor>(op, lambda, psi)
                              : step_derivative<PoolExecutor>(op, lambda, psi);
      gradient[op.slot] = gradient[op.slot] + d;
      if (k == first) break;
      RunStepOf<T> step;
      if (parametric_run_step(op, step_angle<T>(op, params), StepDirection::kUndo, step))
        run.push_back(step);
      continue;
    }
    if (op.gate.kind != Gate::Kind::kUnitary) continue;  // barriers
    Operation& undo = context.undos[used++];
    adjoint_operation(op.gate.op, undo);
    VANTREL_TRY(append_operation_step(psi, undo, run));
  }
  return Status::Ok();
}

}  // namespace

void adjoint_operation(const Operation& op, Operation& out) {
  // A controlled operation's conjugate transpose keeps its controls and
  // takes that of its small matrix.
  out.targets.assign(op.targets.begin(), op.targets.end());
  out.num_controls = op.num_controls;
  out.matrix.resize(op.matrix.size());
  out.matrix_d.resize(op.matrix_d.size());
  std::size_t d = 0;
  while (d * d < op.matrix.size()) ++d;
  conjugate_transpose(op.matrix.data(), d, out.matrix.data());
  if (op.matrix_d.size() == op.matrix.size())
    conjugate_transpose(op.matrix_d.data(), d, out.matrix_d.data());
}

template <class T>
Result<T> adjoint_value_and_gradient_into(const CompiledCircuit& plan,
                                              ParamsOf<T> params,
                                              std::span<const PauliTerm> observable,
                                              ExecutionContextOf<T>& context,
                                              std::span<std::type_identity_t<T>> gradient) {
  const std::uint64_t p = plan.parameter_count();
  const std::uint64_t n = plan.num_qubits();
  if (params.size() != p)
    return messages::parameter_length(params.size(), p);
  VANTREL_TRY(validate_observable(observable, n));
  VANTREL_TRY(plan.refuse_channels());
  if (plan.has_random_steps())
    return messages::adjoint_random_steps();
  if (gradient.size() != p) return internal("gradient span does not match the parameter count");

  // Placed kAlone (psi and lambda are one block each, so both fit one core's
  // cache), the whole call stays on this thread: handing the run or the
  // observable's passes to the pool would only move the states between
  // caches.
  const Placement where = placement(n, RunPairs::kShort);
  const PlacementScope placed(where);
  VANTREL_TRY(prepare_context(plan, context));
  VANTREL_TRY(run_into(plan, params, context.state));
  auto value = expectation(context.state, observable);
  if (!value.ok()) return std::move(value).error();
  std::fill(gradient.begin(), gradient.end(), T(0));

  const std::vector<CompiledOp>& ops = plan.ops();
  const auto first = std::find_if(ops.begin(), ops.end(),
                                  [](const CompiledOp& op) { return op.is_parametric(); });
  if (first == ops.end()) return *value;

  if (context.backward.num_qubits() != n || context.backward.data() == nullptr) {
    context.backward = StateVectorOf<T>();  // the old buffer goes first: lower peak
    auto made = StateVectorOf<T>::create(n);
    if (!made.ok()) {
      if (made.error().kind != ErrorKind::kOutOfMemory) return std::move(made).error();
      return allocation_failure(
          std::string(precision_of<T> == Precision::kDouble ? "the double-precision backward state vector of "
                                                            : "the backward state vector of ") +
              dec(n) + " qubits for adjoint differentiation",
          static_cast<unsigned __int128>(sizeof(ComplexOf<T>)) << n);
    }
    context.backward = std::move(made).value();
  }
  VANTREL_TRY(apply_observable(context.state, observable, context.backward));
  const auto begin = static_cast<std::size_t>(first - ops.begin());
  std::optional<Status> swept;
  if (runs_through_executor(n)) swept = sweep_in_runs(plan, params, context, begin, gradient, where);
  if (!swept) swept = sweep(plan, params, context, begin, gradient);
  VANTREL_TRY(std::move(*swept));
  return *value;
}

template <class T>
Result<ValueAndGradientOf<T>> adjoint_value_and_gradient_with_context(
    const CompiledCircuit& plan, ParamsOf<T> params,
    std::span<const PauliTerm> observable, ExecutionContextOf<T>& context) {
  ValueAndGradientOf<T> out;
  // Sized only once the length is known to be right: a wrong length is
  // reported by the checks, not turned into an allocation.
  if (params.size() == plan.parameter_count()) out.gradient.resize(params.size());
  auto value = adjoint_value_and_gradient_into(plan, params, observable, context,
                                               std::span<T>(out.gradient));
  if (!value.ok()) return std::move(value).error();
  out.value = *value;
  return out;
}

template <class T>
Result<ValueAndGradientOf<T>> adjoint_value_and_gradient(const CompiledCircuit& plan,
                                                    ParamsOf<T> params,
                                                    std::span<const PauliTerm> observable) {
  ExecutionContextOf<T> context;
  return adjoint_value_and_gradient_with_context(plan, params, observable, context);
}

#define VANTREL_ADJOINT_OF(T)                                                                   \
  template Result<T> adjoint_value_and_gradient_into<T>(const CompiledCircuit&, ParamsOf<T>,    \
                                                        std::span<const PauliTerm>,             \
                                                        ExecutionContextOf<T>&, std::span<T>); \
  template Result<ValueAndGradientOf<T>> adjoint_value_and_gradient_with_context<T>(            \
      const CompiledCircuit&, ParamsOf<T>, std::span<const PauliTerm>, ExecutionContextOf<T>&); \
  template Result<ValueAndGradientOf<T>> adjoint_value_and_gradient<T>(                         \
      const CompiledCircuit&, ParamsOf<T>, std::span<const PauliTerm>);                         \
  template T detail::imag_pauli_inner<T>(const StateVectorOf<T>&, const StateVectorOf<T>&,      \
                                         const kernels::PauliMasks&);
VANTREL_ADJOINT_OF(float)
VANTREL_ADJOINT_OF(double)
#undef VANTREL_ADJOINT_OF

}  // namespace vantrel::sim
