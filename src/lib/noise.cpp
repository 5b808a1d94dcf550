// Noise: the channel constructors of Gate and the trajectory methods of
// CompiledCircuit (sim/run/trajectory.h, sim/run/noisy.h). Channel gates
// join circuits and plans, draw and pickle as other gates do.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

#include "lib/args.h"
#include "lib/arrays.h"
#include "lib/buffers.h"
#include "lib/compiled.h"
#include "lib/errors.h"
#include "lib/gate.h"
#include "lib/interrupt.h"
#include "lib/observable.h"
#include "lib/py.h"
#include "sim/model/channel.h"
#include "sim/run/noisy.h"
#include "sim/run/trajectory.h"

namespace vantrel::lib {
namespace {

using sim::ChannelKind;
using Qubits = std::vector<std::uint64_t>;

PyObject* wrap(sim::Result<sim::Gate> gate) {
  if (!gate) return raise(gate.error());
  return new_instance<PyGate>(std::move(gate).value());
}

// Probabilities as the Python floats given, unnarrowed.
template <ChannelKind K>
PyObject* gate_one_qubit_channel(std::uint64_t target, double p) {
  return wrap(sim::make_channel(K, {target}, std::span<const double>(&p, 1)));
}

PyObject* gate_two_qubit_depolarizing(std::uint64_t a, std::uint64_t b, double p) {
  return wrap(sim::make_channel(ChannelKind::kTwoQubitDepolarizing, {a, b},
                                std::span<const double>(&p, 1)));
}

PyObject* gate_pauli_channel(std::uint64_t target, double px, double py, double pz) {
  const double p[3] = {px, py, pz};
  return wrap(sim::make_channel(ChannelKind::kPauli, {target}, p));
}

// Each operator through the checks of Gate.unitary's matrix.
PyObject* gate_kraus(Qubits targets, PyObject* operators) {
  PyRef items(PySequence_Fast(operators, "operators must be a sequence of matrices"));
  if (!items) return nullptr;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  std::vector<std::vector<sim::ComplexD>> matrices(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i)
    if (!matrix_from_python(PySequence_Fast_GET_ITEM(items.get(), i),
                            matrices[static_cast<std::size_t>(i)]))
      return nullptr;
  return wrap(sim::make_kraus_channel(std::move(targets), std::move(matrices)));
}

std::uint64_t seed_or_fresh(std::optional<std::uint64_t> seed, bool& ok) {
  ok = true;
  if (seed) return *seed;
  auto fresh = sim::fresh_seed();
  if (fresh) return *fresh;
  ok = false;
  raise(fresh.error());
  return 0;
}

PyObject* estimate_pair(double mean, double error) {
  return Py_BuildValue("(dd)", mean, error);
}

PyObject* compiled_noisy_expectation(const PyCompiledCircuit& self, PyObject* params,
                                     Shared<PyObservable> observable, std::uint64_t trajectories,
                                     std::optional<std::uint64_t> seed) {
  return with_params(self.value, params, [&]<class T>(std::span<const T> p) -> PyObject* {
    bool ok = false;
    const std::uint64_t base = seed_or_fresh(seed, ok);
    if (!ok) return nullptr;
    const auto terms = observable_terms(*observable);
    auto estimate = call_released(plan_work(self.value, terms.size(), trajectories), [&] {
      return sim::noisy_expectation<T>(self.value, p, terms, trajectories, base);
    });
    if (!estimate) return raise(estimate.error());
    return estimate_pair(estimate->mean, estimate->standard_error);
  });
}

PyObject* compiled_batch_noisy_expectation(const PyCompiledCircuit& self, PyObject* params_batch,
                                           Shared<PyObservable> observable,
                                           std::uint64_t trajectories,
                                           std::optional<std::uint64_t> seed) {
  return at_precision(self.value.precision(), [&]<class T>() -> PyObject* {
    ParamBatchOf<T> rows;
    if (!params_batch_from_python(params_batch, rows)) return nullptr;
    if (!validate_param_width(rows.cols, self.value.parameter_count())) return nullptr;
    bool ok = false;
    const std::uint64_t base = seed_or_fresh(seed, ok);
    if (!ok) return nullptr;
    const auto terms = observable_terms(*observable);
    std::vector<double> means(rows.rows);
    std::vector<double> errors(rows.rows);
    const std::uint64_t cols = rows.cols;
    auto status = call_released(
        plan_work(self.value, terms.size(), trajectories), [&]() -> sim::Status {
          for (std::uint64_t r = 0; r < rows.rows; ++r) {
            auto estimate = sim::noisy_expectation<T>(
                self.value, std::span<const T>(rows.data).subspan(r * cols, cols), terms,
                trajectories, base);
            if (!estimate) return std::move(estimate).error();
            means[r] = estimate->mean;
            errors[r] = estimate->standard_error;
          }
          return sim::Status::Ok();
        });
    if (!status.ok()) return raise(status.error());
    PyRef m(double_array_from_vector(std::move(means)));
    if (!m) return nullptr;
    PyRef e(double_array_from_vector(std::move(errors)));
    if (!e) return nullptr;
    return PyTuple_Pack(2, m.get(), e.get());
  });
}

}  // namespace

const PyMethodDef* gate_channel_methods() {
  static const PyMethodDef methods[] = {
      method<gate_one_qubit_channel<ChannelKind::kBitFlip>>(
          "bit_flip", {"target", "p"},
          "Noise channel: X on target with probability p, nothing otherwise."),
      method<gate_one_qubit_channel<ChannelKind::kPhaseFlip>>(
          "phase_flip", {"target", "p"},
          "Noise channel: Z on target with probability p, nothing otherwise."),
      method<gate_one_qubit_channel<ChannelKind::kDepolarizing>>(
          "depolarizing", {"target", "p"},
          "Noise channel: X, Y or Z on target, each with probability p/3."),
      method<gate_two_qubit_depolarizing>(
          "two_qubit_depolarizing", {"a", "b", "p"},
          "Noise channel: each of the 15 non-identity Pauli pairs on (a, b) with probability "
          "p/15."),
      method<gate_pauli_channel>(
          "pauli_channel", {"target", "px", "py", "pz"},
          "Noise channel: X, Y, Z on target with probabilities px, py, pz (px+py+pz <= 1)."),
      method<gate_one_qubit_channel<ChannelKind::kAmplitudeDamping>>(
          "amplitude_damping", {"target", "gamma"},
          "Noise channel: amplitude damping with Kraus operators diag(1, sqrt(1-gamma)) and "
          "sqrt(gamma)|0><1|."),
      method<gate_one_qubit_channel<ChannelKind::kPhaseDamping>>(
          "phase_damping", {"target", "lam"},
          "Noise channel: phase damping with Kraus operators diag(1, sqrt(1-lam)) and "
          "diag(0, sqrt(lam))."),
      method<gate_kraus>(
          "kraus", {"targets", "operators"},
          "Noise channel given by Kraus operators (2**k x 2**k matrices on k targets, the "
          "first target the high bit), refused unless sum K^dagger K is the identity within "
          "1e-5*2**k. Runs draw K_i with probability ||K_i psi||**2 and renormalise."),
      {nullptr, nullptr, 0, nullptr},
  };
  return methods;
}

const PyMethodDef* compiled_noise_methods() {
  static const PyMethodDef methods[] = {
      method<compiled_noisy_expectation>(
          "noisy_expectation", {"params", "observable", "trajectories", {"seed", "None"}},
          "Average the exact expectation value over trajectories runs of the plan, each "
          "drawing its channels' branches from its own stream of the seed; returns (mean, "
          "standard_error). A seed gives the same result on every machine and pool size."),
      method<compiled_batch_noisy_expectation>(
          "batch_noisy_expectation",
          {"params_batch", "observable", "trajectories", {"seed", "None"}},
          "noisy_expectation for each row of params_batch (every row with the same seed); "
          "returns (means, standard_errors) as float64 arrays of shape (B,)."),
      {nullptr, nullptr, 0, nullptr},
  };
  return methods;
}

}  // namespace vantrel::lib
