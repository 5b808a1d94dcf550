#include "sim/run/noisy.h"

#include <gtest/gtest.h>

#include "sim/base/pool.h"
#include "sim/model/channel.h"
#include "sim/run/trajectory.h"
#include "sim/testing/gates.h"

namespace vantrel::sim {
namespace {

using testing::cnot;
using testing::hadamard;

// Seeded trajectories give the same bits spread over the pool as on one
// thread, and differ between seeds; a Kraus channel renormalises.
TEST(Trajectories, SeededResultsDoNotDependOnThePool) {
  const double p = 0.3, gamma = 0.6;
  std::vector<Gate> gates = {hadamard(0), make_channel(ChannelKind::kDepolarizing, {0}, {&p, 1}).value(),
                             cnot(0, 1), make_channel(ChannelKind::kAmplitudeDamping, {1}, {&gamma, 1}).value(),
                             hadamard(2)};
  const Circuit circuit = Circuit::create(gates);
  auto spec = ParameterizedCircuitSpec::create(3).value();
  for (const Gate& g : gates) ASSERT_TRUE(spec.add_fixed_gate(g).ok());
  const CompiledCircuit plan = spec.compile();
  const std::vector<PauliTerm> z1 = {PauliTerm::create({{1, PauliLabel::kZ}}, 1.0).value()};

  const auto shared = sample_trajectories(circuit, 3, 200, 42).value();
  const auto estimate = noisy_expectation(plan, {}, z1, 300, 42).value();
  std::vector<std::uint64_t> solo_samples;
  NoisyEstimate solo;
  {
    const SoloScope alone;
    solo_samples = sample_trajectories(circuit, 3, 200, 42).value();
    solo = noisy_expectation(plan, {}, z1, 300, 42).value();
  }
  EXPECT_EQ(shared, solo_samples);
  EXPECT_EQ(estimate.mean, solo.mean);
  EXPECT_EQ(estimate.standard_error, solo.standard_error);
  EXPECT_EQ(sample_trajectories(plan, {}, 200, 42).value(), shared);
  EXPECT_NE(sample_trajectories(circuit, 3, 200, 43).value(), shared);

  // Every trajectory ends normalised, whichever Kraus operator it drew.
  EXPECT_TRUE(for_each_trajectory(3, 0, 50, 7, [&](StateVector& s, Rng& rng, std::uint64_t) -> Status {
                auto run = circuit.run(s, rng);
                if (!run) return std::move(run).error();
                double norm = 0.0;
                for (const Complex& a : s.amplitudes()) norm += double{a.re} * a.re + double{a.im} * a.im;
                EXPECT_NEAR(norm, 1.0, 1e-5);
                return Status::Ok();
              }).ok());
}

}  // namespace
}  // namespace vantrel::sim
