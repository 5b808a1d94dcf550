// Circuit: a list of Gate objects run on a fresh register. Runs hold the
// interpreter lock; the kernels still run on the worker pool. Runs and
// sampling run the signal handlers now and then, so Ctrl-C stops them
// (interrupt.h).
#include "lib/circuit.h"

#include <algorithm>
#include <optional>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "lib/args.h"
#include "lib/arrays.h"
#include "lib/draw.h"
#include "lib/errors.h"
#include "lib/gate.h"
#include "lib/interrupt.h"
#include "lib/pickling.h"
#include "lib/precision.h"
#include "lib/py.h"
#include "sim/run/noisy.h"
#include "sim/run/trajectory.h"
#include "sim/state/measure.h"
#include "sim/state/probabilities.h"
#include "sim/state/state_vector.h"

namespace vantrel::lib {
namespace {

PyObject* circuit_new(List gates) {
  const Py_ssize_t n = PyList_GET_SIZE(gates.obj);
  // Neither loop runs Python code, so the list cannot change under them.
  // The first counts the values the copy takes (runs of barriers joined).
  std::size_t values = 0;
  bool after_barrier = false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(gates.obj, i);
    if (!is_instance<PyGate>(item))
      return raise_type_error("all circuit items must be vantrel.Gate instances");
    const bool barrier = instance_of<PyGate>(item).value.kind == sim::Gate::Kind::kBarrier;
    values += !(barrier && after_barrier);
    after_barrier = barrier;
  }
  std::vector<sim::Gate> copies;
  copies.reserve(values);
  for (Py_ssize_t i = 0; i < n; ++i)
    sim::append_gate(copies, instance_of<PyGate>(PyList_GET_ITEM(gates.obj, i)).value);
  return new_instance<PyCircuit>(sim::Circuit::create(std::move(copies)));
}

// The generator of a call given `seed`: a SeededRng of it, or none (the
// calling thread's generator) without one.
struct CallRng {
  std::optional<sim::SeededRng> generator;
  std::optional<sim::Rng> rng;
  explicit CallRng(std::optional<std::uint64_t> seed) {
    if (!seed) return;
    generator.emplace(*seed);
    rng.emplace(generator->rng());
  }
  sim::Rng* get() { return rng ? &*rng : nullptr; }
};

// A fresh register of `num_qubits` in T's precision, run through the
// circuit (one trajectory: measurements, resets and channels drawing from
// `rng`, or from the thread's generator when null), stoppable by a signal
// handler (interrupt.h).
template <class T>
sim::Result<sim::StateVectorOf<T>> run_fresh(const sim::Circuit& circuit, std::uint64_t num_qubits,
                                             std::vector<sim::MeasurementRecord>* records,
                                             sim::Rng* rng = nullptr) {
  return call_holding_lock(work_of(circuit.gates().size() + 1, num_qubits),
                           [&]() -> sim::Result<sim::StateVectorOf<T>> {
    auto state = sim::StateVectorOf<T>::create(num_qubits);
    if (!state) return std::move(state).error();
    auto run = rng ? circuit.run(*state, *rng) : circuit.run(*state);
    if (!run) return std::move(run).error();
    if (records) *records = std::move(run).value();
    return std::move(state).value();
  });
}

// Hands the state's amplitudes to a new complex64 (complex128) array without
// copying.
template <class T>
PyObject* state_array(sim::StateVectorOf<T>& state) {
  const std::size_t size = state.size();
  return complex_array_from_buffer(state.release(), size);
}

PyObject* circuit_run(const PyCircuit& self, std::uint64_t num_qubits,
                      std::optional<std::uint64_t> seed, sim::Precision precision) {
  return at_precision(precision, [&]<class T>() -> PyObject* {
    CallRng rng(seed);
    auto state = run_fresh<T>(self.value, num_qubits, nullptr, rng.get());
    if (!state) return raise(state.error());
    return state_array(*state);
  });
}

// The records as [(qubit, outcome), ...].
PyObject* record_list(const std::vector<sim::MeasurementRecord>& records) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < records.size(); ++i) {
    PyObject* record = Py_BuildValue("(KO)", static_cast<unsigned long long>(records[i].qubit),
                                     records[i].outcome ? Py_True : Py_False);
    if (record == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), record);  // steals `record`
  }
  return list.release();
}

PyObject* circuit_run_with_measurements(const PyCircuit& self, std::uint64_t num_qubits,
                                        std::optional<std::uint64_t> seed,
                                        sim::Precision precision) {
  return at_precision(precision, [&]<class T>() -> PyObject* {
    CallRng rng(seed);
    std::vector<sim::MeasurementRecord> records;
    auto state = run_fresh<T>(self.value, num_qubits, &records, rng.get());
    if (!state) return raise(state.error());
    PyRef array(state_array(*state));
    if (!array) return nullptr;
    PyRef list(record_list(records));
    if (!list) return nullptr;
    return PyTuple_Pack(2, array.get(), list.get());
  });
}

