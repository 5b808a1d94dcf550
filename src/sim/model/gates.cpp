#include "sim/model/gates.h"

#include <utility>

namespace vantrel::sim {
namespace {

Result<Gate> labelled(Result<Gate> gate, const GateLabel& label) {
  if (gate.ok()) gate->label = label;
  return gate;
}

}  // namespace

Result<Gate> make_standard_gate(StandardGate gate, std::vector<std::uint64_t> qubits,
                                std::span<const float> angles) {
  auto op = Operation::create(std::move(qubits), standard_matrix(gate, angles));
  if (!op.ok()) return std::move(op).error();
  return Gate::unitary(std::move(op).value(), GateLabel::of(gate, angles));
}

Result<Gate> make_controlled_standard_gate(StandardGate gate, std::vector<std::uint64_t> controls,
                                           std::vector<std::uint64_t> targets,
                                           std::span<const float> angles) {
  return labelled(make_controlled_unitary_gate(std::move(controls), std::move(targets),
                                               standard_matrix(gate, angles)),
                  GateLabel::of(gate, angles));
}

Result<Gate> make_controlled_u_gate(std::vector<std::uint64_t> controls,
                                    std::vector<std::uint64_t> targets, float theta, float phi,
                                    float lambda, std::optional<float> gamma) {
  const float angles[4] = {theta, phi, lambda, gamma.value_or(0.0f)};
  std::vector<Complex> m = standard_matrix(StandardGate::kU, std::span<const float>(angles, 3));
  apply_global_phase(m, gamma);
  return labelled(make_controlled_unitary_gate(std::move(controls), std::move(targets), std::move(m)),
                  GateLabel::of(StandardGate::kU, std::span<const float>(angles, gamma ? 4 : 3)));
}

}  // namespace vantrel::sim
