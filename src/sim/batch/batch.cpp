#include "sim/batch/batch.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <optional>

#include "sim/base/messages.h"
#include "sim/base/alloc.h"
#include "sim/diff/adjoint.h"
#include "sim/base/interrupt.h"
#include "sim/state/expectation.h"
#include "sim/base/pool.h"

namespace vantrel::sim {

namespace {

// The batch's one error message and its stop flag. The first failing unit
// claims the slot and keeps its message; later ones drop theirs without
// waiting, since which failure is reported does not matter, only that one is.
// The claim is an atomic exchange rather than a mutex try-lock: a try-lock may
// fail spuriously, and if every failing unit lost that way the batch would
// report success.
class ErrorSlot {
 public:
  void report(Error error) {
    if (!claimed_.exchange(true, std::memory_order_acq_rel)) error_ = std::move(error);
    stop_.store(true, std::memory_order_release);
  }
  bool stopped() const { return stop_.load(std::memory_order_acquire); }
  // Only after every unit has finished (the pool's join orders the writes).
  std::optional<Error> take() { return std::move(error_); }

 private:
  std::atomic<bool> claimed_{false};
  std::optional<Error> error_;
  std::atomic<bool> stop_{false};
};

// Spreads rows 0..B-1 over the pool. Each unit of work (an unsplit piece
// [lo, hi)) owns one context made by `make_context` (by default one of the
// plan's width) and evaluates its rows in increasing order with
// `row(r, context)`, which stores row r's result in the caller's
// preallocated slot r. Units stop at the first failure anywhere in the
// batch, or when the caller's Interrupt asks (interrupt.h: the units bind
// it, so the runs of their rows stop between steps too); the results are
// then dropped as a whole, so whatever a unit stored after the flag was set
// is never read.
template <class Row, class MakeContext>
Status evaluate_rows(std::uint64_t batch_size, const Row& row, const MakeContext& make_context) {
  ErrorSlot slot;
  Interrupt* const irq = current_interrupt();
  auto interrupted_now = [&] {
    if (irq == nullptr || !irq->stop_requested()) return false;
    slot.report(interrupted());
    return true;
  };
  parallel_for(batch_size, 1, [&](std::size_t lo, std::size_t hi) {
    const InterruptScope::Worker bound(irq);
    if (slot.stopped() || interrupted_now()) return;
    auto context = make_context();
    if (!context.ok()) {
      slot.report(std::move(context).error());
      return;
    }
    for (std::size_t r = lo; r < hi; ++r) {
      Status status = row(r, *context);
      if (!status.ok()) {
        slot.report(std::move(status).error());
        return;
      }
      if (slot.stopped() || interrupted_now()) return;
    }
  });
  if (std::optional<Error> error = slot.take()) return std::move(*error);
  return Status::Ok();
}

template <class T, class Row>
Status evaluate_rows(const CompiledCircuit& plan, std::uint64_t batch_size, const Row& row) {
  return evaluate_rows(batch_size, row, [&] { return execution_context<T>(plan); });
}

// Checks shared by both operations, in their order: B x P must fit a word,
// then the data must hold exactly B x P values.
template <class T>
Result<std::uint64_t> checked_batch_length(ParamsOf<T> data, std::uint64_t batch_size,
                                           std::uint64_t p) {
  std::uint64_t total = 0;
  if (__builtin_mul_overflow(batch_size, p, &total)) return invalid("parameter batch is too large");
  if (data.size() != total)
    return invalid("parameter batch contains " + dec(data.size()) + " values, expected " +
                   dec(total) + " for shape (" + dec(batch_size) + ", " + dec(p) + ")");
  return total;
}

// Result storage for B rows. Without parameters B is not bounded by the
// input's size, so a failed allocation here is reported, not thrown.
template <class V>
Status allocate_rows(V& out, std::uint64_t batch_size, typename V::value_type fill) {
  const auto failure = [&] {
    return allocation_failure(
        "the results of " + dec(batch_size) + " batch rows",
        static_cast<unsigned __int128>(batch_size) * sizeof(typename V::value_type));
  };
  if (batch_size > out.max_size()) return failure();
  return guard_allocation([&] { out.assign(batch_size, fill); }, failure);
}

}  // namespace

template <class T>
Result<std::vector<T>> batch_expectation(const CompiledCircuit& plan,
                                             ParamsOf<T> data,
                                             std::uint64_t batch_size,
                                             std::span<const PauliTerm> observable) {
  VANTREL_TRY(validate_observable(observable, plan.num_qubits()));
  std::vector<T> values;
  if (batch_size == 0) return values;
  const std::uint64_t p = plan.parameter_count();
  if (p == 0) {
    // One run serves every row; measurements are drawn once for the batch.
    auto state = run_statevector<T>(plan, {});
    if (!state.ok()) return std::move(state).error();
    auto value = expectation(*state, observable);
    if (!value.ok()) return std::move(value).error();
    VANTREL_TRY(allocate_rows(values, batch_size, *value));
    return values;
  }
  VANTREL_TRY(checked_batch_length<T>(data, batch_size, p));
  VANTREL_TRY(allocate_rows(values, batch_size, T(0)));
  VANTREL_TRY(evaluate_rows<T>(plan, batch_size, [&](std::size_t r, ExecutionContextOf<T>& context) {
    auto value = expectation_with_context(plan, data.subspan(r * p, p), observable, context);
    if (!value.ok()) return Status(std::move(value).error());
    values[r] = *value;
    return Status::Ok();
  }));
  return values;
}

template <class T>
Result<BatchValuesAndGradientsOf<T>> batch_value_and_gradient(const CompiledCircuit& plan,
                                                         ParamsOf<T> data,
                                                         std::uint64_t batch_size,
                                                         std::span<const PauliTerm> observable) {
  VANTREL_TRY(validate_observable(observable, plan.num_qubits()));
  BatchValuesAndGradientsOf<T> out;
  if (batch_size == 0) return out;
  const std::uint64_t p = plan.parameter_count();
  if (p == 0) {
    auto values = batch_expectation<T>(plan, data, batch_size, observable);
    if (!values.ok()) return std::move(values).error();
    out.values = std::move(values).value();
    VANTREL_TRY(allocate_rows(out.gradients, batch_size, {}));
    return out;
  }
  VANTREL_TRY(checked_batch_length<T>(data, batch_size, p));
  VANTREL_TRY(allocate_rows(out.values, batch_size, T(0)));
  VANTREL_TRY(allocate_rows(out.gradients, batch_size, {}));
  VANTREL_TRY(evaluate_rows<T>(plan, batch_size, [&](std::size_t r, ExecutionContextOf<T>& context) {
    auto vg =
        value_and_gradient_with_context(plan, data.subspan(r * p, p), observable, context);
    if (!vg.ok()) return Status(std::move(vg).error());
    out.values[r] = vg->value;
    out.gradients[r] = std::move(vg->gradient);
    return Status::Ok();
  }));
  return out;
}

template <class T>
Result<BatchValuesAndGradientMatrixOf<T>> batch_adjoint_value_and_gradient(
    const CompiledCircuit& plan, ParamsOf<T> data, std::uint64_t batch_size,
    std::span<const PauliTerm> observable) {
  VANTREL_TRY(validate_observable(observable, plan.num_qubits()));
  if (plan.has_random_steps())
    return messages::adjoint_random_steps();
  BatchValuesAndGradientMatrixOf<T> out;
  if (batch_size == 0) return out;
  const std::uint64_t p = plan.parameter_count();
  if (p == 0) {
    // Nothing to differentiate and nothing drawn: one run serves every row.
    auto one = adjoint_value_and_gradient<T>(plan, {}, observable);
    if (!one.ok()) return std::move(one).error();
    VANTREL_TRY(allocate_rows(out.values, batch_size, one->value));
    return out;
  }
  const auto total = checked_batch_length<T>(data, batch_size, p);
  if (!total.ok()) return total.error();
  VANTREL_TRY(allocate_rows(out.values, batch_size, T(0)));
  // B x P entries in one block: no more than the parameter data hold.
  VANTREL_TRY(guard_allocation([&] { out.gradients.assign(*total, T(0)); }, [&] {
    return allocation_failure("the gradients of " + dec(batch_size) + " batch rows",
                              static_cast<unsigned __int128>(*total) * sizeof(T));
  }));
  // Units start with an empty context: the first row sizes it, so that a
  // failed allocation carries the adjoint method's message.
  VANTREL_TRY(evaluate_rows(
      batch_size,
      [&](std::size_t r, ExecutionContextOf<T>& context) {
        auto value = adjoint_value_and_gradient_into(
            plan, data.subspan(r * p, p), observable, context,
            std::span<T>(out.gradients).subspan(r * p, p));
        if (!value.ok()) return Status(std::move(value).error());
        out.values[r] = *value;
        return Status::Ok();
      },
      [] { return Result<ExecutionContextOf<T>>(ExecutionContextOf<T>{}); }));
  return out;
}

template <class T>
Result<std::vector<T>> batch_expectations(const CompiledCircuit& plan,
                                              ParamsOf<T> data,
                                              std::uint64_t batch_size,
                                              ObservableList observables) {
  for (std::span<const PauliTerm> terms : observables)
    VANTREL_TRY(validate_observable(terms, plan.num_qubits()));
  std::vector<T> values;
  if (batch_size == 0) return values;
  const std::uint64_t k = observables.size();
  std::uint64_t count = 0;
  if (__builtin_mul_overflow(batch_size, k, &count)) return invalid("parameter batch is too large");
  const std::uint64_t p = plan.parameter_count();
  if (p == 0) {
    // One run serves every row; measurements are drawn once for the batch.
    auto row = expectations<T>(plan, {}, observables);
    if (!row.ok()) return std::move(row).error();
    VANTREL_TRY(allocate_rows(values, count, T(0)));
    for (std::uint64_t r = 0; r < batch_size; ++r)
      std::copy(row->begin(), row->end(), values.begin() + static_cast<std::ptrdiff_t>(r * k));
    return values;
  }
  VANTREL_TRY(checked_batch_length<T>(data, batch_size, p));
  VANTREL_TRY(allocate_rows(values, count, T(0)));
  VANTREL_TRY(evaluate_rows<T>(plan, batch_size, [&](std::size_t r, ExecutionContextOf<T>& context) -> Status {
    VANTREL_TRY(prepare_context(plan, context));
    VANTREL_TRY(run_into(plan, data.subspan(r * p, p), context.state));
    for (std::uint64_t j = 0; j < k; ++j) {
      auto value = expectation(context.state, observables[j]);
      if (!value.ok()) return Status(std::move(value).error());
      values[r * k + j] = *value;
    }
    return Status::Ok();
  }));
  return values;
}

#define VANTREL_BATCH_OF(T)                                                                     \
  template Result<std::vector<T>> batch_expectation<T>(const CompiledCircuit&, ParamsOf<T>,     \
                                                       std::uint64_t,                           \
                                                       std::span<const PauliTerm>);             \
  template Result<BatchValuesAndGradientsOf<T>> batch_value_and_gradient<T>(                    \
      const CompiledCircuit&, ParamsOf<T>, std::uint64_t, std::span<const PauliTerm>);          \
  template Result<BatchValuesAndGradientMatrixOf<T>> batch_adjoint_value_and_gradient<T>(       \
      const CompiledCircuit&, ParamsOf<T>, std::uint64_t, std::span<const PauliTerm>);          \
  template Result<std::vector<T>> batch_expectations<T>(const CompiledCircuit&, ParamsOf<T>,    \
                                                        std::uint64_t, ObservableList);
VANTREL_BATCH_OF(float)
VANTREL_BATCH_OF(double)
#undef VANTREL_BATCH_OF

}  // namespace vantrel::sim
