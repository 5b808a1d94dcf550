// Random compiled plans and observables shared by the engine tests (test
// code only).
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "sim/run/plan_run.h"
#include "sim/model/observable.h"
#include "sim/model/plan.h"
#include "sim/state/expectation.h"
#include "sim/testing/gates.h"

namespace vantrel::sim::testing {

// One step of a spec written as a value: a fixed gate, a one-qubit rotation
// reading a slot, or a Pauli-string rotation (factors as the spec takes them).
struct SpecStep {
  SpecStep(Gate g) : gate(std::move(g)) {}
  SpecStep(RotationKind kind, std::uint64_t target, std::uint64_t slot)
      : is_rotation(true), rotation(kind), target(target), slot(slot) {}
  SpecStep(std::vector<RotationFactor> factors, std::uint64_t slot, float scale)
      : factors(std::move(factors)), slot(slot), scale(scale) {}

  std::optional<Gate> gate;
  bool is_rotation = false;
  RotationKind rotation = RotationKind::kRX;
  std::uint64_t target = 0;
  std::vector<RotationFactor> factors;
  std::uint64_t slot = 0;
  float scale = 1.0f;
};

// A spec of n qubits and `slots` unnamed parameters with `steps` added in
// order, each of which it must accept.
inline ParameterizedCircuitSpec spec_with(std::uint64_t n, std::uint64_t slots,
                                          std::initializer_list<SpecStep> steps) {
  ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(n).value();
  for (std::uint64_t i = 0; i < slots; ++i) spec.add_parameter(std::nullopt);
  for (const SpecStep& step : steps) {
    const Status added = step.gate          ? spec.add_fixed_gate(*step.gate)
                         : step.is_rotation ? spec.add_param_single(step.rotation, step.target,
                                                                    step.slot)
                                            : spec.add_pauli_rotation(step.factors, step.slot,
                                                                      step.scale);
    EXPECT_TRUE(added.ok()) << added.error().message;
  }
  return spec;
}

struct RandomPlan {
  CompiledCircuit plan;
  std::vector<float> params;
  std::vector<PauliTerm> obs;
};

// The standard gates of RotationKind's rotations, in its order.
inline constexpr StandardGate kRotationGates[] = {StandardGate::kRX, StandardGate::kRY,
                                                  StandardGate::kRZ, StandardGate::kP};

inline Gate one_qubit_gate(std::mt19937& rng, std::uint64_t q) {
  std::uniform_real_distribution<float> angle(-3.0f, 3.0f);
  switch (rng() % 3) {
    case 0:
      return hadamard(q);
    case 1: {
      // From the table, so that the double matrix is exact in double too.
      const double theta = angle(rng);
      return make_standard_gate(kRotationGates[rng() % 4], {q}, {&theta, 1}).value();
    }
    default:  // S
      return Gate::unitary(Operation::create({q}, {{1, 0}, {0, 0}, {0, 0}, {0, 1}}).value());
  }
}

inline Gate two_qubit_gate(std::mt19937& rng, std::uint64_t a, std::uint64_t b) {
  std::uniform_real_distribution<float> angle(-3.0f, 3.0f);
  switch (rng() % 3) {
    case 0:
      return cnot(a, b);
    case 1: {  // controlled rotation
      const double theta = angle(rng);
      return make_controlled_standard_gate(kRotationGates[rng() % 4], {a}, {b}, {&theta, 1}).value();
    }
    default: {  // swap
      const Complex o{0, 0};
      const Complex l{1, 0};
      return Gate::unitary(
          Operation::create({a, b}, {l, o, o, o, o, o, l, o, o, l, o, o, o, o, o, l}).value());
    }
  }
}

// A dense d x d unitary: Gram-Schmidt on random complex rows, in double,
// rounded to single precision (well within the unitarity tolerance).
inline std::vector<Complex> random_unitary(std::mt19937& rng, std::size_t d) {
  std::normal_distribution<double> normal;
  std::vector<std::complex<double>> rows(d * d);
  for (auto& x : rows) x = {normal(rng), normal(rng)};
  for (std::size_t r = 0; r < d; ++r) {
    for (std::size_t s = 0; s < r; ++s) {
      std::complex<double> dot = 0;
      for (std::size_t c = 0; c < d; ++c) dot += std::conj(rows[s * d + c]) * rows[r * d + c];
      for (std::size_t c = 0; c < d; ++c) rows[r * d + c] -= dot * rows[s * d + c];
    }
    double norm = 0;
    for (std::size_t c = 0; c < d; ++c) norm += std::norm(rows[r * d + c]);
    for (std::size_t c = 0; c < d; ++c) rows[r * d + c] /= std::sqrt(norm);
  }
  std::vector<Complex> out;
  for (const auto& x : rows) out.push_back({static_cast<float>(x.real()), static_cast<float>(x.imag())});
  return out;
}

// A three-qubit gate on distinct a, b, c: dense, or a doubly controlled X.
inline Gate three_qubit_gate(std::mt19937& rng, std::uint64_t a, std::uint64_t b, std::uint64_t c) {
  if (rng() % 2) return unitary({a, b, c}, random_unitary(rng, 8));
  return make_controlled_unitary_gate({a, b}, {c}, kX).value();
}

struct PlanShape {
  std::uint64_t max_qubits = 8;
  std::uint64_t max_params = 5;
  std::size_t max_steps = 14;  // the step count is drawn from [min_steps, max_steps)
  bool three_qubit_gates = false;
  std::uint64_t min_qubits = 1;
  std::size_t min_steps = 0;
};

// min_qubits to max_qubits qubits; parametric steps of all four kinds and
// Pauli-string rotations (scaled or not) on up to max_params slots (some
// shared, some unused) with one- and two-qubit fixed gates (and three-qubit
// ones when asked) and barriers between them; an observable of 1-3 terms of
// X, Y and Z factors. The default shape draws the same plans as it always
// has for a given generator state.
inline RandomPlan random_plan(std::mt19937& rng, PlanShape shape = {}) {
  const std::uint64_t n = shape.min_qubits + rng() % (shape.max_qubits - shape.min_qubits + 1);
  const std::uint64_t p = 1 + rng() % shape.max_params;
  ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(n).value();
  for (std::uint64_t i = 0; i < p; ++i) spec.add_parameter(std::nullopt);
  // Slots at or above `read` are never read.
  const std::uint64_t read = 1 + rng() % p;
  const std::size_t steps = shape.min_steps + rng() % (shape.max_steps - shape.min_steps);
  for (std::size_t s = 0; s < steps; ++s) {
    const std::uint64_t q = rng() % n;
    const unsigned pick = rng() % 10;
    if (pick < 4) {
      const auto kind = static_cast<RotationKind>(rng() % 4);
      EXPECT_TRUE(spec.add_param_single(kind, q, rng() % read).ok());
    } else if (pick < 5) {
      std::vector<RotationFactor> factors;
      for (std::uint64_t f = 0; f < n; ++f)
        if (f == q || rng() % 2) factors.push_back({f, static_cast<PauliLabel>(rng() % 3)});
      const float scales[] = {1.0f, -0.5f, 2.75f};
      EXPECT_TRUE(spec.add_pauli_rotation(factors, rng() % read, scales[rng() % 3]).ok());
    } else if (pick < 7 || n == 1) {
      EXPECT_TRUE(spec.add_fixed_gate(one_qubit_gate(rng, q)).ok());
    } else if (pick == 8 && shape.three_qubit_gates && n >= 3) {
      const std::uint64_t b = (q + 1 + rng() % (n - 1)) % n;
      std::uint64_t c = rng() % n;
      while (c == q || c == b) c = (c + 1) % n;
      EXPECT_TRUE(spec.add_fixed_gate(three_qubit_gate(rng, q, b, c)).ok());
    } else if (pick < 9) {
      const std::uint64_t other = (q + 1 + rng() % (n - 1)) % n;
      EXPECT_TRUE(spec.add_fixed_gate(two_qubit_gate(rng, q, other)).ok());
    } else {
      EXPECT_TRUE(spec.add_fixed_gate(Gate::barrier()).ok());
    }
  }
  RandomPlan out{spec.compile(), {}, {}};
  std::uniform_real_distribution<float> value(-4.0f, 4.0f);
  for (std::uint64_t i = 0; i < p; ++i) out.params.push_back(value(rng));
  const std::size_t terms = 1 + rng() % 3;
  for (std::size_t t = 0; t < terms; ++t) {
    std::vector<PauliFactor> factors;
    for (std::uint64_t q = 0; q < n; ++q)
      if (rng() % 3 == 0) factors.push_back({q, static_cast<PauliLabel>(rng() % 3)});
    if (factors.empty()) factors.push_back({rng() % n, static_cast<PauliLabel>(rng() % 3)});
    out.obs.push_back(PauliTerm::create(std::move(factors), value(rng)).value());
  }
  return out;
}

// Operator-new calls so far in this test binary (counted by the replacement
// operators in run/plan_run.test.cpp). For tests that prove a path allocates
// nothing; state buffers come from calloc and are checked by address.
std::size_t allocations_so_far();

}  // namespace vantrel::sim::testing
