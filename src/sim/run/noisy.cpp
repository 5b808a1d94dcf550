#include "sim/run/noisy.h"

#include <cmath>
#include <limits>

#include "sim/base/interrupt.h"
#include "sim/base/messages.h"
#include "sim/run/plan_run.h"
#include "sim/run/trajectory.h"
#include "sim/state/expectation.h"

namespace vantrel::sim {
namespace {

// Trajectories per round of noisy_expectation: the values of one round are
// kept, then summed in order.
constexpr std::uint64_t kRound = 4096;

template <class T>
Result<std::vector<std::uint64_t>> samples_of(std::uint64_t num_qubits, std::uint64_t shots,
                                              std::uint64_t seed,
                                              FunctionRef<Status(StateVectorOf<T>&, Rng&)> run) {
  std::vector<std::uint64_t> samples;
  VANTREL_TRY(guard_allocation([&] { samples.resize(shots); }, [&] {
    return allocation_failure(dec(shots) + " samples",
                              static_cast<unsigned __int128>(shots) * sizeof(std::uint64_t));
  }));
  VANTREL_TRY(for_each_trajectory<T>(num_qubits, 0, shots, seed,
                                  [&](StateVectorOf<T>& state, Rng& rng, std::uint64_t t) -> Status {
                                    VANTREL_TRY(run(state, rng));
                                    auto index = draw_one(state, rng);
                                    if (!index) return std::move(index).error();
                                    samples[t] = *index;
                                    return Status::Ok();
                                  }));
  return samples;
}

}  // namespace

template <class T>
Result<std::vector<std::uint64_t>> sample_trajectories(const Circuit& circuit,
                                                       std::uint64_t num_qubits,
                                                       std::uint64_t shots, std::uint64_t seed) {
  auto probe = StateVectorOf<T>::create(num_qubits);
  if (!probe) return std::move(probe).error();
  *probe = StateVectorOf<T>();
  return samples_of<T>(num_qubits, shots, seed, [&](StateVectorOf<T>& state, Rng& rng) -> Status {
    auto run = circuit.run(state, rng);
    if (!run) return std::move(run).error();
    return Status::Ok();
  });
}

template <class T>
Result<std::vector<std::uint64_t>> sample_trajectories(const CompiledCircuit& plan,
                                                       ParamsOf<T> params,
                                                       std::uint64_t shots, std::uint64_t seed) {
  if (params.size() != plan.parameter_count())
    return messages::parameter_length(params.size(), plan.parameter_count());
  return samples_of<T>(plan.num_qubits(), shots, seed, [&](StateVectorOf<T>& state, Rng& rng) {
    return run_into(plan, params, state, rng);
  });
}

template <class T>
Result<NoisyEstimate> noisy_expectation(const CompiledCircuit& plan, ParamsOf<T> params,
                                        std::span<const PauliTerm> observable,
                                        std::uint64_t trajectories, std::uint64_t seed) {
  if (params.size() != plan.parameter_count())
    return messages::parameter_length(params.size(), plan.parameter_count());
  if (trajectories == 0) return invalid("trajectories must be at least 1");
  VANTREL_TRY(validate_observable(observable, plan.num_qubits()));
  std::vector<double> values;
  VANTREL_TRY(guard_allocation([&] { values.resize(std::min(trajectories, kRound)); }, [&] {
    return allocation_failure("a round of trajectory values", kRound * sizeof(double));
  }));
  double sum = 0.0;
  double squares = 0.0;
  StopCheck stop;
  for (std::uint64_t first = 0; first < trajectories; first += kRound) {
    if (stop(kRound)) return interrupted();
    const std::uint64_t count = std::min(kRound, trajectories - first);
    VANTREL_TRY(for_each_trajectory<T>(
        plan.num_qubits(), first, count, seed,
        [&](StateVectorOf<T>& state, Rng& rng, std::uint64_t t) -> Status {
          VANTREL_TRY(run_into(plan, params, state, rng));
          auto value = expectation(state, observable);
          if (!value) return std::move(value).error();
          values[t - first] = static_cast<double>(*value);
          return Status::Ok();
        }));
    for (std::uint64_t i = 0; i < count; ++i) {
      sum += values[i];
      squares += values[i] * values[i];
    }
  }
  const double n = static_cast<double>(trajectories);
  NoisyEstimate out;
  out.mean = sum / n;
  if (trajectories < 2) {
    out.standard_error = std::numeric_limits<double>::quiet_NaN();
  } else {
    const double var = std::max(0.0, (squares - n * out.mean * out.mean) / (n - 1.0));
    out.standard_error = std::sqrt(var / n);
  }
  return out;
}

#define VANTREL_NOISY_OF(T)                                                                     \
  template Result<std::vector<std::uint64_t>> sample_trajectories<T>(                           \
      const Circuit&, std::uint64_t, std::uint64_t, std::uint64_t);                             \
  template Result<std::vector<std::uint64_t>> sample_trajectories<T>(                           \
      const CompiledCircuit&, ParamsOf<T>, std::uint64_t, std::uint64_t);                       \
  template Result<NoisyEstimate> noisy_expectation<T>(const CompiledCircuit&, ParamsOf<T>,      \
                                                      std::span<const PauliTerm>,               \
                                                      std::uint64_t, std::uint64_t);
VANTREL_NOISY_OF(float)
VANTREL_NOISY_OF(double)
#undef VANTREL_NOISY_OF

}  // namespace vantrel::sim
