#include "sim/run/circuit.h"

#include <algorithm>
#include <new>

#include "sim/base/alloc.h"
#include "sim/model/fusion.h"
#include "sim/base/interrupt.h"
#include "sim/state/measure.h"
#include "sim/base/rng.h"
#include "sim/run/trajectory.h"

namespace vantrel::sim {
namespace {

// From this many one-qubit unitaries on (anywhere in the list) a circuit is
// fused when it is created.
constexpr std::size_t kFusionThreshold = 16;

}  // namespace

Circuit Circuit::create(std::vector<Gate> gates) {
  const auto singles = static_cast<std::size_t>(std::count_if(
      gates.begin(), gates.end(), [](const Gate& g) { return g.is_single_qubit_unitary(); }));
  Circuit c;
  if (singles >= kFusionThreshold) {
    c.gates_ = fuse_gates(gates);
  } else {
    c.gates_ = std::move(gates);
  }
  return c;
}

Circuit Circuit::from_gates(std::vector<Gate> gates) {
  Circuit c;
  c.gates_ = std::move(gates);
  return c;
}

template <class T>
Result<std::optional<bool>> execute_gate(StateVectorOf<T>& state, const Gate& g, Rng* rng) {
  switch (g.kind) {
    case Gate::Kind::kUnitary:
      VANTREL_TRY(state.apply_operation(g.op));
      break;
    case Gate::Kind::kMeasure: {
      auto outcome = measure_qubit(state, g.qubit, *rng);
      if (!outcome.ok()) return std::move(outcome).error();
      return std::optional<bool>(*outcome);
    }
    case Gate::Kind::kReset:
      VANTREL_TRY(reset_qubit(state, g.qubit, *rng));
      break;
    case Gate::Kind::kBarrier:
      break;
    case Gate::Kind::kChannel:
      VANTREL_TRY(apply_channel(state, *g.channel, *rng));
      break;
  }
  return std::optional<bool>();
}

template <class T>
Result<std::vector<MeasurementRecord>> Circuit::run(StateVectorOf<T>& state) const {
  const PlacementScope placed(placement(state.num_qubits()));
  auto rng = thread_rng();
  if (!rng.ok()) return std::move(rng).error();
  return run(state, *rng);
}

template <class T>
Result<std::vector<MeasurementRecord>> Circuit::run(StateVectorOf<T>& state, Rng& rng) const {
  std::vector<MeasurementRecord> records;
  // Channels run gate by gate: each draws from `rng` in step order.
  if (!gates_.empty() && runs_through_executor(state.num_qubits()) && !has_channels(gates_)) {
    // Checked in order up to the first gate that fails; the gates before it
    // are applied (and their outcomes recorded) before that failure returns.
    std::vector<RunStepOf<T>> steps;
    // Without the list, gate by gate below, which needs none.
    if (allocated([&] { steps.reserve(gates_.size()); })) {
      Status stop;
      for (const Gate& g : gates_) {
        stop = append_gate_step(state, g, steps);
        if (!stop.ok()) break;
      }
      VANTREL_TRY(execute_run(state, steps, &rng, &records));
      if (!stop.ok()) return std::move(stop).error();
      return records;
    }
  }
  StopCheck stop;
  const std::uint64_t gate_work = state.size();
  for (const Gate& g : gates_) {
    if (stop(gate_work)) return interrupted();
    auto outcome = execute_gate(state, g, &rng);
    if (!outcome.ok()) return std::move(outcome).error();
    if (outcome->has_value()) records.push_back({g.qubit, **outcome});
  }
  return records;
}

#define VANTREL_CIRCUIT_OF(T)                                                                    \
  template Result<std::optional<bool>> execute_gate(StateVectorOf<T>&, const Gate&, Rng*);     \
  template Result<std::vector<MeasurementRecord>> Circuit::run(StateVectorOf<T>&) const;       \
  template Result<std::vector<MeasurementRecord>> Circuit::run(StateVectorOf<T>&, Rng&) const;
VANTREL_CIRCUIT_OF(float)
VANTREL_CIRCUIT_OF(double)
#undef VANTREL_CIRCUIT_OF

}  // namespace vantrel::sim
