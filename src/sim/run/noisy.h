// The noisy routes: circuits and plans with channels, run as one trajectory
// per shot or per expectation sample (trajectory.h), seeded so that a seed
// gives the same results on every machine and pool size.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sim/base/result.h"
#include "sim/model/observable.h"
#include "sim/model/plan.h"
#include "sim/run/circuit.h"
#include "sim/run/plan_run.h"

namespace vantrel::sim {

// `shots` trajectories of the circuit on `num_qubits`, each drawing one
// basis-state index from its final state (draw_one) with its own generator.
// Errors of the first failing trajectory; kOutOfMemory naming the samples.
template <class T = float>
Result<std::vector<std::uint64_t>> sample_trajectories(const Circuit& circuit,
                                                       std::uint64_t num_qubits,
                                                       std::uint64_t shots, std::uint64_t seed);

// The same for a plan at `params` (the checks of run_into first).
template <class T = float>
Result<std::vector<std::uint64_t>> sample_trajectories(const CompiledCircuit& plan,
                                                       ParamsOf<T> params,
                                                       std::uint64_t shots, std::uint64_t seed);

// The mean of the trajectories' exact expectation values and its standard
// error sqrt(var / T) (var with T - 1 in the denominator; NaN for T = 1).
struct NoisyEstimate {
  double mean = 0.0;
  double standard_error = 0.0;
};

// `trajectories` runs of the plan at `params`, trajectory t seeded by
// trajectory_seed(seed, t), each giving expectation() of the observable in
// its final state; sums in double in trajectory order, so the result does
// not depend on the pool size. Memory stays bounded whatever the count: the
// trajectories run in rounds of a fixed size. Checks: parameter length,
// "trajectories must be at least 1", the observable against the plan's
// width; then errors of the first failing trajectory.
template <class T = float>
Result<NoisyEstimate> noisy_expectation(const CompiledCircuit& plan, ParamsOf<T> params,
                                        std::span<const PauliTerm> observable,
                                        std::uint64_t trajectories, std::uint64_t seed);

}  // namespace vantrel::sim