// With channels, one trajectory per shot over the pool, trajectory t seeded
// from (seed, t); without, one run and `shots` draws from its final state,
// from one generator of the seed when given.
PyObject* circuit_sample(const PyCircuit& self, std::uint64_t num_qubits, std::uint64_t shots,
                         std::optional<std::uint64_t> seed, sim::Precision precision) {
  return at_precision(precision, [&]<class T>() -> PyObject* {
    if (sim::has_channels(self.value.gates())) {
      std::uint64_t base = 0;
      if (seed) {
        base = *seed;
      } else {
        auto fresh = sim::fresh_seed();
        if (!fresh) return raise(fresh.error());
        base = *fresh;
      }
      auto samples = call_holding_lock(
          work_of(self.value.gates().size() + 2, num_qubits, shots),
          [&] { return sim::sample_trajectories<T>(self.value, num_qubits, shots, base); });
      if (!samples) return raise(samples.error());
      return sample_list(*samples);
    }
    CallRng rng(seed);
    auto state = run_fresh<T>(self.value, num_qubits, nullptr, rng.get());
    if (!state) return raise(state.error());
    // The table is one pass; a draw searches it, counted as 16 amplitudes as
    // in sim::measure. The larger part is close enough to the sum.
    const std::uint64_t work = std::max(work_of(1, num_qubits), work_of(16, 0, shots));
    auto samples = call_holding_lock(work, [&] {
      return rng.get() ? sim::measure(*state, shots, *rng.get()) : sim::measure(*state, shots);
    });
    if (!samples) return raise(samples.error());
    // Release the register before building the result list.
    *state = sim::StateVectorOf<T>();
    return sample_list(*samples);
  });
}

bool has_random_gates(const sim::Circuit& circuit) {
  return std::any_of(circuit.gates().begin(), circuit.gates().end(), [](const sim::Gate& g) {
    return g.kind == sim::Gate::Kind::kMeasure || g.kind == sim::Gate::Kind::kReset ||
           g.kind == sim::Gate::Kind::kChannel;
  });
}

PyObject* circuit_probabilities(const PyCircuit& self, std::uint64_t num_qubits,
                                std::optional<std::vector<std::uint64_t>> qubits) {
  if (has_random_gates(self.value)) return raise(sim::random_final_state());
  auto state = run_fresh<float>(self.value, num_qubits, nullptr);
  if (!state) return raise(state.error());
  auto p = call_holding_lock(work_of(1, num_qubits), [&] {
    return qubits ? sim::probabilities(*state, *qubits) : sim::probabilities(*state);
  });
  if (!p) return raise(p.error());
  return double_array_from_buffer(p->values.release(), p->size);
}

// As sample; with a seed, the gates' measurements and resets and then the
// draws come from one generator of that seed, as CompiledCircuit.sample
// takes them.
PyObject* circuit_counts(const PyCircuit& self, std::uint64_t num_qubits, std::uint64_t shots,
                         std::optional<std::uint64_t> seed) {
  std::optional<sim::SeededRng> generator;
  std::optional<sim::Rng> rng;
  if (seed) {
    generator.emplace(*seed);
    rng.emplace(generator->rng());
  }
  auto state = call_holding_lock(
      work_of(self.value.gates().size() + 1, num_qubits), [&]() -> sim::Result<sim::StateVector> {
        auto fresh = sim::StateVector::create(num_qubits);
        if (!fresh) return std::move(fresh).error();
        auto run = rng ? self.value.run(*fresh, *rng) : self.value.run(*fresh);
        if (!run) return std::move(run).error();
        return std::move(fresh).value();
      });
  if (!state) return raise(state.error());
  const std::uint64_t work = std::max(work_of(1, num_qubits), work_of(16, 0, shots));
  auto samples = call_holding_lock(work, [&] {
    return rng ? sim::measure(*state, shots, *rng) : sim::measure(*state, shots);
  });
  if (!samples) return raise(samples.error());
  *state = sim::StateVector();
  return counts_dict(sim::tally(std::move(samples).value()));
}

// The circuit never changes, so it is read with the lock released.
PyObject* circuit_draw(const PyCircuit& self, std::uint64_t fold, bool ascii, std::string output) {
  return draw_diagram(fold, ascii, output, true, [&](const sim::DiagramOptions& options) {
    return sim::draw(self.value.gates(), options);
  });
}

}  // namespace

PyTypeObject* PyCircuit::type_object() {
  static PyTypeObject* type = nullptr;
  if (type) return type;
  static PyMethodDef methods[] = {
      method<circuit_run>("run", {"num_qubits", {"seed", "None"}, {"precision", "'single'"}}),
      method<circuit_run_with_measurements>(
          "run_with_measurements", {"num_qubits", {"seed", "None"}, {"precision", "'single'"}}),
      method<circuit_sample>("sample",
                             {"num_qubits", "shots", {"seed", "None"}, {"precision", "'single'"}}),
      method<circuit_probabilities>(
          "probabilities", {"num_qubits", {"qubits", "None"}},
          "Return the exact probabilities of the basis states of the listed qubits (all by "
          "default) as a float64 array of length 2**k, bit j of an index for qubits[j]; circuits "
          "that measure or reset are refused."),
      method<circuit_counts>(
          "counts", {"num_qubits", "shots", {"seed", "None"}},
          "Return {basis-state index: count} in increasing order of index; a seed makes the "
          "draws, and the circuit's measurements, the same on every run."),
      draw_method<circuit_draw>(
          "Draw the gates as they run (after fusion) as text, or as SVG with output='svg'; a "
          "custom unitary marks its targets U0, U1, ... in the order given."),
      {nullptr, nullptr, 0, nullptr},
  };
  static newfunc new_fn = constructor<circuit_new>("Circuit", {"gates"});
  if (PyErr_Occurred()) return nullptr;
  type = create_class({
      "Circuit",
      "Circuit(gates)\n--\n\nOne-off gate-by-gate circuit execution API.",
      sizeof(PyCircuit),
      dealloc_instance<PyCircuit>,
      new_fn,
      methods,
      nullptr,
      nullptr,
      pickling_methods<PyCircuit>(),
  });
  return type;
}

}  // namespace vantrel::lib
